// SPDX-License-Identifier: MIT

#pragma once

// How the POSIX backend turns the error counters a Linux serial driver keeps
// (TIOCGICOUNT) into the port's LineCounts. Neutral types, so that the
// decision compiles, and is tested, on every build.

#include <optional>

#include "serial/serial_port.hpp"

namespace portavik {

// The fields of serial_icounter_struct that count trouble with received
// characters.
struct DriverCounters {
    long long frame = 0;
    long long parity = 0;
    long long brk = 0;
    long long overrun = 0;      // the UART's own buffer overran
    long long buf_overrun = 0;  // the tty layer's buffer was full
};

// The counts since the device was opened. The driver keeps its counters for
// the port, not for one opening, so the first look is where counting
// starts; each later look adds what each counter grew by, and one that went
// down (a driver that reset it) counts on from its new value, so the counts
// only grow. A driver that refuses the first look (a pseudo-terminal, any
// driver without the query) counts nothing and is not asked again; a later
// refusal leaves the counts as they are.
class DriverTally {
  public:
    void look(const std::optional<DriverCounters>& now);
    bool asking() const { return asking_; }
    const LineCounts& counts() const { return counts_; }

  private:
    bool asking_ = true;
    std::optional<DriverCounters> last_;
    LineCounts counts_;
};

}  // namespace portavik
