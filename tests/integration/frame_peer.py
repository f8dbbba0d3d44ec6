#!/usr/bin/python3
"""Frame peer: writes the frames of tests/integration/frame_stream.h (same
generator, same seed) to the far end of the virtual line.

  frame_peer.py PEER_PATH MODE COUNT SEED BAUD GAP_MS

Delimited and fixed frames go as one stream in random chunks. Idle-gap and
Modbus frames are written whole, each after the previous one's time on the
line (10 bits a byte at BAUD) and GAP_MS of silence; the bridge paces the
bytes at the line's speed. Prints the time the writing took."""
import os
import sys
import time

DELIMITER, FIXED, IDLE, MODBUS = 1, 2, 3, 4


class Rng:
    def __init__(self, seed):
        self.x = seed or 1

    def next(self):
        x = self.x
        x ^= (x << 13) & 0xFFFFFFFF
        x ^= x >> 17
        x ^= (x << 5) & 0xFFFFFFFF
        self.x = x
        return x


def crc16(data):
    crc = 0xFFFF
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


def frames(mode, count, seed):
    rng = Rng(seed)
    out = []
    for _ in range(count):
        if mode == DELIMITER:
            length = rng.next() % 91
        elif mode == FIXED:
            length = 37
        elif mode == IDLE:
            length = 1 + rng.next() % 80
        else:
            length = 2 + rng.next() % 40
        data = bytearray()
        for _ in range(length):
            b = rng.next() & 0xFF
            if mode == DELIMITER and b == 0x0D:
                b = 0x0E
            data.append(b)
        if mode == MODBUS:
            crc = crc16(data)
            data += bytes([crc & 0xFF, crc >> 8])
            if rng.next() % 8 == 0:
                data[-1] ^= 0x5A
        if mode == DELIMITER:
            data += b"\r\n"
        out.append(bytes(data))
    return out


def write_all(fd, data):
    while data:
        data = data[os.write(fd, data):]


def main():
    path, mode, count, seed, baud, gap_ms = sys.argv[1:7]
    mode, count, seed, baud, gap = int(mode), int(count), int(seed), int(baud), float(gap_ms) / 1000
    fd = os.open(path, os.O_WRONLY | os.O_NOCTTY)
    start = time.monotonic()
    if mode in (DELIMITER, FIXED):
        stream = b"".join(frames(mode, count, seed))
        chunks = Rng(seed ^ 0x9E3779B9)
        at = 0
        while at < len(stream):
            n = 1 + chunks.next() % 256
            write_all(fd, stream[at:at + n])
            at += n
            if chunks.next() % 5 == 0:
                time.sleep(0.001)
    else:
        char = 10.0 / baud
        for frame in frames(mode, count, seed):
            write_all(fd, frame)
            time.sleep(len(frame) * char + gap)
    os.close(fd)
    print("frame_peer: mode %d, %d frames in %.1f s" % (mode, count, time.monotonic() - start))


if __name__ == "__main__":
    main()
