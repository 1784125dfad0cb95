"""Classify a handful of colours with tonesift and print the verdicts."""
import tonesift

COLOURS = {
    "light skin": (224, 172, 140),
    "medium skin": (198, 134, 66),
    "dark skin": (141, 85, 36),
    "sky blue": (135, 206, 235),
    "grass green": (86, 125, 70),
    "white": (255, 255, 255),
    "black": (0, 0, 0),
}

for name, (r, g, b) in COLOURS.items():
    verdict = "skin" if tonesift.tonesift(r, g, b) else "not skin"
    print(f"{name:12} ({r:3}, {g:3}, {b:3})  {verdict}")
