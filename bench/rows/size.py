"""size: Zelk.exe in bytes, and without its resources (.rsrc section). No goal."""

import struct

from common import Bench, BenchError, Row


def run(bench: Bench) -> None:
    data = bench.zelk.read_bytes()
    resources = pe_section_size(data, b".rsrc")
    bench.rows += [
        Row("7 size", "Zelk.exe, bytes", f"{len(data)}"),
        Row("7 size", "without resources (.rsrc), bytes", f"{len(data) - resources}"),
    ]


def pe_section_size(data: bytes, name: bytes) -> int:
    """Bytes that a section takes in a PE file (its SizeOfRawData)."""
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        raise BenchError("Zelk.exe is not a PE file")
    sections, optional = struct.unpack_from("<H", data, pe + 6)[0], struct.unpack_from(
        "<H", data, pe + 20)[0]
    table = pe + 24 + optional
    for i in range(sections):
        entry = table + 40 * i
        if data[entry:entry + 8].rstrip(b"\0") == name:
            return struct.unpack_from("<I", data, entry + 16)[0]
    return 0
