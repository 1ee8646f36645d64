"""A Modbus server on 127.0.0.1 for the link tests, built on pymodbus's framers and datastore.

Listens on a port the system assigns and prints "PORT <n>" once it accepts connections. With
--framer rtu it speaks RTU frames over TCP (the peer of a raw connection); with tcp, Modbus TCP.
Holding register i holds 0x2A + i on every unit. Runs until its standard input closes.
"""
import argparse
import asyncio
import logging
import sys

from pymodbus.datastore import ModbusSequentialDataBlock, ModbusServerContext, ModbusSlaveContext
from pymodbus.factory import ServerDecoder
from pymodbus.framer.rtu_framer import ModbusRtuFramer
from pymodbus.framer.socket_framer import ModbusSocketFramer


def make_handler(context, framer_class):
    async def handle(reader, writer):
        framer = framer_class(ServerDecoder(), client=None)

        def execute(request):
            response = request.execute(context[request.unit_id])
            response.transaction_id = request.transaction_id
            response.unit_id = request.unit_id
            writer.write(framer.buildPacket(response))

        try:
            while True:
                data = await reader.read(4096)
                if not data:
                    break
                framer.processIncomingPacket(data=data, callback=execute, unit=[0], single=True)
                await writer.drain()
        except ConnectionError:
            pass
        finally:
            writer.close()

    return handle


async def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--framer", choices=("tcp", "rtu"), default="tcp")
    args = parser.parse_args()
    logging.disable(logging.CRITICAL)

    block = ModbusSequentialDataBlock(0, [0x2A + i for i in range(100)])
    context = ModbusServerContext(slaves=ModbusSlaveContext(hr=block, zero_mode=True), single=True)
    framer = ModbusRtuFramer if args.framer == "rtu" else ModbusSocketFramer
    server = await asyncio.start_server(make_handler(context, framer), "127.0.0.1", 0)
    print("PORT", server.sockets[0].getsockname()[1], flush=True)

    await asyncio.get_running_loop().run_in_executor(None, sys.stdin.read)
    server.close()
    await server.wait_closed()


if __name__ == "__main__":
    asyncio.run(main())
