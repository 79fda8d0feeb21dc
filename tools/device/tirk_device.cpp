// SPDX-License-Identifier: MIT

// The ТИРК mode: the 26 command frames from Portavik's own table, a short
// acknowledgement, a periodic status frame.

#include <algorithm>
#include <ranges>

#include "behaviour.hpp"
#include "codec/crc.hpp"
#include "tirk/tirk_commands.hpp"

namespace portavik::device {

namespace {

constexpr std::uint8_t kStart = 0x01;
constexpr std::uint8_t kAck = 0x06;
constexpr std::uint8_t kStatus = 0x53;

std::optional<std::uint8_t> command_number(std::span<const std::uint8_t> frame) {
    for (std::uint8_t number = 1; number <= 26; ++number) {
        const Bytes command = with_crc_trailer(*main_tirk::tirk_command_frame(number));
        if (std::ranges::equal(command, frame)) {
            return number;
        }
    }
    return std::nullopt;
}

class TirkDevice final : public Behaviour {
  public:
    explicit TirkDevice(std::chrono::milliseconds period) : period_(period) {}

    std::string summary() const override {
        return "ТИРК: 26 команд, ответ 01 06 NN CRC, кадр состояния каждые " +
               std::to_string(period_.count()) + " мс";
    }

    Reaction on_frame(std::span<const std::uint8_t> frame) override {
        const auto number = command_number(frame);
        if (!number) {
            return no_reply("не команда ТИРК, без ответа");
        }
        ++commands_;
        const Bytes reply = Bytes{kStart, kAck, *number};
        return reply_with(with_crc_trailer(reply), "команда ТИРК" + std::to_string(*number));
    }

    std::optional<std::chrono::milliseconds> period() const override { return period_; }

    Bytes unsolicited() override {
        const Bytes status = Bytes{kStart, kStatus, commands_};
        return with_crc_trailer(status);
    }

  private:
    std::chrono::milliseconds period_;
    std::uint8_t commands_ = 0;  // wraps at 256, as the status frame says
};

}  // namespace

std::unique_ptr<Behaviour> make_tirk_device(std::chrono::milliseconds period) {
    return std::make_unique<TirkDevice>(period);
}

}  // namespace portavik::device
