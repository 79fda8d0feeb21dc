#include <gtest/gtest.h>

#include "serial/serial_port.hpp"

namespace portavik {
namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;
using std::chrono::nanoseconds;
using std::chrono::seconds;

TEST(DebugForm, DurationsPrintWithTheirLargestWholeUnit) {
    EXPECT_EQ(debug_form(milliseconds(50)), "50ms");
    EXPECT_EQ(debug_form(milliseconds(100)), "100ms");
    EXPECT_EQ(debug_form(milliseconds(1500)), "1.5s");
    EXPECT_EQ(debug_form(seconds(2)), "2s");
    EXPECT_EQ(debug_form(microseconds(1500)), "1.5ms");
    EXPECT_EQ(debug_form(microseconds(20)), "20µs");
    EXPECT_EQ(debug_form(nanoseconds(1'000'001)), "1.000001ms");
    EXPECT_EQ(debug_form(nanoseconds(7)), "7ns");
    EXPECT_EQ(debug_form(nanoseconds(0)), "0ns");
}

TEST(DebugForm, SerialErrorsShowKindAndQuotedDescription) {
    EXPECT_EQ(debug_form(SerialError{ErrorKind::Io, IoKind::NotFound, "No such file or directory"}),
              "Error { kind: Io(NotFound), description: \"No such file or directory\" }");
    EXPECT_EQ(debug_form(SerialError{ErrorKind::NoDevice, IoKind::Other, "нет \"устройства\""}),
              "Error { kind: NoDevice, description: \"нет \\\"устройства\\\"\" }");
    EXPECT_EQ(debug_form(SerialError{ErrorKind::InvalidInput, IoKind::Other, "a\\b\n"}),
              "Error { kind: InvalidInput, description: \"a\\\\b\\n\" }");
}

TEST(DebugForm, ResultsPrintAsOkOrErr) {
    EXPECT_EQ(debug_form(SerialResult<std::uint32_t>(9600)), "Ok(9600)");
    EXPECT_EQ(debug_form(SerialResult<DataBits>(DataBits::Eight)), "Ok(Eight)");
    EXPECT_EQ(debug_form(SerialResult<StopBits>(StopBits::One)), "Ok(One)");
    EXPECT_EQ(debug_form(SerialResult<Parity>(Parity::None)), "Ok(None)");
    EXPECT_EQ(debug_form(SerialResult<FlowControl>(FlowControl::Software)), "Ok(Software)");
    EXPECT_EQ(debug_form(SerialResult<Parity>(
                  std::unexpected(SerialError{ErrorKind::Unknown, IoKind::Other, "x"}))),
              "Err(Error { kind: Unknown, description: \"x\" })");
}

TEST(PortSettings, SettersReplaceOneFieldAndLeaveTheOriginal) {
    const PortSettings base("/dev/ttyS0", 38400);
    const PortSettings changed = base.data_bits(DataBits::Seven)
                                     .parity(Parity::Even)
                                     .stop_bits(StopBits::Two)
                                     .flow_control(FlowControl::Hardware)
                                     .baud_rate(115200)
                                     .timeout(milliseconds(50));
    EXPECT_EQ(base.baud_rate(), 38400U);
    EXPECT_EQ(base.data_bits(), DataBits::Eight);
    EXPECT_EQ(changed.path(), "/dev/ttyS0");
    EXPECT_EQ(changed.baud_rate(), 115200U);
    EXPECT_EQ(changed.data_bits(), DataBits::Seven);
    EXPECT_EQ(changed.parity(), Parity::Even);
    EXPECT_EQ(changed.stop_bits(), StopBits::Two);
    EXPECT_EQ(changed.flow_control(), FlowControl::Hardware);
    EXPECT_EQ(changed.timeout(), milliseconds(50));
}

}  // namespace
}  // namespace portavik
