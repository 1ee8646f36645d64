#!/usr/bin/python3
"""A Modbus TCP server on 127.0.0.1 that misbehaves on purpose, for the end-to-end tests.

Serves unit 1, function 3 only, and answers even broadcasts. The first register asked for chooses how it answers; register
a holds 0x4000 + a. It prints "listening on 127.0.0.1:PORT" and, for the late answer, "late
sent" once that answer has gone out.
"""
import socket
import struct
import sys
import threading
import time

NORMAL, TWICE, BYTEWISE, MERGED, WRONG_ID, LEN0, LEN1, LEN2, LEN65535, PROTOCOL1, OTHER_UNIT, SILENT, \
    CLOSE_MID, LATE = range(1, 15)


def answer(tid, unit, address, count, protocol=0):
    values = b"".join(struct.pack(">H", (0x4000 + address + i) & 0xFFFF) for i in range(count))
    pdu = bytes([unit, 3, 2 * count]) + values
    return struct.pack(">HHH", tid, protocol, len(pdu)) + pdu


def header(tid, length, content=b""):
    return struct.pack(">HHH", tid, 0, length) + content


def serve(conn):
    held = b""
    buffer = b""
    with conn:
        while True:
            data = conn.recv(4096)
            if not data:
                return
            buffer += data
            while len(buffer) >= 6:
                length = struct.unpack(">H", buffer[4:6])[0]
                if len(buffer) < 6 + length:
                    break
                request, buffer = buffer[:6 + length], buffer[6 + length:]
                # The transaction id is echoed as it came, in whatever byte order.
                tid = struct.unpack(">H", request[0:2])[0]
                unit, function = request[6], request[7]
                address, count = struct.unpack(">HH", request[8:12])
                reply = answer(tid, unit, address, count)
                if unit == 0:
                    # Answered as a server that takes unit 0 for itself would; a serial master
                    # never expects it.
                    print("broadcast function %d" % function, flush=True)
                if held:
                    reply, held = held + reply, b""
                    conn.sendall(reply)
                    continue
                if address == NORMAL or function != 3:
                    conn.sendall(reply)
                elif address == TWICE:
                    # Back to back, so the copy is there before the program can write again.
                    conn.sendall(reply)
                    conn.sendall(reply)
                elif address == BYTEWISE:
                    for b in reply:
                        conn.sendall(bytes([b]))
                        time.sleep(0.005)
                elif address == MERGED:
                    held = reply
                elif address == WRONG_ID:
                    conn.sendall(answer(tid ^ 0x0101, unit, address, count))
                elif address == LEN0:
                    conn.sendall(header(tid, 0))
                elif address == LEN1:
                    conn.sendall(header(tid, 1, bytes([unit])))
                elif address == LEN2:
                    conn.sendall(header(tid, 2, bytes([unit, 3])))
                elif address == LEN65535:
                    conn.sendall(header(tid, 65535, reply[6:]))
                elif address == PROTOCOL1:
                    conn.sendall(answer(tid, unit, address, count, protocol=1))
                elif address == OTHER_UNIT:
                    conn.sendall(answer(tid, unit + 1, address, count))
                elif address == SILENT:
                    pass
                elif address == CLOSE_MID:
                    conn.sendall(reply[:len(reply) // 2])
                    conn.shutdown(socket.SHUT_RDWR)
                    return
                elif address == LATE:
                    def late(reply=reply):
                        time.sleep(1.0)
                        conn.sendall(reply)
                        print("late sent", flush=True)
                    threading.Thread(target=late, daemon=True).start()


def main():
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(8)
    print("listening on 127.0.0.1:%d" % listener.getsockname()[1], flush=True)
    while True:
        conn, _ = listener.accept()
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        threading.Thread(target=serve, args=(conn,), daemon=True).start()


if __name__ == "__main__":
    sys.exit(main())
