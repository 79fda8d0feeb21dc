// SPDX-License-Identifier: MIT

// IOSSIOSPEED: IOKit/serial/ioss.h, sets input and output speed to any value
// the driver supports.
#include <sys/ioctl.h>
#include <termios.h>
#if __has_include(<IOKit/serial/ioss.h>)
#include <IOKit/serial/ioss.h>
#else
// The compile check without the SDK (scripts/macos-check) has no IOKit
// headers; this is the SDK's definition.
#define IOSSIOSPEED _IOW('T', 2, speed_t)
#endif

#include <cerrno>

#include "serial/custom_baud.hpp"

namespace portavik::detail {

int set_exact_baud(int fd, std::uint32_t rate) {
    speed_t speed = rate;
    if (ioctl(fd, IOSSIOSPEED, &speed) == 0) {
        return 0;
    }
    const int err = errno;
    if (err != ENOTTY) {
        return err;
    }
    // Pseudo-terminals have no IOSSIOSPEED; their termios stores any speed,
    // and on macOS a speed_t is the rate itself.
    termios attrs{};
    if (tcgetattr(fd, &attrs) != 0) {
        return errno;
    }
    if (cfsetispeed(&attrs, speed) != 0 || cfsetospeed(&attrs, speed) != 0) {
        return errno;
    }
    if (tcsetattr(fd, TCSANOW, &attrs) != 0) {
        return errno;
    }
    return 0;
}

int get_exact_baud(int fd, std::uint32_t& rate) {
    termios attrs{};
    if (tcgetattr(fd, &attrs) != 0) {
        return errno;
    }
    rate = static_cast<std::uint32_t>(cfgetospeed(&attrs));
    return 0;
}

}  // namespace portavik::detail
