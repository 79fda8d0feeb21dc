# SPDX-License-Identifier: MIT

"""End-to-end harness: the built program under a pseudo-terminal, talking to a
test "device" on the other side of a virtual port linked under /dev.

With --target=wine the tests marked `wine` run against portavik.exe under
wine instead (scripts/wine-run), the device's pseudo-terminal mapped as a COM
port; with pipes for standard input and output (wine passes their UTF-8
bytes through unchanged), or in wine's console where the mark says
console=True. Everything else is deselected there."""

import codecs
import fcntl
import os
import re
import select
import signal
import struct
import subprocess
import termios
import threading
import time
import tty

import pexpect
import pytest

from screens import line_settings, screen

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.abspath(os.path.join(HERE, "..", ".."))
BIN = os.environ.get("PORTAVIK_BIN", os.path.join(ROOT, "build", "src", "portavik"))
EXE = os.environ.get("PORTAVIK_EXE", os.path.join(ROOT, "build-mingw", "src", "portavik.exe"))
WINE_RUN = os.path.join(ROOT, "scripts", "wine-run")
# The COM ports scripts/wine-run maps to links under $WINEPREFIX/portavik-ports.
WINE_PORTS = range(96, 104)

# project()'s version, which both programs report.
with open(os.path.join(ROOT, "CMakeLists.txt"), encoding="utf-8") as _cmake:
    PROJECT_VERSION = re.search(r"project\(portavik VERSION (\S+)", _cmake.read()).group(1)

# "linux" or "wine", from --target.
TARGET = "linux"


def pytest_addoption(parser):
    parser.addoption("--target", choices=["linux", "wine"], default="linux",
                     help="run the native program, or the tests marked `wine` against "
                          "portavik.exe under wine")
    parser.addoption("--shard", default="0/1", metavar="I/N",
                     help="run only every Nth test, from the Ith (counting from 0), so that "
                          "N runs side by side share a file's tests")


def pytest_configure(config):
    global TARGET
    TARGET = config.getoption("--target")
    config.addinivalue_line("markers", "wine(console=False): also runs against portavik.exe "
                                       "under wine; in its console with console=True, else "
                                       "with pipes")
    if TARGET == "wine":
        # Makes the prefix and its port map now rather than inside a test.
        subprocess.run([WINE_RUN], check=True, stdin=subprocess.DEVNULL)


def pytest_collection_modifyitems(config, items):
    chosen = items
    if TARGET == "wine":
        chosen = [item for item in chosen if item.get_closest_marker("wine")]
    index, count = (int(n) for n in config.getoption("--shard").split("/"))
    chosen = chosen[index::count]
    dropped = [item for item in items if item not in chosen]
    if dropped:
        config.hook.pytest_deselected(items=dropped)
    items[:] = chosen


def pytest_sessionfinish(session, exitstatus):
    # A shard of a file with fewer tests than shards has none to run.
    sharded = session.config.getoption("--shard") != "0/1"
    if sharded and exitstatus == pytest.ExitCode.NO_TESTS_COLLECTED:
        session.exitstatus = pytest.ExitCode.OK


def on_wine():
    return TARGET == "wine"


def program_command():
    return [WINE_RUN, EXE] if TARGET == "wine" else [BIN]


def program_env():
    return dict(os.environ, LANG="C.UTF-8", LC_ALL="C.UTF-8")

MODE_MENU = screen("mode_menu")
PORT_PROMPT = screen("port_prompt")
LIST_HEADING = screen("port_list_heading")
READY = screen("ready")
TIRK_SETTINGS_BLOCK = screen("tirk_settings_block")
GOODBYE = screen("goodbye")

_counter = [0]


def unique_link_name(tag="T"):
    _counter[0] += 1
    return f"/dev/ttyPvk{tag}{os.getpid()}x{_counter[0]}"


def wine_ports_dir():
    prefix = os.environ.get("WINEPREFIX", os.path.join(ROOT, "build-mingw", "wine"))
    return os.path.join(prefix, "portavik-ports")


class WinePort:
    """One of the COM ports scripts/wine-run maps, held through a lock file
    while a test uses it: wine opens whatever its link points at."""

    def __init__(self):
        for number in WINE_PORTS:
            lock = os.open(os.path.join(wine_ports_dir(), f"com{number}.lock"),
                           os.O_RDWR | os.O_CREAT, 0o644)
            try:
                fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except BlockingIOError:
                os.close(lock)
                continue
            self.lock = lock
            self.name = f"COM{number}"
            self.link = os.path.join(wine_ports_dir(), f"com{number}")
            return
        raise AssertionError("every mapped COM port is in use")

    def point_at(self, target):
        if os.path.lexists(self.link):
            os.unlink(self.link)
        os.symlink(target, self.link)

    def release(self):
        if os.path.lexists(self.link):
            os.unlink(self.link)
        os.close(self.lock)


class Device:
    """The far end of a virtual port: a pseudo-terminal master, with the
    slave's path linked under /dev as the program sees it (or mapped as a
    COM port under wine)."""

    def __init__(self, tag="T"):
        self.master, self.slave = os.openpty()
        tty.setraw(self.master)
        self.slave_path = os.ttyname(self.slave)
        self.wine_port = None
        if TARGET == "wine":
            self.wine_port = WinePort()
            self.wine_port.point_at(self.slave_path)
            self.path = self.wine_port.name
        else:
            self.path = unique_link_name(tag)
            os.symlink(self.slave_path, self.path)
        self.closed = False

    def write(self, data: bytes):
        view = memoryview(data)
        while view:
            n = os.write(self.master, view)
            view = view[n:]

    def read(self, count, timeout=5.0):
        """Exactly `count` bytes, or fewer if `timeout` runs out."""
        out = b""
        deadline = time.monotonic() + timeout
        while len(out) < count:
            left = deadline - time.monotonic()
            if left <= 0:
                break
            ready, _, _ = select.select([self.master], [], [], left)
            if not ready:
                break
            try:
                chunk = os.read(self.master, count - len(out))
            except OSError:
                break
            if not chunk:
                break
            out += chunk
        return out

    def drain(self, quiet=0.3):
        """Everything that arrives until the line is quiet for `quiet` seconds."""
        out = b""
        while True:
            ready, _, _ = select.select([self.master], [], [], quiet)
            if not ready:
                return out
            try:
                chunk = os.read(self.master, 65536)
            except OSError:
                return out
            if not chunk:
                return out
            out += chunk

    def attrs(self):
        return termios.tcgetattr(self.master)

    def baud_rate(self):
        """The exact rate in force (TCGETS2 reads custom rates too)."""
        TCGETS2 = 0x802C542A
        buf = bytearray(44)
        fcntl.ioctl(self.master, TCGETS2, buf)
        c_ospeed = struct.unpack_from("I", buf, 40)[0]
        return c_ospeed

    def exclusive(self):
        """Whether the line is held exclusively (TIOCGEXCL on the slave)."""
        TIOCGEXCL = 0x80045440
        buf = bytearray(4)
        fcntl.ioctl(self.slave, TIOCGEXCL, buf)
        return struct.unpack("i", buf)[0] != 0

    def disconnect(self):
        if not self.closed:
            self.closed = True
            os.close(self.master)
            os.close(self.slave)

    def block(self):
        """Makes the port fail to open until the returned function is called:
        another holder of the port's lock here; under wine, where a second
        open succeeds, a port whose device is missing."""
        if self.wine_port is not None:
            self.wine_port.point_at(self.slave_path + ".missing")
            return lambda: self.wine_port.point_at(self.slave_path)
        holder = os.open(self.path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        fcntl.flock(holder, fcntl.LOCK_EX | fcntl.LOCK_NB)
        return lambda: os.close(holder)

    def close(self):
        self.disconnect()
        if self.wine_port is not None:
            self.wine_port.release()
        elif os.path.lexists(self.path):
            os.unlink(self.path)


class Chatter:
    """A device that keeps sending until stopped."""

    def __init__(self, device, payload=b"\x55\xaa" * 8, pause=0.005):
        self.device = device
        self.payload = payload
        self.pause = pause
        self.stop_flag = threading.Event()
        self.written = 0
        flags = fcntl.fcntl(device.master, fcntl.F_GETFL)
        fcntl.fcntl(device.master, fcntl.F_SETFL, flags | os.O_NONBLOCK)
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        while not self.stop_flag.is_set():
            try:
                self.written += os.write(self.device.master, self.payload)
            except BlockingIOError:
                pass
            except OSError:
                return
            time.sleep(self.pause)

    def stop(self):
        self.stop_flag.set()
        self.thread.join(timeout=5)


@pytest.fixture
def device():
    dev = Device()
    yield dev
    dev.close()


def normalize(text):
    return text.replace("\r\n", "\n")


class Session:
    """What every way of running the program offers the tests: `expect`
    returns what was printed before the awaited text since the last expect,
    and `seen` keeps the whole transcript."""

    def choose_port(self, path):
        """Reads the port list, checks its form, and answers with `path`'s number."""
        self.expect(LIST_HEADING)
        listing = self.expect(PORT_PROMPT)
        number = port_number(listing, path)
        self.send_line(str(number))
        return number

    def shown(self, text):
        """`text` as this way of running shows it."""
        return text

    def wait_raw(self):
        """Returns once keys typed now reach a raw-mode editor one by one."""


def spawn(command, args, dimensions=(50, 200), env=None, pause_before_send=False):
    """pexpect.spawn as the tests use it: echo off, so the transcript is only
    what the program writes, and without pexpect's fixed pauses (100 ms at
    every close, 50 ms before every send unless `pause_before_send`): a test
    answers a prompt it has seen, and end_child waits for the end itself."""
    child = pexpect.spawn(command, args, env=env or program_env(), encoding="utf-8",
                          codec_errors="replace", echo=False, timeout=10,
                          dimensions=dimensions)
    if not pause_before_send:
        child.delaybeforesend = None
    child.ptyproc.delayafterclose = 0
    return child


def end_child(child, kill=False, timeout=10):
    """Waits until `child` has ended (after SIGKILL if `kill`), so that its
    exit status is known, and closes its terminal."""
    if kill and child.isalive():
        child.kill(signal.SIGKILL)
    deadline = time.monotonic() + timeout
    while child.isalive():
        assert time.monotonic() < deadline, "the program closed its terminal but did not end"
        time.sleep(0.01)
    child.close()


class Program(Session):
    """The program under a pseudo-terminal."""

    def __init__(self):
        self.child = spawn(BIN, [])
        self.seen = ""

    def expect(self, text, timeout=10):
        """Waits for `text` (with "\\n" as the terminal shows it) and returns
        everything printed before it since the last expect."""
        self.child.expect_exact(text.replace("\n", "\r\n"), timeout=timeout)
        before = normalize(self.child.before)
        self.seen += before + text
        return before

    def send_line(self, text):
        self.child.send(text + "\r")

    def send(self, text):
        self.child.send(text)

    def wait_exit(self, timeout=10):
        self.child.expect(pexpect.EOF, timeout=timeout)
        self.seen += normalize(self.child.before)
        end_child(self.child, timeout=timeout)
        return self.child.exitstatus, self.child.signalstatus

    def rest(self, timeout=1.0):
        """What is printed within `timeout`, without waiting for anything."""
        try:
            self.child.expect(pexpect.TIMEOUT, timeout=timeout)
        except pexpect.EOF:
            pass
        out = normalize(self.child.before)
        # Consumed: the next expect must not see this text again.
        self.child.buffer = self.child.string_type()
        self.seen += out
        return out

    def kill(self):
        end_child(self.child, kill=True)


class Transcript(Session):
    """A session that searches its own decoded output: `screen()` is the
    text so far, `at` how much of it the expects have used."""

    def _init_transcript(self):
        self.seen = ""
        self.at = 0
        self.ended = False

    def expect(self, text, timeout=10):
        want = self.shown(text)
        deadline = time.monotonic() + timeout
        while True:
            screen = self.screen()
            found = screen.find(want, self.at)
            if found >= 0:
                before = screen[self.at:found]
                self.at = found + len(want)
                self.seen += before + want
                return before
            left = deadline - time.monotonic()
            if left <= 0 or self.ended:
                raise AssertionError(f"{want!r} was not printed; after the last expect came:\n"
                                     f"{screen[self.at:]!r}")
            self.pump(min(left, 0.05))

    def rest(self, timeout=1.0):
        deadline = time.monotonic() + timeout
        while not self.ended and time.monotonic() < deadline:
            self.pump(min(deadline - time.monotonic(), 0.05))
        screen = self.screen()
        out = screen[self.at:]
        self.at = len(screen)
        self.seen += out
        return out


class PipedProgram(Transcript):
    """The program with its standard input and output on pipes, kept open
    for a whole dialogue; standard output is collected by a thread."""

    def __init__(self):
        self._init_transcript()
        self.proc = subprocess.Popen(program_command(), stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     env=program_env(), start_new_session=True)
        self.text = ""
        self.lock = threading.Lock()
        self.reader = threading.Thread(target=self._collect, daemon=True)
        self.reader.start()

    def _collect(self):
        decoder = codecs.getincrementaldecoder("utf-8")("replace")
        while True:
            chunk = self.proc.stdout.read1(1 << 16)
            with self.lock:
                self.text += decoder.decode(chunk, final=not chunk)
            if not chunk:
                return

    def screen(self):
        with self.lock:
            return self.text

    def pump(self, timeout):
        self.reader.join(timeout)
        self.ended = not self.reader.is_alive()

    def send_line(self, text):
        self.send(text + "\n")

    def send(self, text):
        self.proc.stdin.write(text.encode())
        self.proc.stdin.flush()

    def wait_exit(self, timeout=10):
        status = self.proc.wait(timeout=timeout)
        self.reader.join(timeout=timeout)
        self.rest(0)
        self.proc.stdin.close()
        return (status, None) if status >= 0 else (None, -status)

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        for stream in (self.proc.stdin, self.proc.stdout, self.proc.stderr):
            stream.close()


# What wine's console writes around the program's output on a terminal:
# cursor hiding and showing, erasures, and cursor moves where it skips blanks.
_CSI = re.compile(r"\x1b\[[0-?]*[ -/]*[@-~]")
_FORWARD = re.compile(r"\x1b\[(\d*)C")


def wine_screen(text):
    """Text written through wine's console as a comparable transcript: the
    escape sequences out (a cursor move forward as the blanks it skips), line
    ends as "\\n", and each character outside the basic plane as the two
    U+FFFD wine shows for it."""
    text = _FORWARD.sub(lambda m: " " * int(m.group(1) or 1), text)
    text = _CSI.sub("", text)
    text = "".join("\ufffd\ufffd" if ord(c) > 0xFFFF else c for c in text)
    return text.replace("\r\r\n", "\n").replace("\r\n", "\n")


class WineConsoleProgram(Transcript):
    """portavik.exe in wine's console on a pseudo-terminal. The console
    echoes what is typed at its line prompts; send_line takes that echo out
    of the transcript again."""

    def __init__(self):
        self._init_transcript()
        # Without pexpect's pause before each send, lines typed at wine's
        # console were not echoed: it reads some time after the prompt shows.
        self.child = spawn(WINE_RUN, [EXE], dimensions=(500, 200), pause_before_send=True)
        self.raw = ""

    def screen(self):
        return wine_screen(self.raw)

    def shown(self, text):
        return wine_screen(text)

    def pump(self, timeout):
        try:
            self.raw += self.child.read_nonblocking(1 << 16, timeout)
        except pexpect.TIMEOUT:
            pass
        except pexpect.EOF:
            self.ended = True

    def send_line(self, text):
        self.child.send(text + "\r")
        # The echo ends with the line: it is not the program's output.
        deadline = time.monotonic() + 10
        while (end := self.screen().find("\n", self.at)) < 0:
            assert time.monotonic() < deadline and not self.ended, "no echo of the line"
            self.pump(0.05)
        self.at = end + 1

    def send(self, text):
        self.child.send(text)

    def wait_raw(self, timeout=10):
        """Waits until wine has put the terminal out of canonical mode, which
        it does at the console's first raw read: keys typed before land in
        the terminal's line buffer."""
        deadline = time.monotonic() + timeout
        while termios.tcgetattr(self.child.child_fd)[3] & termios.ICANON:
            assert time.monotonic() < deadline, "the console never left canonical mode"
            time.sleep(0.02)

    def wait_exit(self, timeout=10):
        deadline = time.monotonic() + timeout
        while not self.ended:
            assert time.monotonic() < deadline, "the program did not end"
            self.pump(0.1)
        self.rest(0)
        end_child(self.child, timeout=timeout)
        return self.child.exitstatus, self.child.signalstatus

    def kill(self):
        end_child(self.child, kill=True)


LIST_LINE = re.compile(r"^  (\d+)\. (\S.*)$")


def port_number(listing, path):
    """Checks that every line of `listing` is "  N. name" with N counting from
    1, and returns the number of `path`."""
    lines = [line for line in listing.split("\n") if line]
    found = None
    for i, line in enumerate(lines, start=1):
        m = LIST_LINE.match(line)
        assert m, f"not a list line: {line!r}"
        assert int(m.group(1)) == i, listing
        if m.group(2) == path:
            found = i
    assert found is not None, f"{path} not listed in:\n{listing}"
    return found


@pytest.fixture
def program(request):
    progs = []
    # A case's own mark may ask for the console where its test's does not.
    console = any(m.kwargs.get("console", False) for m in request.node.iter_markers("wine"))

    def start():
        if TARGET != "wine":
            p = Program()
        elif console:
            p = WineConsoleProgram()
        else:
            p = PipedProgram()
        progs.append(p)
        return p

    yield start
    for p in progs:
        p.kill()


def run_piped(stdin_text, timeout=20, args=()):
    """The program with piped standard input and output, no terminal."""
    return subprocess.run([*program_command(), *args], input=stdin_text.encode(),
                          capture_output=True, timeout=timeout, env=program_env(),
                          start_new_session=True)


def run_piped_on_port(path, before, after="", timeout=20):
    """A piped run like run_piped that answers the port prompt with `path`'s
    number in the list this same run printed (another test may link a port
    at any time, which would move the numbers of a list printed earlier):
    `before` is the input up to the prompt, `after` the rest, and then the
    input ends."""
    proc = subprocess.Popen(program_command(), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, env=program_env(), start_new_session=True)
    try:
        proc.stdin.write(before.encode())
        proc.stdin.flush()
        out = b""
        deadline = time.monotonic() + timeout
        while PORT_PROMPT.encode() not in out:
            left = deadline - time.monotonic()
            ready = left > 0 and select.select([proc.stdout], [], [], left)[0]
            chunk = os.read(proc.stdout.fileno(), 65536) if ready else b""
            assert chunk, f"no port prompt; the program printed {out!r}"
            out += chunk
        text = out.decode()
        start = text.index(LIST_HEADING) + len(LIST_HEADING)
        number = port_number(text[start:text.index(PORT_PROMPT)], path)
        rest, errors = proc.communicate(f"{number}\n{after}".encode(), timeout=timeout)
    except BaseException:
        proc.kill()
        proc.wait()
        raise
    return subprocess.CompletedProcess(proc.args, proc.returncode, out + rest, errors)


def connected_banner(path, baud, bits=8, stop=1, parity="нет", flow="нет"):
    return screen("connected", port=path, settings=line_settings(baud, bits, stop, parity, flow))


# --- portavik-device: the project's simulated device -----------------------

DEVICE_BIN = os.environ.get("PORTAVIK_DEVICE",
                            os.path.join(ROOT, "build", "tools", "device", "portavik-device"))

# "12:00:01.234 [38400 8N1, поток: нет] принято:    01 03 ... — note"
DEVICE_FRAME = re.compile(r"^\d\d:\d\d:\d\d\.\d{3} \[(?P<settings>[^\]]+)\] "
                          r"(?P<direction>принято|отправлено): +(?P<hex>[0-9A-F]{2}(?: [0-9A-F]{2})*)"
                          r"(?: — (?P<note>.+))?$")


class SimDevice:
    """portavik-device on a virtual port of its own (`path`); its console
    lines are collected as they come."""

    def __init__(self, mode="modbus", *args, link=None, launcher=(), env=None, binary=DEVICE_BIN):
        import threading
        self.path = link or unique_link_name("D")
        self.lines = []
        self._cursor = 0
        self._changed = threading.Condition()
        self.proc = subprocess.Popen([*launcher, binary, "--link", self.path, *args, mode],
                                     stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, start_new_session=True,
                                     env=dict(os.environ, **(env or {})))
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        for raw in self.proc.stdout:
            with self._changed:
                self.lines.append(raw.decode("utf-8", "replace").rstrip("\n"))
                self._changed.notify_all()
        with self._changed:
            self._changed.notify_all()

    def started(self, timeout=10):
        """Waits for the line that names the port; the link is then in place."""
        self.wait_for(r"^🔌 Выберите в Portavik порт " + re.escape(self.path) + " ", timeout)
        return self

    def wait_for(self, pattern, timeout=5):
        """The first line after the last one found that matches `pattern`."""
        regex = re.compile(pattern)
        deadline = time.monotonic() + timeout
        with self._changed:
            while True:
                for i in range(self._cursor, len(self.lines)):
                    if regex.search(self.lines[i]):
                        self._cursor = i + 1
                        return self.lines[i]
                left = deadline - time.monotonic()
                if left <= 0 or (self.proc.poll() is not None and not self._reader.is_alive()):
                    raise AssertionError(f"no line matching {pattern!r}; the device said:\n"
                                         + "\n".join(self.lines) + "\n" + self.stderr_text())
                self._changed.wait(left)

    def matching(self, pattern):
        """Every line so far that matches `pattern`, without waiting."""
        regex = re.compile(pattern)
        with self._changed:
            return [line for line in self.lines if regex.search(line)]

    def frames(self):
        """(settings, direction, hex, note) of every frame line so far."""
        with self._changed:
            found = [DEVICE_FRAME.match(line) for line in self.lines]
        return [(m["settings"], m["direction"], m["hex"], m["note"]) for m in found if m]

    def stderr_text(self):
        if self.proc.poll() is None:
            return ""
        return self.proc.stderr.read().decode("utf-8", "replace")

    def stop(self, sig=signal.SIGTERM, timeout=10):
        """Sends `sig` and returns the exit status."""
        if self.proc.poll() is None:
            os.kill(self.proc.pid, sig)
        try:
            return self.proc.wait(timeout=timeout)
        finally:
            self._reader.join(timeout=timeout)

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        self._reader.join(timeout=5)
        self.proc.stdout.close()
        self.proc.stderr.close()
        if os.path.lexists(self.path) and os.readlink(self.path).startswith("/dev/pts/"):
            os.unlink(self.path)


@pytest.fixture
def sim_device():
    """Starts portavik-device: sim_device("tirk", "--interval", "1")."""
    devices = []

    def start(mode="modbus", *args, **kwargs):
        dev = SimDevice(mode, *args, **kwargs)
        devices.append(dev)
        return dev.started()

    yield start
    for dev in devices:
        dev.close()


def crc16_modbus(data: bytes):
    """CRC-16/MODBUS, bit by bit: an independent check of what the programs put on the wire."""
    crc = 0xFFFF
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


# "поток окончен: отправлено N байт, потеряно M байт" (or "поток прерван: ...")
STREAM_SUMMARY = re.compile(r"поток (?:окончен|прерван): отправлено (\d+) байт, потеряно (\d+) байт$")


CHECK_STREAM = os.path.join(ROOT, "tools", "device", "check-stream")


def stream_bytes(seed, count, xon_xoff=False):
    """The first `count` bytes of portavik-device's stream mode, computed here
    on their own: x0 = seed, x(k+1) = (x(k) * 1103515245 + 12345) mod 2^32,
    byte k = x(k+1) >> 24. With `xon_xoff` (software flow control in force on
    the port) without XON and XOFF, which the port's driver takes out."""
    x, out = seed, bytearray()
    for _ in range(count):
        x = (x * 1103515245 + 12345) & 0xFFFFFFFF
        out.append(x >> 24)
    return bytes(b for b in out if b not in (0x11, 0x13)) if xon_xoff else bytes(out)


def stream_summary(device):
    """(sent, lost) from the summary line of the device's last stream, or None
    while none has ended."""
    lines = device.matching(STREAM_SUMMARY.pattern)
    if not lines:
        return None
    sent, lost = STREAM_SUMMARY.search(lines[-1]).groups()
    return int(sent), int(lost)
