# SPDX-License-Identifier: MIT
"""The peer: the same job as QB_PrintChineseStr in Python with Pillow.

Draws a 4-character GB2312 text on a 1-bit image of the same cell grid with
ImageFont/ImageDraw, packs it into GW bytes (Pillow packs a 1-bit image with
a 1 bit for white, as EPL2 wants), and writes header, data and line end to a
file. Prints the mean CPU seconds per label for the size class given
(1..4), measured for about the seconds given.
"""
import os
import sys
import tempfile
import time

from PIL import Image, ImageDraw, ImageFont

FONT = "/usr/share/fonts/truetype/wqy/wqy-zenhei.ttc"
TEXT = "中文标签"
CELLS = {1: (16, 24), 2: (16, 32), 3: (24, 40), 4: (24, 48)}


def label(out, font, cw, ch, x=10, y=20):
    text_bytes = len(TEXT.encode("gbk"))
    image = Image.new("1", (text_bytes * cw, ch), 1)
    ImageDraw.Draw(image).text((0, 0), TEXT, font=font, fill=0)
    data = image.tobytes()
    out.write(b"GW%d,%d,%d,%d," % (x * 8, y * 8, text_bytes * cw // 8, ch))
    out.write(data)
    out.write(b"\n")
    out.flush()


def main():
    size = int(sys.argv[1])
    seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 0.3
    cw, ch = CELLS[size]
    with tempfile.TemporaryFile() as out:
        font = ImageFont.truetype(FONT, ch, index=1)
        label(out, font, cw, ch)  # warm
        n, start = 0, time.process_time()
        while time.process_time() - start < seconds:
            for _ in range(100):
                label(out, font, cw, ch)
            n += 100
            out.truncate(0)
            out.seek(0)
        print("%.9f" % ((time.process_time() - start) / n))


if __name__ == "__main__":
    main()
