# SPDX-License-Identifier: MIT

"""Portavik on real serial drivers in the guest: the 8250 UART, the FTDI USB
adapter (ftdi_sio) and the CDC-ACM line (cdc_acm), each with portavik-device
on its far end. The same cases run on the three; where a driver keeps other
values than asked, the table says so and the program must tell the user."""

import re
import time

import pytest

from conftest import LINES, e2e, line_settings, screen

MODE_MENU = screen("mode_menu")
DEFAULTS = screen("standard_defaults")
READY = screen("ready")
MENU = screen("standard_menu")
SETTINGS_MENU = screen("settings_menu")
GOODBYE = screen("goodbye")
PROMPT = "> "
SUBMENUS = {"1": screen("text_submenu"), "2": screen("hex_submenu"), "3": screen("crc_submenu")}
SHOWN_HEX = re.compile(r"📥 Получено \(HEX\): ([0-9A-F ]+)\n")

ALL = list(LINES)


def open_session(program, line):
    """Portavik in the standard mode with `line`'s port open at the defaults,
    at the command menu."""
    p = program()
    p.expect(MODE_MENU)
    p.send_line("1")
    p.choose_port(line.port)
    p.expect(DEFAULTS)
    p.send_line("n")
    p.expect(e2e.connected_banner(line.port, 38400) + READY)
    assert p.expect(MENU) == ""
    return p


def choose(p, key):
    p.send_line(key)
    assert p.expect(f"📝 Введено: {key}\n") == ""


def leave(p):
    choose(p, "6")
    assert p.expect(GOODBYE) == ""
    assert p.wait_exit() == (0, None)


def crc_bytes(data):
    return e2e.crc16_modbus(data).to_bytes(2, "little")


# --- An exchange in each mode ------------------------------------------------------

@pytest.mark.parametrize("name", ALL)
def test_modbus_request_and_reply_in_the_standard_mode(program, guest_device, name):
    line = LINES[name]
    device = guest_device(line, "modbus")
    p = open_session(program, line)
    choose(p, "3")
    assert p.expect(SUBMENUS["3"] + PROMPT) == ""
    p.send_line("01 03 00 00 00 02")
    assert p.expect(PROMPT) == (f"📤 Отправлено в порт {line.port} (HEX+CRC): "
                                "01 03 00 00 00 02 | CRC: C4 0B\n")
    p.send_line("q")
    received = b""
    shown = p.expect(MENU)
    received += b"".join(bytes.fromhex(h) for h in SHOWN_HEX.findall(shown))
    while len(received) < 9:
        p.expect("📥 Получено (HEX): ")
        received += bytes.fromhex(p.expect("\n"))
    assert received.hex(" ").upper() == "01 03 04 00 2A 03 E9 1A 85"
    # The device got the frame whole, CRC included, and nothing else.
    device.wait_for(r"отправлено: 01 03 04 00 2A 03 E9 1A 85")
    assert [(d, h) for _, d, h, _ in device.frames()] == [
        ("принято", "01 03 00 00 00 02 C4 0B"), ("отправлено", "01 03 04 00 2A 03 E9 1A 85")]
    leave(p)
