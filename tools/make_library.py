#!/usr/bin/env python3
"""Writes the sample library, examples/iTunes: a made-up iTunes folder whose
artwork cache files hold album covers and, between them, every kind of line
that artpeel reports.

    tools/make_library.py [OUTDIR]      (default: the examples folder)

OUTDIR/iTunes is removed and written afresh; the same Python and zlib write
the same bytes on every run. Needs python3 alone.
"""

import functools
import math
import os
import shutil
import struct
import sys
import zlib

# ---- Drawing ------------------------------------------------------------------------
# A cover is drawn row by row: cover(y, pixel) gives the shade of the row at y,
# a function from x to a colour (r, g, b), each from 0 to 1. Both x and y run
# over the unit square (y downwards) and `pixel` is one pixel's size in it, so
# that a cover is the same picture at every size and its edges are one pixel soft.


@functools.lru_cache(maxsize=None)
def rgb(hex_colour):
    return tuple(int(hex_colour[i:i + 2], 16) / 255 for i in (0, 2, 4))


def mix(a, b, t):
    return (a[0] + (b[0] - a[0]) * t, a[1] + (b[1] - a[1]) * t, a[2] + (b[2] - a[2]) * t)


def ramp(stops, t):
    """The colour at t of a gradient through (position, hex colour) stops."""
    for (t0, c0), (t1, c1) in zip(stops, stops[1:]):
        if t <= t1:
            return mix(rgb(c0), rgb(c1), min(1.0, max(0.0, (t - t0) / (t1 - t0))))
    return rgb(stops[-1][1])


def inside(distance, pixel):
    """How much of a pixel lies inside an edge at `distance` (negative inside)."""
    return min(1.0, max(0.0, 0.5 - distance / pixel))


def stripes(t, period, fill, pixel):
    """How much of a pixel at t lies on stripes that fill `fill` of each period."""
    p = t / period % 1
    distance = max(-p, p - fill) if p < fill else min(p - fill, 1 - p)
    return inside(distance * period, pixel)


def disc(x, y, cx, cy, radius):
    """The signed distance from (x, y) to the edge of a disc."""
    return math.hypot(x - cx, y - cy) - radius


def glow(colour, light, distance, reach, strength):
    """`colour` lit by a soft halo that fades out `reach` away from an edge."""
    return mix(colour, light, strength * max(0.0, 1 - max(distance, 0.0) / reach) ** 2)


def star(x, y, pixel, density):
    """A faint star field: at most one star in each cell of a grid."""
    cell = 0.04
    i, j = int(x / cell), int(y / cell)
    seed = math.sin(i * 12.9898 + j * 78.233) * 43758.5453 % 1
    if seed > density:
        return 0.0
    sx, sy = (i + 0.2 + 0.6 * (seed * 7 % 1)) * cell, (j + 0.2 + 0.6 * (seed * 13 % 1)) * cell
    return inside(disc(x, y, sx, sy, 0.0015 + 0.0025 * seed / density), pixel) * 0.9


def sunset(y, pixel):
    # A striped sun going down behind a plain ruled in pink.
    horizon = 0.64
    if y > horizon:
        depth = y - horizon
        ground = ramp([(0, "3a0d4f"), (0.36, "0d0518")], depth)
        along = abs(0.5 / depth % 1 - 0.5) * depth * depth / 0.5
        fade = min(1.0, depth * 6)

        def row(x):
            across = abs((x - 0.5) * 4 / depth % 1 - 0.5) * depth / 4
            line = inside(min(across, along) - 0.6 * pixel, pixel)
            return mix(ground, rgb("ff3fa4"), line * fade)
        return row
    sky = ramp([(0, "140a33"), (0.38, "6a1b6e"), (horizon, "f5714d")], y)
    sun = ramp([(0.15, "ffe66d"), (0.65, "ff5f6d")], y)
    cut = stripes(y - 0.43, 0.045, (y - 0.43) * 2.6, pixel) if y > 0.43 else 0.0

    def row(x):
        edge = disc(x, y, 0.5, 0.4, 0.25)
        lit = glow(sky, rgb("ff9e7a"), edge, 0.14, 0.45)
        return mix(lit, sun, inside(edge, pixel) * (1 - cut))
    return row


@functools.lru_cache(maxsize=None)
def ridge(layer, x):
    """The height of mountain ridge `layer` (0 is the farthest) at x."""
    k = layer + 1
    return (0.42 + 0.11 * layer + 0.05 * math.sin(x * (3 + k) + k * 1.7) +
            0.025 * math.sin(x * (11 + 2 * k) + k) + 0.008 * math.sin(x * 37 + k * k))


def mountains(y, pixel):
    # Ridges fading into the haze of a pale morning sun.
    sky = ramp([(0, "7fb3d5"), (0.5, "f6d5b8"), (0.75, "fbe3c8")], y)
    layers = [rgb(c) for c in ("c3b1d4", "8d86b5", "5a5f8f", "2f3a5f", "1b2238")]

    def row(x):
        # Drawn from the nearest ridge that hides the whole pixel, if one does.
        hidden = [n for n in range(len(layers)) if y - ridge(n, x) > pixel]
        if hidden:
            first = hidden[-1] + 1
            colour = layers[first - 1]
        else:
            first = 0
            sun = disc(x, y, 0.68, 0.3, 0.07)
            colour = glow(sky, rgb("fff6e0"), sun, 0.25, 0.6)
            colour = mix(colour, rgb("fffaf0"), inside(sun, pixel))
        for layer in range(first, len(layers)):
            colour = mix(colour, layers[layer], inside(ridge(layer, x) - y, pixel))
        return colour
    return row


def ocean(y, pixel):
    # A full moon over a night sea, its light broken on the waves.
    if y > 0.6:
        depth = y - 0.6
        wave = stripes(1 / (depth + 0.02) * 0.6, 1, 0.5, pixel * 30 / (depth + 0.02))
        water = mix(rgb("0d2b52"), rgb("15406e"), wave * (1 - depth * 2))

        def row(x):
            spread = 0.02 + depth * 0.5
            shimmer = math.exp(-((x - 0.68) / spread) ** 2) * wave
            return mix(water, rgb("f4f1de"), shimmer * 0.8)
        return row
    sky = ramp([(0, "050d24"), (0.6, "1f4e79")], y)

    def row(x):
        edge = disc(x, y, 0.68, 0.28, 0.1)
        colour = mix(sky, rgb("ffffff"), star(x, y, pixel, 0.3))
        colour = glow(colour, rgb("9fb7d9"), edge, 0.2, 0.5)
        return mix(colour, rgb("f4f1de"), inside(edge, pixel))
    return row


def vinyl(y, pixel):
    # A record sliding out of its sleeve.
    def row(x):
        colour = rgb("e9b949")
        edge = disc(x, y, 0.6, 0.5, 0.36)
        if edge < pixel:
            radius = edge + 0.36
            groove = 0.1 * stripes(radius, 0.012, 0.5, pixel) if radius > 0.15 else 0.0
            sheen = 0.12 * abs(math.sin(math.atan2(y - 0.5, x - 0.6) * 2))
            record = mix(rgb("141414"), rgb("5a5a5a"), groove + sheen)
            colour = mix(colour, record, inside(edge, pixel))
            colour = mix(colour, rgb("d1495b"), inside(radius - 0.12, pixel))
            colour = mix(colour, rgb("e9b949"), inside(radius - 0.012, pixel))
        sleeve = max(x - 0.44, abs(y - 0.5) - 0.4, 0.04 - x)
        if sleeve > pixel:
            return colour
        logo = inside(abs(disc(x, y, 0.24, 0.5, 0.12)) - 0.012, pixel)
        return mix(colour, mix(rgb("1d7874"), rgb("f4e9d8"), logo), inside(sleeve, pixel))
    return row


def halftone(y, pixel):
    # Pop-art dots swelling towards one corner.
    def row(x):
        colour = ramp([(0, "ff6b9d"), (1, "ffc15e")], (x + y) / 2)
        cx, cy = (math.floor(x / 0.0625) + 0.5) * 0.0625, (math.floor(y / 0.0625) + 0.5) * 0.0625
        size = 0.004 + 0.028 * (1 - math.hypot(cx - 0.15, cy - 0.15) / 1.2)
        return mix(colour, rgb("3d348b"), inside(disc(x, y, cx, cy, size), pixel))
    return row


def rainbow(y, pixel):
    # Seventies arcs around the bottom left corner.
    colours = [rgb(c) for c in ("386641", "6a994e", "ffba08", "faa307", "f48c06", "e85d04")]

    def row(x):
        radius = math.hypot(x, 1 - y)
        colour = rgb("f4e9d8")
        for n, shade in enumerate(colours):
            outer = 0.95 - 0.1 * n
            colour = mix(colour, shade, inside(abs(radius - outer + 0.045) - 0.045, pixel))
        return colour
    return row


def bauhaus(y, pixel):
    # A circle, a half circle, a triangle and a bar on cream.
    def row(x):
        colour = rgb("efe6d2")
        triangle = max(x - 0.92, y - 0.9, (0.52 - x) * 0.868 + (0.9 - y) * 0.496)
        colour = mix(colour, rgb("fcbf49"), inside(triangle, pixel))
        colour = mix(colour, rgb("d62828"), inside(disc(x, y, 0.34, 0.4, 0.22), pixel))
        half = max(disc(x, y, 0.6, 0.9, 0.17), y - 0.9)
        colour = mix(colour, rgb("1d3557"), inside(half, pixel))
        bar = max(abs(y - 0.9) - 0.012, 0.1 - x, x - 0.92)
        return mix(colour, rgb("111111"), inside(bar, pixel))
    return row


def aurora(y, pixel):
    # Northern lights above a dark forest ridge.
    sky = ramp([(0, "02051a"), (1, "0b2545")], y)

    def row(x):
        curtain = 0.36 + 0.07 * math.sin(x * 6 + 0.5) + 0.03 * math.sin(x * 17)
        fall = (y - curtain) / (0.22 if y > curtain else 0.05)
        light = math.exp(-fall * fall) * (0.75 + 0.25 * math.sin(x * 70 + 3 * math.sin(x * 5)))
        colour = mix(sky, rgb("ffffff"), star(x, y, pixel, 0.25))
        colour = mix(colour, ramp([(-1, "9b5de5"), (0, "3ddc97"), (1, "3ddc97")], fall), light)
        tree = math.floor(x * 30)  # thirty fir tops, each of its own height
        height = 0.03 + 0.02 * (math.sin(tree * 91.7) * 437.5 % 1)
        tip = 1 - abs(x * 30 - tree - 0.5) * 2
        ridge_line = 0.88 + 0.03 * math.sin(x * 4 + 1) - height * tip
        return mix(colour, rgb("02040a"), inside(ridge_line - y, pixel))
    return row


def moon(y, pixel):
    # A crescent moon.
    sky = ramp([(0, "1a1446"), (1, "3c2a6b")], y)

    def row(x):
        crescent = max(disc(x, y, 0.5, 0.5, 0.3), -disc(x, y, 0.62, 0.42, 0.26))
        return mix(glow(sky, rgb("6c5ba7"), crescent, 0.2, 0.5), rgb("f7e7a1"),
                   inside(crescent, pixel))
    return row


def png(cover, size):
    """The cover drawn at size x size pixels, as an 8-bit RGB PNG file. Each row
    is stored as its difference from the row above (filter 2), which zlib packs
    well in pictures that are smooth from top to bottom."""
    pixel = 1 / size
    xs = [(i + 0.5) * pixel for i in range(size)]
    data = bytearray()
    previous = bytes(3 * size)
    for j in range(size):
        shade = cover((j + 0.5) * pixel, pixel)
        row = bytes(min(255, max(0, int(c * 255 + 0.5))) for x in xs for c in shade(x))
        data.append(2)
        data += bytes((a - b) & 0xFF for a, b in zip(row, previous))
        previous = row

    def chunk(kind, body):
        crc = zlib.crc32(kind + body)
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", crc)

    header = struct.pack(">IIBBBBB", size, size, 8, 2, 0, 0, 0)  # 8-bit RGB
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
            chunk(b"IDAT", zlib.compress(bytes(data), 9)) + chunk(b"IEND", b""))


# ---- Cache files ----------------------------------------------------------------------
# Every integer is a big-endian 32-bit number; tags are four bytes in file order.


def item(key, payload=b"", width=0, height=0, location=b"locl", image_format=b"PNGf",
         tag=b"item", header_length=208, unknowns=(1, 2, 1, 0)):
    """One record: its 64-byte header, zeros up to `header_length`, the payload."""
    header = struct.pack(">I4sI4I8xQ4s4s4xII", header_length + len(payload), tag, header_length,
                         *unknowns, key, location, image_format, width, height)
    return header.ljust(header_length, b"\0") + payload


def image(key, picture, size, **fields):
    return item(key, png(picture, size), size, size, **fields)


def cache_file(records, signature=b"itch", flags=(2, 2, 2, 0), content=b"artw"):
    return struct.pack(">I4s4I4s", 28, signature, *flags, content) + b"".join(records)


# Framed like a JPEG file (start, JFIF segment, a comment, end) with no picture
# in it: enough for a format artpeel only copies.
JPEG = (b"\xff\xd8\xff\xe0\x00\x10JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00"
        b"\xff\xfe\x00\x31artpeel sample: JPEG framing without image data\xff\xd9")
STORED_ELSEWHERE = {"location": b"down", "width": 600, "height": 600}


def cache(kind, folders, name):
    """A path in one of the library's artwork folders: Cache, Download or Cloud."""
    return ("iTunes/Album Artwork/%s/9F3C2A71B8D04E65A1C7E2F0D3B64A58/%s/9F3C2A71B8D04E65-%s" %
            (kind, folders, name))


def library():
    """(path below OUTDIR, bytes) of every file of the sample library."""
    return [
        # One album at two sizes, everything as expected.
        (cache("Cache", "03/07/11", "2D41A9C07E3B5F18.itc2"), cache_file([
            image(0x2D41A9C07E3B5F18, sunset, 600), image(0x2D41A9C07E3B5F19, sunset, 300)])),
        # The middle image is kept elsewhere, so the exported ones are 01 and 03.
        (cache("Cache", "03/07/11", "6E0F4B2D91C8A735.itc2"), cache_file([
            image(0x6E0F4B2D91C8A735, mountains, 600), item(0x6E0F4B2D91C8A736, **STORED_ELSEWHERE),
            image(0x6E0F4B2D91C8A737, mountains, 300)])),
        # A free record, then an image in a format artpeel does not know.
        (cache("Cache", "03/0C", "B7D2E4F6A8C01357.itc2"), cache_file([
            image(0xB7D2E4F6A8C01357, vinyl, 300),
            item(0, bytes(64), tag=b"free", header_length=64, unknowns=(0, 0, 0, 0),
                 location=bytes(4), image_format=bytes(4)),
            item(0xB7D2E4F6A8C01359, JPEG, 600, 600, image_format=b"JPEg")])),
        # Odd item headers: Unknowns_1 differ; a 212-byte header; both at once.
        (cache("Cache", "0E/02/05", "5A6B7C8D9E0F1A2B.itc2"), cache_file([
            image(0x5A6B7C8D9E0F1A2B, halftone, 200, unknowns=(1, 2, 2, 0)),
            image(0x5A6B7C8D9E0F1A2C, rainbow, 150, header_length=212),
            image(0x5A6B7C8D9E0F1A2D, bauhaus, 120, header_length=212, unknowns=(0, 0, 0, 0))])),
        # An upper-case extension, which the walk still takes.
        (cache("Cache", "0E/02/05", "0C1D2E3F4A5B6C7D.ITC2"),
         cache_file([image(0x0C1D2E3F4A5B6C7D, ocean, 600)])),
        # Unexpected header flags; the file is still read.
        (cache("Cache", "0E/0A", "F1E2D3C4B5A69788.itc2"),
         cache_file([image(0xF1E2D3C4B5A69788, aurora, 300)], flags=(2, 2, 2, 1))),
        # Nine images kept elsewhere, then one stored here as record 10.
        (cache("Download", "01", "3C4D5E6F708192A0.itc2"), cache_file(
            [item(0x3C4D5E6F708192A0 + n, **STORED_ELSEWHERE) for n in range(9)] +
            [image(0x3C4D5E6F708192AA, moon, 100)])),
        # Not an ITC2 file (the signature byte-swapped): its image is not exported.
        (cache("Download", "01", "8899AABBCCDDEEFF.itc2"),
         cache_file([image(0x8899AABBCCDDEEFF, rainbow, 100)], signature=b"hcti")),
        # An ITC2 file holding something other than artwork.
        (cache("Cloud", "04", "7766554433221100.itc2"),
         cache_file([image(0x7766554433221100, halftone, 100)], content=b"meta")),
        # Directly in the named folder, so a walk from iTunes/ never reads it.
        ("iTunes/stray.itc2", cache_file([image(0xE0E1E2E3E4E5E6E7, bauhaus, 150)])),
    ]


def main():
    tools = os.path.dirname(os.path.abspath(__file__))
    outdir = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(tools), "examples")
    shutil.rmtree(os.path.join(outdir, "iTunes"), ignore_errors=True)
    for path, data in library():
        os.makedirs(os.path.dirname(os.path.join(outdir, path)), exist_ok=True)
        with open(os.path.join(outdir, path), "wb") as out:
            out.write(data)
        print("%s (%d bytes)" % (path, len(data)))


if __name__ == "__main__":
    main()
