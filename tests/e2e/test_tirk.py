# SPDX-License-Identifier: MIT

"""The ТИРК mode end to end: its command menu, the two raw-mode line editors
(HEX bytes and ТИРК command numbers), what reaches the device, the receiver
while an editor is open, and the terminal's state around raw mode and exit."""

import os
import re
import select
import shlex
import signal
import subprocess
import termios
import time

import pexpect
import pytest

from conftest import (BIN, GOODBYE, MODE_MENU, READY, TIRK_SETTINGS_BLOCK, Chatter, Program,
                      connected_banner, end_child, on_wine, spawn)
from screens import screen

MENU = screen("tirk_menu")
INVALID = screen("invalid_choice", choices="1-4")
CLEAR = "\x1b[H\x1b[2J\x1b[3J"
HEX_HEADER = screen("tirk_hex_editor")
TIRK_HEADER = screen("tirk_command_editor")
HEADERS = {"1": HEX_HEADER, "2": TIRK_HEADER}
REDRAW = "\x1b[2K\r> "
ENTER_ERASE = "\x1b[2K\r\n"
BYE = GOODBYE
CTRL_C_BYE = screen("ctrl_c_goodbye")
RANGE_ERROR = "❌ Ошибка: номер команды ТИРК должен быть от 1 до 26\n"

# Keys are typed further apart than the editors' 200 ms time rule.
GAP = 0.3
# How long the screen must stay unchanged after a key that is to be dropped.
QUIET = 0.4

FRAMES = {
    1: ("01 50 11 00", "0D 99"),
    19: ("01 50 20 07", "59 CB"),
    20: ("01 30 00", "34 00"),
    26: ("01 30 06", "B4 02"),
}


def frame_bytes(number):
    body, crc = FRAMES[number]
    return bytes.fromhex(body + " " + crc)


# ---------------------------------------------------------------- helpers

def reach_menu(p, device):
    """From the mode menu to the ТИРК command menu; checks the start-up text."""
    assert p.expect(MODE_MENU) == ""
    p.send_line("2")
    p.choose_port(device.path)
    assert p.expect(connected_banner(device.path, 9600) + READY + TIRK_SETTINGS_BLOCK) == ""
    assert p.expect(MENU) == ""


def open_editor(p, item):
    p.send_line(item)
    assert p.expect(HEADERS[item]) == ""
    p.wait_raw()
    # The time rule counts from the opening as from a key.
    p.last_key_at = time.monotonic()


def type_key(p, key, gap=GAP):
    """Types `key` once `gap` seconds have passed since the last key typed
    (a quiet wait after a dropped key counts towards it)."""
    wait = gap - (time.monotonic() - getattr(p, "last_key_at", float("-inf")))
    if wait > 0:
        time.sleep(wait)
    p.send(key)
    p.last_key_at = time.monotonic()


def press(p, key, line=None, gap=GAP):
    """Types `key` (type_key). With `line`, the key must be accepted and the
    editor's line redrawn as `line`; without, nothing may change."""
    type_key(p, key, gap)
    if line is None:
        assert p.rest(QUIET) == "", f"the key {key!r} changed the screen"
    else:
        assert p.expect(REDRAW + line) == ""


def type_line(p, text):
    for i in range(len(text)):
        press(p, text[i], text[:i + 1])


def leave_editor(p):
    p.send("\x1b")
    assert p.expect("\n" + MENU) == ""


def quit_at_menu(p):
    p.send_line("4")
    assert p.expect(BYE) == ""
    assert p.wait_exit() == (0, None)


def assert_wire(device, expected):
    """Exactly `expected` reaches the device, and nothing after it."""
    got = device.read(len(expected))
    got += device.drain()
    assert got == expected, f"{got.hex(' ')} != {expected.hex(' ')}"


def expect_command_confirmed(p, path, number):
    """What the command editor prints after Enter sent command `number`."""
    body, crc = FRAMES[number]
    printed = p.expect(TIRK_HEADER)
    # Shown with "\r\n" for the program's "\n", which `expect` turns back.
    timing = ENTER_ERASE + f"⏱️ Порт {path}: время отправки данных "
    sent = f" мс\n📤 Отправлена команда ТИРК{number}: {body} | CRC: {crc}\n\n"
    pattern = re.escape(p.shown(timing)) + r"(\d+)" + re.escape(p.shown(sent))
    assert re.fullmatch(pattern, printed), printed


def expect_command_sent(p, device, number):
    expect_command_confirmed(p, device.path, number)
    assert_wire(device, frame_bytes(number))


def lflag(attrs):
    return attrs[3]


# ------------------------------------------------- the command menu itself

@pytest.mark.wine(console=True)
def test_menu_start_up_block_and_answers_that_are_not_items(program, device):
    p = program()
    reach_menu(p, device)
    assert device.baud_rate() == 9600
    for answer in ["5", "12", "", "1 2", "01"]:
        p.send_line(answer)
        assert p.expect(MENU) == INVALID, f"answer {answer!r}"
    p.send_line(" 3 ")
    cleared = p.expect(MENU)
    if on_wine():
        # cmd /C cls in wine's console: escape codes and blank lines, no text.
        assert cleared.strip("\n") == "", cleared
    else:
        assert cleared == CLEAR
    # Nothing went to the device meanwhile.
    assert device.drain() == b""
    quit_at_menu(p)
    assert p.seen.count(p.shown(GOODBYE.strip())) == 1
    assert p.seen.endswith(p.shown(BYE))


@pytest.mark.wine(console=True)
def test_item_4_exits_with_status_0(program, device):
    p = program()
    reach_menu(p, device)
    p.send_line("  4\t")
    assert p.expect(BYE) == ""
    assert p.wait_exit() == (0, None)
    assert p.seen.endswith(p.shown(MENU + BYE))


@pytest.mark.wine(console=True)
def test_ctrl_c_at_the_menu_ends_with_status_0_and_the_message(program, device):
    p = program()
    reach_menu(p, device)
    p.send("\x03")
    assert p.expect(CTRL_C_BYE) == ""
    assert p.wait_exit() == (0, None)
    assert p.shown(GOODBYE.strip()) not in p.seen


# ------------------------------------------------------------ HEX editor

@pytest.mark.wine(console=True)
def test_hex_editor_sends_what_was_typed_and_drops_non_hex_keys(program, device):
    p = program()
    reach_menu(p, device)
    open_editor(p, "1")
    # Enter and Backspace on an empty line do nothing.
    press(p, "\r")
    press(p, "\x7f")
    press(p, "a", "a")
    press(p, "g")
    press(p, "b", "ab")
    press(p, " ", "ab ")
    press(p, "-")
    press(p, "x")
    press(p, "0", "ab 0")
    press(p, "F", "ab 0F")
    type_key(p, "\r")
    assert p.expect(ENTER_ERASE + f"📤 Отправлено в порт {device.path} (HEX): AB 0F\n\n"
                    + HEX_HEADER) == ""
    assert_wire(device, b"\xab\x0f")
    # The editor stays open with an empty line.
    type_line(p, "7e")
    type_key(p, "\r")
    assert p.expect(ENTER_ERASE + f"📤 Отправлено в порт {device.path} (HEX): 7E\n\n"
                    + HEX_HEADER) == ""
    assert_wire(device, b"\x7e")
    leave_editor(p)
    quit_at_menu(p)


# ------------------------------------------------------ ТИРК command editor

@pytest.mark.wine(console=True)
def test_command_editor_sends_commands_with_their_frames(program, device):
    p = program()
    reach_menu(p, device)
    open_editor(p, "2")
    for number in [1, 19, 20]:
        type_line(p, str(number))
        type_key(p, "\r")
        expect_command_sent(p, device, number)
    # Two-digit rule on the way to 26: 7 would make 27, a third digit never fits.
    press(p, "2", "2")
    press(p, "7")
    press(p, "6", "26")
    press(p, "5")
    type_key(p, "\r")
    expect_command_sent(p, device, 26)
    leave_editor(p)
    quit_at_menu(p)


def test_keys_within_200_ms_are_dropped(program, device):
    p = program()
    reach_menu(p, device)
    open_editor(p, "2")
    # Right after the editor opened: too early.
    p.send("5")
    assert p.rest(QUIET) == ""
    press(p, "1", "1")
    # 50 ms after the accepted 1: dropped, the line stays "1".
    time.sleep(0.05)
    p.send("2")
    assert p.rest(QUIET) == ""
    type_key(p, "\r")
    expect_command_sent(p, device, 1)
    leave_editor(p)
    quit_at_menu(p)


@pytest.mark.parametrize("typed", ["0", "00"])
def test_command_zero_is_refused_and_nothing_is_sent(program, device, typed):
    p = program()
    reach_menu(p, device)
    open_editor(p, "2")
    type_line(p, typed)
    type_key(p, "\r")
    assert p.expect(ENTER_ERASE + RANGE_ERROR + "\n" + TIRK_HEADER) == ""
    assert device.drain(quiet=0.5) == b""
    # The editor still works afterwards.
    type_line(p, "1")
    type_key(p, "\r")
    expect_command_sent(p, device, 1)
    leave_editor(p)
    quit_at_menu(p)


def test_backspace_in_the_command_editor_removes_the_last_digit(program, device):
    p = program()
    reach_menu(p, device)
    open_editor(p, "2")
    type_line(p, "12")
    # Backspace has no time rule here: at once after the 2 it still counts.
    press(p, "\x7f", "1", gap=0)
    type_key(p, "\r")
    expect_command_sent(p, device, 1)
    leave_editor(p)
    quit_at_menu(p)


# ------------------------------------------------------ both editors alike

@pytest.mark.wine(console=True)
@pytest.mark.parametrize("item", ["1", "2"])
def test_esc_returns_to_the_menu_and_item_4_then_exits(program, device, item):
    p = program()
    reach_menu(p, device)
    open_editor(p, item)
    press(p, "1", "1")
    time.sleep(GAP)
    leave_editor(p)
    # What was typed is not sent by leaving.
    assert device.drain() == b""
    # The menu reads lines again (the terminal is out of raw mode).
    p.send_line("5")
    assert p.expect(MENU) == INVALID
    quit_at_menu(p)


SPECIAL_KEYS = [
    ("up", "\x1b[A"),
    ("left", "\x1b[D"),
    ("home", "\x1b[H"),
    ("end", "\x1b[F"),
    ("delete", "\x1b[3~"),
    ("F1", "\x1bOP"),
    ("Ctrl+C", "\x03"),
]


@pytest.mark.parametrize("item", ["1", "2"])
def test_cursor_and_function_keys_and_ctrl_c_change_nothing(program, device, item):
    p = program()
    reach_menu(p, device)
    open_editor(p, item)
    press(p, "1", "1")
    # Each key comes well after the last accepted one, so a sequence taken
    # apart into characters would show (F, 3 and the like are accepted keys).
    for name, key in SPECIAL_KEYS:
        type_key(p, key)
        assert p.rest(QUIET) == "", f"{name} changed the screen"
    if item == "1":
        press(p, "2", "12")
        type_key(p, "\r")
        assert p.expect(ENTER_ERASE + f"📤 Отправлено в порт {device.path} (HEX): 12\n\n"
                        + HEX_HEADER) == ""
        assert_wire(device, b"\x12")
    else:
        type_key(p, "\r")
        expect_command_sent(p, device, 1)
    leave_editor(p)
    quit_at_menu(p)


# Status frames of the simulated device: 01 53, the count of commands it
# took, the CRC.
STATUS_LINE = "📥 Получены данные: 01 53 {}\n"
STATUS_BEFORE_MENU = re.compile(r"(📥 Получены данные: 01 53 [0-9A-F]{2} [0-9A-F]{2} [0-9A-F]{2}\n)*")


@pytest.mark.parametrize("item", ["1", "2"])
def test_device_frames_show_at_the_menu_and_are_dropped_in_an_editor(program, sim_device, item):
    device = sim_device("tirk", "--interval", "1")
    p = program()
    reach_menu(p, device)
    assert p.expect(STATUS_LINE.format("00 1C F0")) == ""
    open_editor(p, item)
    frames_before = len(device.frames())
    if item == "2":
        # The device acknowledges the command; the acknowledgement is dropped.
        press(p, "1", "1")
        type_key(p, "\r")
        expect_command_confirmed(p, device.path, 1)
        device.wait_for(r"\[9600 8N1, поток: нет\] принято: +01 50 11 00 0D 99 — команда ТИРК1$")
        device.wait_for(r"отправлено: 01 06 01 E2 60$")
    assert p.rest(2.5) == ""
    sent_meanwhile = [f for f in device.frames()[frames_before:]
                      if f[1] == "отправлено" and f[2].startswith("01 53")]
    assert len(sent_meanwhile) >= 2, device.lines
    p.send("\x1b")
    # A status frame may come just before the menu.
    assert STATUS_BEFORE_MENU.fullmatch(p.expect("\n" + MENU))
    status = "01 DD 30" if item == "2" else "00 1C F0"
    p.expect(STATUS_LINE.format(status))
    quit_at_menu(p)
    assert "01 06 01 E2 60" not in p.seen


# ------------------------------------------- the terminal around raw mode

@pytest.mark.parametrize("item", ["1", "2"])
def test_editor_puts_the_terminal_in_raw_mode_and_esc_restores_it(program, device, item):
    p = program()
    reach_menu(p, device)
    fd = p.child.child_fd
    before = termios.tcgetattr(fd)
    assert lflag(before) & termios.ICANON and lflag(before) & termios.ISIG
    open_editor(p, item)
    raw = termios.tcgetattr(fd)
    assert not lflag(raw) & (termios.ICANON | termios.ECHO | termios.ISIG)
    assert raw[1] & termios.OPOST, "output processing stays on"
    leave_editor(p)
    assert termios.tcgetattr(fd) == before
    quit_at_menu(p)


class Wrapped(Program):
    """The program run by a shell that prints `stty -g` before and after it,
    and the program's exit status, on the same terminal."""

    def __init__(self):
        env = dict(os.environ, LANG="C.UTF-8", LC_ALL="C.UTF-8")
        # The trap keeps the shell alive through a Ctrl+C on the terminal
        # (the program gets SIGINT's default action, then installs its own).
        script = f'trap : INT; ulimit -c 0; stty -g; {shlex.quote(BIN)}; echo "rc=$?"; stty -g'
        self.child = spawn("/bin/sh", ["-c", script], env=env)
        self.seen = ""
        self.child.expect(r"([0-9a-f]+(?::[0-9a-f]+)+)\r\n")
        self.stty_before = self.child.match.group(1)
        self.program_pid = None

    def find_program(self):
        """The pid of the shell's child (the program)."""
        shell = self.child.pid
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                with open(f"/proc/{entry}/stat") as stat:
                    fields = stat.read().rsplit(")", 1)[1].split()
            except OSError:
                continue
            if int(fields[1]) == shell:
                self.program_pid = int(entry)
                return self.program_pid
        raise AssertionError("the program's process was not found")

    def finish(self):
        """The program's exit status as the shell saw it, and the terminal's
        settings after it ended."""
        self.child.expect(r"rc=(\d+)\r\n([0-9a-f]+(?::[0-9a-f]+)+)\r\n")
        self.seen += self.child.before.replace("\r\n", "\n")
        status, after = int(self.child.match.group(1)), self.child.match.group(2)
        self.child.expect(pexpect.EOF)
        end_child(self.child)
        return status, after

    def kill(self):
        if self.program_pid is not None:
            try:
                os.kill(self.program_pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        super().kill()


@pytest.fixture
def wrapped():
    runs = []

    def start():
        w = Wrapped()
        runs.append(w)
        return w

    yield start
    for w in runs:
        w.kill()


def test_terminal_is_as_before_after_esc_and_item_4(wrapped, device):
    w = wrapped()
    reach_menu(w, device)
    open_editor(w, "2")
    leave_editor(w)
    w.send_line("4")
    assert w.expect(BYE) == ""
    status, after = w.finish()
    assert status == 0
    assert after == w.stty_before


def test_terminal_is_as_before_after_ctrl_c_at_the_menu(wrapped, device):
    w = wrapped()
    reach_menu(w, device)
    w.send("\x03")
    assert w.expect(CTRL_C_BYE) == ""
    status, after = w.finish()
    assert status == 0
    assert after == w.stty_before


def test_ctrl_c_ends_at_once_while_the_terminal_is_not_read(wrapped, device):
    """The device streams and nobody reads the terminal, so the receiver is
    stuck in a write: Ctrl+C ends the program all the same, with status 0
    and the terminal restored. (A signal, as Ctrl+C sends it: the terminal's
    own Ctrl+C would also flush its output and free the receiver.)"""
    w = wrapped()
    reach_menu(w, device)
    pid = w.find_program()
    chatter = Chatter(device, payload=bytes(range(256)) * 4, pause=0.001)
    try:
        time.sleep(2.0)
        ended = os.pidfd_open(pid)
        os.kill(pid, signal.SIGINT)
        started = time.monotonic()
        select.select([ended], [], [], 10)
        elapsed = time.monotonic() - started
        os.close(ended)
    finally:
        chatter.stop()
    print(f"\nCtrl+C to the end with the terminal not read: {elapsed * 1000:.1f} ms "
          f"({chatter.written} bytes sent by the device)")
    assert elapsed < 1.0, "the end waited for the console"
    status, after = w.finish()
    assert status == 0
    assert after == w.stty_before


# ------------------------------------------------- faults: disconnects, signals

READ_ERROR = "Ошибка чтения: "


@pytest.mark.parametrize("place", ["menu", "1", "2"])
def test_a_disconnect_is_reported_without_a_flood_and_the_mode_still_ends(program, device, place):
    p = program()
    reach_menu(p, device)
    if place != "menu":
        open_editor(p, place)
    device.disconnect()
    p.expect(READ_ERROR)
    assert p.expect("\n").strip(), "the read error has a description"
    # The same error again at most once a second, not twenty times.
    time.sleep(3.0)
    printed = p.seen + p.rest(0.2)
    count = printed.count(READ_ERROR)
    print(f"\nread errors in about 3 s after a disconnect: {count}")
    assert 1 <= count <= 5, printed
    if place != "menu":
        p.send("\x1b")
        p.expect(MENU)
    p.send_line("4")
    p.expect(BYE)
    assert p.wait_exit() == (0, None)


def open_as_nobody(path):
    """0 when an unprivileged user can open `path` now, else the errno."""
    os.chmod(os.path.realpath(path), 0o666)
    probe = ("import os, sys\n"
             "try:\n"
             "    os.close(os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK))\n"
             "    print(0)\n"
             "except OSError as e:\n"
             "    print(e.errno)\n")
    result = subprocess.run(["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups",
                             "/usr/bin/python3", "-c", probe, path],
                            capture_output=True, text=True, timeout=20)
    assert result.returncode == 0, result.stderr
    return int(result.stdout)


def reach_standard_menu(p, device):
    p.expect(MODE_MENU)
    p.send_line("1")
    p.choose_port(device.path)
    p.expect(screen("standard_defaults"))
    p.send_line("n")
    p.expect(screen("standard_menu"))


# Where the signal comes, and which signals: the shell sees the status of the
# signal's default action (128 + number), except for SIGINT in the ТИРК mode,
# which its Ctrl+C handler turns into status 0 and a message.
SIGNAL_CASES = [
    ("standard menu", signal.SIGINT), ("standard menu", signal.SIGTERM),
    ("standard menu", signal.SIGHUP), ("standard menu", signal.SIGQUIT),
    ("ТИРК menu", signal.SIGTERM), ("ТИРК menu", signal.SIGHUP), ("ТИРК menu", signal.SIGQUIT),
    ("HEX editor", signal.SIGINT), ("HEX editor", signal.SIGTERM),
    ("command editor", signal.SIGINT), ("command editor", signal.SIGTERM),
    ("command editor", signal.SIGHUP),
]


@pytest.mark.parametrize("place, sig", SIGNAL_CASES,
                         ids=[f"{place}-{signal.Signals(sig).name}" for place, sig in SIGNAL_CASES])
def test_a_deadly_signal_restores_the_terminal_and_frees_the_port(wrapped, device, place, sig):
    w = wrapped()
    if place == "standard menu":
        reach_standard_menu(w, device)
    else:
        reach_menu(w, device)
    pid = w.find_program()
    if place.endswith("editor"):
        open_editor(w, "1" if place == "HEX editor" else "2")
        press(w, "1", "1")
        # Raw mode is on at this point, so restoring it is not a given.
        raw = termios.tcgetattr(w.child.child_fd)
        assert not lflag(raw) & (termios.ICANON | termios.ECHO | termios.ISIG)
    assert device.exclusive()
    os.kill(pid, sig)
    handled = sig == signal.SIGINT and place != "standard menu"
    if handled:
        assert w.expect(CTRL_C_BYE) == ""
    got_status, after = w.finish()
    assert got_status == (0 if handled else 128 + sig)
    assert after == w.stty_before
    if not handled:
        assert "👋" not in w.seen
    assert not device.exclusive(), "the line stayed exclusive"
    assert open_as_nobody(device.path) == 0
