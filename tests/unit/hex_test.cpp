// SPDX-License-Identifier: MIT

#include "codec/hex.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "codec/crc.hpp"

namespace portavik {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

Bytes text_bytes(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

TEST(ValidateHexString, AcceptsPairsWithSpacesAnywhereAndEitherCase) {
    for (std::string_view input :
         {"FF 00 AB", "ff00ab", "Ff 0 0aB", "F F 0 0 A B", "FF0 0AB", "  FF00AB  "}) {
        auto result = validate_hex_string(input);
        ASSERT_TRUE(result.has_value()) << input;
        EXPECT_THAT(*result, ElementsAre(0xFF, 0x00, 0xAB)) << input;
    }
}

TEST(ValidateHexString, RejectsEveryDefectWithOneText) {
    for (std::string_view input :
         {"FFF", "0x1F", "FF,00", "FF\t00", "GG", "FF\n", "FF\u00a000", "\u0410\u0412", "F-F"}) {
        auto result = validate_hex_string(input);
        ASSERT_FALSE(result.has_value()) << input;
        EXPECT_EQ(result.error(), "неверный формат HEX данных") << input;
    }
}

TEST(ValidateHexString, SpacesOnlyOrEmptyGiveNoBytes) {
    for (std::string_view input : {"", "   ", " "}) {
        auto result = validate_hex_string(input);
        ASSERT_TRUE(result.has_value());
        EXPECT_THAT(*result, IsEmpty());
    }
}

TEST(FormatHexOutput, UpperCasePairsSeparatedByOneSpace) {
    EXPECT_EQ(format_hex_output(Bytes{}), "");
    EXPECT_EQ(format_hex_output(Bytes{0x05}), "05");
    EXPECT_EQ(format_hex_output(Bytes{0x00, 0xFF}), "00 FF");
    EXPECT_EQ(format_hex_output(Bytes{0xFF, 0x00, 0xAB, 0x0A, 0xc3}), "FF 00 AB 0A C3");
}

TEST(FormatHexOutput, RoundTripsEveryByteValue) {
    Bytes all;
    for (int i = 0; i < 256; ++i) {
        all.push_back(static_cast<std::uint8_t>(i));
    }
    auto back = validate_hex_string(format_hex_output(all));
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(*back, all);
}

TEST(Crc16Modbus, WorkedValues) {
    const std::pair<Bytes, std::uint16_t> cases[] = {
        {text_bytes("123456789"), 0x4B37},
        {{0x01, 0x03, 0x00, 0x00, 0x00, 0x01}, 0x0A84},
        {{0xFF, 0x00, 0xAB}, 0x4F00},
        {{}, 0xFFFF},
    };
    for (const auto& [data, crc] : cases) {
        EXPECT_EQ(calculate_crc16(data), crc) << format_hex_output(data);
    }
}

TEST(Crc16Modbus, BitwiseFormAgreesWithTable) {
    // Bit-by-bit reference over a spread of inputs.
    auto bitwise = [](const Bytes& data) {
        std::uint16_t crc = 0xFFFF;
        for (auto byte : data) {
            crc ^= byte;
            for (int i = 0; i < 8; ++i) {
                crc = (crc & 1) ? static_cast<std::uint16_t>((crc >> 1) ^ 0xA001)
                                : static_cast<std::uint16_t>(crc >> 1);
            }
        }
        return crc;
    };
    Bytes data;
    for (int i = 0; i < 300; ++i) {
        data.push_back(static_cast<std::uint8_t>(i * 37 + 11));
        EXPECT_EQ(calculate_crc16(data), bitwise(data));
    }
}

TEST(Crc16Modbus, TrailerIsLowByteFirstAndResidueIsZero) {
    const Bytes data{0x01, 0x03, 0x00, 0x00, 0x00, 0x01};
    const Bytes frame = with_crc_trailer(data);
    EXPECT_THAT(frame, ElementsAre(0x01, 0x03, 0x00, 0x00, 0x00, 0x01, 0x84, 0x0A));
    EXPECT_EQ(calculate_crc16(frame), 0x0000);
    EXPECT_EQ(crc_display(0x4B37), "37 4B");
    EXPECT_EQ(crc_display(0x0A84), "84 0A");
    EXPECT_EQ(crc_display(0x0034), "34 00");
    EXPECT_THAT(with_crc_trailer(Bytes{}), ElementsAre(0xFF, 0xFF));
}

}  // namespace
}  // namespace portavik
