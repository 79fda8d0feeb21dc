// SPDX-License-Identifier: MIT

// The Modbus RTU mode. Framing (by silence), the CRC check, the address
// filter and the choice of function are done here; libmodbus decodes the
// request, keeps the register table, checks addresses and quantities, and
// builds the reply with its CRC (modbus_reply, modbus_reply_exception).
// libmodbus writes that reply into one end of a socket pair, from which it
// is read back, so that the device logs and sends exactly those bytes.

#include <modbus.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

#include "behaviour.hpp"
#include "codec/crc.hpp"

namespace portavik::device {

namespace {

constexpr int kAddress = 1;
constexpr int kRegisters = 10;
constexpr std::uint16_t kRegister0 = 42;
constexpr std::uint16_t kRegisterBase = 1000;
// Both functions take a fixed 8-byte request: address, function, two 16-bit
// fields, CRC.
constexpr std::size_t kRequestLength = 8;
constexpr std::size_t kMinFrame = 4;

std::string hex_byte(std::uint8_t value) {
    return format_hex_output(std::span<const std::uint8_t>(&value, 1));
}

std::string exception_name(std::uint8_t code) {
    switch (code) {
        case MODBUS_EXCEPTION_ILLEGAL_FUNCTION:
            return "недопустимая функция";
        case MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS:
            return "недопустимый адрес данных";
        case MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE:
            return "недопустимое значение";
        default:
            return "код " + hex_byte(code);
    }
}

class ModbusServer final : public Behaviour {
  public:
    ModbusServer(modbus_t* ctx, modbus_mapping_t* mapping, int ours, int theirs)
        : ctx_(ctx), mapping_(mapping), ours_(ours), theirs_(theirs) {}

    ~ModbusServer() override {
        modbus_mapping_free(mapping_);
        modbus_free(ctx_);
        ::close(ours_);
        ::close(theirs_);
    }

    ModbusServer(const ModbusServer&) = delete;
    ModbusServer& operator=(const ModbusServer&) = delete;

    std::string summary() const override {
        return "Modbus RTU, адрес 1, регистры хранения 0-9 (функции 03 и 06)";
    }

    Reaction on_frame(std::span<const std::uint8_t> frame) override {
        if (frame.size() < kMinFrame) {
            return no_reply("короче 4 байт, без ответа");
        }
        const auto body = frame.first(frame.size() - 2);
        const auto crc =
            static_cast<std::uint16_t>(frame[frame.size() - 2] | (frame[frame.size() - 1] << 8));
        if (calculate_crc16(body) != crc) {
            return no_reply("неверный CRC, без ответа");
        }
        const std::uint8_t address = frame[0];
        const std::uint8_t function = frame[1];
        if (address != kAddress && address != MODBUS_BROADCAST_ADDRESS) {
            return no_reply("адрес " + std::to_string(address) + ", не 1: без ответа");
        }
        const bool known = function == MODBUS_FC_READ_HOLDING_REGISTERS ||
                           function == MODBUS_FC_WRITE_SINGLE_REGISTER;
        if (known && frame.size() != kRequestLength) {
            return no_reply("функция " + hex_byte(function) + " с длиной " +
                            std::to_string(frame.size()) + " байт вместо 8, без ответа");
        }
        const int length = static_cast<int>(frame.size());
        const int rc =
            known ? modbus_reply(ctx_, frame.data(), length, mapping_)
                  : modbus_reply_exception(ctx_, frame.data(), MODBUS_EXCEPTION_ILLEGAL_FUNCTION);
        Bytes reply = take_reply();
        if (rc < 0 && reply.empty()) {
            return no_reply(std::string("libmodbus: ") + modbus_strerror(errno));
        }
        // A broadcast is carried out and never answered.
        if (address == MODBUS_BROADCAST_ADDRESS) {
            return no_reply("широковещательный кадр, без ответа");
        }
        std::string reply_note;
        if (reply.size() >= 3 && (reply[1] & 0x80) != 0) {
            reply_note = "исключение " + hex_byte(reply[2]) + " (" + exception_name(reply[2]) + ")";
        }
        return reply_with(std::move(reply), {}, std::move(reply_note));
    }

  private:
    // Everything libmodbus wrote for one request; it writes it whole before
    // returning, so a non-blocking read empties the pair.
    Bytes take_reply() {
        Bytes reply;
        std::array<std::uint8_t, MODBUS_RTU_MAX_ADU_LENGTH> buffer{};
        for (;;) {
            const ssize_t n = ::recv(ours_, buffer.data(), buffer.size(), MSG_DONTWAIT);
            if (n <= 0) {
                break;
            }
            reply.insert(reply.end(), buffer.begin(), buffer.begin() + n);
        }
        return reply;
    }

    modbus_t* ctx_;
    modbus_mapping_t* mapping_;
    int ours_;
    int theirs_;
};

}  // namespace

std::expected<std::unique_ptr<Behaviour>, std::string> make_modbus_server() {
    std::array<int, 2> pair{};
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair.data()) != 0) {
        return std::unexpected(std::string("socketpair: ") + std::strerror(errno));
    }
    // The device name and rate are never used: the context is never
    // connected; it only builds replies and writes them to its socket.
    modbus_t* ctx = modbus_new_rtu("/dev/null", 9600, 'N', 8, 1);
    modbus_mapping_t* mapping = modbus_mapping_new(0, 0, kRegisters, 0);
    if (ctx == nullptr || mapping == nullptr) {
        const std::string reason = modbus_strerror(errno);
        modbus_mapping_free(mapping);
        modbus_free(ctx);
        ::close(pair[0]);
        ::close(pair[1]);
        return std::unexpected("libmodbus: " + reason);
    }
    modbus_set_slave(ctx, kAddress);
    modbus_set_socket(ctx, pair[1]);
    // Before an "illegal data value" reply libmodbus sleeps the response
    // timeout and flushes the line; there is nothing to flush on a socket.
    modbus_set_response_timeout(ctx, 0, 1000);
    mapping->tab_registers[0] = kRegister0;
    for (int i = 1; i < kRegisters; ++i) {
        mapping->tab_registers[i] = static_cast<std::uint16_t>(kRegisterBase + i);
    }
    return std::make_unique<ModbusServer>(ctx, mapping, pair[0], pair[1]);
}

}  // namespace portavik::device
