#!/usr/bin/env python3
"""Writes platform/font_data.cpp, the built-in 8x16 font, from a PSF1 console font with a
Unicode table (Uni1-VGA16.psf.gz of Debian's console-setup-linux; licence in
platform/FONT-LICENSE.txt). Codes 32..175 follow code page 437.

    python3 scripts/make_font_data.py /path/to/Uni1-VGA16.psf.gz > platform/font_data.cpp
"""
import gzip
import sys


def main(path):
    data = gzip.open(path).read() if path.endswith(".gz") else open(path, "rb").read()
    if data[0:2] != b"\x36\x04":
        sys.exit("not a PSF1 font")
    mode, height = data[2], data[3]
    if height != 16:
        sys.exit("the font must be 16 rows high")
    count = 512 if mode & 1 else 256
    glyphs = [data[4 + i * 16:4 + (i + 1) * 16] for i in range(count)]
    if not mode & 2:
        sys.exit("the font has no Unicode table")
    table = {}
    pos = 4 + count * 16
    for glyph in range(count):
        in_sequence = False
        while True:
            value = data[pos] | data[pos + 1] << 8
            pos += 2
            if value == 0xFFFF:
                break
            if value == 0xFFFE:
                in_sequence = True
            if not in_sequence:
                table.setdefault(value, glyph)
    # Code 127 is the house sign; fonts without it get our own drawing.
    house = bytes([0x00, 0x00, 0x00, 0x00, 0x10, 0x38, 0x6C, 0xC6, 0xC6, 0xC6, 0xFE, 0x00, 0x00, 0x00, 0x00, 0x00])
    out = []
    for code in range(32, 176):
        char = "\u2302" if code == 127 else bytes([code]).decode("cp437")
        glyph = table.get(ord(char))
        if glyph is None and code == 127:
            out.append((code, char, house))
            continue
        if glyph is None:
            sys.exit("no glyph for code %d" % code)
        out.append((code, char, glyphs[glyph]))
    print("// The built-in 8x16 font, codes 32 to 175 in code page 437 order: one byte a row, the")
    print("// leftmost pixel in the top bit. Made by scripts/make_font_data.py; licence in")
    print("// platform/FONT-LICENSE.txt.")
    print('#include "platform/font_data.h"')
    print()
    print("const uint8_t kBuiltinFont[kBuiltinFontGlyphs][16] = {")
    for code, char, rows in out:
        shown = char if char.isprintable() and char not in "\\" else "?"
        print("    {%s},  // %d %s" % (", ".join("0x%02X" % b for b in rows), code, shown))
    print("};")


if __name__ == "__main__":
    main(sys.argv[1])
