"""The inputs of a run, by name: paths, URLs, standard input ("-"), and the built-in sample."""
from pathlib import Path

DEFAULT_MAX_PIXELS = 250_000_000
STDIN = "-"
SAMPLE = Path(__file__).resolve().parent / "data" / "astronaut.png"


def display_name(name: str) -> str:
    if name == str(SAMPLE):
        return f"{SAMPLE.name} (built-in sample)"
    return "standard input" if name == STDIN else name
