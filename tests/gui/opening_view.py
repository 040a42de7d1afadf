#!/usr/bin/python3
"""Where points of the scene appear in the Preview as it opens, worked out
from what the README says of its opening view: it looks at the middle of the
region box from the front (-z) and 20 degrees above, with VTK's vertical view
angle of 30 degrees, from just far enough that every corner of the box lies
within 90 % of the view's half-width and half-height.

    opening_view.py WIDTH HEIGHT CALIBRATION X Y Z [X Y Z ...]

The box is the default region (cm) times CALIBRATION; the points are in PCL
units. Prints each point's pixel in the drawing area, from its top left.
"""
import math
import sys

ROI_CM = (-29, 26, -41, -4, -22, 13)


def dot(a, b):
    return sum(x * y for x, y in zip(a, b))


def cross(a, b):
    return (a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0])


def main():
    width, height, calibration = int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3])
    box = [v * calibration for v in ROI_CM]
    elevation = math.radians(20)
    back = (0.0, math.sin(elevation), -math.cos(elevation))
    forward = tuple(-c for c in back)
    up = (0.0, math.cos(elevation), math.sin(elevation))
    right = cross(forward, up)
    tangent = math.tan(math.radians(15))
    aspect = width / height
    centre = [(box[2 * i] + box[2 * i + 1]) / 2 for i in range(3)]
    half = [abs(box[2 * i + 1] - box[2 * i]) / 2 for i in range(3)]
    distance = 0.0
    for corner in range(8):
        v = [half[i] if corner >> i & 1 else -half[i] for i in range(3)]
        along = dot(v, forward)
        distance = max(distance, abs(dot(v, right)) / (0.9 * tangent * aspect) - along,
                       abs(dot(v, up)) / (0.9 * tangent) - along)
    eye = [centre[i] + distance * back[i] for i in range(3)]
    values = [float(v) for v in sys.argv[4:]]
    for k in range(0, len(values), 3):
        v = [values[k + i] - eye[i] for i in range(3)]
        depth = dot(v, forward)
        x = (dot(v, right) / (depth * tangent * aspect) + 1) * width / 2
        y = (dot(v, up) / (depth * tangent) + 1) * height / 2
        print(round(x), round(height - 1 - y))


if __name__ == "__main__":
    main()
