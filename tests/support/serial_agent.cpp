// SPDX-License-Identifier: MIT

// serial_agent: the serial backend of the build it belongs to, driven over
// standard input and output (support/agent_protocol.hpp). The integration
// tests run the Windows build's agent under wine and check on the Linux
// side of a pseudo-terminal what the backend did.
//
// Each open handle has a thread that serves its requests in order, so a read
// on one handle waits while another handle writes; the reading thread serves
// open, list, clone and cancel itself, so a cancel reaches a read in
// progress. (Not a thread per request: winpthreads under wine now and then
// starts a thread without its argument when many start and end at once.)

#include <windows.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/agent_protocol.hpp"

namespace portavik::agent {
namespace {

std::mutex g_out_lock;

// Standard output through WriteFile, one whole line at a time: iostreams
// would flush std::cout from the reading thread (cin is tied to it) while
// another thread writes.
void write_line(const std::string& line) {
    std::lock_guard lock(g_out_lock);
    const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    std::string_view rest = line;
    while (!rest.empty()) {
        DWORD written = 0;
        if (!::WriteFile(out, rest.data(), static_cast<DWORD>(rest.size()), &written, nullptr)) {
            ::ExitProcess(3);  // the tests are gone
        }
        rest.remove_prefix(written);
    }
}

using Request = std::vector<std::string>;

struct Handle {
    std::shared_ptr<SerialPort> port;
    std::mutex lock;
    std::condition_variable arrived;
    std::deque<Request> requests;
};

std::mutex g_handles_lock;
std::map<int, std::shared_ptr<Handle>> g_handles;
int g_next_handle = 1;

std::shared_ptr<Handle> handle_of(const std::string& number) {
    std::lock_guard lock(g_handles_lock);
    return g_handles.at(std::stoi(number));
}

std::string serve(SerialPort& port, const Request& w);

void answer(const Request& request, const std::string& reply) {
    write_line(request.at(0) + " " + reply + "\n");
}

// The handle's thread: its requests in order, until "close".
void serve_handle(std::shared_ptr<Handle> handle) {
    for (;;) {
        Request request;
        {
            std::unique_lock lock(handle->lock);
            handle->arrived.wait(lock, [&] { return !handle->requests.empty(); });
            request = std::move(handle->requests.front());
            handle->requests.pop_front();
        }
        if (request.at(1) == "close") {
            {
                std::lock_guard lock(g_handles_lock);
                g_handles.erase(std::stoi(request.at(2)));
            }
            handle->port.reset();
            answer(request, "ok");
            return;
        }
        std::string reply;
        try {
            reply = serve(*handle->port, request);
        } catch (const std::exception& failure) {
            reply = "bad " + to_hex(failure.what());
        }
        answer(request, reply);
    }
}

int keep(std::unique_ptr<SerialPort> port) {
    auto handle = std::make_shared<Handle>();
    handle->port = std::move(port);
    std::lock_guard lock(g_handles_lock);
    const int number = g_next_handle++;
    g_handles[number] = handle;
    std::thread(serve_handle, handle).detach();
    return number;
}

std::string open(const std::vector<std::string>& w) {
    const PortSettings settings = PortSettings(from_hex(w.at(2)), 0)
                                      .line(line_of(w, 3))
                                      .timeout(std::chrono::milliseconds(std::stoul(w.at(8))));
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

// w: id, verb, handle, arguments; on the handle's thread.
std::string serve(SerialPort& port, const Request& w) {
    const std::string& verb = w.at(1);
    if (verb == "name") {
        return "ok " + to_hex(port.name().value_or(""));
    }
    if (verb == "timeout") {
        return "ok " + std::to_string(port.timeout().count());
    }
    if (verb == "counts") {
        const LineCounts counts = port.line_counts();
        return "ok " + std::to_string(counts.overruns) + " " + std::to_string(counts.framing) +
               " " + std::to_string(counts.parity) + " " + std::to_string(counts.breaks);
    }
    if (verb == "get") {
        const auto line = port.line_settings();
        return line ? "ok " + encode(*line) : encode(line.error());
    }
    if (verb == "set") {
        const auto set = port.set_line_settings(line_of(w, 3));
        return set ? "ok" : encode(set.error());
    }
    if (verb == "read") {
        std::vector<std::uint8_t> buffer(std::stoul(w.at(3)));
        const auto got = port.read(buffer);
        return got ? "ok " + to_hex(std::span(buffer).first(*got)) : encode(got.error());
    }
    if (verb == "write") {
        const std::string bytes = from_hex(w.at(3));
        const auto written = port.write_all(
            std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
        return written ? "ok" : encode(written.error());
    }
    return "bad " + to_hex(verb);
}

// On the reading thread: what is answered at once, or handed to the
// handle's thread.
void dispatch(Request request) {
    const std::string& verb = request.at(1);
    try {
        if (verb == "open") {
            answer(request, open(request));
            return;
        }
        if (verb == "list") {
            answer(request, list());
            return;
        }
        const auto handle = handle_of(request.at(2));
        if (verb == "cancel") {
            handle->port->cancel_read();
            answer(request, "ok");
            return;
        }
        if (verb == "clone") {
            auto clone = handle->port->try_clone();
            answer(request,
                   clone ? "ok " + std::to_string(keep(std::move(*clone))) : encode(clone.error()));
            return;
        }
        std::lock_guard lock(handle->lock);
        handle->requests.push_back(std::move(request));
        handle->arrived.notify_one();
    } catch (const std::exception& failure) {
        answer(request, "bad " + to_hex(failure.what()));
    }
}

}  // namespace
}  // namespace portavik::agent

int main() {
    using namespace portavik::agent;
    const HANDLE in = ::GetStdHandle(STD_INPUT_HANDLE);
    std::string pending;
    char chunk[1 << 16];
    DWORD got = 0;
    // The tests close standard input when they are done; requests still
    // running then end with the process.
    while (::ReadFile(in, chunk, sizeof chunk, &got, nullptr) && got > 0) {
        pending.append(chunk, got);
        for (auto end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
            auto request = words(pending.substr(0, end));
            pending.erase(0, end + 1);
            if (request.size() >= 2) {
                dispatch(std::move(request));
            }
        }
    }
    return 0;
}
