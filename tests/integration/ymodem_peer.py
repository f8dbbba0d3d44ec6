#!/usr/bin/env python3
"""A scripted YMODEM sender on stdin/stdout: one small file per name given,
whatever the names say (hostile ones included), then the end of the batch.
Each file holds its own index and name, so that a receiver's result shows
which header it came from. Exits 0 when every block was acknowledged."""
import binascii
import os
import select
import sys

SOH, EOT, ACK, NAK, CAN = 1, 4, 6, 0x15, 0x18


def byte(timeout=15.0):
    if not select.select([0], [], [], timeout)[0]:
        sys.exit("ymodem_peer: time-out")
    b = os.read(0, 1)
    if not b:
        sys.exit("ymodem_peer: line closed")
    return b[0]


def wait_for(*wanted):
    while True:
        b = byte()
        if b in wanted:
            return b
        if b == CAN:
            sys.exit("ymodem_peer: cancelled")


def block(number, data):
    data = data.ljust(128, b"\0" if number == 0 else b"\x1a")
    crc = binascii.crc_hqx(data, 0)
    os.write(1, bytes([SOH, number, 255 - number]) + data + bytes([crc >> 8, crc & 0xFF]))
    if wait_for(ACK, NAK) != ACK:
        sys.exit("ymodem_peer: block %d refused" % number)


for index, name in enumerate(sys.argv[1:]):
    content = ("%d:%s\n" % (index, name)).encode()
    wait_for(ord("C"))
    block(0, name.encode() + b"\0" + b"%d 0 0" % len(content))
    wait_for(ord("C"))
    block(1, content)
    os.write(1, bytes([EOT]))
    wait_for(ACK)
wait_for(ord("C"))
block(0, b"")
