// SPDX-License-Identifier: MIT

#pragma once

// The serial backend of another build, reached through its serial_agent
// (support/agent_protocol.hpp): the Windows backend under wine, seen from
// the Linux tests as `open_port`, `list_ports` and `SerialPort`.

#include <sys/types.h>

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "serial/serial_port.hpp"

namespace portavik::agent {

class AgentClient {
  public:
    // Starts `command` (e.g. scripts/wine-run serial_agent.exe).
    explicit AgentClient(const std::vector<std::string>& command);
    AgentClient(const AgentClient&) = delete;
    AgentClient& operator=(const AgentClient&) = delete;
    ~AgentClient();

    // Sends one request (without its id) and waits for the reply's words
    // after the id. Safe from several threads at once.
    std::vector<std::string> call(const std::string& request);

    SerialResult<std::unique_ptr<SerialPort>> open_port(const PortSettings& settings);
    SerialResult<PortList> list_ports();

  private:
    void read_replies();

    pid_t pid_ = -1;
    int to_agent_ = -1;
    int from_agent_ = -1;
    std::mutex lock_;
    std::condition_variable replied_;
    std::map<long, std::string> replies_;
    long next_id_ = 1;
    bool gone_ = false;
    std::thread reader_;
};

}  // namespace portavik::agent
