#!/usr/bin/env python3
"""Writes the seed corpora of the data file and answer fuzz targets (corpus_journal, corpus_accounts,
corpus_config, corpus_answers): small files of each shape the program meets, in the input layouts the
targets read. Run: tests/fuzz/make_file_seeds.py tests/fuzz"""
import os
import struct
import sys


def text(value: bytes, width: int) -> bytes:
    return value[:width].ljust(width, b"\0")


def journal_slot(status, account, event=b"1130", receiver=b"1", line=b"1", time=1735732800):
    return (bytes([status]) + text(receiver, 7) + text(line, 7) + text(account, 17) + text(event, 5)
            + text(b"01", 3) + text(b"015", 4) + struct.pack("<i", time) + text(b"10.0.0.7", 16)
            + struct.pack("<i", 40123))


def account_slot(account, flags=0, minutes=6, receiver=b"1", line=b"1", time=1735732800):
    return (struct.pack("<i", time) + text(account, 17) + text(receiver, 7) + text(line, 7) + text(b"1130", 5)
            + text(b"01", 3) + text(b"015", 4) + text(b"10.0.0.7", 16) + b"\0" + struct.pack("<i", 40123)
            + bytes([255, flags]) + b"\0\0" + struct.pack("<ii", minutes, max(-2**31, min(2**31 - 1, minutes * 60))))


def framed(flags, first: bytes, rest: bytes) -> bytes:
    return bytes([flags]) + struct.pack("<H", len(first)) + first + rest


def config_image(**fields) -> bytes:
    image = bytearray(256)
    struct.pack_into("<i", image, 1, 7777)
    struct.pack_into("<i", image, 5, 30)
    image[49] = 1
    struct.pack_into("<i", image, 50, 9999)
    image[54] = 1
    image[64:73] = b"127.0.0.1"
    struct.pack_into("<i", image, 86, 9600)
    struct.pack_into("<i", image, 90, 30)
    struct.pack_into("<i", image, 96, 1602)
    for offset, value in fields.items():
        image[int(offset[1:])] = value
    return bytes(image)


def main():
    out = sys.argv[1]
    stored, saved, reported = 1, 2, 4
    journal = {
        "empty": framed(0, b"", b""),
        "missing": framed(4 | 8, b"", b""),
        "pending": framed(0, struct.pack("<I", 3) + journal_slot(stored | saved, b"1234")
                          + journal_slot(stored | saved, b"1234", b"NULL")
                          + journal_slot(stored | saved | reported, b"5678", b"3401"),
                          b"[Q3][B10.0.0.9]".ljust(64, b"\0") + b"[Q12]_12:00:00".ljust(64, b"\0")),
        "tiled_long_account": framed(1 | 2 | (1 << 5), struct.pack("<I", 2047)
                                     + journal_slot(stored | saved, b"1234567890ABCDEF"),
                                     b"[B192.168.100.200][Q9]".ljust(64, b"\0")),
        "damaged_full_fields": framed(1 | 16, b"\xff\xff\xff\xff" + b"\x03" + b"A" * 63 + b"\xff\xff\xff\x7f",
                                      b"X" * 64),
        "stored_unsaved": framed(3 << 5, struct.pack("<I", 1) + journal_slot(stored, b"ABCDE", b"6570"), b""),
    }
    accounts = {
        "empty": framed(2, b"", b"1234\0[Q5]"),
        "due_reports": framed(0, account_slot(b"1234", 3) + account_slot(b"ABCDE", 2)
                              + account_slot(b"5678", 0, 1), b"5678\0[Q5][B10.0.0.1]"),
        "duplicates": framed(1 << 4, account_slot(b"1234") + account_slot(b"1234", 3), b"1234\0"),
        "tiled_full": framed(1 | (1 << 2), account_slot(b"9999", 2, -5), b"NEW1\0[Q255]"),
        "damaged_minutes": framed(1, account_slot(b"12345678901234567", 1, 0x7FFFFFFF), b"\0"),
    }
    config = {
        "default": config_image(),
        "new_settings_on": config_image(o10=1, o11=1, o12=1, o13=1, o14=1, o15=1, o55=20, o56=1),
        "damaged_choices": config_image(o55=21, o56=9, o12=7) [:100] + b"\x01" * 156,
        "short": config_image()[:20],
        "empty": b"",
        "longer_than_record": config_image(o9=3) + b"tail",
        "no_version": config_image()[:96] + b"\0\0\0\0" + bytes(156),
    }
    answers = {
        "tcp_ack": b"\x00\x06",
        "tcp_letter_then_ack": b"\x00A\x06",
        "tcp_two_reads": b"\x03\x01J\x15\x06",
        "serial_nak": b"\x01\x15",
        "serial_noise_then_ack": b"\x01JUNK\x13\x11\x06\x15",
        "serial_7e1_nak": b"\x02\x95",
        "serial_7e1_bad_parity": b"\x02\x15\x86\x06",
    }
    for corpus, seeds in (("corpus_journal", journal), ("corpus_accounts", accounts),
                          ("corpus_config", config), ("corpus_answers", answers)):
        os.makedirs(os.path.join(out, corpus), exist_ok=True)
        for name, content in seeds.items():
            with open(os.path.join(out, corpus, name), "wb") as f:
                f.write(content)
        print(f"{len(seeds)} seeds in {os.path.join(out, corpus)}")


if __name__ == "__main__":
    main()
