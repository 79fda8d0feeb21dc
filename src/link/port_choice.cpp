// SPDX-License-Identifier: MIT

#include "link/port_choice.hpp"

#include <limits>

#include "text/text.hpp"

namespace portavik {

PortList list_available_ports(Console& console, const PortLister& list_ports) {
    auto listed = list_ports();
    if (!listed) {
        console.line("❌ Ошибка при получении списка портов: " + listed.error().description);
        return {};
    }
    if (listed->empty()) {
        console.line("❌ Нет доступных последовательных портов!");
        return {};
    }
    console.line("\n🔌 Доступные порты:");
    std::size_t number = 1;
    for (const PortInfo& info : *listed) {
        console.line("  " + std::to_string(number++) + ". " + info.port_name);
    }
    return std::move(*listed);
}

std::optional<std::string> select_port(Console& console, const PortLister& list_ports) {
    const PortList ports = list_available_ports(console, list_ports);
    if (ports.empty()) {
        return std::nullopt;
    }
    for (;;) {
        console.print("\nВведите номер порта: ");
        const LineResult input = console.read_line();
        if (!input) {
            if (input.error() == ReadError::Ended) {
                return std::nullopt;
            }
            console.line("⚠️ Ошибка: введите число!");
            continue;
        }
        const auto number = parse_unsigned(trim(*input), std::numeric_limits<std::size_t>::max());
        if (number && *number >= 1 && *number <= ports.size()) {
            return ports[static_cast<std::size_t>(*number - 1)].port_name;
        }
        console.line(
            "⚠️ Ошибка: введите корректный номер порта!");
    }
}

PortSettings get_default_settings(std::string port_name, std::uint32_t baud_rate) {
    return PortSettings(std::move(port_name), baud_rate)
        .data_bits(DataBits::Eight)
        .flow_control(FlowControl::None)
        .parity(Parity::None)
        .stop_bits(StopBits::One);
}

}  // namespace portavik
