// SPDX-License-Identifier: MIT

#pragma once

// The program's entry: the banner, the mode menu, and the chosen mode.

#include "link/platform.hpp"

namespace portavik {

// Banner, mode menu, and the chosen mode; returns when that mode has ended.
void main(Platform& platform);

}  // namespace portavik
