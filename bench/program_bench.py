#!/usr/bin/python3
"""Measures the built program against a virtual device: receive latency,
receive throughput, and CPU spent idle at the command menu.

Run as root (it links a virtual port under /dev):
    bench/run            # or: /usr/bin/python3 bench/program_bench.py build/src/portavik
"""

import os
import re
import select
import statistics
import subprocess
import sys
import time
import tty

HEX_LINE = re.compile(r"📥 Получено \(HEX\): ([0-9A-F ]*)\r?\n".encode())
LIST_LINE = re.compile(rb"^  (\d+)\. (.*)$", re.M)


class Session:
    """The program in standard mode on a fresh virtual port, its output on a
    pseudo-terminal that this script reads."""

    def __init__(self, binary):
        self.dev_master, self.dev_slave = os.openpty()
        tty.setraw(self.dev_master)
        self.link = f"/dev/ttyPvkBench{os.getpid()}"
        os.symlink(os.ttyname(self.dev_slave), self.link)
        self.out_master, out_slave = os.openpty()
        tty.setraw(self.out_master)
        self.proc = subprocess.Popen([binary], stdin=subprocess.PIPE, stdout=out_slave,
                                     stderr=subprocess.DEVNULL)
        os.close(out_slave)
        self.buffer = b""
        try:
            self.start()
        except BaseException:
            self.close()
            raise

    def start(self):
        self.send("1")
        listing = self.wait_for("номер порта: ".encode())
        number = next(m.group(1) for m in LIST_LINE.finditer(listing)
                      if m.group(2).strip() == self.link.encode())
        self.send(number.decode())
        self.send("n")
        self.wait_for(b"(1-6): ")

    def send(self, line):
        self.proc.stdin.write(line.encode() + b"\n")
        self.proc.stdin.flush()

    def read_some(self, timeout):
        ready, _, _ = select.select([self.out_master], [], [], timeout)
        if not ready:
            return b""
        try:
            return os.read(self.out_master, 1 << 20)
        except OSError:
            return b""

    def wait_for(self, marker, timeout=10):
        deadline = time.monotonic() + timeout
        while marker not in self.buffer:
            if time.monotonic() > deadline:
                raise TimeoutError(marker)
            self.buffer += self.read_some(0.1)
        at = self.buffer.index(marker) + len(marker)
        before, self.buffer = self.buffer[:at], self.buffer[at:]
        return before

    def cpu_seconds(self):
        """On-CPU time of all the program's live threads, in nanoseconds
        resolution (schedstat), rather than clock ticks."""
        total = 0
        task_dir = f"/proc/{self.proc.pid}/task"
        for tid in os.listdir(task_dir):
            try:
                total += int(open(f"{task_dir}/{tid}/schedstat").read().split()[0])
            except (FileNotFoundError, ProcessLookupError):
                pass
        return total / 1e9

    def close(self):
        try:
            self.send("6")
            self.proc.wait(timeout=5)
        except Exception:
            self.proc.kill()
            self.proc.wait()
        if os.path.lexists(self.link):
            os.unlink(self.link)
        for fd in (self.dev_master, self.dev_slave, self.out_master):
            os.close(fd)


def bench_latency(binary, samples=300):
    s = Session(binary)
    try:
        delays = []
        for i in range(samples):
            byte = bytes([0x41 + i % 26])
            start = time.perf_counter()
            os.write(s.dev_master, byte)
            s.wait_for(b"(HEX): " + byte.hex().upper().encode() + b"\n")
            delays.append(time.perf_counter() - start)
            time.sleep(0.01)
        delays.sort()
        return {
            "median_ms": statistics.median(delays) * 1e3,
            "p90_ms": delays[int(len(delays) * 0.9)] * 1e3,
            "max_ms": delays[-1] * 1e3,
            "samples": samples,
        }
    finally:
        s.close()


def bench_throughput(binary, total=4 << 20):
    s = Session(binary)
    try:
        data = bytes((i * 7 + i // 251) & 0xFF for i in range(total))
        # Never block on the device while the program waits for us to read.
        os.set_blocking(s.dev_master, False)
        cpu_before = s.cpu_seconds()
        received = bytearray()
        chunks = 0
        biggest = 0
        start = time.perf_counter()
        sent = 0
        pending = b""
        while len(received) < total:
            writable = [s.dev_master] if sent < total else []
            readable, wready, _ = select.select([s.out_master], writable, [], 10)
            if not readable and not wready:
                raise TimeoutError(f"stalled at {len(received)} of {total} bytes")
            if wready:
                try:
                    sent += os.write(s.dev_master, data[sent:sent + 65536])
                except BlockingIOError:
                    pass
            if readable:
                pending += os.read(s.out_master, 1 << 20)
                last = 0
                for m in HEX_LINE.finditer(pending):
                    chunk = bytes.fromhex(m.group(1).decode())
                    chunks += 1
                    biggest = max(biggest, len(chunk))
                    received += chunk
                    last = m.end()
                pending = pending[last:]
        elapsed = time.perf_counter() - start
        cpu = s.cpu_seconds() - cpu_before
        return {
            "bytes": total,
            "exact": bytes(received) == data,
            "chunks": chunks,
            "largest_chunk": biggest,
            "seconds": elapsed,
            "MiB_per_s": total / elapsed / (1 << 20),
            "cpu_seconds": cpu,
        }
    finally:
        s.close()


def bench_idle(binary, seconds=10):
    s = Session(binary)
    try:
        before = s.cpu_seconds()
        time.sleep(seconds)
        return {"seconds": seconds, "cpu_ms": (s.cpu_seconds() - before) * 1e3}
    finally:
        s.close()


def main():
    binary = sys.argv[1] if len(sys.argv) > 1 else "build/src/portavik"
    print("latency   ", bench_latency(binary))
    print("throughput", bench_throughput(binary))
    print("idle      ", bench_idle(binary))


if __name__ == "__main__":
    main()
