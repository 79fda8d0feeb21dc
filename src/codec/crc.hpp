// SPDX-License-Identifier: MIT

#pragma once

// The CRC-16/MODBUS trailer of frames and how it is shown.

#include <cstdint>
#include <span>
#include <string>

#include "codec/hex.hpp"

namespace portavik {

// CRC-16/MODBUS: reflected 0x8005 (0xA001), initial 0xFFFF, no final XOR.
std::uint16_t calculate_crc16(std::span<const std::uint8_t> bytes);

// `bytes` followed by their CRC, low byte first.
Bytes with_crc_trailer(std::span<const std::uint8_t> bytes);

// The CRC as it goes on the wire, low byte first: 0x0A84 is "84 0A".
std::string crc_display(std::uint16_t crc);

}  // namespace portavik
