# SPDX-License-Identifier: MIT

"""portavik-device on its own: exact replies of each mode, frames delimited by
silence at the rate in force, a Modbus client from outside Portavik, who may
use the port, the link's removal, what it says without the right to write
/dev; and scripts/run, driven from a pipe, with the device behind Portavik."""

import json
import os
import re
import select
import shutil
import signal
import subprocess
import tempfile
import time

import pytest
import serial

from conftest import (BIN, CHECK_STREAM, DEVICE_BIN, GOODBYE, LIST_HEADING, MODE_MENU,
                      PORT_PROMPT, PROJECT_VERSION, ROOT, SimDevice, crc16_modbus, port_number,
                      stream_bytes, stream_summary, unique_link_name)

NOBODY = 65534
AS_NOBODY = ("setpriv", f"--reuid={NOBODY}", f"--regid={NOBODY}", "--clear-groups")


def with_crc(hex_text):
    data = bytes.fromhex(hex_text)
    return data + crc16_modbus(data).to_bytes(2, "little")


def read_quiet(port, quiet=0.4):
    """Everything the device sends until it is quiet for `quiet` seconds."""
    out = b""
    while True:
        ready, _, _ = select.select([port.fileno()], [], [], quiet)
        if not ready:
            return out
        out += os.read(port.fileno(), 4096)


def crc_hex(hex_text):
    return with_crc(hex_text)[-2:].hex(" ").upper()


EXCHANGES = [
    # mode, bytes sent, whole reply (None: no reply), the note on the received frame
    ("modbus", with_crc("01 03 00 00 00 02"), "01 03 04 00 2A 03 E9 1A 85", None),
    ("modbus", with_crc("01 06 00 09 BE EF"), "01 06 00 09 BE EF " + crc_hex("01 06 00 09 BE EF"),
     None),
    ("modbus", with_crc("01 04 00 00 00 01"), "01 84 01 82 C0", None),
    ("modbus", with_crc("01 03 00 0A 00 01"), "01 83 02 C0 F1", None),
    ("modbus", with_crc("01 03 00 08 00 03"), "01 83 02 C0 F1", None),
    ("modbus", bytes.fromhex("01 03 00 00 00 01 84 0B"), None, "неверный CRC, без ответа"),
    ("modbus", with_crc("02 03 00 00 00 01"), None, "адрес 2, не 1: без ответа"),
    ("modbus", with_crc("00 06 00 03 00 07"), None, "широковещательный кадр, без ответа"),
    ("modbus", with_crc("01 03 00 00 00"), None,
     "функция 03 с длиной 7 байт вместо 8, без ответа"),
    ("modbus", bytes.fromhex("01 03 00"), None, "короче 4 байт, без ответа"),
    ("tirk", bytes.fromhex("01 50 11 00 0D 99"), "01 06 01 E2 60", "команда ТИРК1"),
    ("tirk", bytes.fromhex("01 50 20 07 59 CB"), "01 06 13 " + crc_hex("01 06 13"), "команда ТИРК19"),
    ("tirk", bytes.fromhex("01 30 06 B4 02"), "01 06 1A A2 6B", "команда ТИРК26"),
    ("tirk", bytes.fromhex("01 30 07 75 C2"), None, "не команда ТИРК, без ответа"),
    ("tirk", bytes.fromhex("01 50 11 00 0D 98"), None, "не команда ТИРК, без ответа"),
    ("echo", b"hello\r\n", "68 65 6C 6C 6F 0D 0A", None),
]


@pytest.mark.parametrize("mode,sent,reply,note", EXCHANGES,
                         ids=[f"{e[0]}-{e[1].hex()}" for e in EXCHANGES])
def test_each_frame_gets_its_exact_reply_or_none(sim_device, mode, sent, reply, note):
    device = sim_device(mode, "--interval", "60")
    with serial.Serial(device.path, 19200, timeout=1) as port:
        port.write(sent)
        got = read_quiet(port)
    assert got.hex(" ").upper() == (reply or "")
    hex_sent = sent.hex(" ").upper()
    line = device.wait_for(r"\[19200 8N1, поток: нет\] принято: +" + hex_sent)
    assert line.endswith(f" — {note}" if note else hex_sent)
    if reply:
        device.wait_for(r"\[19200 8N1, поток: нет\] отправлено: " + reply)
    assert device.stop() == 0


def test_broadcast_write_is_carried_out_without_a_reply(sim_device):
    device = sim_device("modbus")
    with serial.Serial(device.path, 38400, timeout=1) as port:
        port.write(with_crc("00 06 00 03 00 07"))
        assert read_quiet(port) == b""
        port.write(with_crc("01 03 00 03 00 01"))
        assert read_quiet(port) == with_crc("01 03 02 00 07")


@pytest.mark.parametrize("baud,stopbits,rtscts,xonxoff,gap,answered,settings", [
    # 300 baud 8N2: 3.5 characters of 11 bits take 128 ms, so a 20 ms pause
    # stays inside the frame.
    (300, 2, False, False, 0.02, True, "300 8N2, поток: нет"),
    # Above 19200 baud the silence is 1.75 ms: a 50 ms pause splits the frame.
    (115200, 1, True, False, 0.05, False, "115200 8N1, поток: аппаратное"),
    # In one write: no pause at all. (Two writes with none between them
    # still left one when the machine was busy, longer than the 3.6 ms of
    # silence at 9600 baud.)
    (9600, 1, False, True, None, True, "9600 8N1, поток: программное"),
])
def test_frames_end_at_the_silence_of_the_rate_in_force(sim_device, baud, stopbits, rtscts,
                                                        xonxoff, gap, answered, settings):
    device = sim_device("modbus")
    request = with_crc("01 03 00 00 00 01")
    with serial.Serial(device.path, baud, stopbits=stopbits, rtscts=rtscts, xonxoff=xonxoff,
                       timeout=1) as port:
        device.wait_for("порт открыт")
        if gap is None:
            port.write(request)
        else:
            port.write(request[:3])
            port.flush()
            time.sleep(gap)
            port.write(request[3:])
        got = read_quiet(port, quiet=0.6)
    assert got == (with_crc("01 03 02 00 2A") if answered else b"")
    received = [f for f in device.frames() if f[1] == "принято"]
    assert {f[0] for f in received} == {settings}
    assert len(received) == (1 if answered else 2), device.lines


@pytest.mark.parametrize("xonxoff", [True, False], ids=["software-flow", "no-flow"])
def test_xoff_holds_replies_until_xon_only_under_software_flow_control(sim_device, xonxoff):
    device = sim_device("echo")
    with serial.Serial(device.path, 9600, xonxoff=xonxoff, timeout=1) as port:
        device.wait_for("порт открыт")
        port.write(b"\x13")
        time.sleep(0.1)
        port.write(b"abc")
        if xonxoff:
            assert read_quiet(port) == b""
            port.write(b"\x11")
            assert read_quiet(port) == b"abc"
            device.wait_for("XOFF: вывод приостановлен$")
            device.wait_for("XON: вывод возобновлён$")
        else:
            # Without it they are data like any other byte.
            assert read_quiet(port) == b"\x13abc"
    received = [f[2] for f in device.frames() if f[1] == "принято"]
    assert received == (["61 62 63"] if xonxoff else ["13", "61 62 63"])


@pytest.mark.parametrize("mode,first,second", [
    ("text", b"portavik-device 1\r\n", b"portavik-device 2\r\n"),
    ("tirk", with_crc("01 53 00"), with_crc("01 53 00")),
])
def test_unsolicited_output_each_interval_while_the_port_is_open(sim_device, mode, first, second):
    device = sim_device(mode, "--interval", "0.3")
    # Nobody on the line yet: nothing is sent.
    time.sleep(0.8)
    assert not [f for f in device.frames() if f[1] == "отправлено"]
    with serial.Serial(device.path, 9600, timeout=3) as port:
        assert port.read(len(first)) == first
        assert port.read(len(second)) == second
    device.wait_for("порт закрыт$")




def read_for(port, seconds):
    out = b""
    deadline = time.monotonic() + seconds
    while (left := deadline - time.monotonic()) > 0:
        ready, _, _ = select.select([port.fileno()], [], [], left)
        if ready:
            out += os.read(port.fileno(), 65536)
    return out


@pytest.mark.parametrize("options,xonxoff,away,seed", [
    # Read at once: every byte, at no more than the line's rate.
    (["--uart"], False, 0.0, 1),
    # Away for a second at 46 KB/s, more than the pseudo-terminal holds:
    # as a UART, the device drops what the port does not take and counts it.
    (["--uart"], False, 1.0, 7),
    # Without --uart it waits for the port instead: nothing is lost.
    ([], False, 1.0, 1),
    # A full port holds the stream as its driver's XOFF would, only under
    # software flow control.
    (["--uart", "--xoff-when-full"], True, 1.0, 7),
    (["--uart", "--xoff-when-full"], False, 1.0, 7),
], ids=["uart-read-at-once", "uart-reader-away", "waits-for-the-reader", "uart-held-by-xoff",
        "uart-xoff-without-flow-control"])
def test_stream_is_the_seeded_sequence_and_a_uart_drops_what_the_port_does_not_take(
        sim_device, options, xonxoff, away, seed):
    length = 92160  # two seconds at 460800 baud
    device = sim_device("stream", *options, "--seed", str(seed), "--bytes", str(length))
    with serial.Serial(device.path, 460800, timeout=0, xonxoff=xonxoff) as port:
        started = time.monotonic()
        time.sleep(away)
        got = b""
        # The port's driver takes XON and XOFF out of the data under software flow control.
        while (stream_summary(device) is None
               or len(got) < len(stream_bytes(seed, stream_summary(device)[0], xonxoff))):
            assert time.monotonic() - started < 30, device.lines
            got += read_for(port, 0.2)
        elapsed = time.monotonic() - started
    sent, lost = stream_summary(device)
    assert len(got) == len(stream_bytes(seed, sent, xonxoff)) and sent + lost == length
    # Never faster than the line: 46080 bytes a second (less the first moments
    # at the rate the port opened with).
    assert elapsed > length / 46080 * 0.9
    logged = sum(int(n) for line in device.matching("потеряно \\d+ байт: ")
                 for n in re.findall(r"потеряно (\d+) байт: ", line))
    assert logged == lost
    if away and "--uart" in options and not xonxoff:
        assert lost > 0
    else:
        assert lost == 0
        assert got == stream_bytes(seed, length, xonxoff)
    # The checker finds exactly the bytes the device dropped, from a transcript
    # with 1024 bytes a line, as a receiver that keeps up would show them.
    transcript = "".join(f"📥 Получено (HEX): {got[i:i + 1024].hex(' ').upper()}\n"
                         for i in range(0, len(got), 1024))
    check = subprocess.run([CHECK_STREAM, "--seed", str(seed)] + ["--xon-xoff"] * xonxoff,
                           input=transcript.encode(), capture_output=True, timeout=60)
    report = check.stdout.decode()
    assert check.returncode == (1 if lost else 0), report
    assert f"показано {len(got)} байт потока (зерно {seed}), пропущено {lost} байт" in report


MODBUS_CLIENT = """
import json, sys
from pymodbus.client import ModbusSerialClient
client = ModbusSerialClient(port=sys.argv[1], baudrate=19200, timeout=2)
assert client.connect()
out = {"read": client.read_holding_registers(0, 3, slave=1).registers}
out["write"] = not client.write_register(7, 0xBEEF, slave=1).isError()
out["after"] = client.read_holding_registers(6, 2, slave=1).registers
outside = client.read_holding_registers(9, 2, slave=1)
out["outside"] = outside.exception_code if outside.isError() else None
client.close()
print(json.dumps(out))
"""


def own_copy_with_the_right_to_write_dev():
    """The device binary, copied where another user can run it, with
    cap_dac_override (what `setcap` in the README gives)."""
    folder = tempfile.mkdtemp(prefix="pvk-device-", dir="/tmp")
    os.chmod(folder, 0o755)
    binary = os.path.join(folder, "portavik-device")
    shutil.copy(DEVICE_BIN, binary)
    subprocess.run(["setcap", "cap_dac_override+ep", binary], check=True)
    return folder, binary


@pytest.mark.parametrize("started_by", ["root", "sudo", "setcap"])
def test_modbus_client_from_outside_reads_and_writes_as_the_user_who_started_it(started_by):
    folder = None
    kwargs = {}
    client = ()
    if started_by == "sudo":
        # What sudo leaves for the program it runs.
        kwargs["env"] = {"SUDO_UID": str(NOBODY), "SUDO_GID": str(NOBODY)}
        client = AS_NOBODY
    elif started_by == "setcap":
        folder, kwargs["binary"] = own_copy_with_the_right_to_write_dev()
        kwargs["launcher"] = AS_NOBODY
        client = AS_NOBODY
    device = SimDevice("modbus", **kwargs)
    try:
        device.started()
        slave = os.stat(device.path)
        owner = 0 if started_by == "root" else NOBODY
        assert (slave.st_uid, slave.st_mode & 0o777) == (owner, 0o600)
        result = subprocess.run([*client, "/usr/bin/python3", "-c", MODBUS_CLIENT, device.path],
                                capture_output=True, timeout=30)
        assert result.returncode == 0, result.stderr.decode()
        assert json.loads(result.stdout) == {"read": [42, 1001, 1002], "write": True,
                                             "after": [1006, 0xBEEF], "outside": 2}
        device.wait_for(r"\[19200 8N1, поток: нет\] принято: +01 06 00 07 BE EF")
        assert device.stop() == 0
        assert not os.path.lexists(device.path)
    finally:
        device.close()
        if folder:
            shutil.rmtree(folder)


@pytest.mark.parametrize("sig", [signal.SIGTERM, signal.SIGINT, signal.SIGHUP],
                         ids=lambda s: s.name)
def test_a_stop_signal_removes_the_link_even_with_the_port_open(sim_device, sig):
    device = sim_device("echo")
    with serial.Serial(device.path, 38400, timeout=1):
        device.wait_for("порт открыт")
        assert device.stop(sig) == 0
        assert not os.path.lexists(device.path)
    assert device.lines[-1] == (f"portavik-device остановлен ({sig.name}), "
                                f"ссылка {device.path} удалена.")


def run_device(*args, launcher=()):
    return subprocess.run([*launcher, DEVICE_BIN, *args], capture_output=True, timeout=10,
                          stdin=subprocess.DEVNULL)


def test_without_the_right_to_write_dev_it_says_so_in_one_line():
    link = unique_link_name("N")
    result = run_device("--link", link, launcher=AS_NOBODY)
    assert result.returncode == 1
    assert result.stdout == b""
    lines = result.stderr.decode().splitlines()
    assert len(lines) == 1, lines
    assert lines[0] == (f"portavik-device: нет права создать ссылку {link} (Permission denied): "
                        f"запустите от root или через sudo (sudo {DEVICE_BIN}), либо дайте право "
                        f"один раз: sudo setcap cap_dac_override+ep {DEVICE_BIN}")
    assert not os.path.lexists(link)


@pytest.mark.parametrize("args,status,stream,pattern", [
    (["--help"], 0, "stdout",
     r"(?s)Режимы:\n  modbus .*\n  tirk .*\n  echo .*\n  text .*\n  stream .*--uart "),
    (["-h"], 0, "stdout", r"^portavik-device \d+\.\d+\.\d+ — имитатор устройства"),
    (["--version"], 0, "stdout", "^portavik-device " + re.escape(PROJECT_VERSION) + "\n$"),
    (["--verbose"], 2, "stderr", r"^portavik-device: неизвестный аргумент «--verbose» "
                                 r"\(справка: portavik-device --help\)\n$"),
    (["modbus", "tirk"], 2, "stderr", r"^portavik-device: неизвестный аргумент «tirk» "
                                      r"\(справка: portavik-device --help\)\n$"),
    (["--link", "/tmp/ttyX"], 2, "stderr", r"^portavik-device: --link: нужно имя вида /dev/tty"),
    (["--link", "/dev/ttyX", "--port", "/dev/ttyS1"], 2, "stderr",
     r"^portavik-device: --link и --port вместе не бывают"),
    (["--port", "/dev/null"], 1, "stderr", r"^portavik-device: /dev/null — не последовательный порт"),
    (["--interval", "0"], 2, "stderr", r"^portavik-device: --interval: нужно число секунд"),
    (["--seed", "-1", "stream"], 2, "stderr", r"^portavik-device: --seed: нужно целое число"),
    (["--bytes", "0", "stream"], 2, "stderr", r"^portavik-device: --bytes: нужно целое число байт"),
])
def test_command_line(args, status, stream, pattern):
    result = run_device(*args)
    assert result.returncode == status
    assert re.search(pattern, getattr(result, stream).decode()), result
    # Nothing on the other stream, and no device started.
    assert getattr(result, "stderr" if stream == "stdout" else "stdout") == b"", result


# --- scripts/run ------------------------------------------------------------------

def device_processes(session):
    """Pids of running processes of the device that scripts/run builds, in
    `session` (other tests run the same device alongside)."""
    binary = os.path.realpath(os.path.join(ROOT, "build", "tools", "device", "portavik-device"))
    found = set()
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                if (os.path.realpath(f"/proc/{entry}/exe") == binary
                        and os.getsid(int(entry)) == session):
                    found.add(int(entry))
            except OSError:
                pass
    return found


class Piped:
    """A process with piped standard streams, read as its output comes."""

    def __init__(self, argv):
        self.proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT, start_new_session=True,
                                     env=dict(os.environ, LANG="C.UTF-8", LC_ALL="C.UTF-8"))
        self.out = b""

    def expect(self, pattern, timeout=300):
        """Reads until `pattern` (a regex) matches the output so far."""
        regex = re.compile(pattern.encode())
        deadline = time.monotonic() + timeout
        while not (match := regex.search(self.out)):
            left = deadline - time.monotonic()
            assert left > 0, f"no {pattern!r} in:\n{self.out.decode(errors='replace')}"
            ready, _, _ = select.select([self.proc.stdout], [], [], left)
            if ready:
                chunk = os.read(self.proc.stdout.fileno(), 65536)
                assert chunk, f"output ended before {pattern!r}:\n{self.out.decode()}"
                self.out += chunk
        return match

    def send(self, text):
        self.proc.stdin.write(text.encode())
        self.proc.stdin.flush()


# scripts/run builds and runs the default build (build/), whichever build
# the suite tests; run once, from that build's suite, since two at once
# would share its device log.
@pytest.mark.skipif(os.path.realpath(BIN) != os.path.join(ROOT, "build", "src", "portavik"),
                    reason="scripts/run runs build/ only; tested with that build")
def test_scripts_run_from_a_pipe_starts_the_device_and_stops_it_with_portavik():
    run = Piped([os.path.join(ROOT, "scripts", "run")])
    try:
        hint = run.expect(r"▶ Simulated Modbus device on (/dev/tty\S+)\. To see it answer: "
                          r"mode 1, port \1, n, item 3, type 01 03 00 00 00 02, then q\.\n")
        link = hint.group(1).decode()
        assert os.path.realpath(link).startswith("/dev/pts/")
        assert device_processes(run.proc.pid), "no device running"
        run.expect(re.escape(MODE_MENU))
        run.send("1\n")
        listing = run.expect(re.escape(LIST_HEADING) + "([\\s\\S]*)" + re.escape(PORT_PROMPT))
        run.send(f"{port_number(listing.group(1).decode(), link)}\nn\n3\n01 03 00 00 00 02\nq\n")
        run.expect("📥 Получено \\(HEX\\): 01 03 04 00 2A 03 E9 1A 85\n")
        run.send("6\n")
        run.expect(re.escape(GOODBYE))
        assert run.proc.wait(timeout=30) == 0
        run.out += run.proc.stdout.read()
        assert run.out.decode().endswith(
            "Simulated device stopped; what it received and sent: build/portavik-device.log\n")
        assert not os.path.lexists(link)
        assert not device_processes(run.proc.pid), "the device outlived the script"
    finally:
        # The script and the device share the process group: SIGTERM lets the
        # device remove its link.
        if run.proc.poll() is None:
            os.killpg(run.proc.pid, signal.SIGTERM)
            try:
                run.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                os.killpg(run.proc.pid, signal.SIGKILL)
                run.proc.wait()
