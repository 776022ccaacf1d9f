#!/usr/bin/env python3
"""Writes the seeds of fuzz_receive_stream from the block seeds of fuzz_parse_dc9: each block behind its
two setting bytes and a cut byte, and streams of several blocks back to back, with noise between.
Run: tests/fuzz/make_stream_seeds.py tests/fuzz/corpus tests/fuzz/corpus_stream"""
import os
import sys


def main():
    blocks_dir, out = sys.argv[1], sys.argv[2]
    os.makedirs(out, exist_ok=True)
    names = sorted(os.listdir(blocks_dir))
    blocks = {n: open(os.path.join(blocks_dir, n), "rb").read() for n in names}
    for i, (name, data) in enumerate(blocks.items()):
        settings, body = data[:2], data[2:]
        cut = bytes([(i * 29 + 3) & 0xFF])
        open(os.path.join(out, "one_" + name), "wb").write(settings + cut + body)
    # Three blocks of the same settings in one stream, then with CR LF and garbage between them.
    by_settings = {}
    for name, data in blocks.items():
        by_settings.setdefault(data[:2], []).append(data[2:])
    k = 0
    for settings, bodies in sorted(by_settings.items()):
        if len(bodies) < 3:
            continue
        three = bodies[:3]
        open(os.path.join(out, "three_%02d" % k), "wb").write(settings + bytes([7]) + b"".join(three))
        noisy = three[0] + b"\r\n" + b"garbage\n0000FFFF\"" + three[1] + b"\x00\n" + three[2]
        open(os.path.join(out, "noisy_%02d" % k), "wb").write(settings + bytes([0x45]) + noisy)
        k += 1


if __name__ == "__main__":
    main()
