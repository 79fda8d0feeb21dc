// SPDX-License-Identifier: MIT

#pragma once

// How the Windows backend reads what a COM driver reports. Each decision is
// a pure function of the few Win32 results it hangs on, kept out of the
// Windows file so that it compiles, and is tested, on every build. The
// values are Win32's own (winerror.h, winbase.h); serial_windows.cpp checks
// them against the SDK's.

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <type_traits>

#include "serial/serial_port.hpp"

namespace portavik::comm {

inline constexpr unsigned long kErrorFileNotFound = 2;
inline constexpr unsigned long kErrorAccessDenied = 5;
inline constexpr unsigned long kErrorInvalidHandle = 6;
inline constexpr unsigned long kErrorNotReady = 21;
inline constexpr unsigned long kErrorBadCommand = 22;
inline constexpr unsigned long kErrorGenFailure = 31;
inline constexpr unsigned long kErrorDevNotExist = 55;
inline constexpr unsigned long kErrorInvalidParameter = 87;
inline constexpr unsigned long kErrorBrokenPipe = 109;
inline constexpr unsigned long kErrorSemTimeout = 121;
inline constexpr unsigned long kErrorNoSuchDevice = 433;  // ERROR_NO_SUCH_DEVICE
inline constexpr unsigned long kErrorOperationAborted = 995;
inline constexpr unsigned long kErrorIoDevice = 1117;
inline constexpr unsigned long kErrorDeviceNotConnected = 1167;
inline constexpr unsigned long kErrorDeviceRemoved = 1617;
// ClearCommError's flags for bytes the driver lost: its input queue was
// full (CE_RXOVER), or the UART's own buffer overran (CE_OVERRUN); and for
// characters that came garbled: a parity error (CE_RXPARITY), a framing
// error (CE_FRAME), a break (CE_BREAK).
inline constexpr unsigned long kCeRxOver = 0x0001;
inline constexpr unsigned long kCeOverrun = 0x0002;
inline constexpr unsigned long kCeRxParity = 0x0004;
inline constexpr unsigned long kCeFrame = 0x0008;
inline constexpr unsigned long kCeBreak = 0x0010;

// Codes with which a driver reports that its device went away.
bool means_disconnected(unsigned long code);

// What ClearCommError gave: its failure's code, or the error flags it
// cleared and the bytes in the input and output queues.
struct CommStatus {
    bool ok = false;
    unsigned long error = 0;
    unsigned long flags = 0;
    std::size_t in_queue = 0;
    std::size_t out_queue = 0;
};

// What one ClearCommError reported, as counts: each flag it cleared is one
// event of its kind since the call before (the flags say whether, not how
// often); nothing when the call failed.
LineCounts flag_counts(const CommStatus& status);

// What a read asks for.
enum class Queue {
    Counted,  // `bytes` are waiting
    Unknown,  // the driver would not say: read one byte
    Gone,     // the device went away
};
struct InputQueue {
    Queue state;
    std::size_t bytes = 0;
};
InputQueue input_queue(const CommStatus& status);

// Bytes still to go out, for the stall rule: the output queue as the driver
// counts it, or, where it counts none, the `pending` bytes of a write
// request not yet complete (many USB drivers hand a request to the bus and
// report an empty queue until it completes).
std::size_t queued_output(const CommStatus& status, std::size_t pending);

// How a read or write request ended: `ok` as the call or
// GetOverlappedResult returned it, the error code if not, the bytes moved,
// and whether the program itself cancelled it (timeout or cancel_read).
struct Completion {
    bool ok = false;
    unsigned long error = 0;
    std::size_t bytes = 0;
    bool stopped = false;
};

enum class Outcome {
    Bytes,    // `bytes` moved, possibly none: go on
    Gone,     // the device went away
    Failed,   // another failure
    AskPort,  // aborted, not by the program: ClearCommError says what it was
    Aborted,  // so aborted, and the port lives: made again after a pause
};

// A call that failed with `error`.
Outcome failed_call(unsigned long error);

// A read request. One that completes empty without being cancelled is a
// device that went away: with all-zero COMMTIMEOUTS a read waits for its
// bytes and never completes empty otherwise.
Outcome read_end(const Completion& read);

// After an abort the program did not ask for: gone only when ClearCommError
// fails as a device that went away does; otherwise the port lives (a driver
// aborts pending I/O on a line error, for one) and the request is made
// again, after a pause (AbortPacer).
Outcome after_abort(const CommStatus& status);

// Paces reads made again after aborts the program did not ask for, as the
// receiver paces failed reads: the first waits one read timeout, each
// further one in a row twice as long, up to a second. A driver that aborts
// every read would otherwise have its reader spin a core; after kGiveUp in
// a row (some 6 s at a 50 ms timeout) the device counts as gone. A read
// that ends any other way ends the run.
class AbortPacer {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds kLongest{1};
    static constexpr unsigned kGiveUp = 10;

    explicit AbortPacer(Clock::duration first_wait)
        : first_wait_(std::max<Clock::duration>(first_wait, std::chrono::milliseconds(1))) {}

    // One more abort at `now`: when the next read may start, or nothing once
    // the run is long enough to call the device gone.
    std::optional<Clock::time_point> aborted(Clock::time_point now);
    // When the next read may start: at once outside a run.
    Clock::time_point resume_at() const { return resume_at_; }
    void ended();

  private:
    Clock::duration first_wait_;
    Clock::duration wait_{0};
    unsigned run_ = 0;
    Clock::time_point resume_at_{};
};

// Requests a write of `total` bytes is made of. A frame of up to
// kWriteRequest bytes goes out in one request: an on-board UART under SerCx2
// completes a request only once its FIFO has drained, so the line idles
// between two requests, longer than a Modbus RTU frame may pause inside
// itself. A longer write goes in requests of `paced` bytes
// (WriteStall::request_size), so that a stall shows within about a second.
// The stall rule counts a request still pending as queued
// (queued_output), so a whole frame on a slow line is waited for.
inline constexpr std::size_t kWriteRequest = 4096;
std::size_t write_request(std::size_t total, std::size_t left, std::size_t paced);

// Writes `total` bytes through `request(done, size)`, a request of `size`
// bytes from offset `done` that gives the bytes it moved (maybe none: the
// rest is asked for again) or its failure, in the sizes write_request
// chooses. The first failure ends it.
template <class Request>
auto write_in_requests(std::size_t total, std::size_t paced, Request&& request)
    -> std::expected<void, typename std::invoke_result_t<Request&, std::size_t,
                                                         std::size_t>::error_type> {
    std::size_t done = 0;
    while (done < total) {
        auto put = request(done, write_request(total, total - done, paced));
        if (!put) {
            return std::unexpected(std::move(put.error()));
        }
        done += *put;
    }
    return {};
}

// The input queue asked of the driver at opening. The standard mode holds
// its receiver while a send submenu is open, and a console holds it while
// the user selects text, so the driver must keep what comes meanwhile: 1 MiB
// is 4.5 minutes at 38400 baud and 90 s at 115200, where drivers keep 4 KiB
// (about a second at 38400) by default. Less where the driver states a
// smaller maximum (COMMPROP's dwMaxRxQueue, 0 for none).
inline constexpr std::size_t kInputQueue = std::size_t{1} << 20;
std::size_t input_queue_request(std::size_t max_rx_queue);

// XonLim and XoffLim (DCB): XON goes out when the input queue has drained
// below XonLim bytes, XOFF when fewer than XoffLim bytes are free. Both must
// lie within the queue, or SetCommState fails or XOFF never goes: a quarter
// of the queue each, from the size the driver reports (COMMPROP's
// dwCurrentRxQueue), or from 4 KiB, the smallest usual default, where it
// reports none.
struct FlowLimits {
    std::uint16_t xon = 0;
    std::uint16_t xoff = 0;
};
FlowLimits flow_limits(std::size_t current_rx_queue);

}  // namespace portavik::comm
