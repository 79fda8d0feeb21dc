// SPDX-License-Identifier: MIT

#pragma once

// A pseudo-terminal whose slave is linked under /dev as a virtual port, and
// made usable by the user who started the program. The link goes with the
// object.

#include <expected>
#include <string>

namespace portavik::device {

class VirtualPort {
  public:
    // `wanted_link` empty: the first free /dev/ttyV<N>. The error is one line
    // that says what went wrong and what to do.
    static std::expected<VirtualPort, std::string> create(const std::string& wanted_link);

    VirtualPort(VirtualPort&& other) noexcept;
    VirtualPort& operator=(VirtualPort&&) = delete;
    ~VirtualPort();

    int master() const { return master_; }
    // Readable after a program opened the slave (inotify IN_OPEN); -1 when
    // the watch could not be set.
    int opens() const { return opens_; }
    const std::string& link() const { return link_; }
    const std::string& slave() const { return slave_; }

  private:
    VirtualPort(int master, std::string slave) : master_(master), slave_(std::move(slave)) {}

    int master_ = -1;
    int opens_ = -1;
    std::string slave_;
    std::string link_;
};

}  // namespace portavik::device
