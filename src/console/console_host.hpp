#pragma once

// What the Windows console's answers mean for the console layer, decided
// from the few values they carry, in neutral types: console_windows.cpp
// feeds them from the Win32 calls, and both builds' tests feed them what
// Windows gives. Values are the Windows API's (winerror.h, wincon.h).

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace portavik::console_host {

inline constexpr std::uint32_t error_operation_aborted = 995;

// One cooked ReadConsoleW. Ctrl+C or Ctrl+Break during the read makes it
// return TRUE with no characters and last error ERROR_OPERATION_ABORTED;
// the console's control handler runs afterwards on a thread of its own and
// ends the process (microsoft/terminal issue 12143; HandlerRoutine). That is
// an interrupted read, to be made again, not the end of input.
enum class ReadOutcome { Text, ReadAgain, Ended, Failed };
ReadOutcome classify_read(bool succeeded, std::size_t characters, std::uint32_t last_error);

// The program `cmd /C cls` runs: cmd.exe in the system directory, named in
// full. Without an application name CreateProcessW looks in the program's
// own folder and the current folder first (CreateProcessW, lpApplicationName),
// so a cmd.exe lying next to the program would run. Empty when the system
// directory is unknown.
std::wstring cmd_application(std::wstring_view system_directory);
inline constexpr std::wstring_view cls_command_line = L"cmd /C cls";

}  // namespace portavik::console_host
