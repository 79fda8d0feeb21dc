// SPDX-License-Identifier: MIT

// The Windows console as a terminal: raw mode through the console's input
// mode, key events from ReadConsoleInputW.

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <optional>

#include "base/windows_text.hpp"
#include "terminal/console_keys.hpp"
#include "terminal/terminal.hpp"

namespace portavik {

namespace {

// What restore_terminal_now() puts back: the mode raw mode found, on the
// console input it was found on.
RawModeRecord g_raw;
std::atomic<HANDLE> g_input{nullptr};

bool set_input_mode(DWORD mode) {
    return ::SetConsoleMode(g_input.load(), mode) != FALSE;
}

static_assert(console_key::processed_input == ENABLE_PROCESSED_INPUT);
static_assert(console_key::line_input == ENABLE_LINE_INPUT);
static_assert(console_key::echo_input == ENABLE_ECHO_INPUT);
static_assert(console_key::virtual_terminal_input == ENABLE_VIRTUAL_TERMINAL_INPUT);

class ConsoleTerminal final : public Terminal {
  public:
    explicit ConsoleTerminal(HANDLE input) : input_(input) {}

    bool enable_raw_mode() override {
        DWORD mode = 0;
        if (!::GetConsoleMode(input_, &mode)) {
            return false;  // not a console
        }
        if (g_raw.raw()) {
            return true;
        }
        g_input.store(input_);
        // Read back: a console that kept line input or echo is not raw.
        const bool entered = g_raw.enter(mode, raw_input_mode(mode), [this](DWORD wanted) {
            DWORD now = 0;
            return set_input_mode(wanted) && ::GetConsoleMode(input_, &now) &&
                   is_raw_input_mode(now) == is_raw_input_mode(wanted);
        });
        if (!entered) {
            return false;
        }
        mapper_ = ConsoleKeyMapper();
        ready_.reset();
        return true;
    }

    bool disable_raw_mode() override {
        if (!g_raw.leave(set_input_mode)) {
            return false;
        }
        ready_.reset();
        return true;
    }

    std::expected<bool, std::string> poll(std::chrono::milliseconds timeout) override {
        using Clock = std::chrono::steady_clock;
        const auto deadline = Clock::now() + std::max(timeout, std::chrono::milliseconds::zero());
        for (;;) {
            if (ready_) {
                return true;
            }
            // The handle is signalled while any input record waits; records
            // that are no key (focus, mouse, key releases) are read and dropped.
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            const DWORD wait_ms = static_cast<DWORD>(std::clamp<long long>(left.count(), 0, 60000));
            const DWORD waited = ::WaitForSingleObject(input_, wait_ms);
            if (waited == WAIT_TIMEOUT) {
                if (Clock::now() >= deadline) {
                    return false;
                }
                continue;
            }
            if (waited != WAIT_OBJECT_0) {
                return std::unexpected("Не удалось дождаться ввода консоли: " +
                                       windows::error_text(::GetLastError()));
            }
            if (auto read = read_record(); !read) {
                return std::unexpected(read.error());
            }
        }
    }

    std::expected<TerminalEvent, std::string> read_event() override {
        while (!ready_) {
            if (auto polled = poll(std::chrono::hours(1)); !polled) {
                return std::unexpected(polled.error());
            }
        }
        const KeyEvent event = *ready_;
        ready_.reset();
        return TerminalEvent{event};
    }

  private:
    // Reads one record (the wait said one is there) and maps it. One at a
    // time, so that nothing read after a key has to be kept.
    std::expected<void, std::string> read_record() {
        INPUT_RECORD record{};
        DWORD count = 0;
        if (!::ReadConsoleInputW(input_, &record, 1, &count)) {
            return std::unexpected("Не удалось прочитать ввод консоли: " +
                                   windows::error_text(::GetLastError()));
        }
        if (count == 1 && record.EventType == KEY_EVENT) {
            const KEY_EVENT_RECORD& key = record.Event.KeyEvent;
            ready_ = mapper_.map(ConsoleKeyRecord{key.bKeyDown != FALSE, key.wVirtualKeyCode,
                                                  static_cast<char16_t>(key.uChar.UnicodeChar),
                                                  key.dwControlKeyState});
        }
        return {};
    }

    HANDLE input_;
    ConsoleKeyMapper mapper_;
    std::optional<KeyEvent> ready_;
};

}  // namespace

Terminal& standard_terminal() {
    // Never destroyed: another thread may still use it while the process ends.
    static ConsoleTerminal* const terminal = new ConsoleTerminal(::GetStdHandle(STD_INPUT_HANDLE));
    return *terminal;
}

void restore_terminal_now() {
    g_raw.restore(set_input_mode);
}

}  // namespace portavik
