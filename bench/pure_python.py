"""What a user would write instead of tonesift: the four rules and the record in plain Python."""
import collections
from dataclasses import dataclass


def rgb_rule(r, g, b):
    return (r > 95 and g > 40 and g < 100 and b > 20
            and max(r, g, b) - min(r, g, b) > 15
            and abs(r - g) > 15 and r > g and r > b)


def normalised_rgb_rule(r, g, b):
    if r == 0:
        r = 0.0001
    if g == 0:
        g = 0.0001
    if b == 0:
        b = 0.0001
    total = (r + g) + b
    nr = r / total
    ng = g / total
    return nr / ng > 1.185 and (r * b) / (total * total) > 0.107 and (r * g) / (total * total) > 0.112


def hsv_rule(r, g, b):
    total = (r + g) + b
    top = max(r, g, b)  # max and min keep the first of equals, and pass over a later NaN
    bottom = min(r, g, b)
    diff = top - bottom
    if total == 0:
        total = 0.0001
    if r == top:
        hue = 2.0 ** 63 if diff == 0 else (g - b) / diff
    elif g == top:
        hue = (b - r) / diff + 2
    else:
        hue = (r - g) / diff + 4
    hue = hue * 60
    if hue < 0:
        hue = hue + 360
    saturation = 1 - (bottom / total) * 3
    return hue > 0 and hue < 35 and saturation > 0.23 and saturation < 0.68


def ycbcr_rule(r, g, b):
    cb = ((128 - 0.168736 * r) - 0.331264 * g) + 0.5 * b
    if not (cb >= 97.5 and cb <= 142.5):
        return False
    cr = ((0.5 * r + 128) - 0.418688 * g) - 0.081312 * b
    return cr >= 134 and cr <= 176


def is_skin(r, g, b):
    """Colours on the 0 to 255 scale; a sum of zero raises ZeroDivisionError."""
    return rgb_rule(r, g, b) or normalised_rgb_rule(r, g, b) or hsv_rule(r, g, b) or ycbcr_rule(r, g, b)


SkinTuple = collections.namedtuple("SkinTuple", "id skin region x y checked")


class SkinSlots:
    __slots__ = ("id", "skin", "region", "x", "y", "checked")

    def __init__(self, skin_id, skin, region, x, y, checked):
        self.id = skin_id
        self.skin = skin
        self.region = region
        self.x = x
        self.y = y
        self.checked = checked


@dataclass
class SkinData:
    id: int
    skin: int
    region: int
    x: int
    y: int
    checked: int
