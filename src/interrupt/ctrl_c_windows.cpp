// SPDX-License-Identifier: MIT

// Console control events to the program's handler. Windows runs the routine
// on a thread of its own for each event; the handler usually ends the
// process there. Ctrl+C, Ctrl+Break and closing the console window count as
// interrupts; logoff and shutdown go to the system's default action.

#include <windows.h>

#include <atomic>
#include <functional>
#include <utility>

#include "interrupt/ctrl_c.hpp"

namespace portavik {
namespace {

std::atomic<bool> g_claimed{false};
// Never destroyed: an event may come while exit() destroys the statics.
std::function<void()>* g_handler = nullptr;

BOOL WINAPI on_control(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT:
            (*g_handler)();
            return TRUE;
        default:
            return FALSE;
    }
}

}  // namespace

bool set_ctrl_c_handler(std::function<void()> handler) {
    if (!handler) {
        return false;
    }
    bool expected = false;
    if (!g_claimed.compare_exchange_strong(expected, true)) {
        return false;
    }
    // Stored before the routine is registered: no event can find it empty.
    g_handler = new std::function<void()>(std::move(handler));
    if (!::SetConsoleCtrlHandler(on_control, TRUE)) {
        delete std::exchange(g_handler, nullptr);
        g_claimed.store(false);
        return false;
    }
    return true;
}

}  // namespace portavik
