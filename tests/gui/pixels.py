#!/usr/bin/python3
"""What the window tests read from their screen grabs.

    pixels.py box IMAGE                  the region box's grey lines below the hint: left top
                                         right bottom (or none)
    pixels.py corners IMAGE              two corners of the region box: its leftmost grey
                                         pixel and the leftmost of its lowest ones: x y x y
    pixels.py red IMAGE X Y W H          the centre of the red pixels in the rectangle: x y
                                         (or none)
    pixels.py ink IMAGE X Y W H [RGB]    pixels in the rectangle darker than the background,
                                         or of about colour RGB (rrggbb)
    pixels.py light IMAGE X Y W H        light grey pixels (text of the Preview's hint)
    pixels.py minus IMAGE X Y W H        'yes' when the text shown in the field starts with a
                                         minus sign: its leftmost glyph is a short dash
"""
import subprocess
import sys


def load(path):
    data = subprocess.run(["convert", path, "-depth", "8", "ppm:-"], check=True,
                          stdout=subprocess.PIPE).stdout
    fields, pos = [], 0
    while len(fields) < 4:  # P6 width height maxval, with whitespace between
        while data[pos:pos + 1].isspace():
            pos += 1
        end = pos
        while not data[end:end + 1].isspace():
            end += 1
        fields.append(data[pos:end])
        pos = end
    width, height = int(fields[1]), int(fields[2])
    pixels = data[pos + 1:]
    return width, height, lambda x, y: tuple(pixels[3 * (y * width + x):3 * (y * width + x) + 3])


def matches(image, test, x0=0, y0=0, w=None, h=None):
    width, height, at = image
    w = width - x0 if w is None else w
    h = height - y0 if h is None else h
    return [(x, y) for y in range(y0, min(y0 + h, height)) for x in range(x0, min(x0 + w, width))
            if test(at(x, y))]


HINT_ROWS = 48  # the Preview's hint, whose letters' edges have every grey


def grey(p):  # the box: 0.3 grey, drawn without lighting
    return p[0] == p[1] == p[2] and 74 <= p[0] <= 79


def red(p):
    return p[0] >= 200 and p[1] <= 60 and p[2] <= 60


def main():
    what, image = sys.argv[1], load(sys.argv[2])
    rect = [int(v) for v in sys.argv[3:7]]
    if what == "box":
        found = matches(image, grey, 0, HINT_ROWS)
        xs, ys = [x for x, _ in found], [y for _, y in found]
        print(f"{min(xs)} {min(ys)} {max(xs)} {max(ys)}" if found else "none")
    elif what == "corners":
        found = matches(image, grey, 0, HINT_ROWS)
        if not found:
            print("none")
            return
        left = min(found)
        lowest = max(y for _, y in found)
        bottom = min(p for p in found if p[1] == lowest)
        print(*left, *bottom)
    elif what == "red":
        found = matches(image, red, *rect)
        if not found:
            print("none")
        else:
            print(round(sum(x for x, _ in found) / len(found)), round(sum(y for _, y in found) / len(found)))
    elif what == "ink":
        if len(sys.argv) > 7:
            want = tuple(int(sys.argv[7][i:i + 2], 16) for i in (0, 2, 4))
            test = lambda p: all(abs(a - b) <= 40 for a, b in zip(p, want))
        else:
            test = lambda p: sum(p) < 3 * 110
        print(len(matches(image, test, *rect)))
    elif what == "light":
        print(len(matches(image, lambda p: p[0] == p[1] == p[2] and p[0] >= 150, *rect)))
    elif what == "minus":
        x0, y0, w, h = rect
        dark = matches(image, lambda p: sum(p) < 3 * 128, x0 + 3, y0 + 3, w - 6, h - 6)
        if not dark:
            print("no text")
            return
        left = min(x for x, _ in dark)
        # The first glyph: dark columns from the leftmost one up to a blank column.
        glyph, x = [], left
        while any(px == x for px, _ in dark):
            glyph += [p for p in dark if p[0] == x]
            x += 1
        rows = {y for _, y in glyph}
        print("yes" if len(rows) <= 3 else f"no: the first glyph is {x - left} wide, {len(rows)} rows high")


if __name__ == "__main__":
    main()
