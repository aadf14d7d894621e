#!/usr/bin/env python3
"""Draws the administration pages' images (GIF buttons and icons, favicon.ico)
into the templates folder. Run it after changing a label or a colour:

    server/http/tools/make_images.py server/http/templates

The images are plain: a rounded button with an upper-case label in a 5x7
pixel font, or a small symbol."""
import struct
import sys
from pathlib import Path

FONT = {
    'A': "01110 10001 10001 11111 10001 10001 10001", 'B': "11110 10001 10001 11110 10001 10001 11110",
    'C': "01110 10001 10000 10000 10000 10001 01110", 'D': "11110 10001 10001 10001 10001 10001 11110",
    'E': "11111 10000 10000 11110 10000 10000 11111", 'F': "11111 10000 10000 11110 10000 10000 10000",
    'G': "01110 10001 10000 10111 10001 10001 01111", 'H': "10001 10001 10001 11111 10001 10001 10001",
    'I': "01110 00100 00100 00100 00100 00100 01110", 'J': "00111 00010 00010 00010 00010 10010 01100",
    'K': "10001 10010 10100 11000 10100 10010 10001", 'L': "10000 10000 10000 10000 10000 10000 11111",
    'M': "10001 11011 10101 10101 10001 10001 10001", 'N': "10001 10001 11001 10101 10011 10001 10001",
    'O': "01110 10001 10001 10001 10001 10001 01110", 'P': "11110 10001 10001 11110 10000 10000 10000",
    'Q': "01110 10001 10001 10001 10101 10010 01101", 'R': "11110 10001 10001 11110 10100 10010 10001",
    'S': "01111 10000 10000 01110 00001 00001 11110", 'T': "11111 00100 00100 00100 00100 00100 00100",
    'U': "10001 10001 10001 10001 10001 10001 01110", 'V': "10001 10001 10001 10001 10001 01010 00100",
    'W': "10001 10001 10001 10101 10101 10101 01010", 'X': "10001 10001 01010 00100 01010 10001 10001",
    'Y': "10001 10001 01010 00100 00100 00100 00100", 'Z': "11111 00001 00010 00100 01000 10000 11111",
    '?': "01110 10001 00001 00010 00100 00000 00100", '!': "00100 00100 00100 00100 00100 00000 00100",
    '+': "00000 00100 00100 11111 00100 00100 00000", 'i': "00100 00000 01100 00100 00100 00100 01110",
    ' ': "00000 00000 00000 00000 00000 00000 00000", '<': "00010 00100 01000 10000 01000 00100 00010",
    '>': "01000 00100 00010 00001 00010 00100 01000",
}

# Palette: index -> RGB
PAL = [(255, 255, 255), (0, 0, 0), (31, 78, 121), (232, 126, 4), (255, 255, 255), (46, 139, 87),
       (192, 32, 32), (240, 200, 40), (200, 215, 230), (120, 120, 120), (90, 140, 190), (245, 245, 245),
       (0, 0, 0), (0, 0, 0), (0, 0, 0), (0, 0, 0)]
WHITE, BLACK, BLUE, ORANGE, TEXT, GREEN, RED, YELLOW, PALE, GREY, LIGHTBLUE, BG = range(12)


def canvas(w, h, c=0):
    return [[c] * w for _ in range(h)]


def rect(img, x0, y0, x1, y1, c):
    for y in range(max(0, y0), min(len(img), y1)):
        for x in range(max(0, x0), min(len(img[0]), x1)):
            img[y][x] = c


def text(img, s, x, y, c, scale=1):
    for ch in s:
        rows = FONT.get(ch, FONT[' ']).split()
        for ry, row in enumerate(rows):
            for rx, bit in enumerate(row):
                if bit == '1':
                    rect(img, x + rx * scale, y + ry * scale, x + (rx + 1) * scale, y + (ry + 1) * scale, c)
        x += 6 * scale


def button(label, colour, width=None):
    w = width or max(60, len(label) * 6 + 16)
    h = 22
    img = canvas(w, h, WHITE)
    rect(img, 1, 0, w - 1, h, colour)
    rect(img, 0, 1, w, h - 1, colour)
    text(img, label, (w - (len(label) * 6 - 1)) // 2, 8, TEXT)
    return img


def symbol(kind, size=16):
    img = canvas(size, size, WHITE)
    if kind == 'tick':
        for i in range(5):
            rect(img, 2 + i, 8 + i, 4 + i, 10 + i, GREEN)
        for i in range(8):
            rect(img, 6 + i, 12 - i, 8 + i, 14 - i, GREEN)
    elif kind == 'cross':
        for i in range(12):
            rect(img, 2 + i, 2 + i, 4 + i, 4 + i, RED)
            rect(img, 13 - i, 2 + i, 15 - i, 4 + i, RED)
    elif kind in ('note', 'help', 'alert'):
        colour = {'note': YELLOW, 'help': BLUE, 'alert': RED}[kind]
        for y in range(size):
            for x in range(size):
                if (x - 7.5) ** 2 + (y - 7.5) ** 2 <= 56:
                    img[y][x] = colour
        text(img, {'note': 'i', 'help': '?', 'alert': '!'}[kind], 6, 4, TEXT if kind != 'note' else BLACK)
    elif kind == 'eye':
        for y in range(size):
            for x in range(size):
                if ((x - 7.5) / 7.5) ** 2 + ((y - 7.5) / 4) ** 2 <= 1:
                    img[y][x] = GREY
                if (x - 7.5) ** 2 + (y - 7.5) ** 2 <= 6:
                    img[y][x] = BLACK
    return img


def lzw_literal(pixels, min_code):
    """GIF image data with every pixel a literal code and a clear code often
    enough that the code width never grows: valid and simple."""
    clear, end = 1 << min_code, (1 << min_code) + 1
    width = min_code + 1
    codes = [clear]
    run = 0
    for p in pixels:
        if run == (1 << min_code) - 2:
            codes.append(clear)
            run = 0
        codes.append(p)
        run += 1
    codes.append(end)
    out, acc, bits = bytearray(), 0, 0
    for c in codes:
        acc |= c << bits
        bits += width
        while bits >= 8:
            out.append(acc & 0xFF)
            acc >>= 8
            bits -= 8
    if bits:
        out.append(acc & 0xFF)
    return bytes(out)


def gif(img):
    h, w = len(img), len(img[0])
    data = bytearray(b"GIF89a")
    data += struct.pack("<HHBBB", w, h, 0xF3, 0, 0)  # global table of 16 colours
    for rgb in PAL:
        data += bytes(rgb)
    data += struct.pack("<BHHHHB", 0x2C, 0, 0, w, h, 0)
    min_code = 4
    data.append(min_code)
    body = lzw_literal([p for row in img for p in row], min_code)
    for i in range(0, len(body), 255):
        chunk = body[i:i + 255]
        data.append(len(chunk))
        data += chunk
    data += b"\x00;"
    return bytes(data)


def ico(img):
    h, w = len(img), len(img[0])
    pixels = bytearray()
    for row in reversed(img):
        for p in row:
            r, g, b = PAL[p]
            pixels += bytes((b, g, r, 255))
    mask = bytes(((w + 31) // 32) * 4 * h)
    bmp = struct.pack("<IiiHHIIiiII", 40, w, h * 2, 1, 32, 0, len(pixels) + len(mask), 0, 0, 0, 0) + pixels + mask
    return struct.pack("<HHH", 0, 1, 1) + struct.pack("<BBBBHHII", w, h, 0, 0, 1, 32, len(bmp), 22) + bmp


def main(out_dir):
    out = Path(out_dir)
    buttons = {
        "btn_pause": ("PAUSE", BLUE), "btn_continue": ("CONTINUE", BLUE), "btn_add": ("ADD", BLUE),
        "btn_change": ("CHANGE", BLUE), "btn_end": ("END", BLUE), "btn_export": ("EXPORT", BLUE),
        "btn_next": ("NEXT >", BLUE), "btn_previous": ("< PREVIOUS", BLUE), "btn_start": ("START", BLUE),
        "btn_submit": ("SUBMIT", BLUE),
    }
    for name, (label, colour) in buttons.items():
        (out / f"{name}.gif").write_bytes(gif(button(label, colour)))
    (out / "btn_add_sm.gif").write_bytes(gif(button("+", BLUE, 22)))
    for name, label in {"configuration": "CONFIGURATION", "datasources": "DATA SOURCES",
                        "information": "INFORMATION", "security": "SECURITY", "statistics": "STATISTICS"}.items():
        (out / f"btn_{name}.gif").write_bytes(gif(button(label, BLUE, 110)))
        (out / f"btn_{name}_sel.gif").write_bytes(gif(button(label, ORANGE, 110)))
    (out / "view_running.gif").write_bytes(gif(button("RUNNING", GREEN, 80)))
    (out / "view_paused.gif").write_bytes(gif(button("PAUSED", ORANGE, 80)))
    (out / "graph_ch.gif").write_bytes(gif(button("PER HOUR", BLUE, 90)))
    (out / "graph_cm.gif").write_bytes(gif(button("PER MINUTE", BLUE, 90)))
    (out / "tick_sm.gif").write_bytes(gif(symbol('tick')))
    (out / "cross_sm.gif").write_bytes(gif(symbol('cross')))
    (out / "note.gif").write_bytes(gif(symbol('note')))
    (out / "help.gif").write_bytes(gif(symbol('help')))
    (out / "help2.gif").write_bytes(gif(symbol('help', 12)))
    (out / "ani_alert.gif").write_bytes(gif(symbol('alert')))
    (out / "hidden_eye.gif").write_bytes(gif(symbol('eye')))
    header = canvas(600, 48, BLUE)
    text(header, "KYVEK SERVER ADMINISTRATION", 16, 14, TEXT, 2)
    (out / "tl_header.gif").write_bytes(gif(header))
    (out / "tl_background.gif").write_bytes(gif(canvas(8, 48, BLUE)))
    nav = canvas(130, 8, PALE)
    (out / "side_nav.gif").write_bytes(gif(nav))
    split = canvas(4, 4, WHITE)
    rect(split, 0, 1, 4, 2, GREY)
    (out / "splitter.gif").write_bytes(gif(split))
    link = canvas(88, 31, WHITE)
    rect(link, 0, 0, 88, 31, LIGHTBLUE)
    text(link, "KYRONDE", 23, 12, TEXT)
    (out / "kyronde_link.gif").write_bytes(gif(link))
    icon = canvas(16, 16, BLUE)
    text(icon, "K", 5, 4, TEXT)
    (out / "favicon.ico").write_bytes(ico(icon))


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else Path(__file__).resolve().parent.parent / "templates")
