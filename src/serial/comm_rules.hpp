// SPDX-License-Identifier: MIT

#pragma once

// How the Windows backend reads what a COM driver reports. Each decision is
// a pure function of the few Win32 results it hangs on, kept out of the
// Windows file so that it compiles, and is tested, on every build. The
// values are Win32's own (winerror.h, winbase.h); serial_windows.cpp checks
// them against the SDK's.

#include <cstddef>
#include <cstdint>

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
// full (CE_RXOVER), or the UART's own buffer overran (CE_OVERRUN).
inline constexpr unsigned long kCeRxOver = 0x0001;
inline constexpr unsigned long kCeOverrun = 0x0002;

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

// The driver lost bytes from the device.
bool lost_input(const CommStatus& status);

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
};

// A call that failed with `error`.
Outcome failed_call(unsigned long error);

// A read request. One that completes empty without being cancelled is a
// device that went away: with all-zero COMMTIMEOUTS a read waits for its
// bytes and never completes empty otherwise.
Outcome read_end(const Completion& read);

// After an abort the program did not ask for: gone only when ClearCommError
// fails as a device that went away does; otherwise the port lives (a driver
// aborts pending I/O on a line error, for one) and the request is made again.
Outcome after_abort(const CommStatus& status);

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
