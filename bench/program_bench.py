#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Peer benchmark: Portavik's standard mode (one or more builds) against the
serial terminals tio and picocom and a bare reference loop, all on
pseudo-terminals, with the device side driven by this script.

Every program runs with its standard streams on a pseudo-terminal of its own
(as under a terminal emulator) and shows received bytes in hexadecimal:
Portavik by itself, tio with -x, picocom with --imap and every *hex map, the
reference loop (build/bench/bare_loop) by itself. Rounds alternate the programs
(their order rotates); the table gives medians over rounds and ratios.

Run as root (it links virtual ports under /dev and may install tio and
picocom from Debian):
    bench/run
    /usr/bin/python3 bench/program_bench.py --portavik before=old/portavik \\
        --portavik after=build/src/portavik --ratio after
These are measurements, not tests: nothing fails on a slow machine.
"""

import argparse
import datetime
import fcntl
import json
import math
import os
import platform
import random
import re
import select
import shutil
import statistics
import struct
import subprocess
import sys
import termios
import time
import tty

ROOT = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
MIB = 1 << 20
PORTAVIK_HEX_LINE = re.compile(r"📥 Получено \(HEX\): ([0-9A-F ]*)\r?\n".encode())
BARE_HEX_LINE = re.compile(rb"HEX: ([0-9A-F ]*)\r?\n")
LIST_LINE = re.compile(rb"^  (\d+)\. (.*?)\r?$", re.M)
NOT_HEX = bytes(b for b in range(256) if chr(b) not in "0123456789abcdefABCDEF")


def hex_lines(pattern, output):
    return bytes.fromhex(b" ".join(m.group(1) for m in pattern.finditer(output)).decode())


class Kind:
    """How one program is started, driven and read."""

    def __init__(self, label, argv, first, ready, quit_keys, marker, decode, role):
        self.label = label
        self.argv = argv  # port path -> argument list
        self.first = first  # first prompt or banner: end of start-up
        self.ready = ready  # printed when the program receives from the port
        self.quit_keys = quit_keys
        self.marker = marker  # received byte -> what shows it on the console
        self.decode = decode  # console output -> the received bytes
        self.role = role  # "portavik", "peer" or "reference"

    def answer(self, session):
        """Brings a started program from its first prompt to receiving."""
        if self.ready != self.first:
            session.wait_for(self.ready)


class PortavikKind(Kind):
    def __init__(self, label, binary):
        super().__init__(
            label, lambda port: [binary], "Выберите версию (1-2): ".encode(), b"(1-6): ", b"6\r",
            lambda byte: b"(HEX): " + byte.hex().upper().encode() + b"\r\n",
            lambda out: hex_lines(PORTAVIK_HEX_LINE, out), "portavik")

    def answer(self, session):
        session.type(b"1\r")
        listing = session.wait_for("номер порта: ".encode())
        number = next(m.group(1) for m in LIST_LINE.finditer(listing)
                      if m.group(2).strip() == session.link.encode())
        session.type(number + b"\r")
        session.wait_for(b"(y/n): ")
        session.type(b"n\r")
        session.wait_for(self.ready)


def strip_to_hex(out):
    return bytes.fromhex(out.translate(None, NOT_HEX).decode())


def tio_kind():
    return Kind("tio", lambda port: ["tio", "-x", port], b"tio v", b"Connected\x1b[0m\r\n",
                b"\x14q", lambda byte: byte.hex().encode() + b" ", strip_to_hex, "peer")


PICOCOM_HEX = "spchex,tabhex,crhex,lfhex,8bithex,nrmhex"


def picocom_kind():
    return Kind("picocom", lambda port: ["picocom", "--imap", PICOCOM_HEX, port], b"picocom v",
                b"Terminal ready\r\n", b"\x01\x18", lambda byte: b"[" + byte.hex().encode() + b"]",
                strip_to_hex, "peer")


def bare_kind(binary):
    return Kind("bare 50 ms loop", lambda port: [binary, port], b"ready\r\n", b"ready\r\n", b"6\r",
                lambda byte: b"HEX: " + byte.hex().upper().encode() + b"\r\n",
                lambda out: hex_lines(BARE_HEX_LINE, out), "reference")


_links = [0]


class Session:
    """One program on a fresh virtual port (a pseudo-terminal whose slave is
    linked under /dev) with its standard streams on another pseudo-terminal:
    canonical input without echo, output as a terminal shows it."""

    def __init__(self, kind, cpu=None):
        self.kind = kind
        self.proc = None
        self.pidfd = None
        self.buffer = b""
        self.dev_master, self.dev_slave = os.openpty()
        tty.setraw(self.dev_master)
        _links[0] += 1
        self.link = f"/dev/ttyPvkPeer{os.getpid()}x{_links[0]}"
        os.symlink(os.ttyname(self.dev_slave), self.link)
        self.con_master, con_slave = os.openpty()
        attrs = termios.tcgetattr(con_slave)
        attrs[3] &= ~(termios.ECHO | termios.ECHONL)
        termios.tcsetattr(con_slave, termios.TCSANOW, attrs)
        fcntl.ioctl(con_slave, termios.TIOCSWINSZ, struct.pack("HHHH", 50, 200, 0, 0))
        os.set_blocking(self.con_master, False)
        self.poller = select.poll()
        self.poller.register(self.con_master, select.POLLIN)
        argv = kind.argv(self.link)
        if cpu is not None:
            argv = ["taskset", "-c", str(cpu)] + argv
        env = dict(os.environ, LANG="C.UTF-8", LC_ALL="C.UTF-8", TERM="xterm")
        try:
            self.started = time.perf_counter()
            self.proc = subprocess.Popen(argv, stdin=con_slave, stdout=con_slave,
                                         stderr=con_slave, env=env, cwd="/tmp",
                                         start_new_session=True)
            os.close(con_slave)
            self.pidfd = os.pidfd_open(self.proc.pid)
            self.wait_for(kind.first)
            self.first_s = time.perf_counter() - self.started
            kind.answer(self)
            self.ready_s = time.perf_counter() - self.started
        except BaseException:
            self.close()
            raise

    def type(self, keys):
        os.write(self.con_master, keys)

    def read_some(self, timeout_ms):
        if not self.poller.poll(timeout_ms):
            return b""
        try:
            return os.read(self.con_master, 1 << 20)
        except (BlockingIOError, OSError):
            return b""

    def wait_for(self, marker, timeout=10.0):
        """Everything up to and including `marker`, which is consumed."""
        deadline = time.monotonic() + timeout
        while (at := self.buffer.find(marker)) < 0:
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError(f"{self.kind.label}: no {marker!r} in {self.buffer[-300:]!r}")
            self.buffer += self.read_some(max(1, int(left * 1000)))
        at += len(marker)
        before, self.buffer = self.buffer[:at], self.buffer[at:]
        return before

    def tasks(self):
        try:
            return os.listdir(f"/proc/{self.proc.pid}/task")
        except FileNotFoundError:
            return []

    def cpu_seconds(self):
        """On-CPU time of the live threads (schedstat, nanoseconds)."""
        total = 0
        for tid in self.tasks():
            try:
                with open(f"/proc/{self.proc.pid}/task/{tid}/schedstat") as f:
                    total += int(f.read().split()[0])
            except (FileNotFoundError, ProcessLookupError):
                pass
        return total / 1e9

    def switches(self):
        """Context switches of the live threads: each is a wake-up or a preemption."""
        total = 0
        for tid in self.tasks():
            try:
                with open(f"/proc/{self.proc.pid}/task/{tid}/status") as f:
                    for line in f:
                        if "ctxt_switches:" in line:
                            total += int(line.split()[-1])
            except (FileNotFoundError, ProcessLookupError):
                pass
        return total

    def peak_rss_mib(self):
        """The program's high-water resident set (VmHWM of its own image,
        unlike ru_maxrss, which counts the spawner's pages before exec)."""
        with open(f"/proc/{self.proc.pid}/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) / 1024
        return math.nan

    def wait_end(self, timeout):
        """True when the process ended within `timeout` (reaped here)."""
        if not select.select([self.pidfd], [], [], timeout)[0]:
            return False
        self.proc.wait()
        return True

    def quit(self):
        """Types the program's quit keys; returns the time to the process's end."""
        start = time.perf_counter()
        self.type(self.kind.quit_keys)
        if not self.wait_end(5):
            raise TimeoutError(f"{self.kind.label} did not end after its quit keys")
        return time.perf_counter() - start

    def close(self):
        if self.proc is not None and self.proc.returncode is None:
            try:
                self.type(self.kind.quit_keys)
            except OSError:
                pass
            if self.pidfd is None or not self.wait_end(5):
                self.proc.kill()
                self.proc.wait()
        if self.pidfd is not None:
            os.close(self.pidfd)
            self.pidfd = None
        if os.path.lexists(self.link):
            os.unlink(self.link)
        for fd in (self.dev_master, self.dev_slave, self.con_master):
            try:
                os.close(fd)
            except OSError:
                pass
        self.dev_master = self.dev_slave = self.con_master = -1


class Results:
    """Raw figures per program label."""

    def __init__(self, kinds):
        self.data = {k.label: {} for k in kinds}

    def add(self, label, key, value):
        self.data[label].setdefault(key, []).append(value)

    def extend(self, label, key, values):
        self.data[label].setdefault(key, []).extend(values)

    def get(self, label, key):
        return self.data.get(label, {}).get(key, [])


def percentile(values, p):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(math.ceil(p / 100 * len(ordered))) - 1)]


def measure_latency(kind, samples, cpu, rng, results):
    if cpu is not None:
        mask = os.sched_getaffinity(0)
        os.sched_setaffinity(0, {cpu})
    try:
        s = Session(kind, cpu)
        try:
            delays = []
            for i in range(samples + 10):
                byte = bytes([0x41 + i % 26])
                marker = kind.marker(byte)
                time.sleep(rng.uniform(0.002, 0.006))
                start = time.perf_counter()
                os.write(s.dev_master, byte)
                s.wait_for(marker)
                if i >= 10:  # the first ones warm the caches
                    delays.append(time.perf_counter() - start)
            results.add(kind.label, "rss_interactive", s.peak_rss_mib())
        finally:
            s.close()
    finally:
        if cpu is not None:
            os.sched_setaffinity(0, mask)
    tag = "pinned" if cpu is not None else "free"
    results.add(kind.label, f"lat_{tag}_median", statistics.median(delays) * 1e3)
    results.add(kind.label, f"lat_{tag}_p99", percentile(delays, 99) * 1e3)


def measure_throughput(kind, total, results):
    data = random.Random(total).randbytes(total)
    view = memoryview(data)
    s = Session(kind)
    try:
        os.set_blocking(s.dev_master, False)
        poller = select.poll()
        poller.register(s.con_master, select.POLLIN)
        poller.register(s.dev_master, select.POLLOUT)
        chunks = [s.buffer]
        s.buffer = b""
        cpu_before = s.cpu_seconds()
        start = last = time.perf_counter()
        sent = 0
        while True:
            events = poller.poll(500 if sent == total else 10000)
            if not events:
                break  # everything sent and the console quiet for 0.5 s (or a stall)
            for fd, event in events:
                if fd == s.dev_master:
                    try:
                        sent += os.write(fd, view[sent:sent + 65536])
                    except BlockingIOError:
                        pass
                    if sent == total:
                        poller.unregister(fd)
                elif event & select.POLLIN:
                    try:
                        chunk = os.read(fd, 1 << 20)
                    except (BlockingIOError, OSError):
                        chunk = b""
                    if chunk:
                        chunks.append(chunk)
                        last = time.perf_counter()
                else:
                    poller.unregister(fd)
        cpu = s.cpu_seconds() - cpu_before
        results.add(kind.label, "rss_flood", s.peak_rss_mib())
    finally:
        s.close()
    try:
        received = kind.decode(b"".join(chunks))
    except ValueError:
        received = b""
    exact = received == data
    results.add(kind.label, "tp_mib_s", total / MIB / (last - start))
    results.add(kind.label, "tp_cpu_per_mib", cpu / (total / MIB))
    results.add(kind.label, "tp_lost", 0 if exact else max(total - len(received), 0))
    results.add(kind.label, "tp_exact", exact)
    if sent < total:
        results.add(kind.label, "tp_stalled", sent)


def measure_idle(kinds, seconds, results):
    """All programs idle side by side over the same `seconds`."""
    sessions = []
    try:
        for kind in kinds:
            sessions.append(Session(kind))
        time.sleep(1)
        before = [(s.cpu_seconds(), s.switches()) for s in sessions]
        time.sleep(seconds)
        for s, (cpu, switches) in zip(sessions, before):
            results.add(s.kind.label, "idle_ms", (s.cpu_seconds() - cpu) * 1e3 * 20 / seconds)
            results.add(s.kind.label, "idle_wakeups", (s.switches() - switches) / seconds)
            results.add(s.kind.label, "rss_interactive", s.peak_rss_mib())
    finally:
        for s in sessions:
            s.close()


def measure_start_exit(kind, rng, results):
    s = Session(kind)
    try:
        results.add(kind.label, "start_first", s.first_s * 1e3)
        results.add(kind.label, "start_ready", s.ready_s * 1e3)
        # As a person would, some time after the prompt: a quit typed at once
        # would always meet a receiver that has just begun a 50 ms wait.
        time.sleep(rng.uniform(0.0, 0.1))
        results.add(kind.label, "rss_interactive", s.peak_rss_mib())
        results.add(kind.label, "exit", s.quit() * 1e3)
    finally:
        s.close()


def install_peers(names):
    missing = [n for n in names if shutil.which(n) is None]
    if not missing:
        return
    if os.geteuid() != 0 or shutil.which("apt-get") is None:
        print(f"not installed, left out: {' '.join(missing)}", file=sys.stderr)
        return
    print(f"installing from Debian: {' '.join(missing)}", file=sys.stderr)
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    install = ["apt-get", "install", "-y", "-qq", "--no-install-recommends"] + missing
    if subprocess.run(install, env=env, stdout=subprocess.DEVNULL).returncode != 0:
        subprocess.run(["apt-get", "update", "-qq"], env=env)
        subprocess.run(install, env=env, stdout=subprocess.DEVNULL)


def tool_version(argv):
    try:
        out = subprocess.run(argv, capture_output=True, text=True, timeout=5)
        return (out.stdout + out.stderr).strip().splitlines()[0]
    except (OSError, IndexError, subprocess.TimeoutExpired):
        return "?"


def machine():
    model = "?"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    with open("/proc/meminfo") as f:
        mem = int(f.readline().split()[1]) / MIB
    osname = "?"
    if os.path.exists("/etc/os-release"):
        with open("/etc/os-release") as f:
            for line in f:
                if line.startswith("PRETTY_NAME="):
                    osname = line.split("=", 1)[1].strip().strip('"')
    return f"{model}, {os.cpu_count()} CPUs, {mem:.0f} GiB, {osname}, Linux {platform.release()}"


# (key, title, how figures over rounds combine, lower is better, format)
ROWS = [
    ("lat_free_median", "latency, median (ms)", "median", True, "{:.3f}"),
    ("lat_free_p99", "latency, p99 (ms)", "median", True, "{:.3f}"),
    ("lat_free_median", "latency, spread of round medians (ms)", "spread", None, None),
    ("lat_pinned_median", "latency pinned to one CPU, median (ms)", "median", True, "{:.3f}"),
    ("lat_pinned_p99", "latency pinned, p99 (ms)", "median", True, "{:.3f}"),
    ("lat_pinned_median", "latency pinned, spread of round medians (ms)", "spread", None, None),
    ("tp_mib_s", "throughput {mib} MiB (MiB/s)", "median", False, "{:.1f}"),
    ("tp_mib_s", "throughput ÷ picocom's in the same round, lowest round", "vs_picocom", None,
     None),
    ("tp_cpu_per_mib", "throughput, CPU s per MiB", "median", True, "{:.4f}"),
    ("tp_lost", "throughput, bytes lost (worst round)", "lost", True, None),
    ("idle_ms", "idle {idle} s at the menu, CPU ms per 20 s", "median", True, "{:.2f}"),
    ("idle_ms", "idle CPU ÷ bare 50 ms loop", "vs_bare", None, None),
    ("idle_wakeups", "idle, context switches per s", "median", None, "{:.1f}"),
    ("start_first", "start-up, exec → first prompt (ms, median of {starts})", "pooled", True,
     "{:.2f}"),
    ("start_ready", "start-up, exec → receiving (ms, median of {starts})", "pooled", True,
     "{:.2f}"),
    ("exit", "exit, quit keys → process end (ms, median of {starts})", "pooled", True, "{:.2f}"),
    ("exit", "exit, 90th percentile (ms)", "p90", True, "{:.2f}"),
    ("rss_interactive", "memory in interactive use: peak RSS without a flood (MiB)", "max", True,
     "{:.2f}"),
    ("rss_flood", "peak RSS of a flood session (MiB)", "max", True, "{:.2f}"),
]


def figure(results, label, key, how):
    values = results.get(label, key)
    if not values:
        return None
    if how in ("median", "pooled"):
        return statistics.median(values)
    if how == "p90":
        return percentile(values, 90)
    if how == "max":
        return max(values)
    if how == "lost":
        return max(values)
    raise ValueError(how)


def table(results, kinds, ratio_label, options):
    labels = [k.label for k in kinds]
    peers = [k.label for k in kinds if k.role == "peer"]
    bare = next((k.label for k in kinds if k.role == "reference"), None)
    head = ["metric"] + labels + [f"{ratio_label} / best peer"]
    lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    for key, title, how, lower, fmt in ROWS:
        title = title.format(mib=options.mib, idle=options.idle_seconds, starts=options.starts)
        cells = []
        for label in labels:
            values = results.get(label, key)
            if not values:
                cells.append("—")
            elif how == "spread":
                cells.append(f"{min(values):.3f}–{max(values):.3f}")
            elif how == "vs_picocom":
                theirs = results.get("picocom", key)
                ratios = [mine / other for mine, other in zip(values, theirs) if other > 0]
                cells.append(f"{min(ratios):.2f}×" if ratios else "—")
            elif how == "vs_bare":
                base = figure(results, bare, key, "median") if bare else None
                cells.append(f"{statistics.median(values) / base:.2f}×" if base else "—")
            elif how == "lost":
                exact = all(results.get(label, "tp_exact"))
                worst = max(values)
                cells.append(f"{worst} ({'exact, in order' if exact else 'not exact'})")
            else:
                cells.append(fmt.format(figure(results, label, key, how)))
        ratio = "—"
        if lower is not None and how != "lost":
            mine = figure(results, ratio_label, key, how)
            theirs = [v for v in (figure(results, p, key, how) for p in peers) if v is not None]
        else:
            mine, theirs = None, []
        if mine is not None and theirs:
            best = min(theirs) if lower else max(theirs)
            if best > 0:
                ratio = f"{mine / best:.2f}×"
        lines.append("| " + " | ".join([title] + cells + [ratio]) + " |")
    return "\n".join(lines)


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--portavik", action="append", metavar="[LABEL=]PATH",
                   help="a Portavik binary; repeat to compare builds "
                   "(default: Portavik=build/src/portavik)")
    p.add_argument("--ratio", metavar="LABEL",
                   help="the Portavik build of the ratio column (default: the last one)")
    p.add_argument("--peers", default="tio,picocom",
                   help="peer terminals, comma-separated (default: tio,picocom)")
    p.add_argument("--no-install", action="store_true", help="never install missing peers")
    p.add_argument("--bare", default=os.path.join(ROOT, "build", "bench", "bare_loop"),
                   help="the reference loop binary ('' to leave it out)")
    p.add_argument("--rounds", type=int, default=5)
    p.add_argument("--samples", type=int, default=300, help="latency samples per round")
    p.add_argument("--mib", type=int, default=16, help="throughput volume")
    p.add_argument("--idle-seconds", type=float, default=20)
    p.add_argument("--starts", type=int, default=30,
                   help="start-up and exit sessions per program (over all rounds)")
    p.add_argument("--cpu", type=int, default=os.cpu_count() - 1,
                   help="the CPU of the pinned rounds")
    p.add_argument("--json", metavar="FILE", help="write every raw figure here")
    p.add_argument("--quick", action="store_true",
                   help="a short smoke run: 2 rounds, 50 samples, 2 MiB, 2 s idle, 4 starts")
    if p.parse_args(argv).quick:  # smaller defaults; options given still count
        p.set_defaults(rounds=2, samples=50, mib=2, idle_seconds=2, starts=4)
    return p.parse_args(argv)


def portavik_kinds(given):
    kinds = []
    for entry in given or [os.path.join(ROOT, "build", "src", "portavik")]:
        label, sep, path = entry.partition("=")
        if not sep:
            label, path = "Portavik", entry
        path = os.path.abspath(path)
        if not os.access(path, os.X_OK):
            sys.exit(f"not an executable: {path}")
        kinds.append(PortavikKind(label, path))
    if len({k.label for k in kinds}) != len(kinds):
        sys.exit("--portavik labels must differ")
    return kinds


def main(argv):
    options = parse_args(argv)
    if os.geteuid() != 0:
        sys.exit("run as root: the benchmark links virtual ports under /dev")
    kinds = portavik_kinds(options.portavik)
    ratio_label = options.ratio or kinds[-1].label
    if ratio_label not in {k.label for k in kinds}:
        sys.exit(f"--ratio {ratio_label}: no such --portavik label")
    peers = [p for p in options.peers.split(",") if p]
    if not options.no_install:
        install_peers(peers)
    versions = {}
    for name in peers:
        if shutil.which(name) is None:
            print(f"{name} is not installed: its column stays empty", file=sys.stderr)
            continue
        kinds.append({"tio": tio_kind, "picocom": picocom_kind}[name]())
        versions[name] = tool_version([name, "--version"] if name == "tio" else [name, "--help"])
    if options.bare:
        if not os.access(options.bare, os.X_OK):
            sys.exit(f"no reference loop at {options.bare} (build the bare_loop target)")
        kinds.append(bare_kind(os.path.abspath(options.bare)))

    started = datetime.datetime.now(datetime.timezone.utc)
    load_before = os.getloadavg()
    results = Results(kinds)
    rng = random.Random(1)
    starts_per_round = math.ceil(options.starts / options.rounds)
    for r in range(options.rounds):
        order = kinds[r % len(kinds):] + kinds[:r % len(kinds)]
        print(f"round {r + 1}/{options.rounds}: {', '.join(k.label for k in order)}",
              file=sys.stderr, flush=True)
        for kind in order:
            measure_latency(kind, options.samples, None, rng, results)
        for kind in order:
            measure_latency(kind, options.samples, options.cpu, rng, results)
        for kind in order:
            measure_throughput(kind, options.mib * MIB, results)
        measure_idle(order, options.idle_seconds, results)
        for _ in range(starts_per_round):
            for kind in order:
                if len(results.get(kind.label, "start_first")) < options.starts:
                    measure_start_exit(kind, rng, results)
        for kind in order:
            lat = results.get(kind.label, "lat_free_median")[-1]
            pin = results.get(kind.label, "lat_pinned_median")[-1]
            tp = results.get(kind.label, "tp_mib_s")[-1]
            idle = results.get(kind.label, "idle_ms")[-1]
            print(f"  {kind.label:>16}: latency {lat:.3f} ms, pinned {pin:.3f} ms, "
                  f"{tp:.1f} MiB/s, idle {idle:.2f} ms/20 s", file=sys.stderr, flush=True)

    print(f"\nMachine: {machine()}")
    print(f"Date: {started:%Y-%m-%d %H:%M} UTC; load average {load_before[0]:.2f} before, "
          f"{os.getloadavg()[0]:.2f} after")
    for kind in kinds:
        if kind.role == "portavik":
            print(f"{kind.label}: {kind.argv('PORT')[0]}")
    for name, version in versions.items():
        print(f"{name}: {version}")
    print(f"Rounds: {options.rounds}; latency samples per round: {options.samples}; "
          f"pinned rounds on CPU {options.cpu}\n")
    print(table(results, kinds, ratio_label, options))
    if options.json:
        with open(options.json, "w") as f:
            json.dump({"machine": machine(), "date": started.isoformat(),
                       "options": vars(options), "results": results.data}, f, indent=1)


if __name__ == "__main__":
    main(sys.argv[1:])
