# SPDX-License-Identifier: MIT

"""The guest harness: one QEMU guest (scripts/guest made its kernel and
initramfs) booted for the whole run, with three serial lines whose both ends
are real drivers, and Portavik on a guest terminal driven from here as the
end-to-end tests drive it under a pseudo-terminal.

    ttyS0   the guest's console: a shell the tests give commands to
    ttyS3   Portavik's terminal (a QEMU socket this side reads and writes; a
            virtio console would be faster, but QEMU drops what it cannot
            write at once to a console's socket, so it cannot be held)
    ttyS1   8250/16550A  <- QEMU socket ->  ttyS2 (8250): the device's end
    ttyUSB0 ftdi_sio     <- QEMU socket ->  ttyS4 (8250 on PCI): the device's end
    ttyACM0 cdc_acm      <- dummy_hcd   ->  ttyGS0 (g_serial): the device's end

The FTDI adapter has the id "ftdi" on QEMU's monitor (device_del unplugs it)."""

import importlib.util
import os
import re
import shlex
import shutil
import socket
import sys
import tempfile
import time

import pexpect
import pexpect.fdpexpect
import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
E2E = os.path.join(HERE, "..", "e2e")
sys.path.insert(0, E2E)

from screens import line_settings, screen  # noqa: E402

_spec = importlib.util.spec_from_file_location("e2e_harness", os.path.join(E2E, "conftest.py"))
e2e = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(e2e)

GUEST_DIR = os.environ.get("PORTAVIK_GUEST_DIR", os.path.join(e2e.ROOT, "build", "guest"))
KERNEL_PACKAGE = os.environ.get("PORTAVIK_GUEST_KERNEL", "?")
# TCG only: this machine has no usable hardware virtualisation (-accel kvm
# hangs instead of failing).
BOOT_TIMEOUT = 120


class Line:
    """One serial line: the port Portavik opens and the device's end."""

    def __init__(self, name, port, device_end, driver):
        self.name, self.port, self.device_end, self.driver = name, port, device_end, driver


LINES = {
    "8250": Line("8250", "/dev/ttyS1", "/dev/ttyS2", "serial"),
    "ftdi": Line("ftdi", "/dev/ttyUSB0", "/dev/ttyS4", "ftdi_sio"),
    "acm": Line("acm", "/dev/ttyACM0", "/dev/ttyGS0", "cdc_acm"),
}


class GuestError(AssertionError):
    pass


class Guest:
    """The running guest: `sh` runs a command in its console's shell,
    `monitor` gives QEMU's monitor a command, `terminal` is Portavik's."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="portavik-guest-")
        self.log_path = os.path.join(GUEST_DIR, "console.log")
        self.log = open(self.log_path, "w", encoding="utf-8")
        self._count = 0
        d = self.dir
        args = [
            "-accel", "tcg", "-m", "256", "-smp", "1", "-display", "none", "-no-reboot",
            "-net", "none",
            "-kernel", os.path.join(GUEST_DIR, "vmlinuz"),
            "-initrd", os.path.join(GUEST_DIR, "initrd.img"),
            "-append", "console=ttyS0 8250.nr_uarts=8 panic=-1",
            "-chardev", "stdio,id=console,signal=off",
            # Each line: a listening socket for the device's end and a client
            # of it for the port's end, in this one QEMU.
            "-chardev", f"socket,id=uart_dev,path={d}/uart,server=on,wait=off",
            "-chardev", f"socket,id=uart_port,path={d}/uart",
            "-chardev", f"socket,id=terminal,path={d}/terminal,server=on,wait=off",
            "-serial", "chardev:console", "-serial", "chardev:uart_port",
            "-serial", "chardev:uart_dev", "-serial", "chardev:terminal",
            "-chardev", f"socket,id=ftdi_dev,path={d}/ftdi,server=on,wait=off",
            "-chardev", f"socket,id=ftdi_port,path={d}/ftdi",
            "-device", "pci-serial,chardev=ftdi_dev",
            "-device", "qemu-xhci", "-device", "usb-serial,id=ftdi,chardev=ftdi_port",
            "-monitor", f"unix:{d}/monitor,server=on,wait=off",
        ]
        self.started = time.monotonic()
        self.qemu = pexpect.spawn("qemu-system-x86_64", args, encoding="utf-8",
                                  codec_errors="replace", echo=False, timeout=30)
        self.qemu.logfile_read = self.log
        try:
            self.qemu.expect_exact("guest: ready", timeout=BOOT_TIMEOUT)
            self.boot_seconds = time.monotonic() - self.started
            self.terminal_socket = socket.socket(socket.AF_UNIX)
            self.terminal_socket.connect(f"{d}/terminal")
            self.monitor_socket = socket.socket(socket.AF_UNIX)
            self.monitor_socket.connect(f"{d}/monitor")
            self.monitor_socket.settimeout(10)
            self._monitor_read()
            # Portavik's terminal as a terminal program finds it: no echo (as
            # the end-to-end harness spawns it), a size, line ends as a pty's.
            self.sh("stty -F /dev/ttyS3 115200 -echo rows 50 cols 200")
            self.hold_gadget()
        except BaseException as error:
            self.stop()
            raise GuestError(f"the guest did not come up ({error!r}); its console "
                             f"({self.log_path}):\n{self.console_log()}") from None

    def hold_gadget(self):
        """Keeps ttyGS0 open: the gadget side drops its carrier whenever
        nobody has it open."""
        self.sh("sleep 1000000 <>/dev/ttyGS0 >/dev/null 2>&1 & echo $! >/tmp/gadget-holder.pid")

    def console_log(self):
        if not self.log.closed:
            self.log.flush()
        with open(self.log_path, encoding="utf-8", errors="replace") as log:
            return log.read()

    def sh(self, command, timeout=30, check=True):
        """Runs `command` in the guest's shell; returns its output (the exit
        status must be 0 unless not `check`)."""
        self._count += 1
        end = re.compile(r"@@(\d+)@@" + str(self._count) + r"\r*\n")
        self.qemu.sendline(f'{command}\necho "@@$?@@"{self._count}')
        self.qemu.expect(end, timeout=timeout)
        out = self.qemu.before.replace("\r", "")
        status = int(self.qemu.match.group(1))
        if check and status != 0:
            raise AssertionError(f"guest: `{command}` ended with status {status}:\n{out}")
        return out if check else (status, out)

    def _monitor_read(self):
        out = b""
        while not out.endswith(b"(qemu) "):
            chunk = self.monitor_socket.recv(4096)
            if not chunk:
                break
            out += chunk
        return out.decode("utf-8", "replace")

    def monitor(self, command):
        self.monitor_socket.sendall(command.encode() + b"\n")
        return self._monitor_read()

    def cpu_seconds(self, pid):
        """User and system time `pid` has used so far, in seconds."""
        fields = self.sh(f"cat /proc/{pid}/stat").rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / 100

    def stop(self):
        if getattr(self, "qemu", None) is not None and self.qemu.isalive():
            self.qemu.terminate(force=True)
        self.log.close()
        shutil.rmtree(self.dir, ignore_errors=True)


@pytest.fixture(scope="session")
def guest():
    g = Guest()
    print(f"\nguest ({KERNEL_PACKAGE}) ready in {g.boot_seconds:.1f} s")
    yield g
    g.stop()


class GuestProgram(e2e.Program):
    """Portavik on the guest's ttyS3, its own session's controlling terminal,
    read and typed at through the socket QEMU gives that UART."""

    def __init__(self, guest):
        self.guest = guest
        self.seen = ""
        self.child = pexpect.fdpexpect.fdspawn(guest.terminal_socket.fileno(), encoding="utf-8",
                                               codec_errors="replace", timeout=10)
        # What an earlier run left on the terminal is not this run's.
        self.child.buffer = self.child.string_type()
        while True:
            try:
                self.child.read_nonblocking(1 << 16, timeout=0.1)
            except pexpect.TIMEOUT:
                break
        guest.sh("rm -f /tmp/portavik.pid /tmp/portavik.status")
        guest.sh("(setsid -c sh -c 'echo $$ >/tmp/portavik.pid; exec portavik' "
                 "<>/dev/ttyS3 >&0 2>&0; echo $? >/tmp/portavik.status) &")
        self.pid = int(guest.sh("while [ ! -s /tmp/portavik.pid ]; do sleep 0.05; done; "
                                "cat /tmp/portavik.pid").strip())
        self.ended = False

    def rest(self, timeout=1.0):
        out = super().rest(timeout)
        # pexpect brings back what an expect that timed out had read (its
        # "before") into the next expect's buffer: dropped with the buffer.
        self.child._before = self.child.buffer_type()
        return out

    def status(self):
        """The exit status, or None while it runs."""
        status, out = self.guest.sh("cat /tmp/portavik.status", check=False)
        return int(out.strip()) if status == 0 and out.strip() else None

    def wait_exit(self, timeout=10):
        deadline = time.monotonic() + timeout
        while (status := self.status()) is None:
            assert time.monotonic() < deadline, "Portavik did not end"
            time.sleep(0.1)
        self.seen += self.rest(0.2)
        self.ended = True
        return status, None

    def signal(self, name):
        self.guest.sh(f"kill -{name} {self.pid}")

    def kill(self):
        if not self.ended:
            self.guest.sh(f"kill -KILL {self.pid} 2>/dev/null; "
                          "while [ ! -s /tmp/portavik.status ]; do sleep 0.05; done", check=False)
            self.ended = True


@pytest.fixture
def program(guest):
    """Starts Portavik on the guest's terminal (one at a time)."""
    started = []

    def start():
        p = GuestProgram(guest)
        started.append(p)
        return p

    yield start
    for p in started:
        p.kill()


class GuestDevice:
    """portavik-device playing the device on a line's far end."""

    def __init__(self, guest, line, mode, *args, baud=None):
        self.guest = guest
        self.line = line
        guest._count += 1
        self.log = f"/tmp/device{guest._count}.log"
        if baud is not None:
            guest.sh(f"stty -F {line.device_end} {baud}")
        command = shlex.join(["portavik-device", "--port", line.device_end, *args, mode])
        self.pid = int(guest.sh(f"{command} >{self.log} 2>&1 & echo $!").strip())
        self.wait_for(r"^🔌 Устройство на порту ")
        self._cursor = 0

    def lines(self):
        return self.guest.sh(f"cat {self.log}").splitlines()

    def wait_for(self, pattern, timeout=10):
        """The first line after the last one found that matches `pattern`."""
        regex = re.compile(pattern)
        deadline = time.monotonic() + timeout
        cursor = getattr(self, "_cursor", 0)
        while True:
            lines = self.lines()
            for i in range(cursor, len(lines)):
                if regex.search(lines[i]):
                    self._cursor = i + 1
                    return lines[i]
            if time.monotonic() > deadline:
                raise AssertionError(f"no line matching {pattern!r}; the device said:\n"
                                     + "\n".join(lines))
            time.sleep(0.1)

    def frames(self):
        """(settings, direction, hex, note) of every frame line so far."""
        found = [e2e.DEVICE_FRAME.match(line) for line in self.lines()]
        return [(m["settings"], m["direction"], m["hex"], m["note"]) for m in found if m]

    def stop(self):
        self.guest.sh(f"kill {self.pid} 2>/dev/null; wait {self.pid}", check=False)


@pytest.fixture
def guest_device(guest):
    """Starts portavik-device on a line's far end: guest_device(line, "tirk")."""
    devices = []

    def start(line, mode="modbus", *args, **kwargs):
        d = GuestDevice(guest, line, mode, *args, **kwargs)
        devices.append(d)
        return d

    yield start
    for d in devices:
        d.stop()
