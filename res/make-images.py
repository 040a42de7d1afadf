# Writes the button bitmaps (4-bit BMP) and the application icon (PNG).
import struct, zlib, math

GREY = (192, 192, 192)

def bmp4(path, width, height, pixel):
    palette = [(0,0,0),(128,0,0),(0,128,0),(128,128,0),(0,0,128),(128,0,128),(0,128,128),(192,192,192),
               (128,128,128),(255,0,0),(0,255,0),(255,255,0),(0,0,255),(255,0,255),(0,255,255),(255,255,255)]
    index = {c: i for i, c in enumerate(palette)}
    row_bytes = ((width * 4 + 31) // 32) * 4
    rows = []
    for y in range(height - 1, -1, -1):  # bottom-up
        nibbles = [index[pixel(x, y)] for x in range(width)]
        if len(nibbles) % 2: nibbles.append(0)
        data = bytes((nibbles[i] << 4) | nibbles[i + 1] for i in range(0, len(nibbles), 2))
        rows.append(data + b'\0' * (row_bytes - len(data)))
    pixels = b''.join(rows)
    pal = b''.join(bytes((b, g, r, 0)) for (r, g, b) in palette)
    offset = 14 + 40 + len(pal)
    header = b'BM' + struct.pack('<IHHI', offset + len(pixels), 0, 0, offset)
    info = struct.pack('<IiiHHIIiiII', 40, width, height, 1, 4, 0, len(pixels), 2835, 2835, 16, 0)
    open(path, 'wb').write(header + info + pal + pixels)

def rec(x, y):
    # A red disc on light grey, 14 x 14.
    cx = cy = 6.5
    return (255, 0, 0) if (x - cx) ** 2 + (y - cy) ** 2 <= 5.6 ** 2 else GREY

def stop(x, y):
    # A black 11 x 11 square with a border of two grey pixels, 15 x 15.
    return (0, 0, 0) if 2 <= x <= 12 and 2 <= y <= 12 else GREY

bmp4('rec.bmp', 14, 14, rec)
bmp4('stop.bmp', 15, 15, stop)

def png(path, size, pixel):
    raw = b''.join(b'\0' + b''.join(bytes(pixel(x, y)) for x in range(size)) for y in range(size))
    def chunk(kind, data):
        return struct.pack('>I', len(data)) + kind + data + struct.pack('>I', zlib.crc32(kind + data) & 0xffffffff)
    open(path, 'wb').write(b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', size, size, 8, 6, 0, 0, 0))
                           + chunk(b'IDAT', zlib.compress(raw, 9)) + chunk(b'IEND', b''))

def icon(x, y):
    # Four cameras' colours around a dark lens: yellow, green, cyan, blue.
    s = 64.0
    u, v = (x + 0.5) / s * 2 - 1, (y + 0.5) / s * 2 - 1
    r = math.hypot(u, v)
    if r > 0.97: return (0, 0, 0, 0)
    dots = [((-0.42, -0.42), (255, 220, 0)), ((0.42, -0.42), (40, 200, 60)),
            ((-0.42, 0.42), (0, 210, 220)), ((0.42, 0.42), (40, 90, 255))]
    for (cx, cy), colour in dots:
        if math.hypot(u - cx, v - cy) < 0.24: return colour + (255,)
    if r < 0.2: return (230, 230, 235, 255)
    return (28, 32, 48, 255)

png('kestrova.png', 64, icon)
