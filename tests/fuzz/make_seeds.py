#!/usr/bin/env python3
"""Writes the fuzz seed corpus: valid frames of every token, plain and encrypted, and the shared test
frames, each behind the two setting bytes the fuzz target reads (mode | synch << 2 | quirks << 3 |
utc << 6 | sia << 7, key index | keys per account << 7).
Run: tests/fuzz/make_seeds.py tests/data/dc09_frames.json <output dir>   (needs python3-cryptography)."""
import json
import os
import sys

from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

# Keep in step with fuzz_parse_dc9.cpp.
KEYS = [
    b"0123456789ABCDEF0123456789ABCDEF",
    bytes.fromhex("ABCD" * 16),
    b"A" * 32,
    bytes.fromhex("28376EF26E782E1A4A160E3276E5FB93") + bytes(16),
]
STAMP = "_12:00:00,01-01-2025"  # the fuzz target's clock


def crc16(data: bytes) -> int:
    crc = 0
    for b in data:
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if (crc ^ b) & 1 else crc >> 1
            b >>= 1
    return crc


def frame(body: bytes) -> bytes:
    return b"\n" + b"%04X%04X" % (crc16(body), len(body)) + body + b"\r"


def encrypt(plain: bytes, key: bytes) -> bytes:
    """Padding bytes 0x10..0x4F in front of `plain` (which starts with "|") up to whole blocks."""
    pad = 16 * (len(plain) // 16 + 1) - len(plain)
    padded = bytes(0x10 + (i * 7) % 64 for i in range(pad)) + plain
    enc = Cipher(algorithms.AES(key), modes.CBC(bytes(16))).encryptor()
    return (enc.update(padded) + enc.finalize()).hex().upper().encode()


def main():
    vectors, out = sys.argv[1], sys.argv[2]
    os.makedirs(out, exist_ok=True)
    seeds = {}
    for synch in (0, 1):
        prefix = bytes([synch << 2, 0])
        seeds[f"plain_cid_s{synch}"] = prefix + frame(b'"ADM-CID"0002R1L1#1234[#1234|1130 01 015][Q3][B2]' + STAMP.encode())
        seeds[f"plain_null_s{synch}"] = prefix + frame(b'"NULL"0001R1L1#1234[]' + STAMP.encode())
    seeds["plain_null_bare"] = bytes([0, 0]) + frame(b'"NULL"0003#5678[]')
    seeds["unknown_token"] = bytes([0, 0]) + frame(b'"SIA-DCS"0004R1L1#1234[#1234|NRR]')
    for mode, size in ((1, 16), (2, 24), (3, 32)):
        for k, key in enumerate(KEYS):
            prefix = bytes([mode | 4, k])
            cid = encrypt(b"|#A128|1130 01 015][S13]" + STAMP.encode(), key[:size])
            null = encrypt(b"|]" + STAMP.encode(), key[:size])
            seeds[f"enc_cid_m{mode}_k{k}"] = prefix + frame(b'"*ADM-CID"0042R1L1#A128[' + cid)
            seeds[f"enc_null_m{mode}_k{k}"] = prefix + frame(b'"*NULL"0043R1L1#A128[' + null)
    # SIA-DCS (first byte's bit 7): plain with texts, modifiers and x-data, a block long enough to be
    # split into S lines, and encrypted under each key size.
    sia = 0x80
    seeds["sia_plain"] = bytes([sia, 0]) + frame(b'"SIA-DCS"0005R1L1#1234[#1234|Nri1/BA12^a/]b^/id3BR013|Atext][X1][Q50]' + STAMP.encode())
    seeds["sia_split"] = bytes([sia, 0]) + frame(b'"SIA-DCS"0006R1L1#1234[#1234|Nri1/BA01/BA02/ri2/ti10:20/CL501/TA04/TA05/TA06/TA07]')
    seeds["sia_empty"] = bytes([sia, 0]) + frame(b'"SIA-DCS"0007L0[]')
    for mode, size in ((1, 16), (2, 24), (3, 32)):
        seeds[f"sia_enc_m{mode}"] = bytes([mode | 4 | sia, 0]) + frame(
            b'"*SIA-DCS"0044R1L1#A128[' + encrypt(b"|#A128|Nri1/FA501][X2]" + STAMP.encode(), KEYS[0][:size]))
    # Keys per account (second byte's bit 7): 1234 on its own key, with encryption otherwise off; its
    # plaintext; a header that is only the beginning of the data's account.
    keyed = 0x80
    own = KEYS[2][:16]
    seeds["keyed_enc"] = bytes([4, 2 | keyed]) + frame(
        b'"*ADM-CID"0045R1L1#1234[' + encrypt(b"|#1234|1130 01 015]" + STAMP.encode(), own))
    seeds["keyed_enc_sia"] = bytes([4 | sia, 2 | keyed]) + frame(
        b'"*SIA-DCS"0046R1L1#1234[' + encrypt(b"|#1234|NBA1]" + STAMP.encode(), own))
    seeds["keyed_plain"] = bytes([0, keyed]) + frame(b'"ADM-CID"0047R1L1#1234[#1234|1130 01 015]')
    seeds["prefix_header"] = bytes([0, keyed]) + frame(b'"ADM-CID"0048R1L1#12[#12345|1130 01 015]')
    with open(vectors) as f:
        data = json.load(f)
    for i, v in enumerate(data["frames"]):
        key = bytes.fromhex(v["key_hex"]) if v["key_hex"] else b""
        mode = {16: 1, 24: 2, 32: 3}.get(len(key), 0)
        index = next((k for k, candidate in enumerate(KEYS) if key and candidate[: len(key)] == key), 0)
        seeds[f"vector_{i:02d}"] = bytes([mode, index]) + bytes.fromhex(v["frame_hex"])
        # The frames a field quirk lets in, behind that quirk's bit (and UTC stamps for some).
        for tag, bit in (("lowercase-hex", 8), ("binary-crc", 32)):
            if tag in v["tags"]:
                seeds[f"quirk_{i:02d}"] = bytes([mode | bit | (64 if i % 2 else 0), index]) + bytes.fromhex(v["frame_hex"])
        if "sia-dcs" in v["tags"]:
            lower = 8 if "lowercase-hex" in v["tags"] else 0
            seeds[f"sia_vector_{i:02d}"] = bytes([mode | sia | lower, index]) + bytes.fromhex(v["frame_hex"])
        if "panel-quirk" in v["tags"]:
            seeds[f"quirk_{i:02d}"] = bytes([mode | 16, index]) + bytes.fromhex(v["frame_hex"])
    for name, content in seeds.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(content)
    print(f"{len(seeds)} seeds in {out}")


if __name__ == "__main__":
    main()
