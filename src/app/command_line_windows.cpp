// SPDX-License-Identifier: MIT
#include <windows.h>

#include "app/arguments.hpp"
#include "base/windows_text.hpp"

namespace portavik {

namespace {

using CommandLineToArgv = LPWSTR*(WINAPI*)(LPCWSTR, int*);

// CommandLineToArgvW from shell32.dll, loaded only when there are
// arguments: an ordinary start keeps to the DLLs the program imports.
CommandLineToArgv command_line_to_argv() {
    const HMODULE shell32 = ::LoadLibraryExW(L"shell32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (shell32 == nullptr) {
        return nullptr;
    }
    const FARPROC found = ::GetProcAddress(shell32, "CommandLineToArgvW");
    // Through void (*)(), which any function pointer converts to without a warning.
    return reinterpret_cast<CommandLineToArgv>(reinterpret_cast<void (*)()>(found));
}

}  // namespace

// argv holds the arguments in the ANSI code page, where characters outside
// it are already '?'; the wide command line, split by the rules the C
// runtime uses (CommandLineToArgvW), has them all.
std::vector<std::string> command_line_arguments(int argc, char** argv) {
    if (argc < 2) {
        return {};
    }
    const CommandLineToArgv split = command_line_to_argv();
    int count = 0;
    wchar_t** wide = split ? split(::GetCommandLineW(), &count) : nullptr;
    if (wide == nullptr) {
        return {argv + 1, argv + argc};
    }
    std::vector<std::string> args;
    for (int i = 1; i < count; ++i) {
        args.push_back(windows::to_utf8(wide[i]));
    }
    ::LocalFree(wide);
    return args;
}

}  // namespace portavik
