# SPDX-License-Identifier: MIT

"""Portavik on real serial drivers in the guest: the 8250 UART, the FTDI USB
adapter (ftdi_sio) and the CDC-ACM line (cdc_acm), each with portavik-device
on its far end. The same cases run on the three; where a driver keeps other
values than asked, the table says so and the program must tell the user."""

import array
import fcntl
import os
import re
import subprocess
import termios
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


# --- An exchange in each mode ------------------------------------------------------

@pytest.mark.parametrize("name", ALL)
def test_modbus_request_and_reply_in_the_standard_mode(guest, program, guest_device, name):
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
    assert e2e.crc16_modbus(received) == 0
    # The device got the frame whole, CRC included, and nothing else.
    device.wait_for(r"отправлено: 01 03 04 00 2A 03 E9 1A 85")
    assert [(d, h) for _, d, h, _ in device.frames()] == [
        ("принято", "01 03 00 00 00 02 C4 0B"), ("отправлено", "01 03 04 00 2A 03 E9 1A 85")]
    # The driver's line-error counters on a clean line: zeros, or a refusal
    # (then Portavik says nothing); either way no line-error line was shown.
    counts = guest.sh(f"line-counts {line.port}").strip()
    assert counts == "frame 0 parity 0 brk 0 overrun 0 buf_overrun 0" or \
        counts.startswith("refused "), counts
    print(f"{name}: TIOCGICOUNT -> {counts}")
    assert "Сбои на линии" not in shown
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


# --- ТИРК, and the port held for one program at a time ----------------------------

TIRK_MENU = screen("tirk_menu")
TIRK_EDITOR = screen("tirk_command_editor")
CTRL_C_BYE = screen("ctrl_c_goodbye")
OPEN_FAILURE = re.compile(r"❌ Ошибка открытия порта (\S+): (.+)\n")


def piped(guest, answers):
    """A second Portavik in the guest, its input from a pipe: (status, output)."""
    out = guest.sh(f"printf '{answers}' | portavik 2>&1; echo \"status $?\"")
    body, status = out.rstrip("\n").rsplit("status ", 1)
    return int(status), body


def listed_number(guest, path):
    """`path`'s number in the port list Portavik prints now, or None."""
    _, out = piped(guest, "1\\n")
    listing = out.split(e2e.LIST_HEADING, 1)[1].split(e2e.PORT_PROMPT, 1)[0]
    try:
        return e2e.port_number(listing, path)
    except AssertionError:
        return None


def second_program_opens(guest, line):
    """Whether a second Portavik opens `line`'s port now; a refusal must say
    the port is busy, in the open-failure screen."""
    number = listed_number(guest, line.port)
    status, out = piped(guest, f"1\\n{number}\\nn\\n6\\n")
    assert status == 0, out
    failure = OPEN_FAILURE.search(out)
    if failure is None:
        assert e2e.connected_banner(line.port, 38400) in out, out
        return True
    assert failure.group(1) == line.port, out
    assert failure.group(2).startswith("порт занят другой программой"), out
    return False


@pytest.mark.parametrize("name", ALL)
def test_tirk_command_and_the_port_for_one_program_at_a_time(program, guest_device, guest, name):
    line = LINES[name]
    device = guest_device(line, "tirk", "--interval", "3600")
    p = program()
    p.expect(MODE_MENU)
    p.send_line("2")
    p.choose_port(line.port)
    assert p.expect(e2e.connected_banner(line.port, 9600) + READY +
                    e2e.TIRK_SETTINGS_BLOCK + TIRK_MENU) == ""
    assert not second_program_opens(guest, line)

    p.send_line("2")
    assert p.expect(TIRK_EDITOR) == ""
    time.sleep(0.3)
    p.send("1")
    assert p.expect("\x1b[2K\r> 1") == ""
    time.sleep(0.3)
    p.send("\r")
    printed = p.expect(TIRK_EDITOR)
    assert re.fullmatch(r"\x1b\[2K\r\n⏱️ Порт " + re.escape(line.port) +
                        r": время отправки данных \d+ мс\n"
                        r"📤 Отправлена команда ТИРК1: 01 50 11 00 \| CRC: 0D 99\n\n",
                        printed), printed
    device.wait_for(r"принято: +01 50 11 00 0D 99 — команда ТИРК1$")
    device.wait_for(r"отправлено: 01 06 01 E2 60$")
    p.send("\x1b")
    p.expect(TIRK_MENU)
    # Ctrl+C at the menu ends the mode; the port is free again.
    p.send("\x03")
    p.expect(CTRL_C_BYE)
    assert p.wait_exit() == (0, None)
    assert [(d, h) for _, d, h, _ in device.frames()] == [
        ("принято", "01 50 11 00 0D 99"), ("отправлено", "01 06 01 E2 60")]
    assert second_program_opens(guest, line)


@pytest.mark.parametrize("name", ALL)
def test_a_terminated_standard_session_frees_the_port(program, guest, name):
    line = LINES[name]
    p = open_session(program, line)
    assert not second_program_opens(guest, line)
    p.signal("TERM")
    assert p.wait_exit() == (128 + 15, None)
    assert second_program_opens(guest, line)


# --- A console held while the device streams ---------------------------------------

HOLD_SECONDS = 8
# The line's 8 s at 115200 baud (10 bits a byte).
STREAM_BYTES = 92_160


def test_nothing_is_lost_while_the_console_is_held(program, guest_device, guest, tmp_path):
    line = LINES["8250"]
    p = open_session(program, line)
    choose(p, "4")
    p.expect(SETTINGS_MENU)
    assert change(p, "1", "115200") == "✅ Скорость установлена: 115200 бод"
    p.send_line("6")
    p.expect(MENU)
    device = guest_device(line, "stream", "--bytes", str(STREAM_BYTES), baud=115200)
    # Nobody reads Portavik's terminal: once the socket QEMU writes it to is
    # full, Portavik's writes to the terminal wait.
    time.sleep(HOLD_SECONDS)
    waiting = array.array("i", [0])
    fcntl.ioctl(guest.terminal_socket.fileno(), termios.FIONREAD, waiting)
    device.wait_for(rf"поток окончен: отправлено {STREAM_BYTES} байт, потеряно 0 байт",
                    timeout=30)
    # What Portavik printed meanwhile comes out once the terminal is read.
    text = p.rest(3)
    while (more := p.rest(3)):
        text += more
    shown = b"".join(bytes.fromhex(h) for h in SHOWN_HEX.findall(text))
    printed = len(p.seen.encode())
    print(f"\nafter {HOLD_SECONDS} s unread, {waiting[0]} bytes waited in the socket; "
          f"{printed} bytes printed in all")
    assert waiting[0] < printed / 2, "the terminal was not held"
    assert shown == e2e.stream_bytes(1, STREAM_BYTES)
    transcript = tmp_path / "portavik.txt"
    transcript.write_text(p.seen, encoding="utf-8")
    check = subprocess.run([os.path.join(e2e.ROOT, "tools", "device", "check-stream"),
                            str(transcript)], capture_output=True, text=True)
    assert check.returncode == 0, check.stdout + check.stderr
    leave(p)


# --- Unplugged while open ----------------------------------------------------------

STANDARD_READ_ERROR = "❌ Ошибка чтения из порта: "
TIRK_READ_ERROR = "Ошибка чтения: "


def wait_in_guest(guest, condition, timeout=20):
    guest.sh(f"i=0; while ! {condition}; do i=$((i + 1)); [ $i -lt {timeout * 10} ] || exit 1; "
             "sleep 0.1; done")


def unplug(guest, line):
    """The FTDI adapter taken out of its USB socket, or the CDC-ACM board's
    gadget removed, while the port is open."""
    if line.name == "ftdi":
        assert "Error" not in guest.monitor("device_del ftdi")
    else:
        # Removing the gadget waits until nothing has ttyGS0 open: the
        # board's own end goes first (Portavik's port keeps no carrier watch).
        guest.sh("kill $(cat /tmp/gadget-holder.pid); rmmod g_serial")
    wait_in_guest(guest, f"[ ! -e {line.port} ]")


def plug_back(guest, line):
    if line.name == "ftdi":
        assert "Error" not in guest.monitor("device_add usb-serial,id=ftdi,chardev=ftdi_port")
    else:
        guest.sh("insmod /modules/g_serial.ko")
        wait_in_guest(guest, "[ -e /dev/ttyGS0 ]")
        guest.hold_gadget()
    wait_in_guest(guest, f"[ -e {line.port} ]")


def idle(guest, p, seconds=2.0):
    """Portavik's CPU time over `seconds` of waiting, in seconds."""
    before = guest.cpu_seconds(p.pid)
    time.sleep(seconds)
    return guest.cpu_seconds(p.pid) - before


@pytest.mark.parametrize("name", ["ftdi", "acm"])
def test_unplugged_in_the_standard_mode(program, guest, name):
    line = LINES[name]
    p = open_session(program, line)
    try:
        unplug(guest, line)
        p.expect(STANDARD_READ_ERROR)
        assert p.expect("\n").strip(), "the read error has a description"
        used = idle(guest, p)
        assert used < 0.3, f"{used:.2f} s of CPU in 2 s after the unplug"
        assert STANDARD_READ_ERROR not in p.rest(0.5)
        for key, typed, failure in [("1", "AT", "❌ Ошибка: "),
                                    ("2", "FF", "❌ Ошибка при отправке данных: ")]:
            choose(p, key)
            p.expect(SUBMENUS[key] + PROMPT)
            p.send_line(typed)
            failed = p.expect(PROMPT)
            assert failed.startswith(failure) and failed.count("\n") == 1, failed
            p.send_line("q")
            p.expect(MENU)
        leave(p)
        assert p.seen.count(STANDARD_READ_ERROR) == 1, p.seen
        print(f"\n--- {name}, standard mode, unplugged at the menu:\n"
              + p.seen[p.seen.index(STANDARD_READ_ERROR):])
        assert listed_number(guest, line.port) is None
    finally:
        plug_back(guest, line)
    assert listed_number(guest, line.port) is not None


@pytest.mark.parametrize("name", ["ftdi", "acm"])
def test_unplugged_in_the_tirk_mode(program, guest, name):
    line = LINES[name]
    p = program()
    p.expect(MODE_MENU)
    p.send_line("2")
    p.choose_port(line.port)
    p.expect(TIRK_MENU)
    try:
        unplug(guest, line)
        p.expect(TIRK_READ_ERROR)
        assert p.expect("\n").strip(), "the read error has a description"
        used = idle(guest, p, 3.0)
        assert used < 0.3, f"{used:.2f} s of CPU in 3 s after the unplug"
        printed = p.seen + p.rest(0.2)
        # The same error again at most about once a second.
        assert 2 <= printed.count(TIRK_READ_ERROR) <= 6, printed
        p.send_line("4")
        p.expect(GOODBYE)
        assert p.wait_exit() == (0, None)
        print(f"\n--- {name}, ТИРК mode, unplugged at the menu:\n"
              + p.seen[p.seen.index(TIRK_READ_ERROR):])
        assert listed_number(guest, line.port) is None
    finally:
        plug_back(guest, line)
