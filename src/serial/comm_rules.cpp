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

bool lost_input(const CommStatus& status) {
    return status.ok && (status.flags & (kCeRxOver | kCeOverrun)) != 0;
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
    return !status.ok && means_disconnected(status.error) ? Outcome::Gone : Outcome::Bytes;
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
