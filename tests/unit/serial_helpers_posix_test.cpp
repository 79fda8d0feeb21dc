#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <string>
#include <vector>

#include "serial/line_timing.hpp"
#include "serial/natural_order.hpp"
#include "serial/posix_error.hpp"

namespace portavik {
namespace {

using std::chrono::nanoseconds;

TEST(SerialNaturalOrder, SortsPortNamesByNumberValue) {
    std::vector<std::string> names = {"ttyS10",   "ttyUSB0", "ttyS2",    "ttyACM1", "ttyS1",
                                      "ttyACM10", "ttyS",    "ttyUSB11", "ttyUSB2"};
    std::sort(names.begin(), names.end(), natural_less);
    const std::vector<std::string> expected = {"ttyACM1", "ttyACM10", "ttyS",    "ttyS1",   "ttyS2",
                                               "ttyS10",  "ttyUSB0",  "ttyUSB2", "ttyUSB11"};
    EXPECT_EQ(names, expected);

    std::vector<std::string> paths = {"/dev/ttyS10", "/dev/ttyV1", "/dev/ttyS2", "/dev/ttyV0"};
    std::sort(paths.begin(), paths.end(), natural_less);
    EXPECT_EQ(paths,
              (std::vector<std::string>{"/dev/ttyS2", "/dev/ttyS10", "/dev/ttyV0", "/dev/ttyV1"}));
}

TEST(SerialNaturalOrder, IsAStrictOrderEvenForLongAndZeroPaddedNumbers) {
    // Longer than any integer type: must compare by digits, not overflow.
    EXPECT_TRUE(natural_less("tty99999999999999999999", "tty100000000000000000000"));
    EXPECT_FALSE(natural_less("tty100000000000000000000", "tty99999999999999999999"));
    EXPECT_TRUE(natural_less("tty007", "tty10"));
    // Same value, different padding: ordered one way only, never both or neither.
    EXPECT_NE(natural_less("tty01", "tty1"), natural_less("tty1", "tty01"));
    EXPECT_FALSE(natural_less("ttyS2", "ttyS2"));
}

TEST(SerialLineTiming, FrameCountsStartDataParityAndStopBits) {
    EXPECT_EQ(detail::frame_bits(DataBits::Eight, Parity::None, StopBits::One), 10U);
    EXPECT_EQ(detail::frame_bits(DataBits::Seven, Parity::Even, StopBits::Two), 11U);
    EXPECT_EQ(detail::frame_bits(DataBits::Five, Parity::None, StopBits::One), 7U);
    EXPECT_EQ(detail::frame_bits(DataBits::Eight, Parity::Odd, StopBits::Two), 12U);
}

TEST(SerialLineTiming, WireTimeFollowsBaudAndSaturates) {
    // 960 frames of 10 bits at 9600 baud: exactly one second.
    EXPECT_EQ(detail::wire_time(960, 9600, 10), nanoseconds(1'000'000'000));
    // 1 MiB at 4 Mbaud, 11-bit frames: 2.883584 s, not truncated to whole seconds.
    EXPECT_EQ(detail::wire_time(1 << 20, 4'000'000, 11), nanoseconds(2'883'584'000));
    EXPECT_EQ(detail::wire_time(1, 3, 10), nanoseconds(3'333'333'333));
    EXPECT_EQ(detail::wire_time(100, 0, 10), nanoseconds(0));
    EXPECT_EQ(detail::wire_time(0, 9600, 10), nanoseconds(0));
    // 2^32 bytes at 50 baud: a naive bytes * bits * 1e9 overflows 64 bits.
    EXPECT_EQ(detail::wire_time(1ULL << 32, 50, 10), nanoseconds(858'993'459'200'000'000LL));
    EXPECT_EQ(detail::wire_time(~0ULL, 50, 12), nanoseconds::max());
}

TEST(SerialPosixError, ErrnoMapsToTheLayersKinds) {
    struct Case {
        int err;
        ErrorKind kind;
        IoKind io_kind;
    };
    const Case cases[] = {
        {ENOENT, ErrorKind::Io, IoKind::NotFound},
        {EACCES, ErrorKind::Io, IoKind::PermissionDenied},
        {EPERM, ErrorKind::Io, IoKind::PermissionDenied},
        {EBUSY, ErrorKind::Io, IoKind::ResourceBusy},
        {EWOULDBLOCK, ErrorKind::Io, IoKind::ResourceBusy},
        {ETIMEDOUT, ErrorKind::Io, IoKind::TimedOut},
        {EINTR, ErrorKind::Io, IoKind::Interrupted},
        {ENXIO, ErrorKind::NoDevice, IoKind::Other},
        {ENODEV, ErrorKind::NoDevice, IoKind::Other},
        {EINVAL, ErrorKind::InvalidInput, IoKind::Other},
        {ENOMEM, ErrorKind::Unknown, IoKind::Other},
    };
    for (const Case& c : cases) {
        const SerialError error = detail::serial_error_from_errno(c.err);
        EXPECT_EQ(error.kind, c.kind) << "errno " << c.err;
        if (c.kind == ErrorKind::Io) {
            EXPECT_EQ(error.io_kind, c.io_kind) << "errno " << c.err;
        }
        EXPECT_FALSE(error.description.empty()) << "errno " << c.err;
    }
    EXPECT_EQ(detail::serial_error_from_errno(ENOENT).description, "No such file or directory");
    EXPECT_EQ(detail::serial_error_from_errno(EINVAL, "устройство отказалось").description,
              "устройство отказалось (Invalid argument)");

    EXPECT_EQ(detail::io_error_from_errno(EAGAIN).kind, IoKind::WouldBlock);
    EXPECT_EQ(detail::io_error_from_errno(EPIPE).kind, IoKind::BrokenPipe);
    EXPECT_EQ(detail::io_error_from_errno(ETIMEDOUT).kind, IoKind::TimedOut);
    EXPECT_EQ(detail::io_error_from_errno(ENOMEM).kind, IoKind::Other);
    EXPECT_EQ(detail::io_error_from_errno(EIO).message, "Input/output error");
    EXPECT_TRUE(detail::errno_means_disconnected(EIO));
    EXPECT_TRUE(detail::errno_means_disconnected(ENXIO));
    EXPECT_FALSE(detail::errno_means_disconnected(EAGAIN));
    EXPECT_FALSE(detail::errno_means_disconnected(EINTR));
}

}  // namespace
}  // namespace portavik
