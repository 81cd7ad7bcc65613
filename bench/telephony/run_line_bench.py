#!/usr/bin/env python3
"""Throughput of a ZMODEM transfer between two copies of the program's
components on an internet line, raw mode and telnet mode side by side in one
run: each round runs one raw and one telnet transfer of the same file, in
alternating order, and the medians over the rounds are compared.

Each transfer is two vh_line_peer processes on 127.0.0.1: one answers and
receives, the other dials and sends. The time is the sender's, from the port
opening to the end of its send operation.

  run_line_bench.py --peer build/bench/telephony/vh_line_peer [--size-mib 20] [--rounds 5]
"""

import argparse
import filecmp
import os
import re
import socket
import statistics
import subprocess
import sys
import tempfile


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def parse(text):
    m = re.search(r"result=(-?\d+) bytes=(\d+) seconds=([\d.]+) cpu=([\d.]+)", text)
    if not m:
        return None
    return int(m.group(1)), int(m.group(2)), float(m.group(3)), float(m.group(4))


def transfer(peer, mode, payload, work):
    inbox = os.path.join(work, "inbox-" + mode)
    os.makedirs(inbox, exist_ok=True)
    for name in os.listdir(inbox):
        os.remove(os.path.join(inbox, name))
    port = str(free_port())
    answer = subprocess.Popen([peer, "answer", port, mode, inbox], stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True)
    if answer.stdout.readline().strip() != "ready":
        sys.exit("the answering side did not start")
    call = subprocess.run([peer, "call", port, mode, payload], stderr=subprocess.PIPE, text=True, timeout=600)
    _, answer_err = answer.communicate(timeout=60)
    sent, received = parse(call.stderr), parse(answer_err)
    ok = (call.returncode == 0 and answer.returncode == 0 and sent and received and
          filecmp.cmp(payload, os.path.join(inbox, os.path.basename(payload)), shallow=False))
    return ok, sent, received


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--peer", required=True, help="path of vh_line_peer")
    ap.add_argument("--size-mib", type=int, default=20)
    ap.add_argument("--rounds", type=int, default=5)
    args = ap.parse_args()
    peer = os.path.abspath(args.peer)
    results = {"raw": [], "telnet": []}
    with tempfile.TemporaryDirectory() as work:
        payload = os.path.join(work, "payload.bin")
        with open(payload, "wb") as f:
            f.write(os.urandom(args.size_mib << 20))
        for round_ in range(args.rounds):
            order = ["raw", "telnet"] if round_ % 2 == 0 else ["telnet", "raw"]
            for mode in order:
                ok, sent, received = transfer(peer, mode, payload, work)
                if not ok:
                    sys.exit(f"round {round_ + 1}, {mode}: the transfer failed ({sent}, {received})")
                results[mode].append((sent[2], sent[3], received[3]))
                print(f"round {round_ + 1} {mode:6} {sent[2]:7.2f} s  cpu sender {sent[3]:.2f} s"
                      f"  receiver {received[3]:.2f} s", flush=True)
    print()
    print(f"{args.size_mib} MiB, median of {args.rounds} interleaved rounds:")
    medians = {}
    for mode, rows in results.items():
        seconds = statistics.median(r[0] for r in rows)
        medians[mode] = seconds
        print(f"  {mode:6} {seconds:7.2f} s  {args.size_mib * 1.048576 / seconds:6.2f} MB/s"
              f"  cpu sender {statistics.median(r[1] for r in rows):.2f} s"
              f"  receiver {statistics.median(r[2] for r in rows):.2f} s")
    print(f"  telnet / raw: {medians['telnet'] / medians['raw']:.2f}")


if __name__ == "__main__":
    main()
