#!/usr/bin/python3
"""A Modbus slave for the master's tests, made of pymodbus's own parts.

Run by Debian's own interpreter, where python3-pymodbus and python3-serial are installed.

pymodbus's framer takes each request off the serial line and frames each reply (its CRC or
LRC), its decoder reads the request, and the request's own execute() answers it from a
pymodbus datastore: ten holding registers at addresses 0 to 9, holding 100 to 109; an address
outside them is pymodbus's exception 2. Says "ready" on standard output once the device is
open, and serves until standard input closes.

Usage: modbus_slave.py DEVICE rtu|ascii [SLAVE]
"""

import select
import sys

import serial
from pymodbus.datastore import (
    ModbusSequentialDataBlock,
    ModbusServerContext,
    ModbusSlaveContext,
)
from pymodbus.factory import ServerDecoder
from pymodbus.transaction import ModbusAsciiFramer, ModbusRtuFramer


def main():
    device, mode = sys.argv[1], sys.argv[2]
    slave = int(sys.argv[3]) if len(sys.argv) > 3 else 5
    registers = ModbusSequentialDataBlock(0, list(range(100, 110)))
    store = ModbusSlaveContext(hr=registers, zero_mode=True)
    context = ModbusServerContext(slaves={slave: store}, single=False)
    framer_class = ModbusRtuFramer if mode == "rtu" else ModbusAsciiFramer
    framer = framer_class(ServerDecoder(), client=None)
    line = serial.Serial(device, baudrate=19200, timeout=0)

    def answer(request):
        response = request.execute(context[request.unit_id])
        response.transaction_id = request.transaction_id
        response.unit_id = request.unit_id
        line.write(framer.buildPacket(response))

    print("ready", flush=True)
    while True:
        readable, _, _ = select.select([line.fileno(), sys.stdin.fileno()], [], [])
        if sys.stdin.fileno() in readable and not sys.stdin.buffer.read1(4096):
            return
        if line.fileno() in readable:
            data = line.read(4096)
            if data:
                framer.processIncomingPacket(data, answer, unit=[slave], single=False)


if __name__ == "__main__":
    main()
