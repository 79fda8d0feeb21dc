// SPDX-License-Identifier: MIT

#pragma once

// A serial line of this system (a UART, a USB adapter, a USB gadget's port)
// on which the device plays the far end of a line that another port of the
// same machine reaches: the device's side of a real driver under test.

#include <expected>
#include <string>

namespace portavik::device {

class SerialLine {
  public:
    // Opens `path` and puts it in raw mode at the rate and format already
    // set on it; the error is one line for the user.
    static std::expected<SerialLine, std::string> open(const std::string& path);

    SerialLine(SerialLine&& other) noexcept;
    SerialLine& operator=(SerialLine&&) = delete;
    ~SerialLine();

    int fd() const { return fd_; }

  private:
    explicit SerialLine(int fd) : fd_(fd) {}

    int fd_ = -1;
};

}  // namespace portavik::device
