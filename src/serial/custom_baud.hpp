// SPDX-License-Identifier: MIT

#pragma once

// Exact baud rates outside the termios speed constants. Kept apart from the
// termios code because Linux needs <asm/termbits.h>, which clashes with
// glibc's <termios.h>.

#include <cstdint>

namespace portavik::detail {

#if defined(__APPLE__)
// IOSSIOSPEED does not show in the termios structure (IOKit/serial/ioss.h), so
// a rate set with it cannot be read back from the device.
inline constexpr bool kExactBaudReadBack = false;
#else
inline constexpr bool kExactBaudReadBack = true;
#endif

// Sets input and output speed to exactly `rate`. Returns 0 or an errno value.
int set_exact_baud(int fd, std::uint32_t rate);

// Stores the output speed in force in `rate`. Returns 0 or an errno value.
int get_exact_baud(int fd, std::uint32_t& rate);

}  // namespace portavik::detail
