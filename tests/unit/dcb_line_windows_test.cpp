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
    // dwCurrentRxQueue (0: the driver does not say), and XonLim = XoffLim.
    for (const auto& [queue, limit] : {std::pair<std::size_t, WORD>{0, 1024}, {1000, 250},
                                       {65536, 16384}, {comm::kInputQueue, 0xFFFF}}) {
        DCB dcb{};
        dcb.XonLim = 2048;  // what another program left
        detail::make_plain(dcb, comm::flow_limits(queue));
        EXPECT_EQ(dcb.XonLim, limit) << queue;
        EXPECT_EQ(dcb.XoffLim, limit) << queue;
    }
}

}  // namespace
}  // namespace portavik
