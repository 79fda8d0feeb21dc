// SPDX-License-Identifier: MIT

// Port listing: what libserialport reports, then virtual ports (links under
// /dev to pseudo-terminal slaves). Nothing here opens a port.

#include <dirent.h>
#include <libserialport.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "serial/natural_order.hpp"
#include "serial/posix_error.hpp"
#include "serial/serial_port.hpp"

namespace portavik {

namespace {

constexpr std::string_view kDevDir = "/dev/";

SerialError listing_error(sp_return code) {
    const std::string prefix = "не удалось получить список портов: ";
    switch (code) {
        case SP_ERR_FAIL: {
            const int err = sp_last_error_code();
            char* message = sp_last_error_message();
            SerialError error = detail::serial_error_from_errno(err);
            error.description = prefix + (message != nullptr ? message : error.description);
            sp_free_error_message(message);
            return error;
        }
        case SP_ERR_MEM:
            return SerialError{ErrorKind::Unknown, IoKind::Other, prefix + "не хватило памяти"};
        case SP_ERR_SUPP:
            return SerialError{ErrorKind::Unknown, IoKind::Other,
                               prefix + "система не поддерживает перечисление портов"};
        case SP_ERR_ARG:
            return SerialError{ErrorKind::InvalidInput, IoKind::Other,
                               prefix + "неверный аргумент"};
        case SP_OK:
            break;
    }
    return SerialError{ErrorKind::Unknown, IoKind::Other,
                       prefix + "код ошибки " + std::to_string(static_cast<int>(code))};
}

bool all_digits(std::string_view text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Pseudo-terminal slaves: /dev/pts/N on Linux, /dev/ttysNNN on macOS.
bool is_pty_slave_path(std::string_view path) {
#if defined(__APPLE__)
    constexpr std::string_view kSlavePrefix = "/dev/ttys";
#else
    constexpr std::string_view kSlavePrefix = "/dev/pts/";
#endif
    return path.starts_with(kSlavePrefix) && all_digits(path.substr(kSlavePrefix.size()));
}

// A symbolic link directly under /dev, named tty*, that resolves to a
// pseudo-terminal slave. Checked with lstat, realpath and stat only.
bool is_virtual_port(const std::string& path) {
    struct stat link_info {};
    if (::lstat(path.c_str(), &link_info) != 0 || !S_ISLNK(link_info.st_mode)) {
        return false;
    }
    const auto release = [](char* p) { std::free(p); };
    const std::unique_ptr<char, decltype(release)> resolved(::realpath(path.c_str(), nullptr),
                                                            release);
    if (!resolved || !is_pty_slave_path(resolved.get())) {
        return false;
    }
    struct stat target_info {};
    return ::stat(resolved.get(), &target_info) == 0 && S_ISCHR(target_info.st_mode);
}

PortList virtual_ports() {
    PortList ports;
    const auto close_dir = [](DIR* d) { ::closedir(d); };
    const std::unique_ptr<DIR, decltype(close_dir)> dir(::opendir("/dev"), close_dir);
    if (!dir) {
        return ports;
    }
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::string_view name = entry->d_name;
        if (!name.starts_with("tty")) {
            continue;
        }
        std::string path = std::string(kDevDir) + std::string(name);
        if (is_virtual_port(path)) {
            ports.push_back(PortInfo{std::move(path)});
        }
    }
    return ports;
}

void sort_naturally(PortList& ports) {
    std::sort(ports.begin(), ports.end(), [](const PortInfo& a, const PortInfo& b) {
        return natural_less(a.port_name, b.port_name);
    });
}

}  // namespace

SerialResult<PortList> list_ports() {
    sp_port** listed = nullptr;
    if (const sp_return code = sp_list_ports(&listed); code != SP_OK) {
        return std::unexpected(listing_error(code));
    }
    PortList ports;
    for (sp_port** port = listed; port != nullptr && *port != nullptr; ++port) {
        if (const char* name = sp_get_port_name(*port)) {
            ports.push_back(PortInfo{name});
        }
    }
    sp_free_port_list(listed);
    sort_naturally(ports);

    PortList links = virtual_ports();
    sort_naturally(links);
    for (PortInfo& link : links) {
        const bool known = std::any_of(ports.begin(), ports.end(), [&](const PortInfo& p) {
            return p.port_name == link.port_name;
        });
        if (!known) {
            ports.push_back(std::move(link));
        }
    }
    return ports;
}

}  // namespace portavik
