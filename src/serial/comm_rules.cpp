// SPDX-License-Identifier: MIT

#include "serial/comm_rules.hpp"

#include <algorithm>

namespace portavik::comm {

bool means_disconnected(unsigned long code) {
    switch (code) {
        // A pseudo-terminal whose peer closed, under wine: reads, writes.
        case kErrorBrokenPipe:
        case kErrorNotReady:
        // Unplugged USB adapters, depending on the driver; ERROR_SEM_TIMEOUT
        // is the in-box USB CDC driver's on writes.
        case kErrorAccessDenied:
        case kErrorBadCommand:
        case kErrorGenFailure:
        case kErrorSemTimeout:
        case kErrorFileNotFound:
        case kErrorDevNotExist:
        case kErrorNoSuchDevice:
        case kErrorIoDevice:
        case kErrorDeviceNotConnected:
        case kErrorDeviceRemoved:
        case kErrorInvalidHandle:
            return true;
        default:
            return false;
    }
}

LineCounts flag_counts(const CommStatus& status) {
    if (!status.ok) {
        return {};
    }
    const auto one_if = [&status](unsigned long flags) -> std::uint64_t {
        return (status.flags & flags) != 0 ? 1 : 0;
    };
    return {one_if(kCeRxOver | kCeOverrun), one_if(kCeFrame), one_if(kCeRxParity),
            one_if(kCeBreak)};
}

InputQueue input_queue(const CommStatus& status) {
    if (status.ok) {
        return {Queue::Counted, status.in_queue};
    }
    // Some virtual COM drivers refuse ClearCommError on every call
    // (ERROR_INVALID_PARAMETER); their bytes still come one read at a time.
    return {means_disconnected(status.error) ? Queue::Gone : Queue::Unknown, 0};
}

std::size_t queued_output(const CommStatus& status, std::size_t pending) {
    return status.ok && status.out_queue > 0 ? status.out_queue : pending;
}

Outcome failed_call(unsigned long error) {
    if (error == kErrorOperationAborted) {
        return Outcome::AskPort;
    }
    return means_disconnected(error) ? Outcome::Gone : Outcome::Failed;
}

Outcome read_end(const Completion& read) {
    if (!read.ok && !(read.stopped && read.error == kErrorOperationAborted)) {
        return failed_call(read.error);
    }
    if (read.bytes > 0 || read.stopped) {
        return Outcome::Bytes;
    }
    return Outcome::Gone;
}

Outcome after_abort(const CommStatus& status) {
    return !status.ok && means_disconnected(status.error) ? Outcome::Gone : Outcome::Aborted;
}

std::optional<AbortPacer::Clock::time_point> AbortPacer::aborted(Clock::time_point now) {
    if (++run_ >= kGiveUp) {
        return std::nullopt;
    }
    wait_ = wait_ == Clock::duration::zero() ? first_wait_
                                             : std::min<Clock::duration>(wait_ * 2, kLongest);
    resume_at_ = now + wait_;
    return resume_at_;
}

void AbortPacer::ended() {
    run_ = 0;
    wait_ = Clock::duration::zero();
    resume_at_ = {};
}

std::size_t write_request(std::size_t total, std::size_t left, std::size_t paced) {
    if (total <= kWriteRequest) {
        return left;
    }
    return std::min(left, std::max<std::size_t>(paced, 1));
}

std::size_t input_queue_request(std::size_t max_rx_queue) {
    return max_rx_queue == 0 ? kInputQueue : std::min(kInputQueue, max_rx_queue);
}

FlowLimits flow_limits(std::size_t current_rx_queue) {
    constexpr std::size_t kUsualDefault = 4096;
    const std::size_t queue = current_rx_queue != 0 ? current_rx_queue : kUsualDefault;
    const auto quarter = static_cast<std::uint16_t>(std::clamp<std::size_t>(queue / 4, 1, 0xFFFF));
    return {quarter, quarter};
}

}  // namespace portavik::comm
