#!/usr/bin/env python3
"""Throughput of ZMODEM transfers, side by side in one run:

  ours -> ours, ours -> rz, sz -> ours, sz -> rz

Each pair runs as two processes on two pseudo-terminals joined by a relay in
this script. The relay either passes bytes as fast as they come or holds each
direction to a line rate (10 bits per byte, so 115200 bit/s is 11520 bytes/s),
reading no faster than that so that the sender feels the line.

Prints, per pair: seconds, MB/s, payload efficiency (payload bytes over what
the line could carry in that time), CPU seconds of the sender and of the
receiver, and whether the received file is identical.

  run_bench.py --peer build/bench/transfer/vh_zmodem_peer [--size-kib 512]
               [--rate 115200] [--unthrottled-size-mib 64]
"""

import argparse
import os
import pty
import select
import shutil
import subprocess
import sys
import tempfile
import time
import tty


def spawn(cmd, cwd):
    master, slave = pty.openpty()
    tty.setraw(slave)
    tty.setraw(master)
    proc = subprocess.Popen(cmd, stdin=slave, stdout=slave, stderr=subprocess.PIPE, cwd=cwd,
                            start_new_session=True)
    os.close(slave)
    os.set_blocking(master, False)
    return proc, master


def reap(procs, usage):
    """Collects the children that have ended, with their CPU time."""
    for p in procs:
        if p.pid in usage:
            continue
        pid, status, ru = os.wait4(p.pid, os.WNOHANG)
        if pid == p.pid:
            usage[p.pid] = (ru.ru_utime + ru.ru_stime, os.waitstatus_to_exitcode(status))
            p.returncode = usage[p.pid][1]


def relay(a, b, procs, rate, limit_s, usage):
    """Moves bytes between the two masters until both processes have ended."""
    pending = {a: bytearray(), b: bytearray()}  # bytes waiting to be written to the key
    other = {a: b, b: a}
    tokens = {a: 0.0, b: 0.0}  # per reading side
    last = time.monotonic()
    start = last
    open_fds = {a, b}
    while True:
        reap(procs, usage)
        if len(usage) == len(procs):
            break
        now = time.monotonic()
        if now - start > limit_s:
            for p in procs:
                if p.pid not in usage:
                    p.kill()
                    _, status, ru = os.wait4(p.pid, 0)
                    usage[p.pid] = (ru.ru_utime + ru.ru_stime, -9)
            return False
        if rate:
            for fd in tokens:
                tokens[fd] = min(tokens[fd] + (now - last) * rate, rate * 0.02 + 64)
        last = now
        readable = [fd for fd in open_fds if (not rate or tokens[fd] >= 1) and len(pending[other[fd]]) < 65536]
        writable = [fd for fd in open_fds if pending[fd]]
        r, w, _ = select.select(readable, writable, [], 0.002)
        for fd in r:
            want = int(tokens[fd]) if rate else 65536
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
            if rate:
                tokens[fd] -= len(data)
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
    return True


def run_pair(name, send_cmd, recv_cmd, src_dir, dst_dir, payload, rate, limit_s):
    sender, ms = spawn(send_cmd, src_dir)
    receiver, mr = spawn(recv_cmd, dst_dir)
    t0 = time.monotonic()
    procs = [sender, receiver]
    usage = {}
    finished = relay(ms, mr, procs, rate, limit_s, usage)
    elapsed = time.monotonic() - t0
    os.close(ms)
    os.close(mr)
    finished = finished and usage[sender.pid][1] == 0 and usage[receiver.pid][1] == 0
    return finished, elapsed, usage[sender.pid][0], usage[receiver.pid][0]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--peer", required=True, help="path of vh_zmodem_peer")
    ap.add_argument("--size-kib", type=int, default=512, help="payload at the line rate")
    ap.add_argument("--unthrottled-size-mib", type=int, default=64, help="payload without a rate limit")
    ap.add_argument("--rate", type=int, default=115200, help="line rate in bit/s")
    ap.add_argument("--only", choices=["throttled", "unthrottled"], default=None)
    args = ap.parse_args()
    peer = os.path.abspath(args.peer)
    for prog in ("sz", "rz"):
        if not shutil.which(prog):
            sys.exit(f"{prog} is missing (scripts/setup installs lrzsz)")

    runs = []
    if args.only != "throttled":
        runs.append(("unthrottled", args.unthrottled_size_mib << 20, 0))
    if args.only != "unthrottled":
        runs.append((f"{args.rate} bit/s", args.size_kib << 10, args.rate // 10))

    print(f"{'line':14} {'pair':12} {'seconds':>8} {'MB/s':>8} {'effic.':>7} {'cpu snd':>8} {'cpu rcv':>8}  ok")
    for label, size, byte_rate in runs:
        with tempfile.TemporaryDirectory() as work:
            src = os.path.join(work, "src")
            os.mkdir(src)
            payload = os.urandom(size)
            with open(os.path.join(src, "payload.bin"), "wb") as f:
                f.write(payload)
            pairs = [
                ("ours->ours", [peer, "send", "payload.bin"], [peer, "receive", "."]),
                ("ours->rz", [peer, "send", "payload.bin"], ["rz", "-q", "-y", "-b"]),
                ("sz->ours", ["sz", "-q", "payload.bin"], [peer, "receive", "."]),
                ("sz->rz", ["sz", "-q", "payload.bin"], ["rz", "-q", "-y", "-b"]),
            ]
            limit = 30 + (size / byte_rate * 3 if byte_rate else 120)
            for name, send_cmd, recv_cmd in pairs:
                dst = os.path.join(work, "dst-" + name.replace(">", ""))
                os.mkdir(dst)
                finished, elapsed, cpu_s, cpu_r = run_pair(name, send_cmd, recv_cmd, src, dst, size,
                                                          byte_rate, limit)
                path = os.path.join(dst, "payload.bin")
                ok = finished and os.path.exists(path) and open(path, "rb").read() == payload
                mbps = size / elapsed / 1e6
                eff = (size / (elapsed * byte_rate) * 100) if byte_rate else float("nan")
                eff_text = f"{eff:6.2f}%" if byte_rate else "    -  "
                print(f"{label:14} {name:12} {elapsed:8.2f} {mbps:8.3f} {eff_text:>7} {cpu_s:8.2f} {cpu_r:8.2f}  "
                      f"{'yes' if ok else 'NO'}", flush=True)


if __name__ == "__main__":
    main()
