# Test pictures for the PNG and WebP stages and the pixels their bitmaps must
# hold. PNG files are written here with zlib, since Pillow writes only some of
# the colour types and depths and no interlaced files; WebP files by Pillow.
# The expected pixels come from Pillow's decoding of each file, composited
# over black as round(colour * alpha / 255).
#
#   make-png FOLDER    writes the PNG cases, prints their names
#   make-webp FOLDER   writes the WebP cases, prints their names
#   check FOLDER NAME...  compares FOLDER/NAME.bmp with FOLDER/NAME, prints
#                      "NAME MAXDIFF" per case ("NAME size" on a size mismatch)
import io
import os
import struct
import sys
import zlib

import numpy as np
from PIL import Image

WIDTH, HEIGHT = 13, 11  # odd, so rows are padded and interlace passes are partial

ADAM7 = [(0, 0, 8, 8), (4, 0, 8, 8), (0, 4, 4, 8), (2, 0, 4, 4), (0, 2, 2, 4), (1, 0, 2, 2), (0, 1, 1, 2)]


def chunk(kind, data):
    return struct.pack('>I', len(data)) + kind + data + struct.pack('>I', zlib.crc32(kind + data))


def pack_rows(samples, depth):
    if depth == 16:
        return [row.astype('>u2').tobytes() for row in samples]
    if depth == 8:
        return [row.astype(np.uint8).tobytes() for row in samples]
    per_byte = 8 // depth
    rows = []
    for row in samples:
        values = [int(v) for v in row[:, 0]] + [0] * (-len(row) % per_byte)
        packed = bytearray()
        for i in range(0, len(values), per_byte):
            byte = 0
            for v in values[i:i + per_byte]:
                byte = byte << depth | v
            packed.append(byte)
        rows.append(bytes(packed))
    return rows


def scanlines(samples, depth, interlaced):
    passes = ADAM7 if interlaced else [(0, 0, 1, 1)]
    data = b''
    for x0, y0, dx, dy in passes:
        part = samples[y0::dy, x0::dx]
        if part.shape[0] and part.shape[1]:
            data += b''.join(b'\0' + row for row in pack_rows(part, depth))
    return data


def write_png(path, samples, colour_type, depth, interlaced, palette=None, transparency=None):
    height, width = samples.shape[:2]
    data = b'\x89PNG\r\n\x1a\n'
    data += chunk(b'IHDR', struct.pack('>IIBBBBB', width, height, depth, colour_type, 0, 0, int(interlaced)))
    if palette is not None:
        data += chunk(b'PLTE', bytes(palette))
    if transparency is not None:
        data += chunk(b'tRNS', transparency)
    data += chunk(b'IDAT', zlib.compress(scanlines(samples, depth, interlaced)))
    data += chunk(b'IEND', b'')
    with open(path, 'wb') as f:
        f.write(data)


CHANNELS = {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}
DEPTHS = {0: (1, 2, 4, 8, 16), 2: (8, 16), 3: (1, 2, 4, 8), 4: (8, 16), 6: (8, 16)}


def make_png(folder):
    rng = np.random.default_rng(7)
    names = []
    for colour_type, depths in DEPTHS.items():
        for depth in depths:
            for interlaced in (False, True):
                # Pillow reads a key of a gray picture under 8 bits unscaled, so those have none.
                keyable = colour_type in (0, 2, 3) and depth >= (4 if colour_type == 3 else 8)
                for keyed in (False, True) if keyable else (False,):
                    top = (1 << depth) - 1
                    samples = rng.integers(0, top + 1, (HEIGHT, WIDTH, CHANNELS[colour_type]), dtype=np.int64)
                    if colour_type in (4, 6):  # fully clear and fully opaque pixels as well
                        samples[0, :3, -1] = [0, top, top // 2]
                    palette = transparency = None
                    if colour_type == 3:
                        entries = 1 << depth
                        palette = rng.integers(0, 256, entries * 3).tolist()
                        if keyed:  # shorter than the palette: later entries stay opaque
                            transparency = bytes(rng.integers(0, 256, max(1, entries // 2)).tolist())
                    elif keyed:
                        key = samples[1, 1].tolist()
                        samples[2, 2:5] = key
                        transparency = b''.join(struct.pack('>H', v) for v in key)
                        if colour_type == 2 and depth == 16:
                            # Pillow keeps only the high bytes, too few to find the keyed pixels by.
                            np.save(os.path.join(folder, 'type2-16bit%s-trns.png.alpha.npy' % (
                                '-interlaced' if interlaced else '')), np.where((samples == key).all(axis=2), 0, 255))
                    name = 'type%d-%dbit%s%s.png' % (colour_type, depth, '-interlaced' if interlaced else '',
                                                     '-trns' if keyed else '')
                    write_png(os.path.join(folder, name), samples, colour_type, depth, interlaced, palette,
                              transparency)
                    names.append(name)
    print('\n'.join(names))


def riff_chunk(tag, payload):
    return tag + struct.pack('<I', len(payload)) + payload + b'\0' * (len(payload) % 2)


def le24(value):
    return struct.pack('<I', value)[:3]


def frame_data(image, **options):
    """The ALPH, VP8 and VP8L chunks of a still Pillow writes: what a frame holds."""
    out = io.BytesIO()
    image.save(out, 'WEBP', **options)
    data, at, kept = out.getvalue(), 12, b''
    while at + 8 <= len(data):
        tag, size = data[at:at + 4], struct.unpack('<I', data[at + 4:at + 8])[0]
        if tag in (b'ALPH', b'VP8 ', b'VP8L'):
            kept += data[at:at + 8 + size + size % 2]
        at += 8 + size + size % 2
    return kept


def animation(width, height, frames):
    """An animated WebP put together by hand, so that the first frame's offset,
    size, blending and disposal are ours to choose. frames: (left, top, image,
    options, blend, dispose). The background colour is opaque blue, which a
    decoder is free to ignore, as libwebp's does."""
    has_alpha = any(image.mode == 'RGBA' for _, _, image, *_ in frames)
    body = riff_chunk(b'VP8X', bytes([0x02 | (0x10 if has_alpha else 0), 0, 0, 0]) + le24(width - 1) +
                      le24(height - 1))
    body += riff_chunk(b'ANIM', bytes([255, 0, 0, 255]) + struct.pack('<H', 0))
    for left, top, image, options, blend, dispose in frames:
        flags = (0 if blend else 2) | (1 if dispose else 0)
        body += riff_chunk(b'ANMF', le24(left // 2) + le24(top // 2) + le24(image.width - 1) +
                           le24(image.height - 1) + le24(100) + bytes([flags]) + frame_data(image, **options))
    return b'RIFF' + struct.pack('<I', 4 + len(body)) + b'WEBP' + body


def make_webp(folder):
    ys, xs = np.mgrid[0:40, 0:56]
    rgba = np.dstack([xs * 4, ys * 6, (xs + ys) * 2, (xs * 5 + ys * 3) % 256]).astype(np.uint8)
    opaque = Image.fromarray(rgba[:, :, :3], 'RGB')
    clear = Image.fromarray(rgba, 'RGBA')
    red = Image.new('RGBA', clear.size, (255, 0, 0, 255))

    def write_animation(width, height, frames):
        return lambda p: open(p, 'wb').write(animation(width, height, frames))

    cases = {
        'lossy.webp': lambda p: opaque.save(p, quality=90),
        'lossless.webp': lambda p: opaque.save(p, lossless=True),
        'lossy-alpha.webp': lambda p: clear.save(p, quality=90),
        'lossless-alpha.webp': lambda p: clear.save(p, lossless=True),
        'animated.webp': lambda p: clear.save(p, save_all=True, lossless=True, duration=100, append_images=[red]),
        # First frames smaller than the canvas: inside it, against its odd
        # right and bottom edges, and opaque; blending on and off, disposed
        # or kept, which a first frame must not show.
        'lossy-alpha-animated-inside.webp': write_animation(
            70, 58, [(8, 6, clear.crop((3, 5, 33, 25)), {'quality': 90}, True, True),
                     (0, 0, red, {'lossless': True}, False, False)]),
        'lossless-alpha-animated-edge.webp': write_animation(
            57, 41, [(28, 20, clear.crop((1, 1, 30, 22)), {'lossless': True}, False, False),
                     (0, 0, red, {'lossless': True}, True, True)]),
        'lossless-animated-opaque-inside.webp': write_animation(
            61, 43, [(4, 2, opaque.crop((0, 0, 51, 37)), {'lossless': True}, True, False),
                     (0, 0, red, {'lossless': True}, False, True)]),
    }
    for name, save in cases.items():
        save(os.path.join(folder, name))
    print('\n'.join(cases))


def expected_pixels(path):
    picture = Image.open(path)
    picture.seek(0)
    if picture.mode in ('I', 'I;16', 'I;16B'):
        # Pillow keeps 16-bit gray whole; the stage keeps the high byte.
        raw = np.array(picture).astype(np.int64)
        gray = raw >> 8
        key = picture.info.get('transparency')
        alpha = np.where(raw == key, 0, 255) if key is not None else np.full(raw.shape, 255)
        rgba = np.dstack([gray, gray, gray, alpha])
    elif os.path.exists(path + '.alpha.npy'):
        rgba = np.dstack([np.array(picture.convert('RGB')), np.load(path + '.alpha.npy')]).astype(np.int64)
    else:
        rgba = np.array(picture.convert('RGBA')).astype(np.int64)
    return (rgba[:, :, :3] * rgba[:, :, 3:] + 127) // 255


def check(folder, names):
    for name in names:
        expected = expected_pixels(os.path.join(folder, name))
        got = np.array(Image.open(os.path.join(folder, name + '.bmp')).convert('RGB')).astype(np.int64)
        if got.shape != expected.shape:
            print(name, 'size')
        else:
            print(name, int(np.abs(got - expected).max()))


if __name__ == '__main__':
    command, folder = sys.argv[1], sys.argv[2]
    if command == 'make-png':
        make_png(folder)
    elif command == 'make-webp':
        make_webp(folder)
    else:
        check(folder, sys.argv[3:])
