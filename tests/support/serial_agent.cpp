// serial_agent: the serial backend of the build it belongs to, driven over
// standard input and output (support/agent_protocol.hpp). The integration
// tests run the Windows build's agent under wine and check on the Linux
// side of a pseudo-terminal what the backend did. Each request runs on a
// thread of its own, so a read can wait while another request goes on.

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "support/agent_protocol.hpp"

namespace portavik::agent {
namespace {

std::mutex g_out_lock;
std::mutex g_ports_lock;
std::map<int, std::shared_ptr<SerialPort>> g_ports;
int g_next_handle = 1;

int keep(std::unique_ptr<SerialPort> port) {
    std::lock_guard lock(g_ports_lock);
    g_ports[g_next_handle] = std::move(port);
    return g_next_handle++;
}

std::shared_ptr<SerialPort> port_of(const std::string& handle) {
    std::lock_guard lock(g_ports_lock);
    return g_ports.at(std::stoi(handle));
}

template <class T>
std::string value_reply(const SerialResult<T>& result) {
    if (!result) {
        return encode(result.error());
    }
    if constexpr (std::is_enum_v<T>) {
        return "ok " + std::to_string(static_cast<int>(*result));
    } else {
        return "ok " + std::to_string(*result);
    }
}

std::string void_reply(const SerialResult<void>& result) {
    return result ? "ok" : encode(result.error());
}

std::string get(SerialPort& port, const std::string& what) {
    if (what == "baud") {
        return value_reply(port.baud_rate());
    }
    if (what == "data") {
        return value_reply(port.data_bits());
    }
    if (what == "stop") {
        return value_reply(port.stop_bits());
    }
    if (what == "parity") {
        return value_reply(port.parity());
    }
    return value_reply(port.flow_control());
}

std::string set(SerialPort& port, const std::string& what, const std::string& value) {
    const auto number = std::stoul(value);
    if (what == "baud") {
        return void_reply(port.set_baud_rate(static_cast<std::uint32_t>(number)));
    }
    if (what == "data") {
        return void_reply(port.set_data_bits(static_cast<DataBits>(number)));
    }
    if (what == "stop") {
        return void_reply(port.set_stop_bits(static_cast<StopBits>(number)));
    }
    if (what == "parity") {
        return void_reply(port.set_parity(static_cast<Parity>(number)));
    }
    return void_reply(port.set_flow_control(static_cast<FlowControl>(number)));
}

std::string open(const std::vector<std::string>& w) {
    const auto number = [&](std::size_t i) { return std::stoul(w.at(i)); };
    const PortSettings settings =
        PortSettings(from_hex(w.at(2)), static_cast<std::uint32_t>(number(3)))
            .data_bits(static_cast<DataBits>(number(4)))
            .parity(static_cast<Parity>(number(5)))
            .stop_bits(static_cast<StopBits>(number(6)))
            .flow_control(static_cast<FlowControl>(number(7)))
            .timeout(std::chrono::milliseconds(number(8)));
    auto opened = open_port(settings);
    if (!opened) {
        return encode(opened.error());
    }
    return "ok " + std::to_string(keep(std::move(*opened)));
}

std::string list() {
    const auto listed = list_ports();
    if (!listed) {
        return encode(listed.error());
    }
    std::string reply = "ok";
    for (const PortInfo& info : *listed) {
        reply += " " + to_hex(info.port_name);
    }
    return reply;
}

// w: id, verb, handle, arguments.
std::string serve(const std::vector<std::string>& w) {
    const std::string& verb = w.at(1);
    if (verb == "open") {
        return open(w);
    }
    if (verb == "list") {
        return list();
    }
    const auto port = port_of(w.at(2));
    if (verb == "name") {
        return "ok " + to_hex(port->name().value_or(""));
    }
    if (verb == "timeout") {
        return "ok " + std::to_string(port->timeout().count());
    }
    if (verb == "get") {
        return get(*port, w.at(3));
    }
    if (verb == "set") {
        return set(*port, w.at(3), w.at(4));
    }
    if (verb == "clone") {
        auto clone = port->try_clone();
        return clone ? "ok " + std::to_string(keep(std::move(*clone))) : encode(clone.error());
    }
    if (verb == "read") {
        std::vector<std::uint8_t> buffer(std::stoul(w.at(3)));
        const auto got = port->read(buffer);
        return got ? "ok " + to_hex(std::span(buffer).first(*got)) : encode(got.error());
    }
    if (verb == "write") {
        const std::string bytes = from_hex(w.at(3));
        const auto written = port->write_all(
            std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
        return written ? "ok" : encode(written.error());
    }
    if (verb == "cancel") {
        port->cancel_read();
        return "ok";
    }
    if (verb == "close") {
        std::lock_guard lock(g_ports_lock);
        g_ports.erase(std::stoi(w.at(2)));
        return "ok";
    }
    return "bad " + to_hex(verb);
}

void answer(const std::vector<std::string>& request) {
    std::string reply;
    try {
        reply = serve(request);
    } catch (const std::exception& failure) {
        reply = "bad " + to_hex(failure.what());
    }
    std::lock_guard lock(g_out_lock);
    std::cout << request.at(0) << ' ' << reply << '\n' << std::flush;
}

}  // namespace
}  // namespace portavik::agent

int main() {
    using namespace portavik::agent;
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
    // The tests close standard input when they are done; requests still
    // running then end with the process.
    for (std::string line; std::getline(std::cin, line);) {
        auto request = words(line);
        if (request.size() >= 2) {
            std::thread(answer, std::move(request)).detach();
        }
    }
    return 0;
}
