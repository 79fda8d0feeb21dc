// SPDX-License-Identifier: MIT

#include "serial/driver_counters.hpp"

namespace portavik {

namespace {

std::uint64_t grown(long long now, long long before) {
    return now > before ? static_cast<std::uint64_t>(now - before) : 0;
}

}  // namespace

void DriverTally::look(const std::optional<DriverCounters>& now) {
    if (!now) {
        asking_ = last_.has_value();
        return;
    }
    if (last_) {
        const DriverCounters& before = *last_;
        counts_.overruns +=
            grown(now->overrun, before.overrun) + grown(now->buf_overrun, before.buf_overrun);
        counts_.framing += grown(now->frame, before.frame);
        counts_.parity += grown(now->parity, before.parity);
        counts_.breaks += grown(now->brk, before.brk);
    }
    last_ = now;
}

}  // namespace portavik
