// SPDX-License-Identifier: MIT

#include "support/agent_port.hpp"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "support/agent_protocol.hpp"

extern char** environ;

namespace portavik::agent {

namespace {

// An open port of the agent, one handle of its table.
class AgentPort final : public SerialPort {
  public:
    AgentPort(AgentClient& client, std::string handle) : client_(client), handle_(handle) {}
    ~AgentPort() override { client_.call("close " + handle_); }

    std::optional<std::string> name() const override {
        const auto reply = call("name");
        return reply.at(0) == "ok" ? std::optional(from_hex(reply.at(1))) : std::nullopt;
    }

    SerialResult<LineSettings> line_settings() const override {
        const auto reply = call("get");
        if (reply.at(0) != "ok") {
            return std::unexpected(serial_error_of(reply));
        }
        return line_of(reply, 1);
    }
    std::chrono::milliseconds timeout() const override {
        const auto reply = call("timeout");
        return std::chrono::milliseconds(reply.at(0) == "ok" ? std::stol(reply.at(1)) : 0);
    }

    SerialResult<void> set_line_settings(const LineSettings& line) override {
        const auto reply = call("set", encode(line));
        if (reply.at(0) != "ok") {
            return std::unexpected(serial_error_of(reply));
        }
        return {};
    }

    SerialResult<std::unique_ptr<SerialPort>> try_clone() const override {
        const auto reply = call("clone");
        if (reply.at(0) != "ok") {
            return std::unexpected(serial_error_of(reply));
        }
        return std::make_unique<AgentPort>(client_, reply.at(1));
    }

    IoResult<std::size_t> read(std::span<std::uint8_t> buffer) override {
        const auto reply = call("read", std::to_string(buffer.size()));
        if (reply.at(0) != "ok") {
            return std::unexpected(io_error_of(reply));
        }
        const std::string bytes = from_hex(reply.at(1));
        std::memcpy(buffer.data(), bytes.data(), bytes.size());
        return bytes.size();
    }

    IoResult<void> write_all(std::span<const std::uint8_t> bytes) override {
        const auto reply = call("write", to_hex(bytes));
        if (reply.at(0) != "ok") {
            return std::unexpected(io_error_of(reply));
        }
        return {};
    }

    void cancel_read() override { call("cancel"); }

    LineCounts line_counts() const override {
        const auto reply = call("counts");
        if (reply.at(0) != "ok") {
            return {};
        }
        return {std::stoull(reply.at(1)), std::stoull(reply.at(2)), std::stoull(reply.at(3)),
                std::stoull(reply.at(4))};
    }

  private:
    std::vector<std::string> call(const std::string& verb, const std::string& rest = {}) const {
        return client_.call(verb + " " + handle_ + (rest.empty() ? "" : " " + rest));
    }

    AgentClient& client_;
    const std::string handle_;
};

}  // namespace

AgentClient::AgentClient(const std::vector<std::string>& command) {
    int requests[2];
    int replies[2];
    if (::pipe2(requests, O_CLOEXEC) != 0 || ::pipe2(replies, O_CLOEXEC) != 0) {
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    }
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_adddup2(&actions, requests[0], STDIN_FILENO);
    ::posix_spawn_file_actions_adddup2(&actions, replies[1], STDOUT_FILENO);
    std::vector<char*> argv;
    for (const std::string& word : command) {
        argv.push_back(const_cast<char*>(word.c_str()));
    }
    argv.push_back(nullptr);
    const int spawned = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    ::close(requests[0]);
    ::close(replies[1]);
    to_agent_ = requests[1];
    from_agent_ = replies[0];
    if (spawned != 0) {
        throw std::runtime_error(command[0] + ": " + std::strerror(spawned));
    }
    reader_ = std::thread([this] { read_replies(); });
}

AgentClient::~AgentClient() {
    ::close(to_agent_);  // the agent ends at the end of its input
    int status = 0;
    ::waitpid(pid_, &status, 0);
    reader_.join();
    ::close(from_agent_);
}

void AgentClient::read_replies() {
    std::string pending;
    char chunk[1 << 16];
    for (;;) {
        const ssize_t n = ::read(from_agent_, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        pending.append(chunk, static_cast<std::size_t>(n));
        for (auto end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
            std::string line = pending.substr(0, end);
            pending.erase(0, end + 1);
            // Anything else on the agent's output (wine's own messages) is
            // no reply.
            char* after = nullptr;
            const long id = std::strtol(line.c_str(), &after, 10);
            if (after == line.c_str() || *after != ' ') {
                continue;
            }
            std::lock_guard lock(lock_);
            replies_[id] = line.substr(static_cast<std::size_t>(after + 1 - line.c_str()));
            replied_.notify_all();
        }
    }
    std::lock_guard lock(lock_);
    gone_ = true;
    replied_.notify_all();
}

std::vector<std::string> AgentClient::call(const std::string& request) {
    long id = 0;
    {
        std::lock_guard lock(lock_);
        id = next_id_++;
        const std::string line = std::to_string(id) + " " + request + "\n";
        std::size_t done = 0;
        while (done < line.size()) {
            const ssize_t n = ::write(to_agent_, line.data() + done, line.size() - done);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                return {"bad", to_hex(std::string("write to the agent failed"))};
            }
            done += static_cast<std::size_t>(n);
        }
    }
    std::unique_lock lock(lock_);
    replied_.wait(lock, [&] { return replies_.count(id) != 0 || gone_; });
    if (replies_.count(id) == 0) {
        return {"bad", to_hex(std::string("the agent ended"))};
    }
    std::vector<std::string> reply = words(replies_[id]);
    replies_.erase(id);
    if (reply.empty()) {
        return {"bad", to_hex(std::string("an empty reply"))};
    }
    return reply;
}

SerialResult<std::unique_ptr<SerialPort>> AgentClient::open_port(const PortSettings& settings) {
    const auto reply = call("open " + to_hex(settings.path()) + " " + encode(settings.line()) +
                            " " + std::to_string(settings.timeout().count()));
    if (reply.at(0) != "ok") {
        return std::unexpected(serial_error_of(reply));
    }
    return std::make_unique<AgentPort>(*this, reply.at(1));
}

SerialResult<PortList> AgentClient::list_ports() {
    const auto reply = call("list");
    if (reply.at(0) != "ok") {
        return std::unexpected(serial_error_of(reply));
    }
    PortList ports;
    for (std::size_t i = 1; i < reply.size(); ++i) {
        ports.push_back(PortInfo{from_hex(reply[i])});
    }
    return ports;
}

}  // namespace portavik::agent
