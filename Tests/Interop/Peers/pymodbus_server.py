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

Beyond the data map (ClientDiagnosticsInteropTest.cpp checks against these):
  Report Server ID   the identity below, joined by "-" ("Quorvel-QVPEER-3.0"),
                     then the run indicator 0xFF
  diagnostics        pymodbus's serial server never counts anything, so its
                     counters are preset to tell them apart: bus messages 11,
                     bus communication errors 0, exception errors 13, server
                     messages 14, no-response 0, NAK 16, busy 0, character
                     overruns 18; diagnostic register bits 0, 2 and 9 set.
                     Read Exception Status answers one bit per non-zero
                     counter: 0xAD.
  file records       files 1 to 3, records 0 to 9999; record r of file f
                     starts as 10000 * f + r. Another file or record is
                     answered with exception code 2. pymodbus 3.0.0 decodes
                     Read and Write File Record requests but serves neither
                     (a read gets an empty reply, a write is echoed and
                     dropped), and encodes a read reply's sub-response header
                     wrongly; this peer keeps its request decoders and carries
                     the requests out itself.
"""

import asyncio
import logging
import signal
import struct
import sys

from pymodbus.datastore import (
    ModbusSequentialDataBlock,
    ModbusServerContext,
    ModbusSlaveContext,
)
from pymodbus.device import ModbusControlBlock, ModbusDeviceIdentification
from pymodbus.file_message import (
    ReadFileRecordRequest,
    ReadFileRecordResponse,
    WriteFileRecordRequest,
    WriteFileRecordResponse,
)
from pymodbus.pdu import ModbusExceptions
from pymodbus.server import StartAsyncSerialServer
from pymodbus.transaction import ModbusAsciiFramer, ModbusRtuFramer

SIZE = 100

IDENTITY = {"VendorName": "Quorvel", "ProductCode": "QVPEER", "MajorMinorRevision": "3.0"}
COUNTERS = {
    "BusMessage": 11,
    "BusCommunicationError": 0,
    "BusExceptionError": 13,
    "SlaveMessage": 14,
    "SlaveNoResponse": 0,
    "SlaveNAK": 16,
    "SlaveBusy": 0,
    "BusCharacterOverrun": 18,
}
DIAGNOSTIC_BITS = (0, 2, 9)

FILES = (1, 2, 3)
RECORDS = 10000
# (file, record) -> value, for the records written so far.
written_records = {}


def record_value(file_number, record_number):
    return written_records.get((file_number, record_number), 10000 * file_number + record_number)


def records_exist(record):
    return (
        record.file_number in FILES
        and record.record_number + record.record_length <= RECORDS
        and record.record_length > 0
    )


class FileReadReply(ReadFileRecordResponse):
    """Read File Record reply: per sub-response its byte length (the reference
    type and the data), the reference type 6, then the registers."""

    def encode(self):
        packet = b""
        for record in self.records:
            packet += struct.pack(">BB", len(record.record_data) + 1, 0x06) + record.record_data
        return struct.pack(">B", len(packet)) + packet


class FileReadRequest(ReadFileRecordRequest):
    """Read File Record carried out against the file store."""

    def execute(self, context):  # pylint: disable=unused-argument
        if not self.records or not all(records_exist(r) for r in self.records):
            return self.doException(ModbusExceptions.IllegalAddress)
        for record in self.records:
            record.record_data = b"".join(
                struct.pack(">H", record_value(record.file_number, record.record_number + i))
                for i in range(record.record_length)
            )
        return FileReadReply(self.records)


class FileWriteRequest(WriteFileRecordRequest):
    """Write File Record carried out against the file store; the reply echoes it."""

    def execute(self, context):  # pylint: disable=unused-argument
        if not self.records or not all(records_exist(r) for r in self.records):
            return self.doException(ModbusExceptions.IllegalAddress)
        for record in self.records:
            for i in range(record.record_length):
                (value,) = struct.unpack(">H", record.record_data[2 * i : 2 * i + 2])
                written_records[(record.file_number, record.record_number + i)] = value
        return WriteFileRecordResponse(self.records)


def preset_control_block():
    control = ModbusControlBlock()
    for name, value in COUNTERS.items():
        setattr(control.Counter, name, value)
    control.setDiagnostic({bit: True for bit in DIAGNOSTIC_BITS})


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
        identity=ModbusDeviceIdentification(info_name=IDENTITY),
        defer_start=True,
    )
    server.decoder.register(FileReadRequest)
    server.decoder.register(FileWriteRequest)
    preset_control_block()
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
