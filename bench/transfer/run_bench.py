#!/usr/bin/env python3
"""ZMODEM transfers of this program side by side with lrzsz, in one run, and
the table of figures they give.

  bench/transfer/run_bench.py [--build DIR] [--runs N] [--only SECTION,...] [--quick]

Sections (all by default, in this order):

  cpu         CPU instructions per payload byte (valgrind --tool=callgrind, the
              whole process): our receiver and rz receiving 4 MiB from sz, our
              sender and sz sending 4 MiB to rz; random data and all-0x18 data.
  syscalls    the sender's system calls for 4 MiB of random data (strace -c -f),
              ours and sz, each sending to rz, and per data subpacket (counted
              on the line by the relay between them).
  throughput  MB/s of ours->ours and sz->rz over a pty pair (socat joins two
              ptys, nothing else in between) and over TCP loopback (one
              connection, its two ends given to the two programs): 10 MiB
              random, 10 MiB of 0x18, 100 files of 10 KiB random. Median of N
              interleaved runs (5 by default).
  paced       payload efficiency through a rate relay at 115200 and 33600 bit/s
              (10 bits per byte): 512 KiB random and 100 x 10 KiB random,
              ours->ours and sz->rz of one case at once (each has its own relay
              process, so they do not share a line), one case after the other.
              Efficiency is the payload over what the line could carry from
              start to end.
  stall       the longest time the event loop went without a turn while ours
              sends to rz and receives from sz, at 9600 and 115200 bit/s through
              the rate relay and unthrottled over a pty pair: in the component
              stack (vh_zmodem_peer) and in the window (vh_window_peer: the main
              window offscreen, QvFile1 -> port -> line). The paced stall runs
              go side by side, after the paced cases.

Run it with nothing else heavy running on the machine:

  bench/transfer/run_bench.py

Needs a Release build (scripts/build gives build/),
and lrzsz, socat, valgrind and strace (scripts/setup installs them).
--quick cuts sizes and runs for a trial of the script itself; its figures mean
little.
"""

import argparse
import os
import pty
import re
import select
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import tty

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(os.path.dirname(HERE))
KIB = 1024
MIB = 1024 * 1024


# ---------------------------------------------------------------- payloads

class Payload:
    """Files in a folder of their own, sent by name from there."""

    def __init__(self, root, name, files):
        self.name = name
        self.folder = os.path.join(root, "src-" + name)
        os.mkdir(self.folder)
        self.files = []
        self.size = 0
        self.contents = {}
        for fname, data in files:
            with open(os.path.join(self.folder, fname), "wb") as f:
                f.write(data)
            self.files.append(fname)
            self.size += len(data)
            self.contents[fname] = data

    def arrived(self, folder):
        for fname, data in self.contents.items():
            path = os.path.join(folder, fname)
            if not os.path.exists(path):
                return False
            with open(path, "rb") as f:
                if f.read() != data:
                    return False
        return True


# ---------------------------------------------------------------- lines

class Line:
    """Two descriptors for the two programs, and whatever joins them."""

    def __init__(self):
        self.ends = []
        self.helpers = []

    def close_end(self, index):
        if index < len(self.ends) and self.ends[index] is not None:
            try:
                os.close(self.ends[index])
            except OSError:
                pass
            self.ends[index] = None

    def close(self):
        for index in range(len(self.ends)):
            self.close_end(index)
        self.ends = []
        for proc in self.helpers:
            if proc.poll() is None:
                proc.terminate()
                try:
                    proc.wait(5)
                except subprocess.TimeoutExpired:
                    proc.kill()
                    proc.wait()


def socat_pty_pair(work):
    """Two ptys joined by socat. socat holds neither slave (wait-slave), so
    that when a program leaves and its slave closes, socat ends and the other
    side sees the line go down, as in a hang-up."""
    line = Line()
    folder = tempfile.mkdtemp(prefix="pty-", dir=work)
    a = os.path.join(folder, "a")
    b = os.path.join(folder, "b")
    opts = "raw,echo=0,wait-slave,pty-interval=0.005"
    proc = subprocess.Popen(["socat", "-b65536", "-t0.001", f"PTY,{opts},link={a}", f"PTY,{opts},link={b}"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    line.helpers.append(proc)
    deadline = time.monotonic() + 10
    # socat makes the second pty only once the first one's slave is open.
    for p in (a, b):
        while not os.path.exists(p):
            if time.monotonic() > deadline or proc.poll() is not None:
                raise RuntimeError("socat did not make its ptys")
            time.sleep(0.002)
        fd = os.open(p, os.O_RDWR | os.O_NOCTTY)
        tty.setraw(fd)
        line.ends.append(fd)
    # Both slaves are open: socat is joining them once it has seen the last.
    time.sleep(0.02)
    return line


def tcp_pair():
    line = Line()
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)
    client = socket.create_connection(listener.getsockname())
    server, _ = listener.accept()
    listener.close()
    for s in (server, client):
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        line.ends.append(s.detach())
    return line


def relayed_pty_pair(rate, count_file=None):
    """Two ptys whose masters a relay process joins, at `rate` bit/s (0: as
    fast as it can), optionally counting the data subpackets the first side
    sends (written to count_file as the relay ends)."""
    line = Line()
    masters = []
    for _ in range(2):
        master, slave = pty.openpty()
        tty.setraw(master)
        tty.setraw(slave)
        masters.append(master)
        line.ends.append(slave)
    cmd = [sys.executable, os.path.abspath(__file__), "--relay", str(rate), str(masters[0]), str(masters[1])]
    if count_file:
        cmd.append(count_file)
    proc = subprocess.Popen(cmd, pass_fds=masters)
    for m in masters:
        os.close(m)
    line.helpers.append(proc)
    return line


def relay_main(rate, fa, fb, count_file):
    """The rate relay, a process of its own: moves bytes between two pty
    masters, each direction held to `rate` bit/s (10 bits a byte) by reading
    no faster than that, so that a sender feels the line."""
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    byte_rate = rate / 10.0
    for fd in (fa, fb):
        os.set_blocking(fd, False)
    pending = {fa: bytearray(), fb: bytearray()}
    other = {fa: fb, fb: fa}
    tokens = {fa: 0.0, fb: 0.0}
    open_fds = {fa, fb}
    frames = 0
    tail = b""
    last = time.monotonic()
    try:
        # Once a side has left, what it sent is delivered and the relay ends,
        # so that the other side sees the line go down.
        while len(open_fds) == 2 or any(pending[fd] for fd in open_fds):
            now = time.monotonic()
            if byte_rate:
                for fd in tokens:
                    # A little slack (20 ms of line), never a burst of more.
                    tokens[fd] = min(tokens[fd] + (now - last) * byte_rate, byte_rate * 0.02 + 16)
            last = now
            readable = [fd for fd in open_fds
                        if (not byte_rate or tokens[fd] >= 1) and len(pending[other[fd]]) < 65536]
            writable = [fd for fd in open_fds if pending[fd]]
            r, w, _ = select.select(readable, writable, [], 0.002 if byte_rate else 0.5)
            for fd in r:
                want = int(tokens[fd]) if byte_rate else 65536
                try:
                    data = os.read(fd, max(1, want))
                except (BlockingIOError, InterruptedError):
                    continue
                except OSError:
                    open_fds.discard(fd)
                    continue
                if not data:
                    open_fds.discard(fd)
                    continue
                if byte_rate:
                    tokens[fd] -= len(data)
                if count_file and fd == fa:
                    # A frame end is ZDLE and "h" to "k"; a ZDLE in the data
                    # always travels as ZDLE "X", so nothing else looks alike.
                    chunk = tail + data
                    frames += len(re.findall(rb"\x18[h-k]", chunk))
                    tail = chunk[-1:] if chunk[-1:] == b"\x18" else b""
                pending[other[fd]] += data
            for fd in w:
                try:
                    n = os.write(fd, pending[fd])
                    del pending[fd][:n]
                except (BlockingIOError, InterruptedError):
                    pass
                except OSError:
                    pending[fd].clear()
                    open_fds.discard(fd)
    finally:
        if count_file:
            with open(count_file, "w") as f:
                f.write(str(frames))


# ---------------------------------------------------------------- runs

class Result:
    def __init__(self):
        self.ok = False
        self.seconds = 0.0
        self.cpu_send = 0.0
        self.cpu_recv = 0.0
        self.stall_send = None
        self.stall_recv = None
        self.stderr_send = ""
        self.stderr_recv = ""

    def errors(self):
        return (self.stderr_send + " | " + self.stderr_recv).strip().replace("\n", " ")


def parse_stall(text):
    m = re.search(r"stall=([0-9.]+)", text)
    return float(m.group(1)) if m else None


def start(cmd, fd, cwd, env=None):
    # A process group of its own, so that a run that overstays is killed
    # whole (valgrind and its child); not a session of its own, in which rz
    # takes the pty for its controlling terminal and waits 30 s at the end.
    return subprocess.Popen(cmd, stdin=fd, stdout=fd, stderr=subprocess.PIPE, cwd=cwd, env=env,
                            process_group=0)


def run_pair(send_cmd, recv_cmd, payload, line, dst, limit_s, env=None, tick=0.001):
    """Runs a sender and a receiver on the two ends of `line` until both end;
    the time is from the start of both to the end of the later one."""
    res = Result()
    t0 = time.monotonic()
    sender = start(send_cmd, line.ends[0], payload.folder, env)
    receiver = start(recv_cmd, line.ends[1], dst, env)
    # Each program's end of the line stays open here until that program has
    # ended, and is closed then: the line goes down when a side leaves, as a
    # call does. Closed at once, a pty could go before its program has read
    # the closing "OO" that waits in it; held open to the end, a receiver
    # whose "OO" a sender discarded at its exit (sz flushes its tty as it
    # leaves) would wait out its time-outs, some 30 s, for bytes that never
    # come.
    usage = {}
    procs = {sender.pid: sender, receiver.pid: receiver}
    end_of = {sender.pid: 0, receiver.pid: 1}
    deadline = t0 + limit_s
    while len(usage) < 2:
        for pid in procs:
            if pid in usage:
                continue
            got, status, ru = os.wait4(pid, os.WNOHANG)
            if got == pid:
                usage[pid] = (ru.ru_utime + ru.ru_stime, os.waitstatus_to_exitcode(status), time.monotonic())
                procs[pid].returncode = usage[pid][1]
                line.close_end(end_of[pid])
        if len(usage) < 2 and time.monotonic() > deadline:
            for pid, p in procs.items():
                if pid not in usage:
                    os.killpg(pid, signal.SIGKILL)
                    _, status, ru = os.wait4(pid, 0)
                    usage[pid] = (ru.ru_utime + ru.ru_stime, -9, time.monotonic())
                    p.returncode = -9
            break
        time.sleep(tick)
    res.seconds = max(u[2] for u in usage.values()) - t0
    res.cpu_send = usage[sender.pid][0]
    res.cpu_recv = usage[receiver.pid][0]
    res.stderr_send = sender.stderr.read().decode(errors="replace")
    res.stderr_recv = receiver.stderr.read().decode(errors="replace")
    res.stall_send = parse_stall(res.stderr_send)
    res.stall_recv = parse_stall(res.stderr_recv)
    codes_ok = usage[sender.pid][1] == 0 and usage[receiver.pid][1] == 0
    res.ok = codes_ok and payload.arrived(dst)
    line.close()
    return res


def launch(send_cmd, recv_cmd, payload, line, dst, limit_s, env=None):
    """run_pair in a thread of its own, so that paced runs go side by side."""
    box = {}

    def body():
        box["res"] = run_pair(send_cmd, recv_cmd, payload, line, dst, limit_s, env, tick=0.02)

    t = threading.Thread(target=body)
    t.start()
    return t, box


class Programs:
    def __init__(self, build):
        self.peer = os.path.join(build, "bench", "transfer", "vh_zmodem_peer")
        self.window = os.path.join(build, "bench", "transfer", "vh_window_peer")
        for p in (self.peer, self.window):
            if not os.access(p, os.X_OK):
                sys.exit(f"{p} is missing: build the Release tree first (scripts/build)")

    def ours_send(self, payload, stall=False, window=False):
        if window:
            return [self.window, "send"] + payload.files
        return [self.peer] + (["--stall"] if stall else []) + ["send"] + payload.files

    def ours_recv(self, stall=False, window=False):
        if window:
            return [self.window, "receive", "."]
        return [self.peer] + (["--stall"] if stall else []) + ["receive", "."]

    @staticmethod
    def sz_send(payload):
        return ["sz", "-q"] + payload.files

    @staticmethod
    def rz_recv():
        return ["rz", "-q", "-y", "-b"]


def fresh_dir(work, tag):
    return tempfile.mkdtemp(prefix=tag + "-", dir=work)


def size_name(n):
    return f"{n // MIB} MiB" if n % MIB == 0 else f"{n // KIB} KiB"


def fmt(x, digits=1):
    return "-" if x is None else f"{x:.{digits}f}"


# ---------------------------------------------------------------- sections

def callgrind_total(path):
    try:
        with open(path) as f:
            for line in f:
                if line.startswith("summary:") or line.startswith("totals:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return None


def section_cpu(progs, work, sizes, out):
    """Instructions per payload byte under callgrind, the whole process."""
    rows = []
    for kind in ("random", "cans"):
        data = os.urandom(sizes["cpu"]) if kind == "random" else b"\x18" * sizes["cpu"]
        payload = Payload(work, f"cpu-{kind}", [("payload.bin", data)])
        cases = [
            ("receiver", "ours", Programs.sz_send(payload), progs.ours_recv(), "receiver"),
            ("receiver", "lrzsz", Programs.sz_send(payload), Programs.rz_recv(), "receiver"),
            ("sender", "ours", progs.ours_send(payload), Programs.rz_recv(), "sender"),
            ("sender", "lrzsz", Programs.sz_send(payload), Programs.rz_recv(), "sender"),
        ]
        for role, who, send_cmd, recv_cmd, measured in cases:
            cg = os.path.join(work, f"callgrind-{kind}-{role}-{who}.out")
            wrap = ["valgrind", "--tool=callgrind", "--quiet", f"--callgrind-out-file={cg}"]
            if measured == "sender":
                send_cmd = wrap + send_cmd
            else:
                recv_cmd = wrap + recv_cmd
            dst = fresh_dir(work, "dst")
            res = run_pair(send_cmd, recv_cmd, payload, socat_pty_pair(work), dst, 900)
            ir = callgrind_total(cg)
            per = ir / payload.size if ir and res.ok else None
            rows.append((kind, role, who, per))
            out(f"  cpu {kind:6} {role:8} {who:5}: {fmt(per)} instructions/byte ({ir} in all)"
                f"{'' if res.ok else '  FAILED: ' + res.errors()}")
            shutil.rmtree(dst, ignore_errors=True)
        shutil.rmtree(payload.folder, ignore_errors=True)
    return rows


def strace_counts(path):
    """Calls per system call from strace -c, and their total."""
    counts = {}
    total = 0
    with open(path) as f:
        for line in f:
            parts = line.split()
            if len(parts) < 5 or not parts[0][0].isdigit():
                continue
            if parts[-1] == "total":
                total = int(parts[3])
            else:
                counts[parts[-1]] = counts.get(parts[-1], 0) + int(parts[3])
    return counts, total or sum(counts.values())


def section_syscalls(progs, work, sizes, out):
    payload = Payload(work, "syscalls", [("payload.bin", os.urandom(sizes["cpu"]))])
    rows = []
    for who, send_cmd in (("ours", progs.ours_send(payload)), ("lrzsz", Programs.sz_send(payload))):
        trace = os.path.join(work, f"strace-{who}.txt")
        frames_file = os.path.join(work, f"frames-{who}.txt")
        cmd = ["strace", "-c", "-f", "-o", trace] + send_cmd
        dst = fresh_dir(work, "dst")
        res = run_pair(cmd, Programs.rz_recv(), payload, relayed_pty_pair(0, frames_file), dst, 600)
        counts, total = strace_counts(trace)
        try:
            with open(frames_file) as f:
                frames = int(f.read().strip() or 0)
        except (OSError, ValueError):
            frames = 0
        writes = counts.get("write", 0) + counts.get("sendto", 0) + counts.get("writev", 0)
        ioctls = counts.get("ioctl", 0)
        rows.append((who, writes, ioctls, total, frames))
        busiest = ", ".join(f"{n} {c}" for n, c in sorted(counts.items(), key=lambda kv: -kv[1])[:6])
        out(f"  syscalls {who:5}: {writes} writes, {ioctls} ioctls, {total} in all ({busiest}); "
            f"{frames} frame ends on the line, {fmt(total / frames if frames else None, 2)} calls per frame"
            f"{'' if res.ok else '  FAILED: ' + res.errors()}")
        shutil.rmtree(dst, ignore_errors=True)
    return rows


def section_throughput(progs, work, sizes, runs, out):
    datasets = [
        ("random", lambda: [("payload.bin", os.urandom(sizes["big"]))]),
        ("cans", lambda: [("payload.bin", b"\x18" * sizes["big"])]),
        ("files", lambda: [(f"f{i:03}.bin", os.urandom(10 * KIB)) for i in range(sizes["files"])]),
    ]
    results = {}
    for transport in ("pty", "tcp"):
        for kind, files in datasets:
            payload = Payload(work, f"tp-{transport}-{kind}", files())
            per = {"ours": [], "lrzsz": []}
            failures = []
            for i in range(runs):
                # Interleaved, and who goes first changes every run.
                for who in (["ours", "lrzsz"] if i % 2 == 0 else ["lrzsz", "ours"]):
                    if who == "ours":
                        cmds = (progs.ours_send(payload), progs.ours_recv())
                    else:
                        cmds = (Programs.sz_send(payload), Programs.rz_recv())
                    line = socat_pty_pair(work) if transport == "pty" else tcp_pair()
                    dst = fresh_dir(work, "dst")
                    res = run_pair(cmds[0], cmds[1], payload, line, dst, 300)
                    shutil.rmtree(dst, ignore_errors=True)
                    if res.ok:
                        per[who].append(payload.size / res.seconds / 1e6)
                    else:
                        failures.append(who)
                        out(f"    {transport} {kind} {who} run {i} FAILED: {res.errors()}")
            med = {w: (statistics.median(v) if v else None) for w, v in per.items()}
            results[(transport, kind)] = (med, failures)
            out(f"  throughput {transport} {kind:6}: ours {fmt(med['ours'], 2)} MB/s "
                f"({', '.join(fmt(x, 2) for x in per['ours'])}); lrzsz {fmt(med['lrzsz'], 2)} MB/s "
                f"({', '.join(fmt(x, 2) for x in per['lrzsz'])})")
            shutil.rmtree(payload.folder, ignore_errors=True)
    return results


def paced_jobs(progs, work, sizes):
    jobs = []
    for rate in (115200, 33600):
        for kind in ("512 KiB random", "100 x 10 KiB"):
            if "random" in kind:
                files = [("payload.bin", os.urandom(sizes["paced"]))]
            else:
                files = [(f"f{i:03}.bin", os.urandom(10 * KIB)) for i in range(sizes["files"])]
            for who in ("ours", "lrzsz"):
                payload = Payload(work, f"paced-{rate}-{len(jobs)}", files)
                if who == "ours":
                    cmds = (progs.ours_send(payload, stall=True), progs.ours_recv(stall=True))
                else:
                    cmds = (Programs.sz_send(payload), Programs.rz_recv())
                jobs.append(("paced", rate, kind, who, payload, cmds))
    return jobs


def stall_jobs(progs, work, sizes):
    jobs = []
    for rate, size in ((9600, sizes["stall9600"]), (115200, sizes["stall115200"])):
        data = os.urandom(size)
        for window in (False, True):
            for direction in ("send", "receive"):
                payload = Payload(work, f"stall-{rate}-{len(jobs)}", [("payload.bin", data)])
                if direction == "send":
                    cmds = (progs.ours_send(payload, stall=True, window=window), Programs.rz_recv())
                else:
                    cmds = (Programs.sz_send(payload), progs.ours_recv(stall=True, window=window))
                where = "window" if window else "components"
                jobs.append(("stall", rate, f"{where}, ours {direction}", "ours", payload, cmds))
    return jobs


def section_paced(jobs, work, out):
    """Paced pairs side by side, each with its own relay process: ours and
    lrzsz of one case at once, the cases one after the other; the stall runs
    all at once. A machine of two cores cannot run every relay at once
    without starving some of them, and a starved relay leaves its line idle
    (ours and lrzsz each lost about half a point so at 115200 bit/s)."""
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
    batches = {}
    for job in jobs:
        tag, rate, kind = job[:3]
        batches.setdefault((tag, rate, kind) if tag == "paced" else (tag,), []).append(job)
    rows = []
    for batch in batches.values():
        rows += run_paced_batch(batch, work, env, out)
    return rows


def run_paced_batch(jobs, work, env, out):
    running = []
    for tag, rate, kind, who, payload, cmds in jobs:
        limit = 120 + payload.size / (rate / 10) * 3
        dst = fresh_dir(work, "dst")
        t, box = launch(cmds[0], cmds[1], payload, relayed_pty_pair(rate), dst, limit, env)
        running.append((tag, rate, kind, who, payload, t, box))
    rows = []
    for tag, rate, kind, who, payload, t, box in running:
        t.join()
        res = box["res"]
        eff = payload.size / (res.seconds * rate / 10) * 100
        rows.append((tag, rate, kind, who, eff, res))
        if tag == "paced":
            out(f"  paced {rate:6} {kind:14} {who:5}: {eff:6.2f} % in {res.seconds:7.2f} s"
                f"{'' if res.ok else '  FAILED: ' + res.errors()}")
        else:
            stall = res.stall_send if kind.endswith("send") else res.stall_recv
            out(f"  stall {rate:6} {kind:26}: {fmt(stall)} ms in {res.seconds:7.2f} s"
                f"{'' if res.ok else '  FAILED: ' + res.errors()}")
    return rows


def section_stall_unthrottled(progs, work, sizes, out):
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
    rows = []
    payload = Payload(work, "stall-fast", [("payload.bin", os.urandom(sizes["stallfast"]))])
    for window in (False, True):
        for direction in ("send", "receive"):
            if direction == "send":
                cmds = (progs.ours_send(payload, stall=True, window=window), Programs.rz_recv())
            else:
                cmds = (Programs.sz_send(payload), progs.ours_recv(stall=True, window=window))
            dst = fresh_dir(work, "dst")
            res = run_pair(cmds[0], cmds[1], payload, socat_pty_pair(work), dst, 600, env)
            where = "window" if window else "components"
            stall = res.stall_send if direction == "send" else res.stall_recv
            rows.append((f"{where}, ours {direction}", stall, res.ok))
            out(f"  stall unthrottled {where:10} {direction:7}: {fmt(stall)} ms in {res.seconds:.2f} s"
                f"{'' if res.ok else '  FAILED: ' + res.errors()}")
            shutil.rmtree(dst, ignore_errors=True)
    return rows


# ---------------------------------------------------------------- the table

def print_table(sizes, runs, quick, cpu, syscalls, tp, paced, fast, loads):
    print()
    print(f"Load average (1, 5, 15 min) before / after: {loads[0]} / {loads[1]}; {os.cpu_count()} cores"
          + ("; QUICK SIZES, figures mean little" if quick else "") + ".")
    print()
    print("| figure | ours | lrzsz | target |")
    print("|---|---|---|---|")
    if tp:
        for transport, tname in (("pty", "pty pair"), ("tcp", "TCP loopback")):
            for kind, kname in (("random", f"{size_name(sizes['big'])} random"),
                                ("cans", f"{size_name(sizes['big'])} of 0x18"),
                                ("files", f"{sizes['files']} x 10 KiB")):
                med, failures = tp[(transport, kind)]
                note = f" ({len(failures)} failed runs)" if failures else ""
                print(f"| {tname}: {kname}, MB/s, ours->ours vs sz->rz, median of {runs}{note} | "
                      f"{fmt(med['ours'], 1)} | {fmt(med['lrzsz'], 1)} | ours >= lrzsz |")
    if cpu:
        caps = {("random", "receiver"): "<= 20", ("cans", "receiver"): "<= 40",
                ("random", "sender"): "<= 20", ("cans", "sender"): "-"}
        for kind in ("random", "cans"):
            for role in ("receiver", "sender"):
                vals = {who: per for k, r, who, per in cpu if k == kind and r == role}
                kname = "random" if kind == "random" else "all-0x18"
                peer = "from sz" if role == "receiver" else "to rz"
                print(f"| {role}, instructions per payload byte, {size_name(sizes['cpu'])} {kname} {peer}, "
                      f"callgrind, whole process | {fmt(vals.get('ours'))} | {fmt(vals.get('lrzsz'))} | "
                      f"{caps[(kind, role)]} |")
    if syscalls:
        vals = {who: (w, i, t, f) for who, w, i, t, f in syscalls}
        o, l = vals["ours"], vals["lrzsz"]
        print(f"| sender, system calls for {size_name(sizes['cpu'])} random: writes + ioctls (all calls) | "
              f"{o[0]} + {o[1]} ({o[2]}) | {l[0]} + {l[1]} ({l[2]}) | - |")
        print(f"| sender, system calls per data subpacket (subpackets on the line) | "
              f"{fmt(o[2] / o[3] if o[3] else None, 2)} ({o[3]}) | {fmt(l[2] / l[3] if l[3] else None, 2)} "
              f"({l[3]}) | ours <= lrzsz |")
    if paced:
        for rate in (115200, 33600):
            for kind in ("512 KiB random", "100 x 10 KiB"):
                vals = {who: eff for tag, r, k, who, eff, res in paced
                        if tag == "paced" and r == rate and k == kind and res.ok}
                if not any(tag == "paced" and r == rate and k == kind for tag, r, k, _, _, _ in paced):
                    continue
                target = ">= 96.1 %, within 1 point of lrzsz" if "random" in kind else ">= 95 %"
                print(f"| paced {rate} bit/s: {kind}, payload efficiency | {fmt(vals.get('ours'), 2)} % | "
                      f"{fmt(vals.get('lrzsz'), 2)} % | {target} |")
        stalls = {}
        for tag, rate, kind, who, eff, res in paced:
            if tag == "paced" and who == "ours":
                for side, v in (("sender", res.stall_send), ("receiver", res.stall_recv)):
                    stalls.setdefault((rate, f"components, ours->ours ({side})"), []).append(v)
            elif tag == "stall":
                v = res.stall_send if kind.endswith("send") else res.stall_recv
                stalls.setdefault((rate, kind), []).append(v if res.ok else None)
        for (rate, kind), vals in sorted(stalls.items(), key=lambda kv: (kv[0][0], kv[0][1])):
            print(f"| longest event-loop stall, ms: {rate} bit/s, {kind} | {', '.join(fmt(v) for v in vals)} | "
                  f"- | <= 50 |")
    if fast:
        for kind, stall, ok in fast:
            print(f"| longest event-loop stall, ms: unthrottled pty pair, {kind} | {fmt(stall)}"
                  f"{'' if ok else ' (failed)'} | - | <= 50 |")


def load():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def main():
    if len(sys.argv) >= 5 and sys.argv[1] == "--relay":
        relay_main(int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4]), sys.argv[5] if len(sys.argv) > 5 else None)
        return
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", default=os.path.join(TOP, "build"), help="the Release build tree (build/)")
    ap.add_argument("--runs", type=int, default=None, help="interleaved runs per throughput figure (5)")
    ap.add_argument("--only", default="cpu,syscalls,throughput,paced,stall", help="sections to run")
    ap.add_argument("--quick", action="store_true", help="small sizes and one run: a trial of the script")
    args = ap.parse_args()
    sections = set(args.only.split(","))
    needed = ["sz", "rz", "socat"] + (["valgrind"] if "cpu" in sections else []) + \
        (["strace"] if "syscalls" in sections else [])
    for prog in needed:
        if not shutil.which(prog):
            sys.exit(f"{prog} is missing (scripts/setup installs it)")
    progs = Programs(os.path.abspath(args.build))
    sizes = dict(cpu=4 * MIB, big=10 * MIB, files=100, paced=512 * KIB, stall9600=16 * KIB,
                 stall115200=256 * KIB, stallfast=16 * MIB)
    runs = args.runs or 5
    if args.quick:
        sizes = dict(cpu=256 * KIB, big=1 * MIB, files=10, paced=32 * KIB, stall9600=2 * KIB,
                     stall115200=16 * KIB, stallfast=1 * MIB)
        runs = args.runs or 1

    def out(text):
        print(text, flush=True)

    load_before = load()
    out(f"machine: {os.cpu_count()} cores; {subprocess.run(['uptime'], capture_output=True, text=True).stdout.strip()}")
    cpu = syscalls = tp = paced = fast = None
    with tempfile.TemporaryDirectory(prefix="vh-bench-") as work:
        if "cpu" in sections:
            cpu = section_cpu(progs, work, sizes, out)
        if "syscalls" in sections:
            syscalls = section_syscalls(progs, work, sizes, out)
        if "throughput" in sections:
            tp = section_throughput(progs, work, sizes, runs, out)
        jobs = (paced_jobs(progs, work, sizes) if "paced" in sections else []) + \
            (stall_jobs(progs, work, sizes) if "stall" in sections else [])
        if jobs:
            paced = section_paced(jobs, work, out)
        if "stall" in sections:
            fast = section_stall_unthrottled(progs, work, sizes, out)
    load_after = load()
    out(f"machine: {subprocess.run(['uptime'], capture_output=True, text=True).stdout.strip()}")
    print_table(sizes, runs, args.quick, cpu, syscalls, tp, paced, fast, (load_before, load_after))


if __name__ == "__main__":
    main()
