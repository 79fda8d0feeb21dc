# SPDX-License-Identifier: MIT

"""Start-up of both modes: mode menu, port list, opening, failure dialog,
banners and the ТИРК settings block."""

import fcntl
import os
import re
import subprocess
import termios
import time

import pytest

from conftest import (BIN, GOODBYE, LIST_HEADING, MODE_MENU, PORT_PROMPT, PROJECT_VERSION, READY,
                      TIRK_SETTINGS_BLOCK, connected_banner, port_number, run_piped,
                      run_piped_on_port)
from screens import screen

DEFAULTS = screen("standard_defaults")
RETRY = screen("retry_question")
INVALID_MODE = screen("invalid_choice", choices="1 или 2")
STANDARD_MENU = screen("standard_menu")
TIRK_MENU = screen("tirk_menu")
PRE_OPEN_MENU = screen("settings_menu_before_open")
CTRL_C_GOODBYE = screen("ctrl_c_goodbye")


HELP = (re.escape(f"portavik {PROJECT_VERSION} — работа с устройством через последовательный "
                  "(COM) порт.\n\nИспользование: portavik [--help | --version]\n")
        + r"[\s\S]*\n  -h, --help +эта справка\n  --version +версия\n[\s\S]*README[\s\S]*\n")


def unknown_argument(arg):
    return re.escape(f"portavik: неизвестный аргумент «{arg}» (справка: portavik --help)\n")


COMMAND_LINE = [
    # arguments, exit status, standard output, standard error (regular expressions)
    (["--help"], 0, HELP, ""),
    (["-h"], 0, HELP, ""),
    (["--version", "--help"], 0, HELP, ""),
    (["--version"], 0, re.escape(f"portavik {PROJECT_VERSION}\n"), ""),
    (["--verbose"], 2, "", unknown_argument("--verbose")),
    (["COM3"], 2, "", unknown_argument("COM3")),
    (["--help", "extra"], 2, "", unknown_argument("extra")),
    (["a b"], 2, "", unknown_argument("a b")),
    ([""], 2, "", unknown_argument("")),
    # Not in Windows' ANSI code page: read from the wide command line there.
    (["--порт"], 2, "", unknown_argument("--порт")),
]


@pytest.mark.wine
@pytest.mark.parametrize("args,status,out,err", COMMAND_LINE,
                         ids=[" ".join(case[0]) or "empty" for case in COMMAND_LINE])
def test_command_line_is_answered_without_the_dialogue(args, status, out, err):
    """The dialogue never starts: its menu would show in the output, and the
    program would read the (empty) standard input."""
    result = run_piped("", args=args)
    assert result.returncode == status
    assert re.fullmatch(out, result.stdout.decode()), result.stdout.decode()
    assert re.fullmatch(err, result.stderr.decode()), result.stderr.decode()


@pytest.mark.wine
@pytest.mark.parametrize("answer", ["5", "01", "word", "", " "])
def test_invalid_mode_answer_is_warned_and_ends(program, answer):
    p = program()
    assert p.expect(MODE_MENU) == ""
    p.send_line(answer)
    p.expect(INVALID_MODE)
    assert p.wait_exit() == (0, None)
    assert p.seen == MODE_MENU + INVALID_MODE


@pytest.mark.wine
def test_standard_mode_lists_the_virtual_port_opens_it_and_announces(program, device):
    p = program()
    p.expect(MODE_MENU)
    p.send_line("1")
    p.choose_port(device.path)
    p.expect(DEFAULTS)
    p.send_line("n")
    p.expect(connected_banner(device.path, 38400) + READY)
    # The device runs at what the banner says.
    assert device.baud_rate() == 38400
    p.expect(STANDARD_MENU)
    p.send_line("6")
    p.expect(GOODBYE)
    assert p.wait_exit() == (0, None)


@pytest.mark.wine
def test_tirk_mode_opens_at_9600_and_prints_the_settings_block(program, device):
    p = program()
    p.expect(MODE_MENU)
    p.send_line(" 2 ")
    p.choose_port(device.path)
    assert p.expect(connected_banner(device.path, 9600) + READY + TIRK_SETTINGS_BLOCK) == ""
    assert device.baud_rate() == 9600
    p.expect(TIRK_MENU)
    p.send_line("4")
    p.expect(GOODBYE)
    assert p.wait_exit() == (0, None)


def test_pre_open_dialog_changes_what_the_device_runs_at(program, device):
    p = program()
    p.expect(MODE_MENU)
    p.send_line("1")
    p.choose_port(device.path)
    p.expect(DEFAULTS)
    p.send_line("Y")
    for answer, confirmation in [(("1", "+250000"), "✅ Скорость установлена: 250000 бод\n"),
                                 (("3", "2"), "✅ Стоп-биты установлены: Two\n"),
                                 (("5", "3"), "✅ Управление потоком установлено: Software\n")]:
        p.expect(PRE_OPEN_MENU)
        p.send_line(answer[0])
        p.expect(": ")
        p.send_line(answer[1])
        p.expect(confirmation)
    p.expect(PRE_OPEN_MENU)
    p.send_line("6")
    p.expect(connected_banner(device.path, 250000, stop=2, flow="программное") + READY)
    assert device.baud_rate() == 250000
    attrs = device.attrs()
    assert attrs[2] & termios.CSTOPB
    assert attrs[0] & termios.IXON and attrs[0] & termios.IXOFF
    p.expect(STANDARD_MENU)
    p.send_line("6")
    assert p.wait_exit() == (0, None)


def hold_exclusively(path):
    """Opens `path` and takes the lock another program holding the port would."""
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    return fd


def failure_text(path, description):
    return screen("open_failure", port=path, reason=description)


def failure_around(path):
    """The failure screen before and after the system's text."""
    return failure_text(path, "\0").split("\0")


@pytest.mark.wine
@pytest.mark.parametrize("mode", ["1", "2"])
def test_a_port_in_use_leads_to_the_failure_dialog(program, device, mode):
    release = device.block()
    try:
        p = program()
        p.expect(MODE_MENU)
        p.send_line(mode)
        p.choose_port(device.path)
        if mode == "1":
            p.expect(DEFAULTS)
            p.send_line("n")
        before, after = failure_around(device.path)
        p.expect(before)
        description = p.expect(after + RETRY)
        assert description.strip() and "\n" not in description, "the error has a description"
        p.send_line("maybe")
        p.expect("Пожалуйста, введите 'y' или 'n'\n" + RETRY)
        p.send_line("y")
        p.expect(LIST_HEADING)
        listing = p.expect(PORT_PROMPT)
        assert device.path in listing
        p.send_line(str(port_number(listing, device.path)))
        if mode == "1":
            p.expect(DEFAULTS)
            p.send_line("")
        p.expect(RETRY)
        p.send_line("Y")
        p.expect(LIST_HEADING)
        listing = p.expect(PORT_PROMPT)
        release()
        release = None
        p.send_line(str(port_number(listing, device.path)))
        if mode == "1":
            p.expect(DEFAULTS)
            p.send_line("n")
        p.expect(connected_banner(device.path, 38400 if mode == "1" else 9600))
        p.expect(STANDARD_MENU if mode == "1" else TIRK_MENU)
        p.send_line("6" if mode == "1" else "4")
        assert p.wait_exit() == (0, None)
    finally:
        if release is not None:
            release()


@pytest.mark.parametrize("mode", ["1", "2"])
def test_a_link_to_the_programs_own_terminal_is_refused_and_left_untouched(program, mode):
    """A /dev/tty* link to the terminal the program runs in is listed like
    any virtual port; opening it would take the user's keyboard away."""
    p = program()
    p.expect(MODE_MENU)
    own = os.readlink(f"/proc/{p.child.pid}/fd/0")
    link = f"/dev/ttyPvkOwn{os.getpid()}x{mode}"
    os.symlink(own, link)
    try:
        before = termios.tcgetattr(p.child.child_fd)
        p.send_line(mode)
        p.choose_port(link)
        if mode == "1":
            p.expect(DEFAULTS)
            p.send_line("n")
        p.expect(failure_text(link, "это не последовательный порт (терминал, в котором работает "
                                    "сама программа). Выберите другой порт") + RETRY)
        assert termios.tcgetattr(p.child.child_fd) == before
        p.send_line("n")
        p.expect(GOODBYE)
        assert p.wait_exit() == (0, None)
    finally:
        os.unlink(link)


@pytest.mark.wine
@pytest.mark.parametrize("answer", ["n", "N", " n "])
def test_no_at_the_failure_dialog_says_goodbye(program, device, answer):
    release = device.block()
    try:
        p = program()
        p.expect(MODE_MENU)
        p.send_line("2")
        p.choose_port(device.path)
        p.expect(RETRY)
        p.send_line(answer)
        p.expect(GOODBYE)
        assert p.wait_exit() == (0, None)
    finally:
        release()


def test_second_portavik_on_the_same_port_is_refused(program, device):
    first = program()
    first.expect(MODE_MENU)
    first.send_line("2")
    first.choose_port(device.path)
    first.expect(TIRK_MENU)
    second = program()
    second.expect(MODE_MENU)
    second.send_line("2")
    second.choose_port(device.path)
    second.expect(failure_around(device.path)[0])
    second.expect(RETRY)
    second.send_line("n")
    assert second.wait_exit() == (0, None)
    first.send_line("4")
    assert first.wait_exit() == (0, None)


@pytest.mark.wine
def test_piped_sessions_end_by_themselves_with_status_0(device):
    # Input up to the port prompt, and after the port's number (None: no number).
    for before, after in [("1\n", "n\n"), ("2\n", ""), ("1\n", "y\n"), ("1\n", None),
                          ("2\n", None), ("", None)]:
        if after is None:
            result = run_piped(before)
        else:
            result = run_piped_on_port(device.path, before, after)
        assert result.returncode == 0, (before, after, result.stderr)
        out = result.stdout.decode()
        assert out.startswith(MODE_MENU)
    # Cut off at the defaults question: the port still opens with the defaults.
    result = run_piped_on_port(device.path, "1\n")
    out = result.stdout.decode()
    assert connected_banner(device.path, 38400) in out
    assert out.endswith(GOODBYE)


@pytest.mark.wine
def test_no_port_chosen_when_input_ends_at_the_port_prompt():
    result = run_piped("2\n")
    assert result.returncode == 0
    out = result.stdout.decode()
    assert out.endswith(PORT_PROMPT + screen("no_port_chosen"))


@pytest.mark.wine(console=True)
def test_ctrl_c_at_the_tirk_port_prompt_ends_with_status_0(program, device):
    p = program()
    p.expect(MODE_MENU)
    p.send_line("2")
    p.expect(PORT_PROMPT)
    p.child.sendintr()
    p.expect(CTRL_C_GOODBYE)
    assert p.wait_exit() == (0, None)


def test_ctrl_c_at_the_failure_question_ends_with_status_0(program, device):
    holder = hold_exclusively(device.path)
    try:
        p = program()
        p.expect(MODE_MENU)
        p.send_line("2")
        p.choose_port(device.path)
        p.expect(RETRY)
        p.child.sendintr()
        p.expect(CTRL_C_GOODBYE)
        assert p.wait_exit() == (0, None)
    finally:
        os.close(holder)


def test_a_closed_standard_output_is_a_fatal_stop(device):
    """Output that cannot be written stops the program with a diagnostic and
    a non-zero status instead of going on blind."""
    reader, writer = os.pipe()
    os.close(reader)
    try:
        result = subprocess.run([BIN], input=b"1\n", stdout=writer, stderr=subprocess.PIPE,
                                timeout=20)
    finally:
        os.close(writer)
    assert result.returncode != 0
    assert "Ошибка записи в стандартный вывод".encode() in result.stderr


@pytest.mark.wine
def test_tirk_editor_without_a_terminal_is_a_fatal_stop(device):
    result = run_piped_on_port(device.path, "2\n", "1\n")
    assert result.returncode != 0
    assert b"Failed to enable raw mode" in result.stderr
    assert screen("tirk_hex_editor") not in result.stdout.decode()


def test_ctrl_c_leaves_the_port_free_for_the_next_program(program, device):
    """The Ctrl+C handler ends the process at once, without destructors; the
    port must not stay exclusive (a non-root user could not open it again)."""
    p = program()
    p.expect(MODE_MENU)
    p.send_line("2")
    p.choose_port(device.path)
    p.expect(TIRK_MENU)
    assert device.exclusive()
    p.child.sendintr()
    p.expect(CTRL_C_GOODBYE)
    assert p.wait_exit() == (0, None)
    assert not device.exclusive()


def test_a_non_blocking_standard_input_is_waited_for(device):
    """A parent may leave the standard streams non-blocking; that is not an
    end of input."""
    reader, writer = os.pipe()
    os.set_blocking(reader, False)
    proc = subprocess.Popen([BIN], stdin=reader, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    os.close(reader)
    try:
        time.sleep(0.3)
        assert proc.poll() is None, "the program took EAGAIN for the end of input"
        os.write(writer, b"7\n")
    finally:
        os.close(writer)
    out, _ = proc.communicate(timeout=10)
    assert out.decode() == MODE_MENU + INVALID_MODE
    assert proc.returncode == 0
