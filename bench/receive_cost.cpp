// SPDX-License-Identifier: MIT

// The standard receiver (its reading and its printing thread) over N chunks
// of 1 KiB from an in-memory port, printing to the process's standard
// output. Meant to run under callgrind with standard output on /dev/null:
// the difference in instructions between two values of N, divided by their
// difference, is the receiver's cost per chunk (start-up and exit cancel
// out).
//
//   receive_cost CHUNKS text|binary

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "link/receive.hpp"

namespace portavik {
namespace {

class ChunkPort final : public SerialPort {
  public:
    ChunkPort(long chunks, bool printable, Flag running)
        : left_(chunks), running_(std::move(running)) {
        for (std::size_t i = 0; i < chunk_.size(); ++i) {
            chunk_[i] = printable ? static_cast<std::uint8_t>('!' + i % 94)
                                  : static_cast<std::uint8_t>(i * 131 + 7);
        }
    }

    std::optional<std::string> name() const override { return "bench"; }
    SerialResult<LineSettings> line_settings() const override { return LineSettings{.baud_rate = 38400}; }
    SerialResult<void> set_line_settings(const LineSettings&) override { return {}; }
    std::chrono::milliseconds timeout() const override { return std::chrono::milliseconds(50); }
    SerialResult<std::unique_ptr<SerialPort>> try_clone() const override {
        return std::unexpected(SerialError{});
    }
    IoResult<void> write_all(std::span<const std::uint8_t>) override { return {}; }
    void cancel_read() override {}

    IoResult<std::size_t> read(std::span<std::uint8_t> buffer) override {
        if (left_-- <= 0) {
            running_->store(false, std::memory_order_relaxed);
            return std::unexpected(IoError{IoKind::TimedOut, "timed out"});
        }
        std::memcpy(buffer.data(), chunk_.data(), chunk_.size());
        return chunk_.size();
    }

  private:
    std::array<std::uint8_t, kReceiveBufferSize> chunk_{};
    long left_;
    Flag running_;
};

}  // namespace
}  // namespace portavik

int main(int argc, char** argv) {
    using namespace portavik;
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s CHUNKS text|binary\n", argv[0]);
        return 2;
    }
    const long chunks = std::strtol(argv[1], nullptr, 10);
    const bool printable = std::string_view(argv[2]) == "text";
    Console console(standard_input(), standard_output(), standard_error());
    Flag running = make_flag(true);
    // The reader stops itself after the last chunk; join prints what it queued.
    ReceiverThread receiver(console, std::make_unique<ChunkPort>(chunks, printable, running),
                            running, kStandardReceive);
    return receiver.join() ? 1 : 0;
}
