#!/usr/bin/env python3
"""Writes the chunk-compressed images the DMG benchmark reads (no tool on this system makes them).

  make_chunk_image.py dmg-zlib IMAGE OUT        zlib DMG of IMAGE in 1 MiB chunks (all-zero chunks as zero fill)
  make_chunk_image.py dmg-lzfse CHUNKDIR OUT    DMG of the 256 KiB LZFSE chunks chunk.NNN.lzfse in CHUNKDIR
  make_chunk_image.py dmg-zlib256 IMAGE OUT     zlib DMG of IMAGE in 256 KiB chunks
  make_chunk_image.py isz IMAGE OUT             zlib ISZ of IMAGE (2048-byte sectors) in 64 KiB chunks
"""
import base64
import glob
import struct
import sys
import zlib


def dmg(chunks, out):
    """chunks: (entry type, sectors, stored bytes) in sector order."""
    with open(out, "wb") as f:
        entries = [struct.pack(">II QQQQ", 0x7FFFFFFE, 0, 0, 0, 0, 0)]
        sector = offset = 0
        for kind, sectors, stored in chunks:
            entries.append(struct.pack(">II QQQQ", kind, 0, sector, sectors, offset, len(stored)))
            f.write(stored)
            sector += sectors
            offset += len(stored)
        entries.append(struct.pack(">II QQQQ", 0xFFFFFFFF, 0, sector, 0, 0, 0))
        mish = b"mish" + struct.pack(">IQQQII", 1, 0, sector, 0, 0, 0) + bytes(24) + struct.pack(">II", 0, 0)
        mish += bytes(128) + struct.pack(">I", len(entries)) + b"".join(entries)
        text = base64.b64encode(mish).decode()
        lines = "\n".join("\t\t\t\t" + text[i:i + 52] for i in range(0, len(text), 52))
        plist = ('<?xml version="1.0" encoding="UTF-8"?>\n<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" '
                 '"http://www.apple.com/DTDs/PropertyList-1.0.dtd">\n<plist version="1.0">\n<dict>\n'
                 "\t<key>resource-fork</key>\n\t<dict>\n\t\t<key>blkx</key>\n\t\t<array>\n\t\t\t<dict>\n"
                 "\t\t\t\t<key>Data</key>\n\t\t\t\t<data>\n" + lines + "\n\t\t\t\t</data>\n"
                 "\t\t\t\t<key>Name</key>\n\t\t\t\t<string>disk image</string>\n\t\t\t</dict>\n"
                 "\t\t</array>\n\t</dict>\n</dict>\n</plist>\n").encode()
        f.write(plist)
        koly = bytearray(512)
        koly[0:4] = b"koly"
        struct.pack_into(">III", koly, 4, 4, 512, 1)
        struct.pack_into(">QQ", koly, 24, 0, offset)
        struct.pack_into(">QQ", koly, 216, offset, len(plist))
        struct.pack_into(">IQ", koly, 488, 1, sector)
        f.write(koly)


def zlib_chunks(image, size):
    with open(image, "rb") as f:
        while True:
            data = f.read(size)
            if not data:
                return
            sectors = (len(data) + 511) // 512
            data = data.ljust(sectors * 512, b"\0")
            if data.count(0) == len(data):
                yield (0, sectors, b"")
            else:
                yield (0x80000005, sectors, zlib.compress(data, 6))


def isz(image, out):
    with open(image, "rb") as f:
        data = f.read()
    size = 65536
    count = (len(data) + size - 1) // size
    pointers = bytearray()
    stream = []
    for i in range(count):
        piece = data[i * size:(i + 1) * size]
        if piece.count(0) == len(piece):
            pointers += struct.pack("<I", 0)[:3]
            continue
        stored = zlib.compress(piece, 6)
        pointers += struct.pack("<I", 2 << 22 | len(stored))[:3]
        stream.append(stored)
    key = b"IsZ!"
    pointers = bytes(b ^ (~key[i % 4] & 0xFF) for i, b in enumerate(pointers))
    header = b"IsZ!" + bytes([48]) + bytes(5) + struct.pack("<HI", 2048, len(data) // 2048) + bytes([0])
    header += struct.pack("<qIIBBIII", 0, count, size, 3, 0, 48, 0, 48 + len(pointers)) + bytes(1)
    with open(out, "wb") as f:
        f.write(header + pointers + b"".join(stream))


def main():
    mode, source, out = sys.argv[1:4]
    if mode == "dmg-zlib":
        dmg(zlib_chunks(source, 1 << 20), out)
    elif mode == "dmg-zlib256":
        dmg(zlib_chunks(source, 256 << 10), out)
    elif mode == "dmg-lzfse":
        files = sorted(glob.glob(source + "/chunk.*.lzfse"))
        dmg(((0x80000007, 512, open(p, "rb").read()) for p in files), out)
    elif mode == "isz":
        isz(source, out)
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
