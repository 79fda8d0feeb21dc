// Listing: what libserialport finds (sysfs on Linux, IOKit on macOS), then
// virtual ports: links under /dev named tty* that point at a pseudo-terminal.

#include <dirent.h>
#include <libserialport.h>
#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <set>

#include "serial/natural_order.hpp"
#include "serial/serial_port.hpp"

namespace portavik {

namespace {

PortType type_of(sp_port* port) {
    switch (sp_get_port_transport(port)) {
        case SP_TRANSPORT_USB: return PortType::Usb;
        case SP_TRANSPORT_BLUETOOTH: return PortType::Bluetooth;
        default: return PortType::Unknown;
    }
}

bool is_pseudo_terminal_slave(std::string_view target) {
#ifdef __APPLE__
    constexpr std::string_view prefix = "/dev/ttys";
    if (!target.starts_with(prefix) || target.size() == prefix.size()) {
        return false;
    }
    return std::all_of(target.begin() + prefix.size(), target.end(),
                       [](char c) { return c >= '0' && c <= '9'; });
#else
    constexpr std::string_view prefix = "/dev/pts/";
    return target.starts_with(prefix) && target.size() > prefix.size() &&
           std::all_of(target.begin() + prefix.size(), target.end(),
                       [](char c) { return c >= '0' && c <= '9'; });
#endif
}

void sort_naturally(PortList& ports) {
    std::sort(ports.begin(), ports.end(), [](const PortInfo& a, const PortInfo& b) {
        return natural_less(a.port_name, b.port_name);
    });
}

// Links are only looked at (lstat, realpath), never opened.
PortList virtual_ports(const std::set<std::string>& already_listed) {
    PortList found;
    DIR* dev = ::opendir("/dev");
    if (dev == nullptr) {
        return found;
    }
    while (const dirent* entry = ::readdir(dev)) {
        const std::string_view name = entry->d_name;
        if (!name.starts_with("tty")) {
            continue;
        }
        const std::string path = "/dev/" + std::string(name);
        struct stat info {};
        if (::lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) {
            continue;
        }
        char target[PATH_MAX];
        if (::realpath(path.c_str(), target) == nullptr || !is_pseudo_terminal_slave(target)) {
            continue;
        }
        if (already_listed.count(path) == 0) {
            found.push_back({path, PortType::Virtual});
        }
    }
    ::closedir(dev);
    sort_naturally(found);
    return found;
}

}  // namespace

SerialResult<PortList> list_ports() {
    sp_port** ports = nullptr;
    if (sp_list_ports(&ports) != SP_OK) {
        char* message = sp_last_error_message();
        SerialError error{ErrorKind::Unknown, IoKind::Other,
                          message != nullptr ? message : "не удалось получить список портов"};
        sp_free_error_message(message);
        return std::unexpected(error);
    }
    PortList listed;
    std::set<std::string> names;
    for (sp_port** port = ports; *port != nullptr; ++port) {
        const char* name = sp_get_port_name(*port);
        if (name != nullptr && names.insert(name).second) {
            listed.push_back({name, type_of(*port)});
        }
    }
    sp_free_port_list(ports);
    sort_naturally(listed);
    PortList links = virtual_ports(names);
    listed.insert(listed.end(), links.begin(), links.end());
    return listed;
}

}  // namespace portavik
