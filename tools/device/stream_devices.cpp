// The echo and text modes, and the choice of behaviour by mode.

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

}  // namespace

std::unique_ptr<Behaviour> make_echo_device() {
    return std::make_unique<EchoDevice>();
}

std::unique_ptr<Behaviour> make_text_device(std::chrono::milliseconds period) {
    return std::make_unique<TextDevice>(period);
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
    }
    return make_modbus_server();
}

}  // namespace portavik::device
