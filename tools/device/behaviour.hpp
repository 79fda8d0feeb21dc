// SPDX-License-Identifier: MIT

#pragma once

// What the simulated device does with a received frame, and what it sends
// on its own.

#include <chrono>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include "byte_stream.hpp"
#include "codec/hex.hpp"
#include "options.hpp"

namespace portavik::device {

struct Reaction {
    Bytes reply;             // sent at once; empty for no reply
    std::string note;        // about the frame, for the log; may be empty
    std::string reply_note;  // about the reply, for the log; may be empty
};

// A frame left unanswered, and why.
inline Reaction no_reply(std::string why) {
    return Reaction{{}, std::move(why), {}};
}

inline Reaction reply_with(Bytes reply, std::string note = {}, std::string reply_note = {}) {
    return Reaction{std::move(reply), std::move(note), std::move(reply_note)};
}

class Behaviour {
  public:
    virtual ~Behaviour() = default;
    // One line for the start-up banner.
    virtual std::string summary() const = 0;
    virtual Reaction on_frame(std::span<const std::uint8_t> frame) = 0;
    // Bytes sent every period() while a program has the port open.
    virtual std::optional<std::chrono::milliseconds> period() const { return std::nullopt; }
    virtual Bytes unsolicited() { return {}; }
    // Bytes sent at the line's rate while a program has the port open.
    virtual ByteStream* stream() { return nullptr; }
};

std::expected<std::unique_ptr<Behaviour>, std::string> make_modbus_server();
std::unique_ptr<Behaviour> make_tirk_device(std::chrono::milliseconds period);
std::unique_ptr<Behaviour> make_echo_device();
std::unique_ptr<Behaviour> make_text_device(std::chrono::milliseconds period);
std::unique_ptr<Behaviour> make_stream_device(std::uint32_t seed,
                                              std::optional<std::uint64_t> length);

// The behaviour `options` ask for.
std::expected<std::unique_ptr<Behaviour>, std::string> make_behaviour(const Options& options);

}  // namespace portavik::device
