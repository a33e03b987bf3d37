#!/usr/bin/python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/seed-*.

Seeds are valid frames of every command the gateway takes, and short sessions that chain
them (create, write, read back, delete), so that the fuzzer starts from inputs that reach
deep into each handler. Frames are spelled out here byte by byte, independently of the
gateway's own encoders. Regression inputs (findings) live beside the seeds under other
names and are never touched by this script.

The peers of the client-stream target are named 10.0.0.5:700 (the fuzzed client),
10.0.0.6:701 (a role-2 device), 10.0.0.7:702 (a role-3 watcher) and 10.0.0.8:703.
"""

import struct
from pathlib import Path

CORPUS = Path(__file__).resolve().parent / "corpus"

ME, DEVICE, WATCHER, QUIET = "10.0.0.5:700", "10.0.0.6:701", "10.0.0.7:702", "10.0.0.8:703"


def frame(code: int, payload) -> bytes:
    if isinstance(payload, str):
        payload = payload.encode("latin-1")
    return struct.pack(">HH", len(payload), code) + payload


def chunk_write(file, last, offset, data: bytes, partner=DEVICE, mode=0, selector=0) -> bytes:
    text = f'{partner} "a" "b" {file} {mode} {selector} {last} {offset} {len(data)} '
    return frame(194, text.encode() + data)


def chunk_read(file, offset, size, partner=DEVICE, mode=0, selector=0, name_a="a") -> bytes:
    return frame(193, f'{partner} "{name_a}" "b" {file} {mode} {selector} {offset} {size}')


def client_stream_seeds() -> dict:
    data = bytes(range(256)) * 4
    s = {
        "register-role": frame(25, "3"),
        "register-device": frame(25, "2 0 02:00:00:12:34:56 10.0.0.5"),
        "register-lower-hex": frame(25, "2 0 0a:0b:0c:0d:0e:0f 10.0.0.9"),
        "register-single-digits": frame(25, "18 7 A:B:C:D:E:F x"),
        "register-zero-address": frame(25, "2 0 00:00:00:00:00:00 10.0.0.5"),
        "register-partial-address": frame(25, "2 0 02:00:00"),
        "register-long-address-text": frame(25, "3 0 02:00:00:00:00:07 " + "9" * 45),
        "register-twice-same-address": frame(25, "2 0 02:00:00:00:00:09 a") * 2,
        "search": frame(22, "127.0.0.1"),
        "search-words": frame(22, " \t10.0.0.9 and more"),
        "search-short": frame(22, "1") + frame(22, ""),
        "search-long": frame(22, "10.0.0.9.12345678901"),
        "relay": frame(300, f"{DEVICE} hello world"),
        "relay-quoted": frame(301, f'"{WATCHER}"  \tx y\r\n'),
        "relay-self": frame(0, ME + " back"),
        "relay-nul": frame(65535, f"{QUIET} a".encode() + b"\0b\0"),
        "relay-too-long": frame(302, f"{QUIET} " + "z" * 2030),
        "relay-unknown": frame(303, "10.0.0.99:1 x") + frame(304, "") + frame(305, "   "),
        "create": frame(191, f'{DEVICE} "a b" c 0'),
        "create-notify": frame(202, f"{DEVICE} a b x"),
        "create-delete": frame(191, f"{ME} a b 0") + frame(197, "p 1") + frame(205, "p 1"),
        "delete-refused": frame(197, "p ../data") + frame(205, "p /x") + frame(197, "p .."),
        "write-read": frame(191, f"{DEVICE} a b 0") + chunk_write(1, 0, 0, data)
        + chunk_write(1, 1, 1024, data[:300]) + chunk_read(1, 0, 1024) + chunk_read(1, 1024, -1),
        "write-mode2": frame(202, f"{DEVICE} a b x") + chunk_write(1, 1, 0, b"  lead", mode=2),
        "write-short-data": frame(194, f"{DEVICE} a b data 0 0 0 0 9 abc")
        + frame(194, f"{DEVICE} a b data 0 0 0 0 -5 ") + frame(194, f"{DEVICE} a b data 0 0 0 0 5"),
        "write-huge-offset": chunk_write("data", 1, 10**15, b"abc"),
        "read-data": chunk_read("data", 0, 1024) + chunk_read("data", 2048, 4096)
        + chunk_read("data", -1, 10),
        "read-selector": chunk_read("x", 0, 100, selector=1, name_a="data"),
        "read-mode2": chunk_read("data", 100, 50, mode=2),
        "read-long-text": chunk_read("data", 0, 10, partner="p" * 1990),
        "partial-then-more": frame(25, "3")[:3],
        "stall": b"\xff\xff\x00\x01" + b"x" * 100,
        "several": frame(25, "2") + frame(300, f"{WATCHER} a") + frame(22, "10.0.0.1"),
    }
    return s


def datagram_seeds() -> dict:
    def dg(payload: bytes, end_pass=False) -> bytes:
        return struct.pack(">H", len(payload) | (0x8000 if end_pass else 0)) + payload

    return {
        "search": dg(frame(22, "127.0.0.1"), True),
        "search-two-frames": dg(frame(22, "10.0.0.9") + frame(22, "1")),
        "announcement": dg(frame(23, "127.0.0.1"), True) + dg(b""),
        "registration": dg(frame(25, "2 0 02:00:00:12:34:56 10.0.0.5"), True),
        "relay": dg(frame(300, "10.0.0.7:702 hello")),
        "file-commands": dg(frame(191, "p a b 0") + frame(197, "p 1")) + dg(frame(193, "p a b data 0 0 0 9")),
        "more-file-commands": dg(frame(202, "10.0.0.7:702 a b x") + frame(205, "p 1"))
        + dg(frame(194, '10.0.0.7:702 "a" "b" 1 0 0 1 0 3 abc'), True),
        "partial-header": dg(b"\x00\x05\x00") + dg(b"\x16abcd", True),
        "oversized": dg(b"\x00\x10\x00\x16" + b"x" * 3000, True),
        "many": b"".join(dg(frame(22, f"10.0.0.{i}"), i % 2 == 0) for i in range(6)),
    }


def splitter_seeds() -> dict:
    return {
        "words": b"\x04  one \t two   three  ",
        "quoted": b"\x08" + b'p "a b" "" c 0 0 0 1024',
        "quote-then-word": b'\x03"ab"cd e',
        "unclosed": b'\x02a "b',
        "fields": b"\x00" + b'p "a" "b" f 0 0 1 0 5 ' + b"  da\0ta",
        "fields-empty": b"\x00a  b",
        "vertical-tab": b"\x05\x0ba\x0bb c",
        "relay-target": b"\x01" + b"  t\tx y\r\n",
    }


def registration_seeds() -> dict:
    return {
        "role": b"3",
        "full": b"2 0 02:00:00:12:34:56 10.0.0.5",
        "own-address": b"3 0 02:00:00:00:00:01 10.0.0.50",
        "zero": b"2 0 00:00:00:00:00:00 10.0.0.5",
        "partial": b"2 0 02:00",
        "single-digits": b"-1 5 A:b:C:d:E:f 10.0.0.5",
        "spaces-in-address": b"18 1 0a: 0b: 0c: 0d: 0e: 0f\t10.0.0.5 trailing",
        "long-text": b"2 0 0a:0b:0c:0d:0e:0f " + b"1" * 40,
        "big-role": b"99999999999999999999 0 02:00:00:12:34:56",
        "nul-inside": b"2 0 02:00:00:12:34:56\x0010.0.0.5",
    }


def main() -> None:
    for target, seeds in (("fuzz_client_stream", client_stream_seeds()),
                          ("fuzz_datagram", datagram_seeds()),
                          ("fuzz_splitters", splitter_seeds()),
                          ("fuzz_registration", registration_seeds())):
        folder = CORPUS / target
        folder.mkdir(parents=True, exist_ok=True)
        for old in folder.glob("seed-*"):
            old.unlink()
        for name, data in seeds.items():
            (folder / f"seed-{name}").write_bytes(data)


if __name__ == "__main__":
    main()
