// SPDX-License-Identifier: MIT

#include "serial/serial_port.hpp"

#include <cstdio>

namespace portavik {

PortSettings PortSettings::line(const LineSettings& value) const {
    PortSettings copy = *this;
    copy.line_ = value;
    return copy;
}

PortSettings PortSettings::timeout(std::chrono::milliseconds value) const {
    PortSettings copy = *this;
    copy.timeout_ = value;
    return copy;
}

std::string_view io_kind_name(IoKind kind) {
    switch (kind) {
        case IoKind::NotFound:
            return "NotFound";
        case IoKind::PermissionDenied:
            return "PermissionDenied";
        case IoKind::TimedOut:
            return "TimedOut";
        case IoKind::WouldBlock:
            return "WouldBlock";
        case IoKind::Interrupted:
            return "Interrupted";
        case IoKind::InvalidInput:
            return "InvalidInput";
        case IoKind::BrokenPipe:
            return "BrokenPipe";
        case IoKind::ResourceBusy:
            return "ResourceBusy";
        case IoKind::Other:
            return "Other";
    }
    return "Other";
}

namespace {

std::string kind_form(const SerialError& error) {
    switch (error.kind) {
        case ErrorKind::NoDevice:
            return "NoDevice";
        case ErrorKind::InvalidInput:
            return "InvalidInput";
        case ErrorKind::Unknown:
            return "Unknown";
        case ErrorKind::Io:
            return "Io(" + std::string(io_kind_name(error.io_kind)) + ")";
    }
    return "Unknown";
}

// A string literal in debug form: quotes, backslashes and control characters
// escaped, everything else (UTF-8 included) as it is.
std::string quoted(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (byte < 0x20 || byte == 0x7F) {
                    char escape[8];
                    std::snprintf(escape, sizeof escape, "\\u{%x}", byte);
                    out += escape;
                } else {
                    out += c;
                }
        }
    }
    out += '"';
    return out;
}

// `whole` units followed by the fraction `rest / unit`, trailing zeros dropped.
std::string with_fraction(std::uint64_t whole, std::uint64_t rest, std::uint64_t unit,
                          std::string_view suffix) {
    std::string out = std::to_string(whole);
    if (rest != 0) {
        std::string digits;
        for (std::uint64_t scale = unit / 10; scale > 0 && rest > 0; scale /= 10) {
            digits += static_cast<char>('0' + rest / scale);
            rest %= scale;
        }
        out += '.' + digits;
    }
    out += suffix;
    return out;
}

}  // namespace

std::string debug_form(const SerialError& error) {
    return "Error { kind: " + kind_form(error) + ", description: " + quoted(error.description) +
           " }";
}

std::string debug_form(std::chrono::nanoseconds duration) {
    const auto ns = static_cast<std::uint64_t>(duration.count() < 0 ? 0 : duration.count());
    constexpr std::uint64_t kSecond = 1'000'000'000;
    constexpr std::uint64_t kMilli = 1'000'000;
    constexpr std::uint64_t kMicro = 1'000;
    if (ns >= kSecond) {
        return with_fraction(ns / kSecond, ns % kSecond, kSecond, "s");
    }
    if (ns >= kMilli) {
        return with_fraction(ns / kMilli, ns % kMilli, kMilli, "ms");
    }
    if (ns >= kMicro) {
        return with_fraction(ns / kMicro, ns % kMicro, kMicro, "µs");
    }
    return std::to_string(ns) + "ns";
}

}  // namespace portavik
