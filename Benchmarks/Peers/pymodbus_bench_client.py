#!/usr/bin/python3
"""A pymodbus serial client for the benchmarks.

Usage: pymodbus_bench_client.py rtu|ascii PORT COUNT RESULTS

Opens PORT at 19200 baud, 8N1 (pyserial cannot open a pty asked for parity),
prints READY, reads holding registers 0..9 of unit 1 COUNT times back to back
and writes one line per transaction to RESULTS: the cycle in microseconds, or
"error". pymodbus 3.0.0's serial client needs a timeout of 1 s or more to see
any reply at all.
"""

import logging
import sys
import time

from pymodbus.client import ModbusSerialClient
from pymodbus.transaction import ModbusAsciiFramer, ModbusRtuFramer


def main(argv):
    if len(argv) != 5 or argv[1] not in ("rtu", "ascii"):
        print("usage: pymodbus_bench_client.py rtu|ascii PORT COUNT RESULTS", file=sys.stderr)
        return 2
    logging.basicConfig(stream=sys.stderr, level=logging.CRITICAL)
    framer = ModbusRtuFramer if argv[1] == "rtu" else ModbusAsciiFramer
    client = ModbusSerialClient(port=argv[2], framer=framer, baudrate=19200, bytesize=8,
                                parity="N", stopbits=1, timeout=1.5)
    if not client.connect():
        print(f"pymodbus_bench_client: cannot open {argv[2]}", file=sys.stderr)
        return 1
    print("READY", flush=True)
    lines = []
    for _ in range(int(argv[3])):
        start = time.perf_counter()
        reply = client.read_holding_registers(0, 10, unit=1)
        end = time.perf_counter()
        ok = reply is not None and not reply.isError() and len(reply.registers) == 10
        lines.append(f"{(end - start) * 1e6:.1f}" if ok else "error")
    client.close()
    with open(argv[4], "w") as results:
        results.write("\n".join(lines) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
