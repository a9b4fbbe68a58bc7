#!/usr/bin/env python3
"""Writes the seed inputs of fuzz_exports and fuzz_exports_socket: one well-answered call of
every export, and stale, split, short, refused and silent replies. Layout: fuzz_exports_calls.h.

    python3 tests/fuzz/fuzz_exports_seeds.py tests/fuzz/corpus
"""
import os
import sys

OWN = 2  # the chunk takes the request's sequence number
FOLLOW = 1  # the chunk follows the previous one for the same request


def frame(command, payload, status=1, sequence=0):
    body = bytes([command, len(payload), (status << 6) | sequence]) + bytes(payload)
    return body + bytes([sum(body) & 0xFF])


def chunk(data, flags=OWN):
    return bytes([flags, len(data)]) + data


def seed(calls, chunks):
    return bytes([len(calls) - 1]) + bytes(calls) + b"".join(chunks)


LOGIN = chunk(frame(0xC0, [0, 0, 0, 0, 4, 0, 0, 0]))
AREA = bytes(c ^ ((0x5D + k) & 0xFF) for k, c in enumerate(b"Installer".ljust(20, b"\0") + b"secret".ljust(20, b"\0")))

# The replies of a well-behaved box to each call, in the order of Call_Export.
ANSWERS = {
    1: [frame(0x80, [0, 0])],
    2: [frame(0x80, [3, 0]), frame(0x00, [7, 0])],
    3: [frame(0x01, list(b"KEST-0042"))],
    4: [frame(0x10, [0, 0x31, 1, 2, 9] + list(range(9)))],
    5: [frame(0x11, [1])],
    6: [frame(0xA0, [1, 0])],
    7: [frame(0xA1, [1, 0, 5, 0])],
    8: [frame(0xA2, list(range(80))), frame(0xA2, list(range(32)))],
    9: [frame(0xD0, [0, 0, 3, 0])],
    10: [frame(0xD1, [0, 0, 0, 0] + list(AREA) + [4, 0, 0, 0, 1, 0, 0, 0])],
    11: [frame(0xD2, [0, 0])],
    12: [frame(0xD4, [0, 0])],
    13: [frame(0xD3, [0, 0])],
    14: [frame(0xD5, [0, 0])],
    15: [frame(0xD6, [0, 0])],
    16: [frame(0xD8, [0, 0, 0, 0] + list(range(36)))],
    17: [frame(0xD9, [0, 0])],
    18: [frame(0x62, [0, 0])],
    19: [frame(0x63, [5, 0, 30, 0])],
    20: [frame(0x70, [0])],
    21: [frame(0x71, [3])],
    22: [frame(0x72, [0, 1, 0])],
    23: [frame(0x79, [0, 1, 0]), frame(0x78, [0, 2] + [0x5A] * 8)],
    24: [frame(0x73, [0])],
    27: [frame(0x10, [0, 0x20, 1, 0, 0])],
    28: [frame(0x79, [0, 0, 0]), frame(0x78, [0, 0] + [1] * 78)],
    29: [frame(0xA2, list(range(32)))],
}


def seeds():
    out = {}
    for which in range(30):
        replies = ANSWERS.get(which, [])
        out["answer_%02d" % which] = seed([which], [LOGIN] + [chunk(r) for r in replies])
    keep_alive = frame(0x80, [0, 0])
    stale = frame(0x63, [1, 0, 2, 0], 1, 63)
    out["stale_then_own"] = seed([19], [LOGIN, chunk(stale, 0), chunk(frame(0x63, [3, 0, 4, 0]), OWN | FOLLOW)])
    out["stale_then_nothing"] = seed([19, 1], [LOGIN, chunk(stale, 0), chunk(keep_alive)])
    out["stale_no_verdict"] = seed([19, 1], [LOGIN, chunk(frame(0x63, [1, 0, 2, 0], 0, 63), 0), chunk(keep_alive)])
    whole = frame(0x63, [9] * 20)
    out["split_reply"] = seed([19, 1], [LOGIN, chunk(whole[:10]), chunk(whole[10:], FOLLOW), chunk(keep_alive)])
    out["short_reply"] = seed([1, 1], [LOGIN, chunk(bytes([0x80, 2])), chunk(keep_alive)])
    out["refused_login"] = seed([1], [chunk(frame(0xC0, [0xF3, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0]))])
    out["refused_account"] = seed([12, 13], [LOGIN, chunk(frame(0xD4, [0xEA, 0xFF], 2)), chunk(frame(0xD3, [0xE9, 0xFF], 3))])
    out["refused_can"] = seed([4, 27], [LOGIN, chunk(frame(0x10, [0xEB, 0xFF], 2)), chunk(frame(0x10, [0xEC, 0xFF], 2))])
    out["length_byte_too_large"] = seed([3], [LOGIN, chunk(bytes([0x01, 81, 0x40]) + bytes(81))])
    out["silence_then_reconnect"] = seed([1, 0, 19], [LOGIN, chunk(b""), LOGIN, chunk(frame(0x63, [5, 0, 30, 0]))])
    out["many_calls"] = seed([9, 10, 12, 15, 19, 2, 4, 1],
                             [LOGIN] + [chunk(r) for w in (9, 10, 12, 15, 19, 2, 4, 1) for r in ANSWERS[w]])
    return out


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "corpus")
    for target in ("fuzz_exports", "fuzz_exports_socket"):
        folder = os.path.join(root, target)
        os.makedirs(folder, exist_ok=True)
        for name, data in seeds().items():
            # Silence costs the socket fuzzer a real time-out per input: keep it out of its seeds.
            if target == "fuzz_exports_socket" and name.startswith("silence"):
                continue
            with open(os.path.join(folder, name), "wb") as f:
                f.write(data)


if __name__ == "__main__":
    main()
