// SPDX-License-Identifier: MIT

#include <gtest/gtest.h>
#include <pty.h>
#include <unistd.h>

#include "serial/driver_limits.hpp"
#include "support/every_line.hpp"

namespace portavik {
namespace {

using testing::every_line;

TEST(SerialDriverLimits, WhatFtdiAndCdcAcmRunOfEveryLineAndOtherDriversAsRead) {
    for (const LineSettings& line : every_line(9600)) {
        LineSettings ftdi = line;
        if (line.data_bits == DataBits::Five) {
            ftdi.data_bits = DataBits::Eight;
        }
        EXPECT_EQ(detail::in_force_on("ftdi_sio", line), ftdi);
        LineSettings acm = line;
        if (line.flow_control == FlowControl::Hardware) {
            acm.flow_control = FlowControl::None;
        }
        EXPECT_EQ(detail::in_force_on("cdc_acm", line), acm);
        for (const char* other : {"serial", "pl2303", "ftdi", ""}) {
            EXPECT_EQ(detail::in_force_on(other, line), line) << other;
        }
    }
}

TEST(SerialDriverLimits, APseudoTerminalHasNoDriverName) {
    int master = -1;
    int slave = -1;
    ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(detail::tty_driver(slave), "");
    ::close(master);
    ::close(slave);
}

}  // namespace
}  // namespace portavik
