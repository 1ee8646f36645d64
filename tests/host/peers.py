#!/usr/bin/python3
"""Modbus peers for the host's end-to-end tests, on pymodbus.

  peers.py server [UNIT]           a Modbus TCP server on 127.0.0.1 (a free port, printed as
                                   "listening on 127.0.0.1:PORT"); holding register a = 7000 + a
  peers.py read rtu|ascii DEVICE UNIT ADDRESS COUNT
                                   reads holding registers through a serial device and prints them
                                   (or "exception CODE" for an exception reply)
  peers.py twice DEVICE UNIT GOFILE
                                   with the device open throughout: reads registers 0-1, waits
                                   for GOFILE to exist, reads them again (up to three tries)
"""
import asyncio
import sys
import types

# pymodbus's server module imports serial_asyncio for its serial servers, which these tests do not
# use; Debian packages that module separately.
try:
    import serial_asyncio  # noqa: F401
except ImportError:
    sys.modules["serial_asyncio"] = types.SimpleNamespace(create_serial_connection=None)

from pymodbus.datastore import ModbusSequentialDataBlock, ModbusServerContext, ModbusSlaveContext


def server(unit):
    from pymodbus.server.async_io import ModbusTcpServer

    block = ModbusSequentialDataBlock(0, [7000 + a for a in range(200)])
    store = ModbusSlaveContext(hr=block, ir=block, co=ModbusSequentialDataBlock(0, [0] * 200),
                               di=ModbusSequentialDataBlock(0, [0] * 200), zero_mode=True)
    context = ModbusServerContext(slaves={unit: store}, single=False)

    async def run():
        srv = ModbusTcpServer(context, address=("127.0.0.1", 0))
        task = asyncio.ensure_future(srv.serve_forever())
        while srv.server is None:
            await asyncio.sleep(0.01)
        port = srv.server.sockets[0].getsockname()[1]
        print("listening on 127.0.0.1:%d" % port, flush=True)
        await task

    asyncio.run(run())


def read(mode, device, unit, address, count):
    from pymodbus.client import ModbusSerialClient
    from pymodbus.transaction import ModbusAsciiFramer, ModbusRtuFramer

    framer = ModbusAsciiFramer if mode == "ascii" else ModbusRtuFramer
    client = ModbusSerialClient(port=device, framer=framer, baudrate=19200, bytesize=8, parity="N",
                                stopbits=1, timeout=5)
    if not client.connect():
        print("cannot open", device)
        return 1
    try:
        rr = client.read_holding_registers(address, count, slave=unit)
        if rr.isError():
            code = getattr(rr, "exception_code", None)
            print("exception %d" % code if code else "error %s" % rr)
            return 1
        print(" ".join(str(r) for r in rr.registers))
        return 0
    finally:
        client.close()


def twice(device, unit, go):
    import os
    import time

    from pymodbus.client import ModbusSerialClient

    client = ModbusSerialClient(port=device, baudrate=9600, timeout=5)
    client.connect()
    rr = client.read_holding_registers(0, 2, slave=unit)
    print("first", "error" if rr.isError() else rr.registers, flush=True)
    while not os.path.exists(go):
        time.sleep(0.05)
    for attempt in range(3):
        rr = client.read_holding_registers(0, 2, slave=unit)
        if not rr.isError():
            break
    print("second", attempt, "error" if rr.isError() else rr.registers, flush=True)
    client.close()


if __name__ == "__main__":
    if sys.argv[1] == "server":
        server(int(sys.argv[2]) if len(sys.argv) > 2 else 1)
    elif sys.argv[1] == "read":
        sys.exit(read(sys.argv[2], sys.argv[3], int(sys.argv[4]), int(sys.argv[5]), int(sys.argv[6])))
    elif sys.argv[1] == "twice":
        twice(sys.argv[2], int(sys.argv[3]), sys.argv[4])
