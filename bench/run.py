#!/usr/bin/env python3
"""Side-by-side measurements of zmodem and lrzsz on the virtual null-modem.

Pairings: ours->ours, ours->rz, sz->ours, sz->rz. Each transfer gets its own null-modem, a fresh
receiving directory, and is checked byte for byte. Figures only; nothing is asserted.
"""
import argparse
import os
import random
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

PAIRINGS = [("ours", "ours"), ("ours", "rz"), ("sz", "ours"), ("sz", "rz")]
LINE_RATE = 960  # bytes/s of a 9600-baud 8N1 line


class Transfer:
    """One file from one sender to one receiver over a fresh null-modem."""

    def __init__(self, build, sender, receiver, path, nm_args, timeout):
        self.build, self.sender, self.receiver = build, sender, receiver
        self.path, self.nm_args, self.timeout = path, nm_args, timeout

    def _spawn(self, role, kind, device, cwd):
        env = dict(os.environ, ZMODEM_PORT=device)
        out = open(os.path.join(cwd, f".{role}.log"), "wb")
        # /usr/bin/time reports the program's own peak resident size (wait4's figure would
        # include the forked interpreter).
        rss = ["/usr/bin/time", "-f", "%M", "-o", os.path.join(cwd, f".{role}.rss")]
        if kind == "ours":
            args = rss + [os.path.join(self.build, "zmodem")]
            args += ["/s", os.path.basename(self.path)] if role == "send" else ["/r"]
            return subprocess.Popen(args, cwd=cwd, env=env, stdout=out, stderr=subprocess.STDOUT)
        line = open(device, "r+b", buffering=0)
        args = rss + (["sz", "-q", os.path.basename(self.path)] if role == "send"
                      else ["rz", "-q", "-y"])
        proc = subprocess.Popen(args, cwd=cwd, stdin=line, stdout=line, stderr=out)
        line.close()
        return proc

    def run(self):
        work = tempfile.mkdtemp(prefix="zmodem-bench.")
        rx_dir = os.path.join(work, "rx")
        os.mkdir(rx_dir)
        shutil.copy(self.path, work)
        nm = subprocess.Popen([os.path.join(self.build, "nullmodem")] + self.nm_args,
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        try:
            a = nm.stdout.readline().strip()
            b = nm.stdout.readline().strip()
            rx = self._spawn("recv", self.receiver, b, rx_dir)
            time.sleep(0.2)  # the receiver is listening before the sender starts, as a user would
            start = time.monotonic()
            tx = self._spawn("send", self.sender, a, work)
            usage = {}
            deadline = start + self.timeout
            pending = {tx.pid: "tx", rx.pid: "rx"}
            status = {}
            got = os.path.join(rx_dir, os.path.basename(self.path))
            size = os.path.getsize(self.path)
            ended = {}
            full_at = None
            while pending and time.monotonic() < deadline:
                if full_at is None and os.path.exists(got) and os.path.getsize(got) >= size:
                    full_at = time.monotonic()
                pid, st, ru = os.wait4(-1, os.WNOHANG)
                if pid == 0:
                    time.sleep(0.005)
                    continue
                if pid in pending:
                    role = pending.pop(pid)
                    usage[role] = ru
                    status[role] = os.waitstatus_to_exitcode(st)
                    ended[role] = time.monotonic()
            # Delivered: the sender has finished and the receiver holds the whole file. (A
            # receiver that then waits for a lost closing "OO" is not counted against the line.)
            if full_at is None:
                full_at = time.monotonic()
            elapsed = max(ended.get("tx", time.monotonic()), full_at) - start
            for proc in (tx, rx):
                if proc.pid in pending:
                    proc.kill()
                    proc.wait()
            ok = (not pending and os.path.exists(got) and
                  open(got, "rb").read() == open(self.path, "rb").read())
            return {
                "ok": ok, "elapsed": elapsed,
                "cpu": sum(u.ru_utime + u.ru_stime for u in usage.values()),
                "rss_tx": read_rss(os.path.join(work, ".send.rss")),
                "rss_rx": read_rss(os.path.join(rx_dir, ".recv.rss")),
                "status": status,
            }
        finally:
            nm.terminate()
            nm.wait()
            shutil.rmtree(work, ignore_errors=True)


def read_rss(path):
    try:
        return int(open(path).read().split()[-1])
    except (OSError, ValueError, IndexError):
        return 0


def make_files(folder, quick):
    rnd = random.Random(1)
    words = ("serial line firmware board modem data log transfer byte frame header "
             "checksum receiver sender block window").split()
    text = []
    while sum(len(t) for t in text) < 32 * 1024:
        text.append(" ".join(rnd.choice(words) for _ in range(12)) + "\n")
    files = {}

    def put(name, data):
        path = os.path.join(folder, name)
        with open(path, "wb") as f:
            f.write(data)
        files[name] = path

    put("text32k.txt", "".join(text).encode()[:32 * 1024])
    put("random32k.bin", rnd.randbytes(32 * 1024))
    put("random8k.bin", rnd.randbytes(8 * 1024))
    put("random16m.bin", rnd.randbytes((2 if quick else 16) * 1024 * 1024))
    return files


def protocol_limit(path):
    """File bytes divided by the bytes our sender must put on the line for that file."""
    data = open(path, "rb").read()
    escaped = sum(1 for b in data if (b & 0x7F) in (0x10, 0x11, 0x13, 0x18, 0x7F))
    blocks = len(data) // 1024 + 1  # full blocks, then the short (possibly empty) last one
    name = os.path.basename(path)
    info = len(name) + 1 + len(f"{len(data)} 0 0 0") + 1
    wire = len(data) + escaped
    wire += blocks * 4 + blocks * 2 * 10 / 256  # ZDLE, end code, two CRC bytes (some escaped)
    wire += 3 + 21  # "rz\r" and ZRQINIT
    wire += 10 + info + 5  # ZFILE binary header, its block, ZDLE 'k', CRC, XON
    wire += 10 + 21 + 20 + 2  # ZDATA, ZEOF, ZFIN (no XON), "OO"
    return len(data) / wire


def run_many(jobs, parallel=1):
    """Runs paced transfers side by side (they barely use the processor)."""
    from concurrent.futures import ThreadPoolExecutor
    with ThreadPoolExecutor(max_workers=parallel) as pool:
        return list(pool.map(lambda t: t.run(), jobs))


def fmt_pair(p):
    return f"{p[0]}->{p[1]}"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default="build-release")
    ap.add_argument("--quick", action="store_true", help="smaller files, fewer seeds")
    ap.add_argument("--only", default="efficiency,fast,recovery,memory")
    args = ap.parse_args()
    build = os.path.abspath(args.build)
    only = set(args.only.split(","))
    folder = tempfile.mkdtemp(prefix="zmodem-bench-files.")
    files = make_files(folder, args.quick)
    rows = []

    if "efficiency" in only:
        print("1. Line efficiency at 9600 baud (960 bytes/s): file bytes / (seconds x 960)")
        for name in ("text32k.txt", "random32k.bin"):
            limit = protocol_limit(files[name])
            jobs = [Transfer(build, s, r, files[name], ["--rate", str(LINE_RATE)], 120)
                    for s, r in PAIRINGS]
            results = run_many(jobs)
            line = f"   {name:14s} limit {100 * limit:5.1f}% |"
            for p, res in zip(PAIRINGS, results):
                eff = os.path.getsize(files[name]) / (res["elapsed"] * LINE_RATE)
                line += f" {fmt_pair(p)} {100 * eff:5.1f}%{'' if res['ok'] else ' FAILED'} |"
            print(line, flush=True)

    if "fast" in only:
        name = "random16m.bin"
        mib = os.path.getsize(files[name]) / (1024 * 1024)
        print(f"2. Fast link (unpaced pty), {mib:.0f} MiB random: MiB/s, CPU s per MiB (both sides)")
        for p in PAIRINGS:
            res = Transfer(build, p[0], p[1], files[name], [], 300).run()
            print(f"   {fmt_pair(p):11s} {mib / res['elapsed']:7.2f} MiB/s  "
                  f"{res['cpu'] / mib:6.3f} CPU s/MiB{'' if res['ok'] else '  FAILED'}", flush=True)

    if "recovery" in only:
        seeds = [1, 2] if args.quick else [1, 2, 3]
        print(f"3. Recovery at 9600 baud, 8 KiB random, seeds {seeds}: median s to deliver intact")
        for ber in ("1e-4", "1e-3"):
            line = f"   ber {ber} |"
            for p in PAIRINGS:
                jobs = [Transfer(build, p[0], p[1], files["random8k.bin"],
                                 ["--rate", str(LINE_RATE), "--ber", ber, "--seed", str(seed)], 240)
                        for seed in seeds]
                results = run_many(jobs)
                times = [r["elapsed"] if r["ok"] else float("inf") for r in results]
                med = statistics.median(times)
                fails = sum(1 for r in results if not r["ok"])
                line += f" {fmt_pair(p)} {med:6.1f}s" + (f" ({fails} failed)" if fails else "") + " |"
            print(line, flush=True)

    if "memory" in only:
        size_mib = 32 if args.quick else 256
        path = os.path.join(folder, "big.bin")
        with open(path, "wb") as f:
            block = os.urandom(1024 * 1024)
            for _ in range(size_mib):
                f.write(block)
        print(f"4. Peak resident size moving {size_mib} MiB on the fast link (KiB)")
        for p in PAIRINGS:
            res = Transfer(build, p[0], p[1], path, [], 600).run()
            print(f"   {fmt_pair(p):11s} sender {res['rss_tx']:6d} KiB  receiver {res['rss_rx']:6d} KiB"
                  f"{'' if res['ok'] else '  FAILED'}", flush=True)

    shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
