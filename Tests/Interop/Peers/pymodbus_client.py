#!/usr/bin/python3
"""A scripted pymodbus serial client for the interop tests.

Usage: pymodbus_client.py rtu|ascii PORT RESULTS REQUEST...

Opens PORT at 19200 baud, 8 data bits, parity none, 1 stop bit (a pty keeps
no parity, and pyserial fails to open one that is asked for it), prints READY
on stdout, sends each REQUEST in turn and writes one result line per request
to the file RESULTS. Exits with status 0 when every request has run, whatever
the replies were; 1 when the port does not open, 2 for a bad command line.
Logs go to stderr.

A REQUEST is one argument: an operation, the unit address and the operation's
arguments, separated by spaces. Numbers may be decimal or 0x hex; BITS is a
string of 0 and 1, VALUES a comma-separated list; "-" for either is none (a
request with quantity 0).
  read_coils UNIT START COUNT           read_discrete_inputs UNIT START COUNT
  read_holding_registers UNIT START COUNT
  read_input_registers UNIT START COUNT
  write_coil UNIT ADDR 0|1              write_register UNIT ADDR VALUE
  write_coils UNIT START BITS           write_registers UNIT START VALUES
  mask_write_register UNIT ADDR AND OR  read_exception_status UNIT
  diag_query_data UNIT VALUE            report_server_id UNIT
  write_read_registers UNIT READ_START READ_COUNT WRITE_START VALUES

A result line is a JSON object (the same lines as libmodbus_client.c's):
  {"bits":[1,0,...]}          bits read, as many as asked for
  {"registers":[...]}         registers read
  {"address":A,"value":V}     the echo of a single write
  {"address":A,"count":N}     the echo of a multiple write
  {"address":A,"and":M,"or":N}  the echo of a mask write
  {"data":V}                  the echo of a diagnostics query
  {"status":S}                the exception status byte
  {"identifier":"HEX"}        the server ID bytes, run indicator included
  {"exception":C}             an exception reply with code C
  {"broadcast":true}          a request to unit 0, sent without waiting
  {"error":"..."}             no reply, or one that does not fit the request
"""

import json
import logging
import sys
import time

from pymodbus.bit_read_message import ReadCoilsRequest, ReadDiscreteInputsRequest
from pymodbus.bit_write_message import WriteMultipleCoilsRequest, WriteSingleCoilRequest
from pymodbus.client import ModbusSerialClient
from pymodbus.diag_message import ReturnQueryDataRequest
from pymodbus.other_message import ReadExceptionStatusRequest, ReportSlaveIdRequest
from pymodbus.pdu import ExceptionResponse
from pymodbus.register_read_message import (
    ReadHoldingRegistersRequest,
    ReadInputRegistersRequest,
    ReadWriteMultipleRegistersRequest,
)
from pymodbus.register_write_message import (
    MaskWriteRegisterRequest,
    WriteMultipleRegistersRequest,
    WriteSingleRegisterRequest,
)
from pymodbus.transaction import ModbusAsciiFramer, ModbusRtuFramer

# pymodbus 3.0.0 sends the next request right after a broadcast; a real master
# leaves the servers a turnaround delay to carry the broadcast out first.
BROADCAST_TURNAROUND = 0.1


def number(text):
    return int(text, 0)


def values(text):
    if text == "-":
        return []
    return [number(v) for v in text.split(",")]


def bits(text):
    if text == "-":
        return []
    if not text or any(c not in "01" for c in text):
        raise ValueError(f"bad bit string '{text}'")
    return [c == "1" for c in text]


# Each operation: how many arguments it takes after the unit, how it builds the
# request (the pymodbus request classes take the server address as unit=).
OPERATIONS = {
    "read_coils": (2, lambda u, a: ReadCoilsRequest(number(a[0]), number(a[1]), unit=u)),
    "read_discrete_inputs": (
        2,
        lambda u, a: ReadDiscreteInputsRequest(number(a[0]), number(a[1]), unit=u),
    ),
    "read_holding_registers": (
        2,
        lambda u, a: ReadHoldingRegistersRequest(number(a[0]), number(a[1]), unit=u),
    ),
    "read_input_registers": (
        2,
        lambda u, a: ReadInputRegistersRequest(number(a[0]), number(a[1]), unit=u),
    ),
    "write_coil": (2, lambda u, a: WriteSingleCoilRequest(number(a[0]), bits(a[1])[0], unit=u)),
    "write_register": (
        2,
        lambda u, a: WriteSingleRegisterRequest(number(a[0]), number(a[1]), unit=u),
    ),
    "write_coils": (2, lambda u, a: WriteMultipleCoilsRequest(number(a[0]), bits(a[1]), unit=u)),
    "write_registers": (
        2,
        lambda u, a: WriteMultipleRegistersRequest(number(a[0]), values(a[1]), unit=u),
    ),
    "mask_write_register": (
        3,
        lambda u, a: MaskWriteRegisterRequest(number(a[0]), number(a[1]), number(a[2]), unit=u),
    ),
    "read_exception_status": (0, lambda u, a: ReadExceptionStatusRequest(unit=u)),
    "diag_query_data": (1, lambda u, a: ReturnQueryDataRequest(number(a[0]), unit=u)),
    "report_server_id": (0, lambda u, a: ReportSlaveIdRequest(unit=u)),
    "write_read_registers": (
        4,
        lambda u, a: ReadWriteMultipleRegistersRequest(
            read_address=number(a[0]),
            read_count=number(a[1]),
            write_address=number(a[2]),
            write_registers=values(a[3]),
            unit=u,
        ),
    ),
}


def parse(text):
    words = text.split()
    if not words or words[0] not in OPERATIONS:
        raise ValueError(f"unknown operation in '{text}'")
    argc, build = OPERATIONS[words[0]]
    if len(words) != argc + 2:
        raise ValueError(f"'{words[0]}' takes a unit and {argc} arguments: '{text}'")
    unit = number(words[1])
    if not 0 <= unit <= 247:
        raise ValueError(f"bad unit address in '{text}'")
    return build(unit, words[2:])


def describe(request, response):
    """The result line's object for a response to request."""
    if isinstance(response, bytes):
        # What pymodbus returns for a request to unit 0 with broadcast_enable.
        return {"broadcast": True}
    if isinstance(response, ExceptionResponse):
        # pymodbus decodes an exception reply by its own function code; one that
        # names another function is no answer to this request.
        if response.original_code != request.function_code:
            return {"error": f"exception reply for function {response.original_code}"}
        return {"exception": response.exception_code}
    if response is None or response.isError():
        return {"error": str(response)}
    if response.function_code != request.function_code:
        return {"error": f"reply for function {response.function_code}"}
    if hasattr(response, "bits"):
        # The reply carries whole bytes; pymodbus keeps the padding bits.
        return {"bits": [int(b) for b in response.bits[: request.count]]}
    if hasattr(response, "registers"):
        return {"registers": list(response.registers)}
    if isinstance(request, WriteSingleCoilRequest):
        return {"address": response.address, "value": int(response.value)}
    if isinstance(request, WriteSingleRegisterRequest):
        return {"address": response.address, "value": response.value}
    if isinstance(request, (WriteMultipleCoilsRequest, WriteMultipleRegistersRequest)):
        return {"address": response.address, "count": response.count}
    if isinstance(request, ReturnQueryDataRequest):
        return {"data": response.message[0] if response.message else None}
    if isinstance(request, ReadExceptionStatusRequest):
        return {"status": response.status}
    if isinstance(request, ReportSlaveIdRequest):
        # pymodbus 3.0.0 keeps the run indicator as the identifier's last byte.
        return {"identifier": response.identifier.hex()}
    if isinstance(request, MaskWriteRegisterRequest):
        return {"address": response.address, "and": response.and_mask, "or": response.or_mask}
    return {"error": f"unexpected reply {response}"}


def main(argv):
    if len(argv) < 4 or argv[1] not in ("rtu", "ascii"):
        print("usage: pymodbus_client.py rtu|ascii PORT RESULTS REQUEST...", file=sys.stderr)
        return 2
    try:
        requests = [parse(text) for text in argv[4:]]
    except ValueError as error:
        print(f"pymodbus_client: {error}", file=sys.stderr)
        return 2
    logging.basicConfig(stream=sys.stderr, level=logging.WARNING)

    client = ModbusSerialClient(
        argv[2],
        framer=ModbusRtuFramer if argv[1] == "rtu" else ModbusAsciiFramer,
        baudrate=19200,
        bytesize=8,
        parity="N",
        stopbits=1,
        # pymodbus keeps whole seconds only, and gets no reply below 1 s.
        timeout=2,
        # One attempt per request: a reply that needed a retry would hide a fault.
        retries=0,
        # Send requests to unit 0 without waiting for a reply.
        broadcast_enable=True,
    )
    if not client.connect():
        print(f"pymodbus_client: cannot open {argv[2]}", file=sys.stderr)
        return 1
    print("READY", flush=True)
    with open(argv[3], "w", encoding="ascii") as results:
        for request in requests:
            try:
                response = client.execute(request)
                line = describe(request, response)
            except Exception as error:  # pylint: disable=broad-except
                # A decoding failure inside pymodbus: report it, go on with the next.
                line = {"error": f"{type(error).__name__}: {error}"}
            results.write(json.dumps(line, separators=(",", ":")) + "\n")
            results.flush()
            if request.unit_id == 0:
                time.sleep(BROADCAST_TURNAROUND)
    client.close()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
