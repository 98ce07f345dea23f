#!/usr/bin/env python3
"""Writes the hand-made seeds of fuzz/corpus/ (host-call sequences in the fuzzer's input
format, see interface_fuzzer.cpp). Regression inputs found by fuzzing are kept in the
same folder under names starting with "crash-"; this script leaves them alone."""
import pathlib
import struct

(INSERT, REPLACE, REMOVE, SETTINGS, SETTINGS_FOR, RESET, HOST_PAIR, HOST_VALUE, NAME,
 DISPLAY_NAME, GENERATE, CONSTANTS, RECREATE) = range(13)
PLUGINS = 12  # one copy of every seed per plug-in byte, for up to this many plug-ins


def num(value):
    """An int argument: small values in one byte, anything else in four raw bytes."""
    if -8 <= value <= 31:
        return bytes([0, value + 8])
    return bytes([5]) + struct.pack(">i", value)


def call(operation, *arguments, second=False):
    return bytes([operation | (0x80 if second else 0)]) + b"".join(arguments)


def flag(value):
    return bytes([1 if value else 0])


def seeds():
    fill = b"".join(call(INSERT, num(-1), num(i)) for i in range(16))
    yield "settings_cache", fill + call(SETTINGS, flag(False)) + call(SETTINGS, flag(True)) + \
        call(REPLACE, num(3), num(99)) + call(SETTINGS, flag(False)) + call(REMOVE, num(-5)) + \
        call(INSERT, num(0), num(7)) + call(SETTINGS, flag(False)) + call(SETTINGS_FOR, num(3), flag(False)) + \
        call(SETTINGS, flag(False)) + call(RESET) + call(SETTINGS, flag(False)) + \
        call(SETTINGS_FOR, num(0), flag(False)) + call(SETTINGS_FOR, num(-3), flag(True))
    yield "input_list", call(REPLACE, num(0), num(1)) + call(REMOVE, num(0)) + call(INSERT, num(5), num(1)) + \
        call(INSERT, num(-1), num(2)) + call(INSERT, num(0), num(3)) + call(INSERT, num(2), num(4)) + \
        call(INSERT, num(2**31 - 1), num(5)) + call(REPLACE, num(-3), num(6)) + call(REPLACE, num(9), num(7)) + \
        call(REMOVE, num(-1)) + call(REMOVE, num(3)) + call(REMOVE, num(-2**31)) + call(SETTINGS, flag(False))
    yield "names", b"".join(call(op, num(size), flag(null)) for op in (NAME, DISPLAY_NAME)
                            for size in (-2**31, -1, 0, 1, 4, 7, 8, 9, 31) for null in (False, True))
    edges = (-2**31, -2**31 + 1, -100, -1, 0, 1, 2, 3, 5, 16, 99, 2**31 - 4, 2**31 - 1)
    yield "generate", b"".join(call(GENERATE, num(index), num(count), flag(False))
                               for count in edges for index in edges) + call(GENERATE, num(0), num(5), flag(True))
    yield "two_objects", call(HOST_PAIR, num(7), num(-2)) + call(HOST_VALUE, num(5), second=True) + fill + \
        call(SETTINGS, flag(False)) + call(SETTINGS_FOR, num(16), flag(False), second=True) + \
        call(CONSTANTS, struct.pack(">iii", 1, 2, 3), bytes([0])) + call(CONSTANTS, bytes(12), bytes([15])) + \
        call(RESET, second=True) + call(RECREATE) + call(SETTINGS, flag(False)) + call(RECREATE, second=True)
    yield "large_counts", call(SETTINGS_FOR, num(4096), flag(False)) + call(SETTINGS_FOR, num(4095), flag(False)) + \
        call(GENERATE, num(4000), num(4096), flag(False)) + call(GENERATE, num(5), num(65536), flag(False))


def main():
    folder = pathlib.Path(__file__).resolve().parent / "corpus"
    folder.mkdir(exist_ok=True)
    for name, body in seeds():
        for plugin in range(PLUGINS):
            (folder / f"{name}_{plugin:02d}").write_bytes(bytes([plugin]) + body)


if __name__ == "__main__":
    main()
