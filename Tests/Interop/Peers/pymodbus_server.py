#!/usr/bin/python3
"""A pymodbus serial server for the interop tests.

Usage: pymodbus_server.py rtu|ascii PORT UNIT

Serves one unit at 19200 baud, 8 data bits, parity none, 1 stop bit (a pty
keeps no parity, and pyserial fails to open one that is asked for it). Prints
READY on stdout once the port is open; logs go to stderr. Stops on SIGTERM.

The data map, the same as the libmodbus peer's (ClientInteropTest.cpp checks
against these formulas):
  coils           0..99   coil i is on when i % 3 == 0
  discrete inputs 0..99   input i is on when i % 5 in (1, 2)
  holding regs    0..99   1000 + i
  input regs      0..99   2000 + i
Every address from 100 on is outside the map: pymodbus answers such a request
with exception code 2 (illegal data address). Requests to another unit get no
reply; broadcasts (address 0) are carried out without one.
"""

import asyncio
import logging
import signal
import sys

from pymodbus.datastore import (
    ModbusSequentialDataBlock,
    ModbusServerContext,
    ModbusSlaveContext,
)
from pymodbus.server import StartAsyncSerialServer
from pymodbus.transaction import ModbusAsciiFramer, ModbusRtuFramer

SIZE = 100


def make_context(unit):
    # zero_mode: without it pymodbus adds 1 to every wire address before it
    # looks into a block, so wire address 0 would read the block's second value.
    slave = ModbusSlaveContext(
        co=ModbusSequentialDataBlock(0, [i % 3 == 0 for i in range(SIZE)]),
        di=ModbusSequentialDataBlock(0, [i % 5 in (1, 2) for i in range(SIZE)]),
        hr=ModbusSequentialDataBlock(0, [1000 + i for i in range(SIZE)]),
        ir=ModbusSequentialDataBlock(0, [2000 + i for i in range(SIZE)]),
        zero_mode=True,
    )
    return ModbusServerContext(slaves={unit: slave}, single=False)


async def serve(mode, port, unit):
    framer = ModbusRtuFramer if mode == "rtu" else ModbusAsciiFramer
    server = await StartAsyncSerialServer(
        context=make_context(unit),
        framer=framer,
        port=port,
        baudrate=19200,
        bytesize=8,
        parity="N",
        stopbits=1,
        # A request to another unit is not for us: stay silent, as a real
        # device on a shared line does.
        ignore_missing_slaves=True,
        # Carry out writes to address 0 without answering; without it pymodbus
        # takes 0 for a unit it does not serve.
        broadcast_enable=True,
        defer_start=True,
    )
    # start() raises only for a pyserial error and swallows the rest; a port
    # that did not open leaves no transport behind.
    await server.start()
    if server.transport is None:
        print(f"pymodbus_server: cannot open {port}", file=sys.stderr)
        return 1

    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, stop.set)
    print("READY", flush=True)
    await stop.wait()
    # pymodbus logs the cancelling of its port handler as an error; on a
    # requested stop that is no news.
    logging.getLogger("pymodbus").setLevel(logging.CRITICAL)
    await server.shutdown()
    return 0


def main(argv):
    if len(argv) != 4 or argv[1] not in ("rtu", "ascii"):
        print("usage: pymodbus_server.py rtu|ascii PORT UNIT", file=sys.stderr)
        return 2
    try:
        unit = int(argv[3])
    except ValueError:
        unit = -1
    if not 1 <= unit <= 247:
        print(f"pymodbus_server: bad unit address '{argv[3]}'", file=sys.stderr)
        return 2
    logging.basicConfig(stream=sys.stderr, level=logging.WARNING)
    return asyncio.run(serve(argv[1], argv[2], unit))


if __name__ == "__main__":
    sys.exit(main(sys.argv))
