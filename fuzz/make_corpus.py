#!/usr/bin/env python3
"""Writes the fuzz targets' seed corpus under fuzz/corpus/<target>/ from real frames.

    python3 fuzz/make_corpus.py [--capture ZMODEM_BINARY]

Headers, subpackets and file-information blocks are built here byte for byte. With --capture,
whole sender sessions are also recorded: `sz` (lrzsz) runs on one pseudo-terminal, our own
`zmodem /r` on another, and this script relays the bytes between them, keeping what `sz` sent.
The subpacket and file-information targets take one selector byte first (bit 0 CRC-32, bit 1 a
short buffer of 1 + (byte >> 2) bytes); the header and receiver targets take the line as it is.
"""

import os
import pty
import select
import shutil
import subprocess
import sys
import tempfile
import time
import tty
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "corpus")

ZDLE = 0x18
ZRQINIT, ZRINIT, ZFILE, ZFIN, ZRPOS, ZDATA, ZEOF = 0, 1, 4, 8, 9, 10, 11
ZCRCE, ZCRCG, ZCRCW = b"h", b"i", b"k"


def crc16(data, crc=0):
    for byte in data:
        crc ^= byte << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x1021) if crc & 0x8000 else (crc << 1)
            crc &= 0xFFFF
    return crc


def crc32(data):
    return zlib.crc32(data) & 0xFFFFFFFF  # already complemented, as it travels


def escape(data):
    out = bytearray()
    for byte in data:
        if (byte & 0x7F) in (0x10, 0x11, 0x13, 0x18, 0x7F):
            out.append(ZDLE)
            out.append(0x6C if byte == 0x7F else 0x6D if byte == 0xFF else byte | 0x40)
        else:
            out.append(byte)
    return bytes(out)


def position(p):
    return [p & 0xFF, (p >> 8) & 0xFF, (p >> 16) & 0xFF, (p >> 24) & 0xFF]


def hex_header(kind, data=(0, 0, 0, 0)):
    body = bytes([kind, *data])
    c = crc16(body)
    text = (body + bytes([c >> 8, c & 0xFF])).hex().encode()
    out = b"**\x18B" + text + b"\r\n"
    return out if kind in (ZFIN, 3) else out + b"\x11"


def bin16_header(kind, data=(0, 0, 0, 0)):
    body = bytes([kind, *data])
    c = crc16(body)
    return b"*\x18A" + escape(body + bytes([c >> 8, c & 0xFF]))


def bin32_header(kind, data=(0, 0, 0, 0)):
    body = bytes([kind, *data])
    return b"*\x18C" + escape(body + crc32(body).to_bytes(4, "little"))


def sub16(data, end):
    c = crc16(data + end)
    return escape(data) + bytes([ZDLE]) + end + escape(bytes([c >> 8, c & 0xFF]))


def sub32(data, end):
    return escape(data) + bytes([ZDLE]) + end + escape(crc32(data + end).to_bytes(4, "little"))


def info_block(name, size):
    return name + b"\0" + b"%d 0 0 0" % size + b"\0"


# Where the sender waits for the receiver's answer. The receiver drains the line before it asks
# for data (ZRPOS), and the in-memory line hands out the input in pieces of 16 bytes, so the
# bytes that follow a turn start a new piece: only filler is drained, as on a real line only what
# arrived before the answer would be.
TURN = None
PIECE = 16


def line(parts):
    out = bytearray()
    for part in parts:
        if part is TURN:
            out += b"\0" * (-len(out) % PIECE)
        else:
            out += part
    return bytes(out)


def offer(name, size, crc32_form):
    """ZFILE and its file-information block, then a turn."""
    header = bin32_header if crc32_form else bin16_header
    sub = sub32 if crc32_form else sub16
    return [header(ZFILE, (0, 0, 0, 1)) + sub(info_block(name, size), ZCRCW) + b"\x11", TURN]


def file_data(content, crc32_form):
    """ZDATA at 0, the content in 1024-byte subpackets, ZEOF, then a turn."""
    header = bin32_header if crc32_form else bin16_header
    sub = sub32 if crc32_form else sub16
    out = header(ZDATA, position(0))
    for at in range(0, len(content), 1024):
        last = at + 1024 >= len(content)
        out += sub(content[at:at + 1024], ZCRCE if last else ZCRCG)
    if not content:
        out += sub(b"", ZCRCE)
    return [out + header(ZEOF, position(len(content))), TURN]


def one_file(name, content, crc32_form):
    return offer(name, len(content), crc32_form) + file_data(content, crc32_form)


OPENING = [b"rz\r" + hex_header(ZRQINIT), TURN]
CLOSING = [hex_header(ZFIN), TURN, b"OO"]


def seeds():
    ramp = bytes(range(256))
    yield "fuzz_header", "zrqinit_hex", b"rz\r" + hex_header(ZRQINIT)
    yield "fuzz_header", "zrinit_hex", hex_header(ZRINIT, (0, 0, 0, 0x23))
    yield "fuzz_header", "zfin_hex", hex_header(ZFIN) + b"OO"
    yield "fuzz_header", "zrpos_hex", hex_header(ZRPOS, position(0x12345))
    yield "fuzz_header", "zfile_bin16", bin16_header(ZFILE, (0, 0, 0, 1))
    yield "fuzz_header", "zdata_bin32", bin32_header(ZDATA, position(0x11901318))
    yield "fuzz_header", "mixed", (
        b"noise\x18\x18*\x18B0100000023be50\r\n"    # one pad before a hex header: not one
        + b"***" + hex_header(ZRINIT, (0, 0, 0, 0x23))[2:]
        + b"**\x18B0A00000000" + b"\r\n"           # upper-case hex
        + bin16_header(ZEOF, position(500))[:-1] + b"\x00"  # bad CRC-16
        + bin32_header(ZEOF, position(500))
        + b"\x18" * 5 + b"\x08" * 10)

    yield "fuzz_subpacket", "crc16_stream", (
        b"\x00" + sub16(ramp, ZCRCG) + sub16(b"tail", ZCRCE) + sub16(b"", ZCRCW))
    yield "fuzz_subpacket", "crc32_stream", (
        b"\x01" + sub32(ramp, ZCRCG) + sub32(b"tail", ZCRCE) + sub32(b"", b"j"))
    yield "fuzz_subpacket", "short_buffer", (
        bytes([0x02 | (15 << 2)]) + sub16(b"x" * 20, ZCRCG) + sub16(b"fits", ZCRCE))
    bad = bytearray(sub16(b"damaged data", ZCRCE))
    bad[-1] ^= 0x01
    yield "fuzz_subpacket", "bad_crc16", b"\x00" + bytes(bad) + sub16(b"good", ZCRCE)
    yield "fuzz_subpacket", "cancel", b"\x01" + b"abc\x18\x18\x18\x18\x18\x08\x08"

    yield "fuzz_file_info", "a_txt_crc16", b"\x00" + sub16(info_block(b"a.txt", 500), ZCRCW) + b"\x11"
    yield "fuzz_file_info", "path_crc32", b"\x01" + sub32(info_block(b"dir/sub/file.bin", 123), ZCRCW)
    yield "fuzz_file_info", "long_name", b"\x00" + sub16(info_block(b"n" * 300, 1), ZCRCW)
    yield "fuzz_file_info", "no_info", b"\x00" + sub16(b"name\x00500 0 0 0", ZCRCW)
    yield "fuzz_file_info", "short_buffer", (
        bytes([0x03 | (40 << 2)]) + sub32(info_block(b"x.bin", 9), ZCRCW))

    yield "fuzz_receiver", "hostile_names", line(
        OPENING
        + one_file(b"../escape.txt", b"one", False)
        + one_file(b"/tmp/absolute.txt", b"two", True)
        + one_file(b"..\\back\\slash.txt", b"", False)
        + offer(b"..", 1, False)
        + offer(b"esc\x1b[2J", 1, True)
        + offer(b"dir/", 1, False)
        + CLOSING)
    content = bytes((i * 7) & 0xFF for i in range(2100))
    first = sub16(content[:1024], ZCRCG)
    damaged = first[:300] + bytes([first[300] ^ 0x01]) + first[301:]
    # A damaged first subpacket: the receiver asks again from 0 and the sender starts over.
    yield "fuzz_receiver", "crc16_retry", line(
        OPENING + offer(b"retry.bin", len(content), False)
        + [bin16_header(ZDATA, position(0)) + damaged, TURN]
        + file_data(content, False) + CLOSING)


def capture(zmodem, extra_args, content):
    """Runs sz against `zmodem /r` over two pseudo-terminals; returns what sz sent."""
    work = tempfile.mkdtemp(prefix="zmodem-capture.")
    try:
        src = os.path.join(work, "src")
        dst = os.path.join(work, "dst")
        os.mkdir(src)
        os.mkdir(dst)
        with open(os.path.join(src, "sample.bin"), "wb") as f:
            f.write(content)
        sz_master, sz_slave = pty.openpty()
        zm_master, zm_slave = pty.openpty()
        for fd in (sz_master, sz_slave, zm_master, zm_slave):
            tty.setraw(fd)
        env = dict(os.environ, ZMODEM_PORT=os.ttyname(zm_slave))
        receiver = subprocess.Popen([zmodem, "/r"], cwd=dst, env=env, stdin=subprocess.DEVNULL,
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(0.3)
        sender = subprocess.Popen(["sz", "-q", *extra_args, "sample.bin"], cwd=src,
                                  stdin=sz_slave, stdout=sz_slave, stderr=subprocess.DEVNULL)
        os.close(sz_slave)
        sent = []  # what sz sent, with a turn wherever the receiver answered in between
        answered = False
        deadline = time.time() + 30
        open_fds = {sz_master, zm_master}
        while time.time() < deadline and open_fds:
            if sender.poll() is not None and receiver.poll() is not None:
                break
            ready, _, _ = select.select(list(open_fds), [], [], 0.1)
            for fd in ready:
                try:
                    data = os.read(fd, 4096)
                except OSError:
                    data = b""
                if not data:
                    open_fds.discard(fd)
                    continue
                if fd == sz_master:
                    if answered:
                        sent.append(TURN)
                        answered = False
                    sent.append(data)
                    os.write(zm_master, data)
                else:
                    answered = True
                    if sz_master in open_fds:
                        os.write(sz_master, data)
        for proc in (sender, receiver):
            if proc.poll() is None:
                proc.kill()
            proc.wait()
        copied = os.path.join(dst, "sample.bin")
        if not os.path.exists(copied) or open(copied, "rb").read() != content:
            sys.exit("capture: the file did not arrive intact")
        for fd in (sz_master, zm_master, zm_slave):
            os.close(fd)
        return line(sent)
    finally:
        shutil.rmtree(work)


def write(target, name, data):
    folder = os.path.join(CORPUS, target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def main():
    for target, name, data in seeds():
        write(target, name, data)
    if len(sys.argv) == 3 and sys.argv[1] == "--capture":
        content = bytes(range(256)) * 6 + b"end of sample\n"
        zmodem = os.path.abspath(sys.argv[2])
        write("fuzz_receiver", "sz_session_crc32", capture(zmodem, [], content))
        write("fuzz_receiver", "sz_session_crc16", capture(zmodem, ["-o"], content))
    elif len(sys.argv) != 1:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
