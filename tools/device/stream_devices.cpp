// SPDX-License-Identifier: MIT

// The echo, text and stream modes, and the choice of behaviour by mode.

#include "behaviour.hpp"

namespace portavik::device {

namespace {

constexpr std::chrono::milliseconds kTirkPeriod{3000};
constexpr std::chrono::milliseconds kTextPeriod{1000};

class EchoDevice final : public Behaviour {
  public:
    std::string summary() const override { return "эхо: возвращает каждый принятый кадр"; }

    Reaction on_frame(std::span<const std::uint8_t> frame) override {
        return reply_with(Bytes(frame.begin(), frame.end()));
    }
};

class TextDevice final : public Behaviour {
  public:
    explicit TextDevice(std::chrono::milliseconds period) : period_(period) {}

    std::string summary() const override {
        return "текст: строка ASCII с CR LF каждые " + std::to_string(period_.count()) + " мс";
    }

    Reaction on_frame(std::span<const std::uint8_t>) override { return {}; }

    std::optional<std::chrono::milliseconds> period() const override { return period_; }

    Bytes unsolicited() override {
        const std::string line = "portavik-device " + std::to_string(++lines_) + "\r\n";
        return Bytes(line.begin(), line.end());
    }

  private:
    std::chrono::milliseconds period_;
    unsigned long lines_ = 0;
};

class StreamDevice final : public Behaviour {
  public:
    StreamDevice(std::uint32_t seed, std::optional<std::uint64_t> length) : stream_(seed, length) {}

    std::string summary() const override {
        std::string text = "поток: байты от зерна " + std::to_string(stream_.seed()) +
                           " со скоростью линии (бод / 10 байт в секунду)";
        if (const auto length = stream_.length()) {
            text += ", " + std::to_string(*length) + " байт";
        }
        return text;
    }

    Reaction on_frame(std::span<const std::uint8_t>) override { return {}; }

    ByteStream* stream() override { return &stream_; }

  private:
    ByteStream stream_;
};

}  // namespace

std::unique_ptr<Behaviour> make_echo_device() {
    return std::make_unique<EchoDevice>();
}

std::unique_ptr<Behaviour> make_text_device(std::chrono::milliseconds period) {
    return std::make_unique<TextDevice>(period);
}

std::unique_ptr<Behaviour> make_stream_device(std::uint32_t seed,
                                              std::optional<std::uint64_t> length) {
    return std::make_unique<StreamDevice>(seed, length);
}

std::expected<std::unique_ptr<Behaviour>, std::string> make_behaviour(const Options& options) {
    switch (options.mode) {
        case Mode::Modbus:
            return make_modbus_server();
        case Mode::Tirk:
            return make_tirk_device(options.interval.value_or(kTirkPeriod));
        case Mode::Echo:
            return make_echo_device();
        case Mode::Text:
            return make_text_device(options.interval.value_or(kTextPeriod));
        case Mode::Stream:
            return make_stream_device(options.seed, options.stream_bytes);
    }
    return make_modbus_server();
}

}  // namespace portavik::device
