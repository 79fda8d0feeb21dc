// A Modbus RTU server on a tty, built on libmodbus, for the interoperability
// end-to-end test: slave id 1 at 38400 8N1, holding register 0 holds 42
// (registers 1..9 hold 1000 + their address). It answers requests until it
// is killed. Usage: modbus_rtu_server TTY-PATH
//
// Prints "ready" on standard output once the tty is open and configured.

#include <modbus.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

volatile std::sig_atomic_t stop_requested = 0;

void request_stop(int) {
    stop_requested = 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s TTY-PATH\n", argv[0]);
        return 2;
    }
    std::signal(SIGTERM, request_stop);
    std::signal(SIGINT, request_stop);

    modbus_t* ctx = modbus_new_rtu(argv[1], 38400, 'N', 8, 1);
    if (ctx == nullptr) {
        std::fprintf(stderr, "modbus_new_rtu: %s\n", modbus_strerror(errno));
        return 1;
    }
    modbus_set_slave(ctx, 1);
    if (modbus_connect(ctx) == -1) {
        std::fprintf(stderr, "modbus_connect %s: %s\n", argv[1], modbus_strerror(errno));
        modbus_free(ctx);
        return 1;
    }
    modbus_mapping_t* mapping = modbus_mapping_new(0, 0, 10, 0);
    if (mapping == nullptr) {
        std::fprintf(stderr, "modbus_mapping_new: %s\n", modbus_strerror(errno));
        modbus_close(ctx);
        modbus_free(ctx);
        return 1;
    }
    mapping->tab_registers[0] = 42;
    for (int i = 1; i < 10; ++i) {
        mapping->tab_registers[i] = static_cast<std::uint16_t>(1000 + i);
    }

    std::printf("ready\n");
    std::fflush(stdout);

    int status = 0;
    while (stop_requested == 0) {
        std::uint8_t query[MODBUS_RTU_MAX_ADU_LENGTH];
        const int received = modbus_receive(ctx, query);
        if (received > 0) {
            if (modbus_reply(ctx, query, received, mapping) == -1) {
                std::fprintf(stderr, "modbus_reply: %s\n", modbus_strerror(errno));
            }
        } else if (received == -1) {
            // A bad frame (CRC, length) is dropped and the server goes on;
            // a failing tty ends it.
            if (errno == EMBBADCRC || errno == EMBBADDATA || errno == EMBBADEXC ||
                errno == EMBBADSLAVE || errno == ETIMEDOUT || errno == EINTR) {
                continue;
            }
            if (stop_requested == 0) {
                std::fprintf(stderr, "modbus_receive: %s\n", modbus_strerror(errno));
                status = 1;
            }
            break;
        }
    }

    modbus_mapping_free(mapping);
    modbus_close(ctx);
    modbus_free(ctx);
    return status;
}
