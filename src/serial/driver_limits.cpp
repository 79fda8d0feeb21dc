// SPDX-License-Identifier: MIT

#include "serial/driver_limits.hpp"

#include <sys/stat.h>
#include <unistd.h>

#if defined(__linux__)
#include <sys/sysmacros.h>
#endif

#include <array>
#include <climits>

namespace portavik::detail {

namespace {

// A driver, and what its hardware runs of a line its termios holds.
struct Limit {
    std::string_view driver;
    void (*run)(LineSettings& line);
};

constexpr Limit kLimits[] = {
    // ftdi_sio accepts CS5 and leaves it in termios, but programs the chip's
    // data-bits field with 0, which FT232-type chips run as 8 bits.
    {"ftdi_sio",
     [](LineSettings& line) {
         if (line.data_bits == DataBits::Five) {
             line.data_bits = DataBits::Eight;
         }
     }},
    // cdc_acm keeps CRTSCTS in termios, but the ACM line coding has no field
    // for it and the driver has no CTS to wait on: no RTS/CTS flow control.
    {"cdc_acm",
     [](LineSettings& line) {
         if (line.flow_control == FlowControl::Hardware) {
             line.flow_control = FlowControl::None;
         }
     }},
};

}  // namespace

std::string tty_driver(int fd) {
#if defined(__linux__)
    struct stat device {};
    if (::fstat(fd, &device) != 0 || !S_ISCHR(device.st_mode)) {
        return {};
    }
    // sysfs: the character device's node, its parent device, and the driver
    // bound to that (for USB serial the parent is the adapter's port device).
    const std::string link = "/sys/dev/char/" + std::to_string(major(device.st_rdev)) + ':' +
                             std::to_string(minor(device.st_rdev)) + "/device/driver";
    std::array<char, PATH_MAX> target{};
    const ssize_t n = ::readlink(link.c_str(), target.data(), target.size() - 1);
    if (n <= 0) {
        return {};
    }
    const std::string_view path(target.data(), static_cast<std::size_t>(n));
    return std::string(path.substr(path.rfind('/') + 1));
#else
    (void)fd;
    return {};
#endif
}

LineSettings in_force_on(std::string_view driver, LineSettings read_back) {
    for (const Limit& limit : kLimits) {
        if (limit.driver == driver) {
            limit.run(read_back);
        }
    }
    return read_back;
}

}  // namespace portavik::detail
