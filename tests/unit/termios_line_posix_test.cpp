// SPDX-License-Identifier: MIT

#include <gtest/gtest.h>
#include <termios.h>

#include "serial/termios_line.hpp"
#include "support/every_line.hpp"

namespace portavik {
namespace {

using testing::every_line;

TEST(SerialTermiosLine, EveryLineReadsBackAsWrittenWhateverWasThereBefore) {
    // What another program, or a change the driver refused, may leave: a
    // pseudo-terminal drops PARENB and keeps PARODD; IXANY; canonical mode.
    termios messy{};
    messy.c_cflag = CS7 | PARODD | CSTOPB | CRTSCTS;
    messy.c_iflag = IXON | IXANY | ICRNL;
    messy.c_lflag = ICANON | ECHO | ISIG;
    messy.c_oflag = OPOST;
    for (const termios& before : {termios{}, messy}) {
        for (const LineSettings& line : every_line(9600)) {
            termios attrs = before;
            detail::make_raw(attrs);
            detail::put_line(attrs, line);
            EXPECT_EQ(detail::line_of(attrs, 9600), line);
            EXPECT_EQ(attrs.c_lflag & (ICANON | ECHO | ISIG), 0U);
            EXPECT_EQ(attrs.c_oflag & OPOST, 0U);
            EXPECT_EQ(attrs.c_iflag & (IXANY | ICRNL), 0U);
            if (line.parity == Parity::None) {
                EXPECT_EQ(attrs.c_cflag & (PARENB | PARODD), 0U) << "parity left behind";
            }
        }
    }
}

}  // namespace
}  // namespace portavik
