"""Writes the fuzz target's seed corpus (tests/fuzz/corpus): a few tiny files,
one per decoding path, each followed by the five bytes that the target takes
from the end of its input (a DCT scale and a region to decode; the decoders
ignore what follows an image).  usage: /usr/bin/python3 make_seeds.py [FOLDER]"""
import os
import struct
import sys
import zlib

import numpy as np
from PIL import Image

folder = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "corpus")
os.makedirs(folder, exist_ok=True)
rng = np.random.default_rng(9)
rgb = Image.fromarray(rng.integers(0, 256, (6, 8, 3), dtype=np.uint8))
cmyk = Image.fromarray(rng.integers(0, 256, (6, 8, 4), dtype=np.uint8), "CMYK")


def save(image, name, **options):
    image.save(os.path.join(folder, name), **options)


def png_chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def write_png16_interlaced(name):
    """16-bit RGB, Adam7: Pillow writes neither."""
    pixels = rng.integers(0, 65536, (5, 7, 3), dtype=np.uint16).astype(">u2")
    passes = [(0, 0, 8, 8), (0, 4, 8, 8), (4, 0, 8, 4), (0, 2, 4, 4), (2, 0, 4, 2), (0, 1, 2, 2), (1, 0, 2, 1)]
    raw = b"".join(b"\0" + row.tobytes() for y0, x0, dy, dx in passes for row in pixels[y0::dy, x0::dx]
                   if pixels[y0::dy, x0::dx].size)
    header = struct.pack(">IIBBBBB", 7, 5, 16, 2, 0, 0, 1)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + png_chunk(b"IHDR", header) + png_chunk(b"IDAT", zlib.compress(raw)) +
                png_chunk(b"IEND", b""))


def adobe_transform(name, transform):
    """Rewrites the colour transform byte of the Adobe segment: 2 makes the CMYK file a YCCK one."""
    path = os.path.join(folder, name)
    data = bytearray(open(path, "rb").read())
    at = data.index(b"Adobe")  # after the marker and its length; then version, two flag words, transform
    assert data[at - 4:at - 2] == b"\xff\xee"
    data[at + 11] = transform
    open(path, "wb").write(bytes(data))


save(rgb, "rgb.png")
save(rgb.quantize(16), "palette_transparent.png", transparency=0)
save(rgb.convert("LA"), "grey_alpha.png")
write_png16_interlaced("rgb16_interlaced.png")
save(rgb, "baseline_420.jpg", quality=90)
save(rgb, "progressive_444.jpg", quality=90, progressive=True, subsampling=0)
save(rgb.convert("L"), "grey.jpg")
# Several MCUs across and down, for the partial and scaled decodes.
smooth = Image.fromarray(np.clip(np.add.outer(np.arange(48) * 4, np.arange(70) * 3)[:, :, None] +
                                 rng.integers(0, 40, (48, 70, 3)), 0, 255).astype(np.uint8))
save(smooth, "baseline_420_70x48.jpg", quality=50)
save(smooth, "progressive_422_70x48.jpg", quality=50, progressive=True, subsampling=1)
save(cmyk, "cmyk_adobe.jpg")
save(cmyk, "ycck.jpg")
adobe_transform("ycck.jpg", 2)
save(rgb, "rgb.ppm")
with open(os.path.join(folder, "grey16.pgm"), "wb") as f:
    f.write(b"P5\n# 16 bits\n3 2\n1000\n" + rng.integers(0, 1200, 6, dtype=np.uint16).astype(">u2").tobytes())

# The target's parameters, from the end: the region's height, width, top and
# left as fractions of 256, then the scale's code (1 << (code & 3)).
for i, name in enumerate(sorted(os.listdir(folder))):
    with open(os.path.join(folder, name), "ab") as f:
        f.write(bytes([160, 128, 32, 64][::-1]) + bytes([i % 4]))
