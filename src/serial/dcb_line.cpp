// SPDX-License-Identifier: MIT

#include "serial/dcb_line.hpp"

namespace portavik::detail {

namespace {

void put_parity(DCB& dcb, Parity value) {
    dcb.Parity = value == Parity::Odd ? ODDPARITY : value == Parity::Even ? EVENPARITY : NOPARITY;
    dcb.fParity = value == Parity::None ? FALSE : TRUE;
}

void put_stop_bits(DCB& dcb, StopBits value) {
    dcb.StopBits = value == StopBits::Two ? TWOSTOPBITS : ONESTOPBIT;
}

// Hardware flow control hands RTS to the driver and waits for CTS, software
// flow control is XON/XOFF both ways.
void put_flow_control(DCB& dcb, FlowControl value) {
    const bool hardware = value == FlowControl::Hardware;
    const bool software = value == FlowControl::Software;
    dcb.fOutxCtsFlow = hardware ? TRUE : FALSE;
    dcb.fRtsControl = hardware ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    dcb.fOutX = software ? TRUE : FALSE;
    dcb.fInX = software ? TRUE : FALSE;
}

// ByteSize counts the data bits; a size outside 5 to 8 reads as 8.
DataBits data_bits_of(const DCB& dcb) {
    for (const auto& data : kDataBitsRows) {
        if (data.bits == dcb.ByteSize) {
            return data.value;
        }
    }
    return DataBits::Eight;
}

Parity parity_of(const DCB& dcb) {
    if (dcb.Parity == ODDPARITY) {
        return Parity::Odd;
    }
    return dcb.Parity == EVENPARITY ? Parity::Even : Parity::None;
}

StopBits stop_bits_of(const DCB& dcb) {
    return dcb.StopBits == ONESTOPBIT ? StopBits::One : StopBits::Two;
}

FlowControl flow_control_of(const DCB& dcb) {
    if (dcb.fOutxCtsFlow || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) {
        return FlowControl::Hardware;
    }
    if (dcb.fOutX || dcb.fInX) {
        return FlowControl::Software;
    }
    return FlowControl::None;
}

}  // namespace

void make_plain(DCB& dcb, const comm::FlowLimits& limits) {
    dcb.fBinary = TRUE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fTXContinueOnXoff = TRUE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fAbortOnError = FALSE;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    dcb.XonLim = limits.xon;
    dcb.XoffLim = limits.xoff;
}

void put_line(DCB& dcb, const LineSettings& line) {
    dcb.BaudRate = line.baud_rate;
    dcb.ByteSize = static_cast<BYTE>(row(line.data_bits).bits);
    put_parity(dcb, line.parity);
    put_stop_bits(dcb, line.stop_bits);
    put_flow_control(dcb, line.flow_control);
}

LineSettings line_of(const DCB& dcb) {
    return {static_cast<std::uint32_t>(dcb.BaudRate), data_bits_of(dcb), stop_bits_of(dcb),
            parity_of(dcb), flow_control_of(dcb)};
}

}  // namespace portavik::detail
