#!/usr/bin/env python3
"""A hostile host on the recorder's LAN, for the end-to-end tests: it holds an address (the
recorder's, or its own) and sends TFTP at the PC's port 69. It never waits for an answer, as a
blind attacker would not get one. Every mode is bounded by its count and its seconds."""
import argparse
import socket
import struct
import time


def read_request(name):
    return struct.pack("!H", 1) + name.encode() + b"\0octet\0"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("mode", choices=["ack-sweep", "read-requests"])
    parser.add_argument("--source", required=True, help="the address the datagrams come from")
    parser.add_argument("--server", required=True)
    parser.add_argument("--name", default="")
    parser.add_argument("--count", type=int, default=1, help="read requests, each from a new port")
    parser.add_argument("--blocks", type=int, default=1, help="a sweep acknowledges 1 to this")
    parser.add_argument("--seconds", type=float, default=1.0)
    args = parser.parse_args()
    end = time.monotonic() + args.seconds
    if args.mode == "ack-sweep":
        # One port, acknowledging every block in turn, again and again, a millisecond apart.
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
            sock.bind((args.source, 0))
            while time.monotonic() < end:
                for block in range(1, args.blocks + 1):
                    sock.sendto(struct.pack("!HH", 4, block & 0xFFFF), (args.server, 69))
                    time.sleep(0.001)
                    if time.monotonic() >= end:
                        break
        return
    gap = args.seconds / max(args.count, 1)
    for _ in range(args.count):
        if time.monotonic() >= end:
            break
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
            sock.bind((args.source, 0))
            sock.sendto(read_request(args.name), (args.server, 69))
        time.sleep(gap)


if __name__ == "__main__":
    main()
