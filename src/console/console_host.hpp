// SPDX-License-Identifier: MIT

#pragma once

// What the Windows console's answers mean for the console layer, decided
// from the few values they carry, in neutral types: console_windows.cpp
// feeds them from the Win32 calls, and both builds' tests feed them what
// Windows gives. Values are the Windows API's (winerror.h, wincon.h).

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace portavik::console_host {

inline constexpr std::uint32_t error_operation_aborted = 995;

// Output mode bits (SetConsoleMode on a screen buffer).
inline constexpr std::uint32_t processed_output = 0x0001;
inline constexpr std::uint32_t wrap_at_eol_output = 0x0002;
inline constexpr std::uint32_t virtual_terminal_processing = 0x0004;
inline constexpr std::uint32_t disable_newline_auto_return = 0x0008;

// One cooked ReadConsoleW. Ctrl+C or Ctrl+Break during the read makes it
// return TRUE with no characters and last error ERROR_OPERATION_ABORTED;
// the console's control handler runs afterwards on a thread of its own and
// ends the process (microsoft/terminal issue 12143; HandlerRoutine). That is
// an interrupted read, to be made again, not the end of input.
enum class ReadOutcome { Text, ReadAgain, Ended, Failed };
ReadOutcome classify_read(bool succeeded, std::size_t characters, std::uint32_t last_error);

// The output mode the program writes with, from the one it found: escape
// sequences interpreted (ESC [2K erases the editors' line), and a line feed
// that also returns the carriage, whatever an earlier program left.
std::uint32_t program_output_mode(std::uint32_t found);

// The output modes the program changed and the modes it found there, put
// back on the way out, last change first: standard output and standard
// error are often two handles on one screen buffer. Changes are taken while
// the streams are made, on one thread; a restore may come from any thread.
class ModeRecord {
  public:
    // The mode to set on `handle`, which has `found`, with `found` recorded;
    // nothing when the mode is the program's already, or when the record is
    // full (a change it could not undo is not made).
    std::optional<std::uint32_t> take(std::uintptr_t handle, std::uint32_t found);

    template <typename SetMode>
    void restore(SetMode set_mode) const {
        for (std::size_t i = count_.load(std::memory_order_acquire); i > 0; --i) {
            set_mode(entries_[i - 1].handle, entries_[i - 1].found);
        }
    }

  private:
    struct Entry {
        std::uintptr_t handle = 0;
        std::uint32_t found = 0;
    };
    std::array<Entry, 4> entries_{};
    std::atomic<std::size_t> count_{0};
};

// The program `cmd /C cls` runs: cmd.exe in the system directory, named in
// full. Without an application name CreateProcessW looks in the program's
// own folder and the current folder first (CreateProcessW, lpApplicationName),
// so a cmd.exe lying next to the program would run. Empty when the system
// directory is unknown.
std::wstring cmd_application(std::wstring_view system_directory);
inline constexpr std::wstring_view cls_command_line = L"cmd /C cls";

}  // namespace portavik::console_host
