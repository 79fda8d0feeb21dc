// SPDX-License-Identifier: MIT

// Port listing on Windows: the values of HKLM\HARDWARE\DEVICEMAP\SERIALCOMM,
// where every serial driver enters the COM name of each port it serves
// (GetCommPorts is newer and missing under wine).

#include <windows.h>

#include <algorithm>
#include <string>

#include "base/windows_text.hpp"
#include "serial/natural_order.hpp"
#include "serial/serial_port.hpp"

namespace portavik {

namespace {

SerialError listing_error(LSTATUS status) {
    return SerialError{
        ErrorKind::Unknown, IoKind::Other,
        "не удалось получить список портов: " + windows::error_text(static_cast<DWORD>(status))};
}

}  // namespace

SerialResult<PortList> list_ports() {
    HKEY key = nullptr;
    const LSTATUS opened = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM",
                                           0, KEY_QUERY_VALUE, &key);
    // The key exists only while some driver serves a port.
    if (opened == ERROR_FILE_NOT_FOUND) {
        return PortList{};
    }
    if (opened != ERROR_SUCCESS) {
        return std::unexpected(listing_error(opened));
    }
    PortList ports;
    LSTATUS status = ERROR_SUCCESS;
    for (DWORD index = 0;; ++index) {
        wchar_t value_name[256];
        DWORD name_length = static_cast<DWORD>(std::size(value_name));
        wchar_t data[256] = {};
        DWORD data_size = sizeof data - sizeof(wchar_t);  // room for a terminating zero
        DWORD type = 0;
        status = ::RegEnumValueW(key, index, value_name, &name_length, nullptr, &type,
                                 reinterpret_cast<BYTE*>(data), &data_size);
        if (status == ERROR_NO_MORE_ITEMS) {
            status = ERROR_SUCCESS;
            break;
        }
        if (status == ERROR_MORE_DATA) {
            continue;  // no COM name is that long
        }
        if (status != ERROR_SUCCESS) {
            break;
        }
        if (type != REG_SZ) {
            continue;
        }
        std::wstring_view name(data, data_size / sizeof(wchar_t));
        while (!name.empty() && name.back() == L'\0') {
            name.remove_suffix(1);
        }
        if (!name.empty()) {
            ports.push_back(PortInfo{windows::to_utf8(name)});
        }
    }
    ::RegCloseKey(key);
    if (status != ERROR_SUCCESS) {
        return std::unexpected(listing_error(status));
    }
    std::sort(ports.begin(), ports.end(), [](const PortInfo& a, const PortInfo& b) {
        return natural_less(a.port_name, b.port_name);
    });
    ports.erase(std::unique(ports.begin(), ports.end(),
                            [](const PortInfo& a, const PortInfo& b) {
                                return a.port_name == b.port_name;
                            }),
                ports.end());
    return ports;
}

}  // namespace portavik
