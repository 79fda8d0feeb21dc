// SPDX-License-Identifier: MIT

// The process's standard streams on Windows. A console gets UTF-16 both ways
// (WriteConsoleW, ReadConsoleW), so Russian text and emoji show and Cyrillic
// typed by the user arrives as UTF-8 whatever the console's code page; a
// pipe or file gets and gives the bytes unchanged.

#include <windows.h>

#include <algorithm>
#include <string>

#include "base/windows_text.hpp"
#include "console/console.hpp"
#include "console/console_host.hpp"

namespace portavik {

namespace {

namespace host = console_host;

static_assert(host::error_operation_aborted == ERROR_OPERATION_ABORTED);
static_assert(host::processed_output == ENABLE_PROCESSED_OUTPUT);
static_assert(host::wrap_at_eol_output == ENABLE_WRAP_AT_EOL_OUTPUT);
static_assert(host::virtual_terminal_processing == ENABLE_VIRTUAL_TERMINAL_PROCESSING);
static_assert(host::disable_newline_auto_return == DISABLE_NEWLINE_AUTO_RETURN);

// The output modes the standard streams found, for restore_console_now().
host::ModeRecord g_output_modes;

void restore_output_modes() {
    g_output_modes.restore([](std::uintptr_t handle, std::uint32_t mode) {
        ::SetConsoleMode(reinterpret_cast<HANDLE>(handle), mode);
    });
}

// Windows' own action on Ctrl+C, Ctrl+Break or a closed window (where the
// program has no handler of its own, or its handler passes the event on)
// ends the process without any of the program's ways out: put the output
// modes back first and let that action go on. A handler registered later
// runs before this one (SetConsoleCtrlHandler).
BOOL WINAPI restore_on_control(DWORD) {
    restore_output_modes();
    return FALSE;
}

// Changes the output mode of a console screen buffer to the program's and
// records what it was.
void take_output_mode(HANDLE handle) {
    DWORD found = 0;
    if (!::GetConsoleMode(handle, &found)) {
        return;
    }
    const auto wanted = g_output_modes.take(reinterpret_cast<std::uintptr_t>(handle), found);
    if (!wanted) {
        return;
    }
    [[maybe_unused]] static const bool registered =
        ::SetConsoleCtrlHandler(restore_on_control, TRUE) != FALSE;
    // Where the console cannot interpret escape sequences (before Windows
    // 10) this fails, and they are written as they are.
    ::SetConsoleMode(handle, *wanted);
}

// GetConsoleMode succeeds only on a console handle (GetFileType reports a
// console and some devices alike).
bool is_console(HANDLE handle) {
    DWORD mode = 0;
    return handle != nullptr && handle != INVALID_HANDLE_VALUE && ::GetConsoleMode(handle, &mode);
}

bool write_bytes(HANDLE handle, std::string_view bytes) {
    while (!bytes.empty()) {
        const auto chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1 << 20));
        DWORD written = 0;
        if (!::WriteFile(handle, bytes.data(), chunk, &written, nullptr)) {
            return false;
        }
        bytes.remove_prefix(written);
    }
    return true;
}

bool write_console(HANDLE handle, std::string_view text) {
    std::wstring wide = windows::to_utf16(text);
    std::wstring_view rest = wide;
    while (!rest.empty()) {
        const auto chunk = static_cast<DWORD>(std::min<std::size_t>(rest.size(), 1 << 16));
        DWORD written = 0;
        if (!::WriteConsoleW(handle, rest.data(), chunk, &written, nullptr) || written == 0) {
            return false;
        }
        rest.remove_prefix(written);
    }
    return true;
}

class StreamSink final : public ByteSink {
  public:
    explicit StreamSink(DWORD which) : handle_(::GetStdHandle(which)) {
        console_ = is_console(handle_);
        if (console_) {
            take_output_mode(handle_);
        }
    }

    bool write(std::string_view bytes) override {
        if (!console_) {
            return write_bytes(handle_, bytes);
        }
        // Each piece whole, in one call: pieces end at ASCII, so no character
        // is ever split.
        for (const std::string_view piece : split_after_line_erase(bytes)) {
            if (!write_console(handle_, piece)) {
                return false;
            }
        }
        return true;
    }

  private:
    HANDLE handle_;
    bool console_ = false;
};

class StreamSource final : public ByteSource {
  public:
    StreamSource() : handle_(::GetStdHandle(STD_INPUT_HANDLE)), console_(is_console(handle_)) {}

    SourceRead read(std::span<char> buffer) override {
        if (buffer.empty()) {
            return {0, false};
        }
        if (!console_) {
            return read_bytes(buffer);
        }
        while (pending_.empty()) {
            if (const ConsoleRead got = read_console(); got != ConsoleRead::Text) {
                return {0, got == ConsoleRead::Failed};
            }
        }
        const std::size_t n = std::min(buffer.size(), pending_.size());
        std::copy_n(pending_.data(), n, buffer.data());
        pending_.erase(0, n);
        return {n, false};
    }

  private:
    enum class ConsoleRead { Text, Ended, Failed };

    SourceRead read_bytes(std::span<char> buffer) {
        DWORD got = 0;
        const auto want = static_cast<DWORD>(std::min<std::size_t>(buffer.size(), 1 << 20));
        if (!::ReadFile(handle_, buffer.data(), want, &got, nullptr)) {
            // A pipe whose writer has gone reports ERROR_BROKEN_PIPE on
            // Windows; wine gives TRUE with 0 bytes.
            const DWORD error = ::GetLastError();
            if (error == ERROR_BROKEN_PIPE || error == ERROR_HANDLE_EOF) {
                return {0, false};
            }
            return {0, true};
        }
        return {got, false};
    }

    // One ReadConsoleW appended to pending_ as UTF-8, "\r\n" as "\n". A high
    // surrogate at the end waits for its low half. Ctrl+Z at the start of a
    // line ends the input, as it does for the console's own programs. A read
    // that Ctrl+C interrupted is made again: the control handler ends the
    // process meanwhile.
    ConsoleRead read_console() {
        wchar_t units[1024];
        DWORD got = 0;
        for (;;) {
            // The error matters even when the call succeeds: clear any old one.
            ::SetLastError(0);
            const BOOL read =
                ::ReadConsoleW(handle_, units, static_cast<DWORD>(std::size(units)), &got, nullptr);
            switch (host::classify_read(read != FALSE, got, ::GetLastError())) {
                case host::ReadOutcome::ReadAgain:
                    continue;
                case host::ReadOutcome::Ended:
                    return ConsoleRead::Ended;
                case host::ReadOutcome::Failed:
                    return ConsoleRead::Failed;
                case host::ReadOutcome::Text:
                    break;
            }
            break;
        }
        std::wstring text = std::move(high_surrogate_);
        high_surrogate_.clear();
        text.append(units, got);
        if (text.back() >= 0xD800 && text.back() <= 0xDBFF) {
            high_surrogate_ = text.back();
            text.pop_back();
        }
        if (at_line_start_ && !text.empty() && text.front() == L'\x1a') {
            return ConsoleRead::Ended;
        }
        std::string utf8 = windows::to_utf8(text);
        for (auto at = utf8.find("\r\n"); at != std::string::npos; at = utf8.find("\r\n", at)) {
            utf8.erase(at, 1);
        }
        if (!utf8.empty()) {
            at_line_start_ = utf8.back() == '\n';
        }
        pending_ += utf8;
        return ConsoleRead::Text;
    }

    HANDLE handle_;
    bool console_;
    std::string pending_;
    std::wstring high_surrogate_;
    bool at_line_start_ = true;
};

// A copy of a standard handle that a child process inherits; null when
// there is none.
HANDLE inheritable(DWORD which) {
    const HANDLE handle = ::GetStdHandle(which);
    HANDLE copy = nullptr;
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE ||
        !::DuplicateHandle(::GetCurrentProcess(), handle, ::GetCurrentProcess(), &copy, 0, TRUE,
                           DUPLICATE_SAME_ACCESS)) {
        return nullptr;
    }
    return copy;
}

std::wstring system_directory() {
    std::wstring directory(MAX_PATH, L'\0');
    for (;;) {
        const UINT length =
            ::GetSystemDirectoryW(directory.data(), static_cast<UINT>(directory.size()));
        if (length < directory.size()) {
            directory.resize(length);  // 0: failed, empty
            return directory;
        }
        directory.resize(length);  // the size it needs, terminator included
    }
}

// `cmd /C cls` on the program's console and standard streams, waited for;
// its exit status does not matter, a failure to start it is fatal.
void run_cls() {
    const std::wstring directory = system_directory();
    const DWORD directory_error = ::GetLastError();
    const std::wstring application = host::cmd_application(directory);
    if (application.empty()) {
        throw FatalError("Не удалось запустить cmd /C cls: " +
                         windows::error_text(directory_error));
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = inheritable(STD_INPUT_HANDLE);
    startup.hStdOutput = inheritable(STD_OUTPUT_HANDLE);
    startup.hStdError = inheritable(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process{};
    // A start can fail for a moment (a child that died while starting, under
    // heavy load: ERROR_INTERNAL_ERROR), so a few tries, 100 ms apart, before
    // the failure is fatal.
    constexpr int kStartAttempts = 3;
    BOOL started = FALSE;
    DWORD start_error = 0;
    for (int attempt = 1; attempt <= kStartAttempts; ++attempt) {
        if (attempt > 1) {
            ::Sleep(100);
        }
        // CreateProcessW may write into the command line.
        std::wstring command(host::cls_command_line);
        started = ::CreateProcessW(application.c_str(), command.data(), nullptr, nullptr, TRUE, 0,
                                   nullptr, nullptr, &startup, &process);
        start_error = ::GetLastError();
        if (started) {
            break;
        }
    }
    for (const HANDLE copy : {startup.hStdInput, startup.hStdOutput, startup.hStdError}) {
        if (copy != nullptr) {
            ::CloseHandle(copy);
        }
    }
    if (!started) {
        throw FatalError("Не удалось запустить cmd /C cls: " + windows::error_text(start_error));
    }
    ::CloseHandle(process.hThread);
    const DWORD waited = ::WaitForSingleObject(process.hProcess, INFINITE);
    const DWORD wait_error = ::GetLastError();
    ::CloseHandle(process.hProcess);
    if (waited != WAIT_OBJECT_0) {
        throw FatalError("Не удалось дождаться cmd /C cls: " + windows::error_text(wait_error));
    }
}

}  // namespace

ByteSource& standard_input() {
    static StreamSource* const source = new StreamSource;
    return *source;
}

ByteSink& standard_output() {
    static StreamSink* const sink = new StreamSink(STD_OUTPUT_HANDLE);
    return *sink;
}

ByteSink& standard_error() {
    static StreamSink* const sink = new StreamSink(STD_ERROR_HANDLE);
    return *sink;
}

std::function<void()> standard_clear_action() {
    return run_cls;
}

void restore_console_now() {
    restore_output_modes();
}

}  // namespace portavik
