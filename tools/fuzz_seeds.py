#!/usr/bin/env python3
"""Seeds for fuzz/stream_rx_fuzz.cpp from emulator traces.

    python3 tools/fuzz_seeds.py OUTDIR TRACE...

Every peripheral-to-host packet of a trace (the P>H lines) is rebuilt as
bytes: data for the channel's socket goes to the fuzzer's stream channel
(host socket 0x80, socket 2) with a counting payload, commands and replies
keep their fields with the host socket id mapped the same way. Runs of
consecutive packets become seeds, each followed by the settings the fuzzer
takes from the end of its input (ring, packet size, credit, pieces, steps).
"""
import os
import re
import sys

COMMANDS = {
    "MLC_CREDIT": 0x03, "MLC_CREDIT_REQUEST": 0x04, "MLC_DEBIT": 0x05,
    "MLC_INIT_REPLY": 0x80, "MLC_OPEN_CHANNEL_REPLY": 0x81, "MLC_CLOSE_CHANNEL_REPLY": 0x82,
    "MLC_CREDIT_REPLY": 0x83, "MLC_CREDIT_REQUEST_REPLY": 0x84, "MLC_CONFIG_SOCKET_REPLY": 0x87,
    "MLC_EXIT_REPLY": 0x88, "MLC_ERROR": 0x7F,
}


def fields(line):
    return {k: v for k, v in re.findall(r"(\w+)=(\w+)", line)}


def u16(v):
    return [(v >> 8) & 0xFF, v & 0xFF]


def packet(line):
    f = fields(line)
    words = line.split()
    name = words[2]
    if name == "DATA":
        n = int(f["payload"])
        payload = [i & 0xFF for i in range(n)]
        return [0x80, 2] + u16(n + 6) + [int(f.get("credit", "0")), 0] + payload
    if name not in COMMANDS:
        return None
    body = [COMMANDS[name]]
    if name in ("MLC_CREDIT", "MLC_CREDIT_REQUEST", "MLC_DEBIT"):
        body += [0x80, 2] + u16(int(f.get("credit", "0")))
    elif name == "MLC_CREDIT_REQUEST_REPLY":
        body += [int(f.get("result", "0"), 16)] + u16(int(f.get("credit", "0")))
    elif name == "MLC_OPEN_CHANNEL_REPLY":
        body += [int(f.get("result", "0"), 16)] + u16(int(f.get("credit", "0")))
    elif name == "MLC_ERROR":
        body += [int(f.get("code", "0"))]
    elif name == "MLC_INIT_REPLY":
        body += [int(f.get("result", "0"), 16), int(f.get("rev", "3"))]
    elif name == "MLC_CONFIG_SOCKET_REPLY":
        body += [0, 0x10, 0x0C, 0x04, 0x06, 0]
    else:
        body += [int(f.get("result", "0"), 16)]
    return [0, 0] + u16(len(body) + 6) + [0, 0] + body


def settings(ring, ptoh, credit, pieces, steps):
    """The fuzzer's integral settings, in the order it takes them from the end."""
    tail = []

    def put(value, nbytes):  # taken from the end, most significant first
        for i in range(nbytes):
            tail.insert(0, (value >> (8 * (nbytes - 1 - i))) & 0xFF)

    put(ring - 1, 2)
    put(ptoh - 1, 2)
    put(credit, 2)
    put(len(pieces), 1)
    for p in pieces:
        put(p, 2)
    put(len(steps), 1)
    return steps, tail


def main():
    out, traces = sys.argv[1], sys.argv[2:]
    os.makedirs(out, exist_ok=True)
    packets = []
    for t in traces:
        with open(t, errors="replace") as fh:
            for line in fh:
                if " P>H " in line:
                    p = packet(line)
                    if p:
                        packets.append(p)
    variants = [  # ring, packet size, host credit, pieces, steps
        (8192, 1024, 4, [], [0]),
        (4096, 1024, 0, [3, 1, 7, 200], [0, 1, 0, 2]),
        (2500, 1024, 65535, [6], [0, 5]),
        (1024, 1024, 1, [1], [0, 1, 2]),
    ]
    n = 0
    for start in range(0, len(packets), 8):
        run = packets[start:start + 8]
        wire = [b for p in run for b in p]
        ring, ptoh, credit, pieces, steps = variants[n % len(variants)]
        front, tail = settings(ring, ptoh, credit, pieces, steps)
        with open(os.path.join(out, "trace-%03d" % n), "wb") as fh:
            fh.write(bytes(front + wire + tail))
        n += 1
    print("%d seeds from %d packets" % (n, len(packets)))


if __name__ == "__main__":
    main()
