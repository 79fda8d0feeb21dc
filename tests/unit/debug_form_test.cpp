// SPDX-License-Identifier: MIT

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

}  // namespace
}  // namespace portavik
