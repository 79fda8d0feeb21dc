// SPDX-License-Identifier: MIT

#pragma once

// Windows texts (UTF-16, system messages) as the program's UTF-8 and back.
// Windows-only.

#include <windows.h>

#include <string>
#include <string_view>

namespace portavik::windows {

// Invalid UTF-8 becomes U+FFFD.
std::wstring to_utf16(std::string_view text);
// An unpaired surrogate becomes U+FFFD.
std::string to_utf8(std::wstring_view text);

// The system's text for an error code (FormatMessageW, in the user's
// language), without the trailing full stop and line break.
std::string error_text(DWORD code);

}  // namespace portavik::windows
