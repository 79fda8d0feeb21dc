// SPDX-License-Identifier: MIT

#include <gtest/gtest.h>
#include <windows.h>

#include "serial/dcb_line.hpp"
#include "support/every_line.hpp"

namespace portavik {
namespace {

TEST(SerialDcbLine, EveryLineReadsBackAsWrittenAndWhatADriverReportsCanBeWrittenBack) {
    // wine reports a pseudo-terminal that kept PARODD without PARENB as a
    // parity value beyond SPACEPARITY; other drivers may leave any field odd.
    DCB odd{};
    odd.Parity = 7;
    odd.ByteSize = 3;
    odd.StopBits = 5;
    odd.fRtsControl = RTS_CONTROL_TOGGLE;
    odd.fAbortOnError = TRUE;
    for (const DCB& before : {DCB{}, odd}) {
        const LineSettings reported = detail::line_of(before);
        DCB rewritten = before;
        detail::make_plain(rewritten, comm::flow_limits(0));
        detail::put_line(rewritten, reported);
        EXPECT_LE(rewritten.Parity, SPACEPARITY);
        EXPECT_GE(rewritten.ByteSize, 5);
        EXPECT_LE(rewritten.ByteSize, 8);
        EXPECT_LE(rewritten.StopBits, TWOSTOPBITS);
        EXPECT_FALSE(rewritten.fAbortOnError);
        EXPECT_EQ(detail::line_of(rewritten), reported);

        for (const LineSettings& line : testing::every_line(250000)) {
            DCB dcb = before;
            detail::make_plain(dcb, comm::flow_limits(0));
            detail::put_line(dcb, line);
            EXPECT_EQ(detail::line_of(dcb), line);
            EXPECT_EQ(dcb.fParity != FALSE, line.parity != Parity::None);
            EXPECT_EQ(dcb.fRtsControl, line.flow_control == FlowControl::Hardware
                                           ? DWORD{RTS_CONTROL_HANDSHAKE}
                                           : DWORD{RTS_CONTROL_ENABLE});
        }
    }
}

TEST(SerialDcbLine, TheXonXoffLimitsForTheDriversQueueAreThoseInTheDcb) {
    struct Case {
        std::size_t queue;  // dwCurrentRxQueue; 0: the driver does not say
        WORD limit;         // XonLim and XoffLim both
    };
    const Case cases[] = {{0, 1024}, {1000, 250}, {65536, 16384}, {comm::kInputQueue, 0xFFFF}};
    for (const Case& c : cases) {
        DCB dcb{};
        dcb.XonLim = 2048;  // what another program left
        dcb.XoffLim = 512;
        detail::make_plain(dcb, comm::flow_limits(c.queue));
        detail::put_line(dcb, {9600, DataBits::Eight, StopBits::One, Parity::None,
                               FlowControl::Software});
        EXPECT_EQ(dcb.XonLim, c.limit) << c.queue;
        EXPECT_EQ(dcb.XoffLim, c.limit) << c.queue;
        EXPECT_EQ(dcb.XonChar, 0x11);
        EXPECT_EQ(dcb.XoffChar, 0x13);
        EXPECT_TRUE(dcb.fOutX && dcb.fInX);
    }
}

}  // namespace
}  // namespace portavik
