// SPDX-License-Identifier: MIT

#pragma once

// The line protocol between the integration tests and serial_agent, a
// Windows program that runs the serial backend under wine on their behalf.
// A request is "<id> <verb> <words...>", its reply "<id> <status> <words...>",
// one line each; text and bytes travel as hex, so no word holds a space.
//
//   open <path> <line> <timeout_ms>         -> ok <handle>
//   list                                    -> ok <name>...
//   name|timeout|clone|cancel|close <handle> -> ok [<value>]
//   get <handle>                            -> ok <line>
//   set <handle> <line>                     -> ok
//   counts <handle>                         -> ok <overruns> <framing> <parity> <breaks>
//   read <handle> <size>                    -> ok <bytes>
//   write <handle> <bytes>                  -> ok
//
// A line is five numbers: <baud> <data> <stop> <parity> <flow>.
//
// Failures: "err <kind> <io_kind> <description>" for serial errors,
// "ioerr <io_kind> <message>" for read and write errors, "bad <text>" for a
// request the agent could not serve.

#include <cstdint>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "serial/serial_port.hpp"

namespace portavik::agent {

inline std::string to_hex(std::string_view bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    if (bytes.empty()) {
        return "-";  // an empty word would vanish between spaces
    }
    std::string out;
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        out += kDigits[b >> 4];
        out += kDigits[b & 0xF];
    }
    return out;
}

inline std::string to_hex(std::span<const std::uint8_t> bytes) {
    return to_hex(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

inline std::string from_hex(std::string_view hex) {
    if (hex == "-") {
        return {};
    }
    const auto value = [](char c) { return c <= '9' ? c - '0' : c - 'a' + 10; };
    std::string out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out += static_cast<char>(value(hex[i]) * 16 + value(hex[i + 1]));
    }
    return out;
}

inline std::vector<std::string> words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> out;
    for (std::string word; in >> word;) {
        out.push_back(word);
    }
    return out;
}

inline std::string encode(const LineSettings& line) {
    std::string out = std::to_string(line.baud_rate);
    for (const int value :
         {static_cast<int>(line.data_bits), static_cast<int>(line.stop_bits),
          static_cast<int>(line.parity), static_cast<int>(line.flow_control)}) {
        out += " " + std::to_string(value);
    }
    return out;
}

// The line whose five numbers begin at word `first`.
inline LineSettings line_of(const std::vector<std::string>& words, std::size_t first) {
    const auto number = [&](std::size_t i) { return std::stoul(words.at(first + i)); };
    return LineSettings{static_cast<std::uint32_t>(number(0)), static_cast<DataBits>(number(1)),
                        static_cast<StopBits>(number(2)), static_cast<Parity>(number(3)),
                        static_cast<FlowControl>(number(4))};
}

inline std::string encode(const SerialError& error) {
    return "err " + std::to_string(static_cast<int>(error.kind)) + " " +
           std::to_string(static_cast<int>(error.io_kind)) + " " + to_hex(error.description);
}

inline std::string encode(const IoError& error) {
    return "ioerr " + std::to_string(static_cast<int>(error.kind)) + " " + to_hex(error.message);
}

// The words of a reply after its id: the status first. "bad" is a request
// the agent could not serve (or no agent); it reads as an error of kind Other.
inline SerialError serial_error_of(const std::vector<std::string>& reply) {
    if (reply.at(0) == "bad") {
        return SerialError{ErrorKind::Unknown, IoKind::Other,
                           "serial agent: " + from_hex(reply.size() > 1 ? reply[1] : "-")};
    }
    return SerialError{static_cast<ErrorKind>(std::stoi(reply.at(1))),
                       static_cast<IoKind>(std::stoi(reply.at(2))), from_hex(reply.at(3))};
}

inline IoError io_error_of(const std::vector<std::string>& reply) {
    if (reply.at(0) == "bad") {
        return IoError{IoKind::Other,
                       "serial agent: " + from_hex(reply.size() > 1 ? reply[1] : "-")};
    }
    return IoError{static_cast<IoKind>(std::stoi(reply.at(1))), from_hex(reply.at(2))};
}

}  // namespace portavik::agent
