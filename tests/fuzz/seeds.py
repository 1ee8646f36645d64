#!/usr/bin/python3
"""Writes the seed corpora of the fuzz targets (<target>/corpus/<name>): the inputs each
target's entry function must survive with its invariants intact, in the target's input format.
Run from anywhere; existing seeds are overwritten, others are left alone."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def crc16(data):
    crc = 0xFFFF
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


def rtu(content):
    c = crc16(content)
    return bytes(content) + bytes([c & 0xFF, c >> 8])


def ascii_frame(content, lower=False):
    lrc = (-sum(content)) & 0xFF
    text = (bytes(content) + bytes([lrc])).hex()
    return b":" + (text if lower else text.upper()).encode() + b"\r\n"


def mbap(tid, content, protocol=0, length=None):
    if length is None:
        length = len(content)
    return struct.pack("<H", tid) + struct.pack(">HH", protocol, length) + bytes(content)


def write(target, name, data):
    d = os.path.join(HERE, target, "corpus")
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


READ = [0x01, 0x03, 0x00, 0x00, 0x00, 0x0A]
GARBLED = b":02030\xbc\x07p\x0b0520005A4\r\n"

# codec: 0 + a written frame, or 1 + reply content to encode.
for name, frame in {
    "rtu-read-request": rtu(READ),
    "rtu-crc-bytes-exchanged": rtu(READ)[:-2] + rtu(READ)[-2:][::-1],
    "rtu-four-byte-function-7": rtu([0x01, 0x07]),
    "ascii-read-request": ascii_frame(READ),
    "ascii-lower-case": ascii_frame(READ, lower=True),
    "ascii-wrong-lrc": ascii_frame(READ)[:-4] + b"F3\r\n",
    "ascii-question-mark-for-colon": b"?" + ascii_frame(READ)[1:],
    "ascii-without-cr-lf": ascii_frame(READ)[:-2],
    "ascii-non-hex-characters": GARBLED,
}.items():
    write("codec", name, b"\x00" + frame)
for name, content in {
    "encode-read-reply": [0x01, 0x03, 0x02, 0x00, 0x2A],
    "encode-nothing": [],
    "encode-exception": [0x01, 0x83, 0x02],
}.items():
    write("codec", name, b"\x01" + bytes(content))

# replies: ops 0 write bytes, 1 well-formed request, 2 reply to the last request, 3 server bytes,
# 4 the last block again. Devices by index: 1 2 3 9 58 65 247 5; connections: A (1, 2, 58, 65,
# 247), B (3), raw (9).
def request(device_index, function, data, ascii=False, lower=False):
    how = (len(data) << 3) | (1 if ascii else 0) | (2 if lower else 0)
    return bytes([1, device_index, how, function]) + bytes(data)


def reply(connection, data, flags=0, function=None, split=0):
    head = bytes([2, connection, flags]) + (bytes([function]) if flags & 1 else b"")
    return head + bytes([len(data)]) + bytes(data) + bytes([split])


def server_bytes(connection, data):
    return bytes([3, connection]) + struct.pack("<H", len(data)) + bytes(data)


READ_REQ = request(0, 3, [0, 0, 0, 0x0A])
REPLY = [0x02, 0x00, 0x2A]
for name, data in {
    "rtu-request-and-reply": READ_REQ + reply(0, REPLY),
    "ascii-request-and-reply": request(0, 3, [0, 0, 0, 0x0A], ascii=True) + reply(0, REPLY),
    "reply-in-two-blocks": READ_REQ + reply(0, REPLY, split=5),
    "duplicated-mbap-reply": READ_REQ + reply(0, REPLY, flags=32),
    "two-replies-in-one-block": READ_REQ + server_bytes(0, mbap(1, [1, 3] + REPLY) * 2),
    "mbap-length-0": READ_REQ + reply(0, REPLY, flags=0x10),
    "mbap-length-1": READ_REQ + reply(0, REPLY, flags=0x50),
    "mbap-length-2": READ_REQ + reply(0, REPLY, flags=0x90),
    "mbap-length-65535": READ_REQ + reply(0, REPLY, flags=0xD0) + READ_REQ + reply(0, REPLY),
    "protocol-id-1": READ_REQ + reply(0, REPLY, flags=4),
    "other-unit-id": READ_REQ + reply(0, REPLY, flags=8),
    "late-transaction-id": READ_REQ + reply(0, REPLY, flags=2),
    "exception-reply": READ_REQ + reply(0, [0x02], flags=1, function=0x83),
    "reply-without-request": reply(0, REPLY),
    "reply-from-another-server": READ_REQ + reply(1, REPLY),
    "reply-to-an-earlier-request": READ_REQ + request(2, 3, [0, 0, 0, 1]) + reply(0, REPLY),
    "raw-request-and-reply": request(3, 3, [0, 0, 0, 1]) + server_bytes(2, rtu([9, 3, 2, 0, 1])),
    "reply-too-long-for-the-fifo": READ_REQ + server_bytes(0, mbap(1, [1, 3] + [0x55] * 4192)) + READ_REQ
    + reply(0, REPLY),
    "request-with-non-hex-characters": bytes([0, len(GARBLED)]) + GARBLED + reply(0, REPLY),
    "request-question-mark-for-colon": bytes([0, 17]) + b"?" + ascii_frame(READ)[1:],
    "request-for-unserved-device": request(7, 3, [0, 0, 0, 1]) + reply(0, REPLY),
    "request-for-device-58": request(4, 3, [0, 0, 0, 1]) + reply(0, REPLY),
    "header-then-rest": READ_REQ + server_bytes(0, mbap(1, [1, 3] + REPLY)[:4])
    + server_bytes(0, mbap(1, [1, 3] + REPLY)[4:]) + bytes([4]),
}.items():
    write("replies", name, data)

# record: the bytes of a stored settings record.
def record(entries, delay=10000, rts=0, dtr=0, version=0x0101, size=None):
    body = b""
    for ip, port, raw, ids in entries:
        body += struct.pack("<I", 11 + len(ids)) + bytes(ip) + struct.pack("<H", port) + bytes([raw]) + bytes(ids)
    total = 10 + len(body) if size is None else size
    return struct.pack("<IHHBB", total, version, delay, rts, dtr) + body


WORKED = record([([192, 168, 0, 10], 502, 0, [1, 2])], rts=1)
for name, data in {
    "worked-example": WORKED,
    "header-only": record([]),
    "entry-without-ids": record([([10, 0, 0, 1], 502, 0, [])]),
    "raw-2": record([([10, 0, 0, 1], 4001, 2, [9])]),
    "same-id-in-two-entries": record([([10, 0, 0, 1], 502, 0, [1, 2]), ([10, 0, 0, 2], 503, 1, [2, 3])]),
    "mask-upper-bits": record([], rts=0xF1, dtr=0x82),
    "version-0100": record([([10, 0, 0, 1], 502, 0, [1])], version=0x0100),
    "size-field-too-large": record([], size=11),
    "entry-size-0": struct.pack("<IHHBB", 21, 0x0101, 0, 0, 0) + b"\x00" * 11,
    "entry-past-the-record": struct.pack("<IHHBB", 21, 0x0101, 0, 0, 0) + struct.pack("<I", 12) + b"\x00" * 7,
    "entry-shorter-than-its-head": struct.pack("<IHHBB", 15, 0x0101, 0, 0, 0) + b"\x05\x00\x00\x00\x00",
    "five-bytes": b"\x05\x00\x00\x00\x01",
}.items():
    write("record", name, data)

# settingsfile: a whole file.
GUID = bytes([0x4A, 0x88, 0x3B, 0xDE, 0x2D, 0x2E, 0xBA, 0x4B, 0xBD, 0x25, 0x27, 0x7C, 0x04, 0x92, 0x2D, 0x53])
for name, data in {
    "worked-example": GUID + b"\x01\x01" + record([]),
    "one-connection": GUID + b"\x01\x01" + WORKED,
    "version-1.0": GUID + b"\x00\x01" + record([]),
    "version-2.3": GUID + b"\x03\x02" + record([]),
    "header-only": GUID + b"\x01\x01",
    "cut-in-the-version": GUID + b"\x01",
    "wrong-identifier": bytes([0x4B]) + GUID[1:] + b"\x01\x01" + record([]),
    "damaged-record": GUID + b"\x01\x01" + WORKED[:-1],
    "longer-than-32768": GUID + b"\x01\x01" + record([([1, 2, 3, 4], 502, 0, [7] * (32769 - 18 - 21))]),
}.items():
    write("settingsfile", name, data)

# control: 0 + request body, 1 + response body, 2 + a stream of length-prefixed frames.
def body(op, fields, version=1):
    return struct.pack("<HH", version, op) + fields


def le32(n):
    return struct.pack("<I", n)


def u16s(text):
    raw = text.encode("utf-16-le")
    return le32(len(raw)) + raw


PORT_IO = body(9, u16s("COM1") + le32(0x001B9C40) + le32(len(WORKED)) + WORKED + le32(0))
for name, data in {
    "get-class-devs": b"\x00" + body(1, b"\x01" + b"\x00" * 16 + le32(2)),
    "port-io-control": b"\x00" + PORT_IO,
    "string-of-odd-length": b"\x00" + body(9, le32(3) + b"COM" + le32(0) + le32(0) + le32(0)),
    "bool-2": b"\x00" + body(1, b"\x02" + b"\x00" * 16 + le32(2)),
    "trailing-byte": b"\x00" + body(3, struct.pack("<Q", 1) + b"\x00"),
    "cut-short": b"\x00" + PORT_IO[:-3],
    "add-port": b"\x00" + body(101, u16s("COM7")),
    "port-list-response": b"\x01" + struct.pack("<HHI", 1, 100, 0) + le32(1) + u16s("COM1") + u16s("ROOT\\PORTS\\0000")
    + u16s("/dev/pts/3") + b"\x01\x00" + le32(len(WORKED)) + WORKED,
    "port-list-count-beyond-the-data": b"\x01" + struct.pack("<HHI", 1, 100, 0) + le32(0xFFFFFFFF),
    "two-frames": b"\x02" + le32(len(PORT_IO)) + PORT_IO + le32(4) + body(100, b""),
    "frame-over-the-limit": b"\x02" + le32((1 << 20) + 1) + PORT_IO,
    "cut-frame": b"\x02" + le32(len(PORT_IO) + 10) + PORT_IO,
}.items():
    write("control", name, data)

# assembler: silence byte (1000 + 50 x it microseconds), then ops 0 read (advance, length,
# bytes), 1 pause (extra ms), 2 RTU frame (two bytes, length, bytes), 3 ASCII frame (how, first
# byte, bytes), 4 flood (kilobytes - 1, pattern length - 1, pattern), 5 look (advance), 6 close.
def read(data, advance=0):
    return bytes([0, advance, len(data)]) + data


def rtu_op(content):
    return bytes([2, content[0], content[1], len(content) - 2]) + bytes(content[2:])


def ascii_op(content, lower=False):
    return bytes([3, (len(content) - 1) | (0x80 if lower else 0), content[0]]) + bytes(content[1:])


PAUSE = b"\x01\x00"
S = b"\x3C"  # 4 ms of silence
for name, data in {
    "ascii-without-cr-lf-then-rtu": S + read(b":0103") + rtu_op([1, 3, 0, 0, 0, 0x0A]),
    "ascii-without-cr-lf-pause-rtu": S + read(b":0103") + PAUSE + rtu_op([1, 3, 0, 0, 0, 0x0A]) + PAUSE,
    "ascii-without-cr-lf-pause-rtu-device-65": S + read(b":0103") + PAUSE + rtu_op([0x41, 3, 0, 0, 0, 1]) + PAUSE,
    "ascii-cr-pause-rtu-device-10": S + read(b":0103\r") + PAUSE + rtu_op([0x0A, 3, 0, 0, 0, 1]) + PAUSE,
    "ascii-wrong-lrc-then-ascii": S + read(ascii_frame(READ)[:-4] + b"F3\r\n") + ascii_op(READ),
    "rtu-piece-then-ascii": S + read(bytes([1, 3, 0])) + ascii_op(READ),
    "rtu-for-device-58": S + PAUSE + rtu_op([0x3A, 3, 0, 0, 0, 1]) + PAUSE,
    "ascii-frames-back-to-back": S + ascii_op(READ) + ascii_op(READ, lower=True) + ascii_op([1, 6, 0, 1, 0, 3]),
    "oversize-held-input": S + bytes([4, 255, 2, 1, 2, 3]) + PAUSE + rtu_op([1, 3, 0, 0, 0, 0x0A]) + PAUSE,
    "oversize-ascii-text": S + read(b":") + bytes([4, 80, 1]) + b"41" + PAUSE + ascii_op(READ),
    "request-byte-by-byte": S + b"".join(read(bytes([b]), 2) for b in rtu(READ)) + b"\x05\x50",
    "closed-while-held": S + read(b":0103") + b"\x06" + read(bytes([1, 3])) + b"\x06",
    "ascii-cr-then-ascii-frame-then-more": S + read(b":A4\r") + ascii_op([0x7A, 0x0C, 0xBD, 0xA3]) + read(b"34eb\x01"),
}.items():
    write("assembler", name, data)
