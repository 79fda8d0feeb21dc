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


# --- Every setting of the dialog, changed on the open port -------------------------

BAUD_PROMPT = screen("baud_prompt")
DIALOGS = {"2": screen("data_bits_dialog"), "3": screen("stop_bits_dialog"),
           "4": screen("parity_dialog"), "5": screen("flow_dialog")}
CONFIRMED = {"2": "✅ Биты данных установлены: ", "3": "✅ Стоп-биты установлены: ",
             "4": "✅ Четность установлена: ", "5": "✅ Управление потоком установлено: "}
REFUSED = {"1": "❌ Ошибка установки скорости: ", "2": "❌ Ошибка установки бит данных: ",
           "3": "❌ Ошибка установки стоп-бит: ", "4": "❌ Ошибка установки четности: ",
           "5": "❌ Ошибка установки управления потоком: "}

# (dialog item, answer, the value's name in the confirmation), in the order
# the table changes them; each change starts from what the one before left.
CHANGES = [
    ("2", "1", "Five"), ("2", "2", "Six"), ("2", "3", "Seven"), ("2", "4", "Eight"),
    ("4", "3", "Odd"), ("4", "2", "Even"), ("4", "1", "None"),
    ("3", "2", "Two"), ("3", "1", "One"),
    ("5", "3", "Software"), ("5", "2", "Hardware"), ("5", "1", "None"),
    *[("1", str(rate), f"{rate} бод") for rate in
      (1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400, 460800, 921600)],
    # Not a rate of the termios table: set through the exact-rate ioctl.
    ("1", "250000", "250000 бод"),
]


def change(p, item, answer):
    """One change in the settings dialog; its one-line outcome."""
    p.send_line(item)
    assert p.expect(BAUD_PROMPT if item == "1" else DIALOGS[item]) == ""
    p.send_line(answer)
    outcome = p.expect(SETTINGS_MENU)
    assert outcome.count("\n") == 1, outcome
    return outcome.rstrip("\n")


def outcome_word(item, value, outcome):
    """"kept", or "kept X" when the driver kept another value X."""
    if item == "1":
        if outcome == f"✅ Скорость установлена: {value}":
            return "kept"
    elif outcome == CONFIRMED[item] + value:
        return "kept"
    m = re.fullmatch(re.escape(REFUSED[item]) + r"устройство не приняло .* \(действует (.*)\)",
                     outcome)
    assert m, f"neither kept nor refused with the value in force: {outcome!r}"
    return "kept " + m.group(1)


# What each driver does otherwise than keep the value asked for: the value it
# keeps instead. The 8250 divides a 1.8432 MHz clock by 16 at most to 115200
# baud; ftdi_sio refuses 6 data bits and runs 5 as 8 (it keeps CS5 in
# termios); cdc_acm has no RTS/CTS (it keeps CRTSCTS in termios only).
KEPT_INSTEAD = {
    "8250": {("1", "230400 бод"): "115200", ("1", "460800 бод"): "115200",
             ("1", "921600 бод"): "115200", ("1", "250000 бод"): "115200"},
    "ftdi": {("2", "Five"): "8", ("2", "Six"): "8"},
    "acm": {("5", "Hardware"): "«нет»"},
}
FINAL = {"8250": 115200, "ftdi": 250000, "acm": 250000}


@pytest.mark.parametrize("name", ALL)
def test_every_setting_changed_on_the_open_port(program, name):
    line = LINES[name]
    p = open_session(program, line)
    choose(p, "4")
    p.expect(SETTINGS_MENU)
    seen, outcomes = {}, {}
    for item, answer, value in CHANGES:
        outcomes[item, value] = change(p, item, answer)
        seen[item, value] = outcome_word(item, value, outcomes[item, value])
    print(f"\n{name}: " + "; ".join(f"{value}: {word}" for (_, value), word in seen.items()))
    expected = {(item, value): "kept" for item, _, value in CHANGES}
    expected.update({key: "kept " + kept for key, kept in KEPT_INSTEAD[name].items()})
    assert seen == expected
    if name == "ftdi":
        # termios says 5 there; the adapter runs 8, and the user is told so.
        assert outcomes["2", "Five"] == ("❌ Ошибка установки бит данных: "
                                    "устройство не приняло 5 бит данных (действует 8)")
    p.send_line("6")
    assert p.expect(MENU) == screen("settings_summary", port=line.port,
                                    settings=line_settings(FINAL[name]))
    leave(p)
