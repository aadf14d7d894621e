#!/usr/bin/env python3
"""Writes the seed corpora of the RPC fuzz targets from known-good wire vectors.
Run from this directory; the files are committed, so this only needs rerunning when
the vectors change."""
import ctypes
import os
import struct

def frame(payload: bytes) -> bytes:
    return struct.pack(">I", len(payload)) + payload

def le16(v): return struct.pack("<h", v)
def le32(v): return struct.pack("<i", v)
def le64(v): return struct.pack("<q", v)
def nts(s: bytes) -> bytes: return s + b"\0"

def lzo_compress(data: bytes):
    try:
        lib = ctypes.CDLL("liblzo2.so.2")
        if lib.__lzo_init_v2(0x20a0, 2, 4, 8, 4, 8, 8, 8, 8, 48) != 0:
            return None
        out = ctypes.create_string_buffer(len(data) + len(data) // 16 + 67)
        out_len = ctypes.c_size_t(len(out))
        work = ctypes.create_string_buffer(1 << 17)
        if lib.lzo1x_1_compress(data, ctypes.c_size_t(len(data)), out, ctypes.byref(out_len), work) != 0:
            return None
        return out.raw[:out_len.value]
    except OSError:
        return None

def write(dirname, name, data):
    os.makedirs(f"corpus/{dirname}", exist_ok=True)
    with open(f"corpus/{dirname}/{name}", "wb") as f:
        f.write(data)

# Ordinals of the fuzz table: handle 0, rows 1, blocks 2, scalars 3.
wv_in = le32(3) + b"\x02" + le32(7) + b"\x03" + le32(4) + b"abc\0" + b"\x12" + le32(16) + bytes(range(16))
wv_out_header = le32(2) + b"\x02" + b"\x03" + le32(8)
blocks_in = (le32(4) + b"abc\0" + le32(4) + le16(1) + le16(2) + le32(8) + le32(1) + le32(2) + le32(8) + le64(3)
             + le32(16) + le64(-1) + le64(5) + le32(16) + le64(7) + le64(8) + le32(40) + b"1.5".rjust(39) + b"\0")
blocks_out = le32(10) + le32(16)
scalars_wide = le16(-2) + le32(100) + le64(1 << 40) + le64(-3) + le64(5000000000) + le64(0)
scalars_narrow = le16(-2) + le32(100) + le64(1 << 40) + le32(-3) + le32(-1) + le32(0)

write("serve", "handle", b"\x03" + frame(b"D" + le16(0)))
write("serve", "rows", b"\x03" + frame(b"D" + le16(1) + wv_in + wv_out_header))
write("serve", "blocks", b"\x03" + frame(b"D" + le16(2) + blocks_in + blocks_out))
write("serve", "scalars", b"\x03" + frame(b"D" + le16(3) + scalars_wide))
write("serve", "scalars_narrow", b"\x01" + frame(b"D" + le16(3) + scalars_narrow) + frame(b"D" + le16(0)))
write("serve", "two_calls", b"\x00" + frame(b"D" + le16(0)) + frame(b"D" + le16(1) + wv_in + wv_out_header))
big = bytes((i * 7) % 13 for i in range(600))
packed = lzo_compress(big)
if packed:
    desc = le32(600) + le32(len(packed)) + packed
    rest = (le32(0) * 6) + blocks_out
    write("serve", "compressed", b"\x00" + frame(b"D" + le16(2) + desc + rest))

procs = [b"B0!handle!2050!0!n!", b"B1!rows!1280!0!n!2304!0!n!2049!0!n!",
         b"B2!blocks!1028!0!n!1032!0!n!1040!0!n!1056!0!n!1088!0!n!1152!0!n!1028!0!n!2052!0!n!2080!0!n!2049!0!n!",
         b"B3!scalars!1025!0!n!1026!0!n!1056!0!n!33792!0!n!66560!0!n!1088!0!n!2049!0!n!2050!0!n!2080!0!n!34816!0!n!67584!0!n!2112!0!n!"]
def server_stream(params=b"01:NT^04:8^07:1^10:8^", magic=nts(b"87FA9694"), version=nts(b"1:0:1999-1014-0000000001")):
    s = frame(magic) + frame(version) + frame(nts(params)) + frame(b"A")
    for p in procs:
        s += frame(nts(p))
    return s + frame(b"C")

write("handshake", "good", server_stream())
write("handshake", "narrow", server_stream(b"04:4^10:4^"))
write("handshake", "swapped", server_stream(b"06:\x11\x99^04:8^10:8^"))
write("handshake", "bad_magic", server_stream(magic=b"87FA9694"))
write("handshake", "other_program", server_stream(version=nts(b"1:0:1999-1014-0000000002")))
write("handshake", "refusal", b"\xff\xff\xff\xff" + nts(b"Access denied"))

write("reply", "handle", bytes([3 << 2]) + frame(b"D" + le16(0) + le32(42)))
write("reply", "scalars", bytes([0]) + frame(b"D" + le16(3) + scalars_wide))
write("reply", "blocks", bytes([1 << 2]) + frame(b"D" + le16(2) + le32(5) + b"hello" + le32(16) + le64(1) + le64(2) + le16(0)))
write("reply", "rows", bytes([2 << 2]) + frame(b"D" + le16(1) + wv_in + le16(0)))
write("reply", "rows_narrow", bytes([(2 << 2) | 1]) + frame(b"D" + le16(1) + le32(3) + b"\x02" + le32(7) + b"\x03" + le32(4) + b"abc\0" + b"\x12" + le32(8) + le32(-1) + le32(2) + le16(0)))
