// SPDX-License-Identifier: MIT

// termios2 and BOTHER: see ioctl_tty(2), "Get and set terminal attributes".
#include <asm/ioctls.h>
#include <asm/termbits.h>

#include <cerrno>

#include "serial/custom_baud.hpp"

// <sys/ioctl.h> would pull in glibc's termios definitions.
extern "C" int ioctl(int, unsigned long, ...);

namespace portavik::detail {

int set_exact_baud(int fd, std::uint32_t rate) {
    termios2 attrs{};
    if (ioctl(fd, TCGETS2, &attrs) != 0) {
        return errno;
    }
    // Output speed in CBAUD, input speed in CBAUD << IBSHIFT (asm-generic/termbits.h).
    attrs.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
    attrs.c_cflag |= static_cast<tcflag_t>(BOTHER | (BOTHER << IBSHIFT));
    attrs.c_ispeed = rate;
    attrs.c_ospeed = rate;
    if (ioctl(fd, TCSETS2, &attrs) != 0) {
        return errno;
    }
    return 0;
}

int get_exact_baud(int fd, std::uint32_t& rate) {
    termios2 attrs{};
    if (ioctl(fd, TCGETS2, &attrs) != 0) {
        return errno;
    }
    // The kernel fills c_ospeed for standard speed codes too (tty_termios_baud_rate).
    rate = attrs.c_ospeed;
    return 0;
}

}  // namespace portavik::detail
