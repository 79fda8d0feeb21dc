// SPDX-License-Identifier: MIT

#include "device_log.hpp"

#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <string>

#include "codec/hex.hpp"

namespace portavik::device {

namespace {

// One write per line; a failing console (closed pipe) is ignored, since
// the device must still remove its link.
void write_whole(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        text.remove_prefix(static_cast<std::size_t>(n));
    }
}

std::string timestamp() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    std::tm local{};
    ::localtime_r(&seconds, &local);
    std::array<char, 32> text{};
    const std::size_t n = std::strftime(text.data(), text.size(), "%H:%M:%S", &local);
    std::string out(text.data(), n);
    const std::string ms = std::to_string(millis);
    out += "." + std::string(3 - ms.size(), '0') + ms;
    return out;
}

}  // namespace

void print_line(std::string_view text) {
    write_whole(STDOUT_FILENO, std::string(text) + "\n");
}

void print_error(std::string_view text) {
    write_whole(STDERR_FILENO, std::string(text) + "\n");
}

void log_frame(const DeviceLine& settings, bool received, std::span<const std::uint8_t> bytes,
               std::string_view note) {
    std::string line = timestamp() + " [" + describe(settings) + "] " +
                       (received ? "принято:    " : "отправлено: ") + format_hex_output(bytes);
    if (!note.empty()) {
        line += " — " + std::string(note);
    }
    print_line(line);
}

void log_event(std::string_view text) {
    print_line(timestamp() + " " + std::string(text));
}

}  // namespace portavik::device
