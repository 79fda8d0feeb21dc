// SPDX-License-Identifier: MIT

#include "serial_line.hpp"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "serial/termios_line.hpp"

namespace portavik::device {

std::expected<SerialLine, std::string> SerialLine::open(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return std::unexpected("не открыть " + path + ": " + std::strerror(errno));
    }
    SerialLine line(fd);
    termios attrs{};
    if (::tcgetattr(fd, &attrs) != 0) {
        return std::unexpected(path + " — не последовательный порт: " + std::strerror(errno));
    }
    detail::make_raw(attrs);
    // Modem lines play no part: a missing carrier must not hang the line up.
    attrs.c_cflag |= CLOCAL | CREAD;
    // A read with nothing to take fails with EAGAIN, so that an end of file
    // can only mean the line was hung up.
    attrs.c_cc[VMIN] = 1;
    attrs.c_cc[VTIME] = 0;
    if (::tcsetattr(fd, TCSANOW, &attrs) != 0) {
        return std::unexpected("не настроить " + path + ": " + std::strerror(errno));
    }
    ::tcflush(fd, TCIOFLUSH);
    return line;
}

SerialLine::SerialLine(SerialLine&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

SerialLine::~SerialLine() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

}  // namespace portavik::device
