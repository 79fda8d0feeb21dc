// SPDX-License-Identifier: MIT

#include "console/console_host.hpp"

namespace portavik::console_host {

ReadOutcome classify_read(bool succeeded, std::size_t characters, std::uint32_t last_error) {
    if (!succeeded) {
        return ReadOutcome::Failed;
    }
    if (characters > 0) {
        return ReadOutcome::Text;
    }
    return last_error == error_operation_aborted ? ReadOutcome::ReadAgain : ReadOutcome::Ended;
}

std::uint32_t program_output_mode(std::uint32_t found) {
    return (found | processed_output | virtual_terminal_processing) & ~disable_newline_auto_return;
}

std::optional<std::uint32_t> ModeRecord::take(std::uintptr_t handle, std::uint32_t found) {
    const std::uint32_t wanted = program_output_mode(found);
    const std::size_t at = count_.load(std::memory_order_relaxed);
    if (wanted == found || at == entries_.size()) {
        return std::nullopt;
    }
    entries_[at] = {handle, found};
    count_.store(at + 1, std::memory_order_release);
    return wanted;
}

std::wstring cmd_application(std::wstring_view system_directory) {
    if (system_directory.empty()) {
        return {};
    }
    std::wstring path(system_directory);
    if (path.back() != L'\\') {
        path += L'\\';
    }
    return path + L"cmd.exe";
}

}  // namespace portavik::console_host
