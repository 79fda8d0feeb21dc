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
