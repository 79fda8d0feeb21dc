# SPDX-License-Identifier: MIT

"""Standard mode with the port open: the three send submenus and what they put
on the wire, the receiver (pausing, text and HEX lines, escape bytes, a
device that goes away), the settings dialog on the open port, leaving, a
piped session, and Modbus RTU exchanges with the simulated device."""

import fcntl
import os
import random
import re
import select
import subprocess
import termios
import threading
import time

import pexpect
import pytest

from conftest import (BIN, CHECK_STREAM, GOODBYE, LIST_HEADING, MODE_MENU, PORT_PROMPT, READY,
                      Chatter, connected_banner, crc16_modbus, normalize, on_wine, port_number,
                      run_piped_on_port, stream_bytes, stream_summary)
from screens import line_settings, screen

DEFAULTS = screen("standard_defaults")
MENU = screen("standard_menu")
PROMPT = "> "

SUBMENUS = {"1": screen("text_submenu"), "2": screen("hex_submenu"), "3": screen("crc_submenu")}

SETTINGS_MENU = screen("settings_menu")
BAUD_PROMPT = screen("baud_prompt")
DATA_BITS_DIALOG = screen("data_bits_dialog")
STOP_BITS_DIALOG = screen("stop_bits_dialog")
PARITY_DIALOG = screen("parity_dialog")
FLOW_DIALOG = screen("flow_dialog")
INVALID = screen("invalid_choice", choices="1-6")


def settings_summary(path, baud, **settings):
    return screen("settings_summary", port=path, settings=line_settings(baud, **settings))


READ_ERROR = "❌ Ошибка чтения из порта: "


def hex_line(data: bytes):
    return "📥 Получено (HEX): " + " ".join(f"{b:02X}" for b in data) + "\n"


def text_line(data: bytes):
    return "📥 Получено (текст): " + data.decode() + "\n"


def at_the_defaults(program, device):
    """The program in the standard mode with `device` chosen, asked whether
    to change the defaults."""
    p = program()
    p.expect(MODE_MENU)
    p.send_line("1")
    p.choose_port(device.path)
    p.expect(DEFAULTS)
    return p


def open_session(program, device):
    """The program in the standard mode with `device` open at the defaults,
    waiting at the command menu."""
    p = at_the_defaults(program, device)
    p.send_line("n")
    p.expect(connected_banner(device.path, 38400) + READY)
    assert p.expect(MENU) == ""
    return p


def quiet(p, timeout):
    """What is printed within `timeout`, taken out of the program's output so
    that it is neither seen again by the next expect nor counted twice in the
    transcript."""
    return p.rest(timeout)


def choose(p, key):
    """Answers the command menu with `key`; checks the echo."""
    p.send_line(key)
    assert p.expect(f"📝 Введено: {key.strip()}\n") == ""


def enter_submenu(p, key):
    choose(p, key)
    assert p.expect(SUBMENUS[key] + PROMPT) == ""


def enter_paused_submenu(p, key):
    """Opens submenu `key` and waits until the receiver has surely seen the
    pause: a read already under way when the submenu opened may still take
    what arrives within one read timeout (50 ms)."""
    enter_submenu(p, key)
    time.sleep(0.25)


def leave(p):
    """"6" at the command menu: goodbye and exit status 0."""
    choose(p, "6")
    assert p.expect(GOODBYE) == ""
    assert p.wait_exit() == (0, None)


def one_byte_send(key):
    """A line that sends the byte 41 ("A") from submenu `key`, and what the
    device then receives."""
    if key == "1":
        return "A", b"A"
    if key == "2":
        return "41", b"A"
    return "41", b"A" + crc16_modbus(b"A").to_bytes(2, "little")


# --- Send submenus -----------------------------------------------------------

SENDS = [
    # key, typed line, bytes on the wire, confirmation after "📤 Отправлено в порт {path} "
    ("1", "AT", b"AT", "(текст): AT"),
    ("1", "  Привет  ", "Привет".encode(), "(текст): Привет"),
    ("1", "a b\tc", b"a b\tc", "(текст): a b\tc"),
    ("1", "qq", b"qq", "(текст): qq"),
    ("2", "F F0 0A B", b"\xff\x00\xab", "(HEX): FF 00 AB"),
    ("2", "  ff00ab  ", b"\xff\x00\xab", "(HEX): FF 00 AB"),
    ("3", "01 03 00 00 00 01", b"\x01\x03\x00\x00\x00\x01\x84\x0a",
     "(HEX+CRC): 01 03 00 00 00 01 | CRC: 84 0A"),
]


def send_cases():
    for key, line, wire, confirmation in SENDS:
        # Under wine the Cyrillic line is typed at its console, the rest piped:
        # console input comes as UTF-16 and must reach the port as UTF-8.
        marks = [] if line.isascii() else [pytest.mark.wine(console=True)]
        yield pytest.param(key, line, wire, confirmation, marks=marks,
                           id=f"{key}-{line.strip() or 'blank'}")


@pytest.mark.wine
@pytest.mark.parametrize("key,line,wire,confirmation", send_cases())
def test_submenu_sends_exact_bytes_and_confirms(program, device, key, line, wire, confirmation):
    p = open_session(program, device)
    enter_submenu(p, key)
    # An empty line (or only spaces) sends nothing and prompts again.
    p.send_line("")
    assert p.expect(PROMPT) == ""
    p.send_line("   ")
    assert p.expect(PROMPT) == ""
    assert device.drain() == b""
    p.send_line(line)
    assert p.expect(PROMPT) == p.shown(f"📤 Отправлено в порт {device.path} {confirmation}\n")
    assert device.read(len(wire)) == wire
    assert device.drain() == b"", "nothing after the message (no line ending, no extra byte)"
    p.send_line("q")
    assert p.expect(MENU) == ""
    leave(p)


@pytest.mark.parametrize("leave_word", ["q", " Q ", "Q"])
@pytest.mark.parametrize("key", ["1", "2", "3"])
def test_q_in_either_case_with_spaces_leaves_every_submenu(program, device, key, leave_word):
    p = open_session(program, device)
    enter_submenu(p, key)
    p.send_line(leave_word)
    assert p.expect(MENU) == ""
    assert device.drain() == b""
    # The same submenu opens again and still sends.
    enter_submenu(p, key)
    line, wire = one_byte_send(key)
    p.send_line(line)
    p.expect(PROMPT)
    assert device.read(len(wire)) == wire
    p.send_line(leave_word)
    assert p.expect(MENU) == ""
    leave(p)


@pytest.mark.parametrize("key", ["2", "3"])
@pytest.mark.parametrize("line", ["FF 0G", "F", "quit", "0x01"])
def test_invalid_hex_is_refused_and_nothing_is_written(program, device, key, line):
    p = open_session(program, device)
    enter_submenu(p, key)
    p.send_line(line)
    assert p.expect(PROMPT) == "❌ Ошибка: неверный формат HEX данных\n"
    assert device.drain() == b""
    # The submenu goes on and the next valid line is sent.
    p.send_line("7E")
    assert p.expect(PROMPT).startswith(f"📤 Отправлено в порт {device.path} (HEX")
    expected = b"\x7e" if key == "2" else b"\x7e" + crc16_modbus(b"\x7e").to_bytes(2, "little")
    assert device.read(len(expected)) == expected
    p.send_line("q")
    p.expect(MENU)
    leave(p)


def test_unknown_menu_answer_is_echoed_then_warned(program, device):
    p = open_session(program, device)
    p.send_line(" 7 ")
    assert p.expect(MENU) == "📝 Введено: 7\n" + INVALID
    leave(p)


# --- Receiver ----------------------------------------------------------------

@pytest.mark.wine
@pytest.mark.parametrize("key", ["1", "2", "3"])
def test_device_data_waits_while_a_submenu_is_open_and_is_printed_after_q(program, device, key):
    p = open_session(program, device)
    enter_paused_submenu(p, key)
    device.write(b"\x01\x02\x03")
    time.sleep(0.3)
    assert "📥" not in quiet(p, 0.3), "printed while the submenu was open"
    # A send from the submenu does not let the waiting data through either.
    line, wire = one_byte_send(key)
    p.send_line(line)
    sent = p.expect(PROMPT)
    assert sent.startswith("📤 Отправлено") and "📥" not in sent
    time.sleep(0.3)
    assert "📥" not in quiet(p, 0.3)
    assert device.read(len(wire)) == wire
    p.send_line("q")
    # What waited comes at once, before the menu.
    assert p.expect(MENU) == hex_line(b"\x01\x02\x03")
    # After q, the receiver runs again: new data is printed at once.
    device.write(b"\x04\x05")
    p.expect(hex_line(b"\x04\x05"))
    assert p.seen.count("📥 Получено (HEX): ") == 2
    leave(p)


CHUNKS = [
    # chunk, whether it is also shown as text
    (b"OK\r\n", True),
    (b"Hello, world! ~{}", True),
    (b"\tA\x0cB ", True),
    (b"\x1b]0;x\x07", False),
    (b"\x1b[2J", False),
    (b"\x1b", False),
    ("Привет".encode(), False),
    (b"a\x00b", False),
    (b"abc\x7f", False),
    (b"\x80\xff", False),
    (b"bell\x07", False),
]


@pytest.mark.wine
@pytest.mark.parametrize("chunk,as_text", CHUNKS, ids=[repr(c[0]) for c in CHUNKS])
def test_received_chunk_lines(program, device, chunk, as_text):
    p = open_session(program, device)
    device.write(chunk)
    assert p.expect(hex_line(chunk)) == ""
    # A printable sentinel chunk shows what, if anything, came after the HEX line.
    device.write(b"END")
    after = p.expect(hex_line(b"END") + text_line(b"END"))
    if as_text:
        assert after == text_line(chunk)
    else:
        assert after == ""
    leave(p)
    # No raw byte from the device reaches the terminal unless it was printable.
    if not as_text:
        assert chunk.decode("utf-8", "replace") not in p.seen
    assert "\x1b" not in p.seen, "an escape byte reached the terminal"
    assert "\x07" not in p.seen


def test_escape_sequences_from_the_device_never_reach_the_terminal(program, device):
    p = open_session(program, device)
    for chunk in [b"\x1b]0;x\x07", b"\x1b[2J", b"\x1b[31mred\x1b[0m"]:
        device.write(chunk)
        assert p.expect(hex_line(chunk)) == ""
    # And while a submenu was open, then printed after q.
    enter_paused_submenu(p, "1")
    device.write(b"\x1b]0;x\x07")
    time.sleep(0.2)
    p.send_line("q")
    assert p.expect(MENU) == hex_line(b"\x1b]0;x\x07")
    leave(p)
    assert "\x1b]0;x" not in p.seen
    assert "\x1b[2J" not in p.seen
    assert "\x1b" not in p.seen


def test_receiver_keeps_printing_during_the_settings_dialog(program, device):
    p = open_session(program, device)
    choose(p, "4")
    p.expect("🔄 Переход в меню настроек порта...\n" + SETTINGS_MENU)
    device.write(b"hi")
    assert p.expect(hex_line(b"hi") + text_line(b"hi")) == ""
    p.send_line("6")
    assert p.expect(MENU) == settings_summary(device.path, 38400)
    leave(p)


# --- Settings dialog on the open port ------------------------------------------

def settings_answer(p, key, dialog, answer):
    """At the settings menu: `key`, then `answer` to the dialog; returns what
    was printed before the settings menu came again."""
    p.send_line(key)
    assert p.expect(dialog) == ""
    p.send_line(answer)
    return p.expect(SETTINGS_MENU)


@pytest.mark.wine
def test_settings_dialog_changes_the_open_port(program, device):
    p = open_session(program, device)
    choose(p, "4")
    assert p.expect("🔄 Переход в меню настроек порта...\n" + SETTINGS_MENU) == ""

    assert settings_answer(p, "1", BAUD_PROMPT, "115200") == "✅ Скорость установлена: 115200 бод\n"
    assert device.baud_rate() == 115200
    custom = settings_answer(p, "1", BAUD_PROMPT, " +250000 ")
    if on_wine():
        # wine runs a rate outside the Linux table at 38400: the read-back says so.
        assert custom == ("❌ Ошибка установки скорости: устройство не приняло скорость "
                          "250000 бод (действует 38400)\n")
        assert device.baud_rate() == 38400
    else:
        assert custom == "✅ Скорость установлена: 250000 бод\n"
        assert device.baud_rate() == 250000

    assert (settings_answer(p, "5", FLOW_DIALOG, "3")
            == "✅ Управление потоком установлено: Software\n")
    iflag, _, cflag = device.attrs()[0:3]
    assert iflag & termios.IXON and iflag & termios.IXOFF
    assert not cflag & termios.CRTSCTS

    assert (settings_answer(p, "5", FLOW_DIALOG, "2")
            == "✅ Управление потоком установлено: Hardware\n")
    iflag, _, cflag = device.attrs()[0:3]
    assert cflag & termios.CRTSCTS
    assert not iflag & (termios.IXON | termios.IXOFF)

    assert settings_answer(p, "3", STOP_BITS_DIALOG, "2") == "✅ Стоп-биты установлены: Two\n"
    assert device.attrs()[2] & termios.CSTOPB

    # A pseudo-terminal keeps 8 data bits: the refusal is reported.
    refused = settings_answer(p, "2", DATA_BITS_DIALOG, "3")
    assert refused.startswith("❌ Ошибка установки бит данных: ") and refused.endswith("\n")
    assert refused.count("\n") == 1 and len(refused) > len("❌ Ошибка установки бит данных: \n")
    assert device.attrs()[2] & termios.CSIZE == termios.CS8

    assert settings_answer(p, "1", BAUD_PROMPT, "115200") == "✅ Скорость установлена: 115200 бод\n"

    # Wrong answers change nothing.
    assert settings_answer(p, "3", STOP_BITS_DIALOG, "3") == "❌ Ошибка: неверный выбор\n"
    assert settings_answer(p, "2", DATA_BITS_DIALOG, "5") == "❌ Ошибка: неверный выбор\n"
    for bad in ["abc", "", "-1", "1 200", "4294967296"]:
        assert settings_answer(p, "1", BAUD_PROMPT, bad) == "❌ Ошибка: введите корректное число\n"
    for bad in ["0", "7", "01", "q", "1.", ""]:
        p.send_line(bad)
        assert p.expect(SETTINGS_MENU) == INVALID
    assert device.baud_rate() == 115200
    assert device.attrs()[2] & termios.CSTOPB

    p.send_line("6")
    assert p.expect(MENU) == settings_summary(device.path, 115200, stop=2, flow="аппаратное")
    # The changes stay in force after the dialog, and the port still sends.
    assert device.baud_rate() == 115200
    assert device.attrs()[2] & termios.CRTSCTS
    enter_submenu(p, "2")
    p.send_line("55 AA")
    p.expect(PROMPT)
    assert device.read(2) == b"\x55\xaa"
    p.send_line("q")
    p.expect(MENU)
    leave(p)


def test_settings_parity_refused_summary_reports_what_the_device_keeps(program, device):
    p = open_session(program, device)
    choose(p, "4")
    p.expect("🔄 Переход в меню настроек порта...\n" + SETTINGS_MENU)
    refused = settings_answer(p, " 4 ", PARITY_DIALOG, "2")
    assert refused.startswith("❌ Ошибка установки четности: ") and refused.endswith("\n")
    assert not device.attrs()[2] & termios.PARENB
    assert settings_answer(p, "5", FLOW_DIALOG, "1") == "✅ Управление потоком установлено: None\n"
    p.send_line("6")
    assert p.expect(MENU) == settings_summary(device.path, 38400)
    leave(p)


# --- Leaving -----------------------------------------------------------------

def until_output_closes(p, started):
    """Seconds from `started` until the program's terminal output ends (the
    process has exited), without pexpect's own pause on closing."""
    p.child.expect(pexpect.EOF, timeout=10)
    elapsed = time.monotonic() - started
    p.seen += normalize(p.child.before)
    return elapsed


def test_six_ends_within_about_one_read_timeout_while_the_device_keeps_sending(program, device):
    p = open_session(program, device)
    chatter = Chatter(device)
    try:
        # The receiver is busy printing what the device sends.
        p.expect("📥 Получено (HEX): 55 AA")
        p.expect("📥 Получено (HEX): 55 AA")
        time.sleep(0.5)
        p.send_line("6")
        started = time.monotonic()
        p.expect(GOODBYE)
        elapsed = until_output_closes(p, started)
        status = p.wait_exit(timeout=10)
        print(f"\n'6' to exit while the device sends: {elapsed * 1000:.0f} ms "
              f"({chatter.written} bytes sent by the device)")
        assert status == (0, None)
        assert elapsed < 2.0
        assert chatter.written > 0
    finally:
        chatter.stop()


def test_six_from_an_idle_port_ends_with_status_0(program, device):
    p = open_session(program, device)
    p.send_line("6")
    started = time.monotonic()
    assert p.expect(GOODBYE) == "📝 Введено: 6\n"
    elapsed = until_output_closes(p, started)
    status = p.wait_exit(timeout=10)
    print(f"\n'6' to exit on an idle port: {elapsed * 1000:.0f} ms")
    assert status == (0, None)
    assert elapsed < 2.0
    # Only the goodbye comes after the echo.
    assert p.seen.endswith("📝 Введено: 6\n" + GOODBYE)


UNSHOWN = re.compile(r"⚠️ Не показано при выходе: (\d+) принятых байт\n")


def test_six_with_a_backlog_on_a_slow_console_ends_promptly_and_counts_the_rest(program, device):
    """Half a MiB arrives at once; the terminal is read at about 30 KB/s, a
    tenth of what printing it takes. "6" prints the backlog for about a
    second, then says how many received bytes it did not show."""
    p = open_session(program, device)
    shown = ShownBytes(p)
    data = random.Random(6).randbytes(512 * 1024)

    ended_at = []

    def read_slowly(seconds, ended=None):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if ended is not None and not ended_at and select.select([ended], [], [], 0)[0]:
                ended_at.append(time.monotonic())
            try:
                shown.take(p.child.read_nonblocking(3000, timeout=0.1))
            except pexpect.TIMEOUT:
                pass
            except pexpect.EOF:
                return True
            time.sleep(0.1)
        return False

    writer = threading.Thread(target=device.write, args=(data,))
    writer.start()
    read_slowly(2.0)
    writer.join(timeout=10)
    assert not writer.is_alive(), "the program stopped reading the device"
    ended = os.pidfd_open(p.child.pid)
    p.send_line("6")
    started = time.monotonic()
    # What the terminal holds already is read at that pace too: the time that
    # counts is the program's own, until its process ends.
    assert read_slowly(30, ended), "the program did not end"
    os.close(ended)
    elapsed = (ended_at[0] if ended_at else time.monotonic()) - started
    assert p.wait_exit() == (0, None)
    counted = UNSHOWN.findall(shown.text)
    print(f"\n'6' with a backlog on a slow console: ended after {elapsed:.2f} s, "
          f"{len(shown.data)} bytes shown, {counted} not")
    assert len(counted) == 1
    assert shown.text.endswith(f"⚠️ Не показано при выходе: {counted[0]} принятых байт\n")
    assert len(shown.data) + int(counted[0]) == len(data)
    assert shown.data == data[:len(shown.data)]
    assert elapsed < 5


# --- The device goes away -------------------------------------------------------

@pytest.mark.wine
def test_device_disconnect_gives_one_read_error_and_the_program_still_leaves(program, device):
    p = open_session(program, device)
    device.write(b"\x10")
    p.expect(hex_line(b"\x10"))
    device.disconnect()
    p.expect(READ_ERROR)
    reason = p.expect("\n")
    assert reason.strip(), "the read error has a description"
    time.sleep(1.5)
    quiet(p, 0.5)
    assert p.seen.count(READ_ERROR) == 1, p.seen
    # Sends now fail with their own prefixes; nothing more is received.
    enter_submenu(p, "1")
    p.send_line("AT")
    failed = p.expect(PROMPT)
    assert failed.startswith("❌ Ошибка: ") and "📤" not in failed
    p.send_line("q")
    p.expect(MENU)
    enter_submenu(p, "2")
    p.send_line("FF")
    failed = p.expect(PROMPT)
    assert failed.startswith("❌ Ошибка при отправке данных: ") and "📤" not in failed
    p.send_line("q")
    p.expect(MENU)
    enter_submenu(p, "3")
    p.send_line("01")
    failed = p.expect(PROMPT)
    assert failed.startswith("❌ Ошибка: ") and "📤" not in failed
    p.send_line("q")
    p.expect(MENU)
    time.sleep(0.5)
    quiet(p, 0.3)
    assert p.seen.count(READ_ERROR) == 1
    leave(p)
    assert p.seen.count(READ_ERROR) == 1


def test_device_disconnect_while_a_submenu_is_open_reports_once_after_q(program, device):
    p = open_session(program, device)
    enter_paused_submenu(p, "2")
    device.disconnect()
    time.sleep(0.5)
    assert READ_ERROR not in quiet(p, 0.3)
    p.send_line("q")
    after_q = p.expect(MENU)
    assert after_q.startswith(READ_ERROR) and after_q.endswith("\n"), after_q
    assert after_q.count("\n") == 1 and after_q.strip() != READ_ERROR.strip(), \
        "the read error has a description"
    time.sleep(1.0)
    quiet(p, 0.3)
    assert p.seen.count(READ_ERROR) == 1
    leave(p)


def test_device_disconnect_in_the_settings_dialog_reports_once_and_the_dialog_goes_on(program,
                                                                                       device):
    p = open_session(program, device)
    choose(p, "4")
    assert p.expect("🔄 Переход в меню настроек порта...\n" + SETTINGS_MENU) == ""
    device.disconnect()
    p.expect(READ_ERROR)
    assert p.expect("\n").strip(), "the read error has a description"
    p.send_line("6")
    # The device can no longer be asked: the summary shows the fallbacks.
    assert settings_summary(device.path, 9600) in p.expect(MENU)
    time.sleep(1.0)
    quiet(p, 0.3)
    assert p.seen.count(READ_ERROR) == 1
    leave(p)


# --- Piped session -------------------------------------------------------------

@pytest.mark.wine
def test_piped_session_sends_hex_and_ends_with_status_0(device):
    result = run_piped_on_port(device.path, "1\n", "n\n2\nFF 00\nq\n6\n")
    assert result.returncode == 0, result.stderr
    assert device.read(2) == b"\xff\x00"
    assert device.drain() == b""
    out = result.stdout.decode()
    assert f"📤 Отправлено в порт {device.path} (HEX): FF 00\n" in out
    assert out.endswith("📝 Введено: 6\n" + GOODBYE)


@pytest.mark.wine
def test_piped_input_ending_inside_a_submenu_sends_and_ends_with_status_0(device):
    result = run_piped_on_port(device.path, "1\n", "n\n3\n01 03 00 00 00 01\n")
    assert result.returncode == 0, result.stderr
    assert device.read(8) == b"\x01\x03\x00\x00\x00\x01\x84\x0a"
    out = result.stdout.decode()
    assert (f"📤 Отправлено в порт {device.path} (HEX+CRC): 01 03 00 00 00 01 | CRC: 84 0A\n"
            in out)
    assert out.endswith(GOODBYE)
    assert out.count(GOODBYE) == 1


# --- Faults: floods, big sends, a device that stops taking bytes -------------

class PipedSession:
    """The program with piped standard streams (no terminal, so no 4095-byte
    line limit) in the standard mode on `device`, at the command menu.
    Standard output is collected by a thread."""

    def __init__(self, device, baud=None):
        env = dict(os.environ, LANG="C.UTF-8", LC_ALL="C.UTF-8")
        self.proc = subprocess.Popen([BIN], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, env=env, start_new_session=True)
        self.out = bytearray()
        self.lock = threading.Lock()
        self.reader = threading.Thread(target=self._collect, daemon=True)
        self.reader.start()
        self.send("1\n")
        self.wait_for(PORT_PROMPT.encode())
        listed = self.output().decode()
        listed = listed[listed.index(LIST_HEADING) + len(LIST_HEADING):listed.index(PORT_PROMPT)]
        number = port_number(listed, device.path)
        if baud is None:
            self.send(f"{number}\nn\n")
        else:
            self.send(f"{number}\ny\n1\n{baud}\n6\n")
        self.wait_for(MENU.encode())

    def _collect(self):
        while True:
            chunk = self.proc.stdout.read1(1 << 20)
            if not chunk:
                return
            with self.lock:
                self.out += chunk

    def send(self, text):
        self.proc.stdin.write(text.encode())
        self.proc.stdin.flush()

    def output(self):
        with self.lock:
            return bytes(self.out)

    def wait_for(self, needle, count=1, timeout=20):
        deadline = time.monotonic() + timeout
        while self.output().count(needle) < count:
            assert self.proc.poll() is None, self.output()[-2000:].decode(errors="replace")
            assert time.monotonic() < deadline, f"no {needle!r} in time"
            time.sleep(0.02)

    def finish(self):
        """Closes standard input (the program leaves as with "6") and returns
        its exit status and standard error."""
        self.proc.stdin.close()
        status = self.proc.wait(timeout=20)
        self.reader.join(timeout=10)
        return status, self.proc.stderr.read().decode()

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()


@pytest.fixture
def piped():
    sessions = []

    def start(device, baud=None):
        session = PipedSession(device, baud)
        sessions.append(session)
        return session

    yield start
    for session in sessions:
        session.kill()


# Whole lines only: the output is read while the program is still writing it.
HEX_LINE = re.compile(re.escape("📥 Получено (HEX): ".encode()) + rb"([0-9A-F ]+)\n")


def test_a_16_mib_flood_is_shown_once_and_in_order(piped, device):
    session = piped(device)
    flood = bytes(random.Random(16).getrandbits(8) for _ in range(1 << 16)) * 256
    writer = threading.Thread(target=device.write, args=(flood,))
    started = time.monotonic()
    writer.start()
    writer.join(timeout=120)
    assert not writer.is_alive(), "the program stopped reading the flood"
    deadline = time.monotonic() + 60
    shown = b""
    while len(shown) < len(flood) and time.monotonic() < deadline:
        time.sleep(0.2)
        shown = b"".join(bytes.fromhex(m.decode()) for m in HEX_LINE.findall(session.output()))
    print(f"\n16 MiB flood shown in {time.monotonic() - started:.1f} s")
    assert len(shown) == len(flood)
    assert shown == flood, "bytes lost, repeated or reordered"
    status, errors = session.finish()
    assert status == 0, errors


@pytest.mark.parametrize("baud,reader,outcome", [
    # A reader that takes 4 KiB every 100 ms: the send waits for it, all of it.
    pytest.param(38400, "slow", "sent", id="slow-reader"),
    # Nobody reads: half an hour of wire time at 300 baud, yet the send gives up
    # about a second after the pty stopped taking bytes.
    pytest.param(300, "none", "stalled", id="stalled-device"),
])
def test_a_64_kib_hex_send(piped, device, baud, reader, outcome):
    session = piped(device, baud)
    data = bytes(random.Random(64).getrandbits(8) for _ in range(64 * 1024))
    received = bytearray()

    def take_slowly():
        while len(received) < len(data):
            chunk = device.read(4096, timeout=2)
            if not chunk:
                return
            received.extend(chunk)
            time.sleep(0.1)

    thread = threading.Thread(target=take_slowly) if reader == "slow" else None
    if thread:
        thread.start()
    started = time.monotonic()
    session.send("2\n" + data.hex(" ").upper() + "\n")
    if outcome == "sent":
        session.wait_for(f"📤 Отправлено в порт {device.path} (HEX): ".encode(), timeout=60)
        thread.join(timeout=30)
        assert bytes(received) == data
    else:
        failure = "❌ Ошибка при отправке данных: устройство перестало принимать данные".encode()
        session.wait_for(failure, timeout=30)
        elapsed = time.monotonic() - started
        print(f"\nstalled 64 KiB send gave up after {elapsed:.2f} s")
        assert elapsed < 10
        line = session.output().split(failure, 1)[1].split(b"\n", 1)[0].decode()
        taken = device.drain()
        assert data.startswith(taken)
        assert f"(передано {len(taken)} из {len(data)} байт)" in line, line
        # The port is usable after it.
        session.send("AB 01\n")
        session.wait_for(f"📤 Отправлено в порт {device.path} (HEX): AB 01".encode())
        assert device.read(2) == b"\xab\x01"
    session.send("q\n")
    status, errors = session.finish()
    assert status == 0, errors


# --- Nothing lost while the console is held ------------------------------------
# The device plays a UART without flow control: what the port does not take at
# once is gone. It streams at 460800 baud (46 KB/s), ten seconds' worth, and
# the console is held for eight of them.

STREAM_BAUD = 460800
STREAM_LENGTH = STREAM_BAUD // 10 * 10
HOLD_SECONDS = 8
# Anywhere in a line: after a prompt too.
SHOWN_HEX = re.compile(r"📥 Получено \(HEX\): ([0-9A-F ]+)$", re.M)


def open_session_at(program, device, baud, xon_xoff=False):
    """The standard mode on `device` at `baud` (and with software flow control
    if `xon_xoff`), set before the port opens; returns the session at the
    command menu and what came after the menu's prompt was printed (the
    receiver starts with the menu)."""
    p = at_the_defaults(program, device)
    p.send_line("y")
    p.expect("(1-6): ")
    p.send_line("1")
    p.expect(BAUD_PROMPT)
    p.send_line(str(baud))
    assert p.expect("(1-6): ").startswith(f"✅ Скорость установлена: {baud} бод\n")
    if xon_xoff:
        p.send_line("5")
        p.expect(FLOW_DIALOG)
        p.send_line("3")
        assert p.expect("(1-6): ").startswith("✅ Управление потоком установлено: Software\n")
    p.send_line("6")
    flow = "программное" if xon_xoff else "нет"
    p.expect(connected_banner(device.path, baud, flow=flow) + READY)
    return p, p.expect(MENU)


class ShownBytes:
    """The terminal's output from the command menu on, read as it comes, and
    the bytes of the receiver's HEX lines in it."""

    def __init__(self, p, already=""):
        self.p = p
        self.data = bytearray()
        self.text = ""
        self.partial = ""
        self.take(already + p.child.buffer)
        p.child.buffer = p.child.string_type()
        # pexpect 4.8 also keeps what followed the last match for the next
        # expect's `before`: taken here, it must not be seen there again.
        p.child._before = p.child.buffer_type()

    def take(self, raw):
        complete, newline, self.partial = (self.partial + raw).rpartition("\n")
        if newline:
            lines = normalize(complete + newline)
            self.text += lines
            for line in SHOWN_HEX.findall(lines):
                self.data += bytes.fromhex(line)

    def read(self, seconds, until=lambda: False):
        deadline = time.monotonic() + seconds
        while not until() and time.monotonic() < deadline:
            try:
                self.take(self.p.child.read_nonblocking(1 << 20, timeout=0.2))
            except pexpect.TIMEOUT:
                pass

    def shows(self, text):
        return text in self.text + normalize(self.partial)


def check_nothing_lost(program, sim_device, hold, xon_xoff=False):
    """`hold(p, shown)` keeps the console from Portavik at the command menu;
    then every byte the device sent must be shown once and in order, and the
    device must have dropped none. With `xon_xoff` the port has software flow
    control, and the device stops while the port takes no more."""
    flow = ["--xoff-when-full"] if xon_xoff else []
    device = sim_device("stream", "--uart", *flow, "--bytes", str(STREAM_LENGTH))
    p, after_menu = open_session_at(program, device, STREAM_BAUD, xon_xoff)
    shown = ShownBytes(p, after_menu)
    hold(p, shown)
    # The terminal is read meanwhile, so the program is never held here.
    shown.read(HOLD_SECONDS + 30, until=lambda: stream_summary(device) is not None)
    sent, lost = stream_summary(device)
    shown.read(60, until=lambda: len(shown.data) >= sent)
    held_bytes = STREAM_BAUD // 10 * HOLD_SECONDS
    print(f"\n{hold.__name__}: the device sent {sent} of {STREAM_LENGTH} bytes and dropped "
          f"{lost} ({100 * lost / held_bytes:.1f} % of the {held_bytes} bytes of the hold); "
          f"Portavik showed {len(shown.data)}")
    assert lost == 0, "the device dropped bytes the port did not take at once"
    expected = stream_bytes(1, sent, xon_xoff)
    assert len(shown.data) == len(expected)
    assert shown.data == expected, "bytes lost, repeated or reordered"
    assert "⚠️" not in shown.text
    check = subprocess.run([CHECK_STREAM] + ["--xon-xoff"] * xon_xoff, input=shown.text.encode(),
                           capture_output=True, timeout=60)
    assert check.returncode == 0, check.stdout.decode()
    leave(p)


def submenu_open(p, shown):
    """A send submenu open for the whole hold, the terminal read all along:
    nothing is printed after its prompt until q."""
    started = time.monotonic()
    p.send_line("1")
    opened = SUBMENUS["1"] + PROMPT
    shown.read(5, until=lambda: shown.shows(opened))
    assert shown.shows(opened)
    before = len(shown.data)
    shown.read(HOLD_SECONDS - (time.monotonic() - started))
    assert len(shown.data) == before, "printed while the submenu was open"
    p.send_line("q")


def terminal_not_read(p, shown):
    """Nobody reads the terminal at the menu: Portavik's output stops."""
    time.sleep(HOLD_SECONDS)


@pytest.mark.parametrize("hold", [submenu_open, terminal_not_read], ids=lambda h: h.__name__)
def test_nothing_is_lost_while_the_console_is_held(program, sim_device, hold):
    check_nothing_lost(program, sim_device, hold)


@pytest.mark.parametrize("hold", [submenu_open, terminal_not_read], ids=lambda h: h.__name__)
def test_with_software_flow_control_a_full_small_queue_holds_the_device(program, sim_device, hold,
                                                                       monkeypatch):
    """A queue of 64 KiB, a sixth of what comes during the hold: reading
    stops instead of dropping, and the line's flow control holds the device."""
    monkeypatch.setenv("PORTAVIK_TEST_QUEUE_BYTES", str(64 * 1024))
    check_nothing_lost(program, sim_device, hold, xon_xoff=True)


# --- Modbus RTU with the simulated device ---------------------------------------

MODBUS_EXCHANGES = [
    # typed in submenu 3 (the program appends the CRC), the device's whole reply
    ("01 03 00 00 00 02", "01 03 04 00 2A 03 E9 1A 85"),
    ("01 06 00 05 12 34", "01 06 00 05 12 34 94 BC"),
    ("01 03 00 05 00 01", "01 03 02 12 34 B5 33"),
    ("01 03 00 0A 00 01", "01 83 02 C0 F1"),
]


def received_bytes(p, count, timeout=10):
    """`count` bytes from the receiver's HEX lines, perhaps over several chunks."""
    received = b""
    deadline = time.monotonic() + timeout
    while len(received) < count and time.monotonic() < deadline:
        p.expect("📥 Получено (HEX): ")
        received += bytes.fromhex(p.expect("\n"))
    return received


def modbus_exchange(p, device, request, reply):
    enter_paused_submenu(p, "3")
    p.send_line(request)
    wire = bytes.fromhex(request) + crc16_modbus(bytes.fromhex(request)).to_bytes(2, "little")
    crc = wire[-2:].hex(" ").upper()
    assert (p.expect(PROMPT)
            == f"📤 Отправлено в порт {device.path} (HEX+CRC): {request} | CRC: {crc}\n")
    p.send_line("q")
    # The reply waited while the submenu was open: it comes before the menu
    # (unless it was still on its way when q was typed).
    count = len(bytes.fromhex(reply))
    received = b"".join(bytes.fromhex(h) for h in SHOWN_HEX.findall(p.expect(MENU)))
    received += received_bytes(p, count - len(received))
    assert received.hex(" ").upper() == reply
    assert crc16_modbus(received) == 0
    return wire


def test_modbus_requests_get_their_replies_byte_for_byte(program, sim_device):
    device = sim_device("modbus")
    p = open_session(program, device)
    for request, reply in MODBUS_EXCHANGES:
        wire = modbus_exchange(p, device, request, reply)
        # The device saw the frame whole, at the settings the program put in force.
        device.wait_for(r"\[38400 8N1, поток: нет\] принято: +" + wire.hex(" ").upper() + "$")
        device.wait_for(r"\[38400 8N1, поток: нет\] отправлено: " + reply + "( — .*)?$")

    # A corrupted CRC, sent as plain HEX, gets no reply.
    enter_submenu(p, "2")
    p.send_line("01 03 00 00 00 01 84 0B")
    p.expect(PROMPT)
    p.send_line("q")
    p.expect(MENU)
    device.wait_for(r"принято: +01 03 00 00 00 01 84 0B — неверный CRC, без ответа$")
    assert "📥" not in quiet(p, 1.0)

    # The device follows what the settings dialog changes on the open port.
    choose(p, "4")
    p.expect(SETTINGS_MENU)
    assert settings_answer(p, "1", BAUD_PROMPT, "9600") == "✅ Скорость установлена: 9600 бод\n"
    assert settings_answer(p, "3", STOP_BITS_DIALOG, "2") == "✅ Стоп-биты установлены: Two\n"
    assert (settings_answer(p, "5", FLOW_DIALOG, "2")
            == "✅ Управление потоком установлено: Hardware\n")
    p.send_line("6")
    p.expect(MENU)
    modbus_exchange(p, device, "01 03 00 00 00 01", "01 03 02 00 2A 39 9B")
    device.wait_for(r"\[9600 8N2, поток: аппаратное\] отправлено: 01 03 02 00 2A 39 9B$")
    assert device.proc.poll() is None, device.stderr_text()
    leave(p)
