"""The benchmark's colour mix: 10,000 seeded colours, half of them skin-like.

colour_rules_bench.cpp draws the same mix with the same generator (splitmix64).
"""
MASK = (1 << 64) - 1
SEED = 20261208
COUNT = 10_000


def splitmix64(seed):
    state = seed
    while True:
        state = (state + 0x9E3779B97F4A7C15) & MASK
        z = state
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK
        yield z ^ (z >> 31)


def colour_mix(is_skin, count=COUNT, seed=SEED):
    """Random colours in the order drawn, each kind kept until it has count / 2 members."""
    wanted = {True: count // 2, False: count - count // 2}
    colours = []
    for z in splitmix64(seed):
        colour = (z & 0xFF, (z >> 8) & 0xFF, (z >> 16) & 0xFF)
        kind = bool(is_skin(*colour))
        if wanted[kind]:
            wanted[kind] -= 1
            colours.append(colour)
            if len(colours) == count:
                return colours


def fractional_mix(colours, seed=SEED):
    """The same colours with each component moved off its level by a random fraction of one,
    staying within 0..255."""
    state = splitmix64(seed ^ 0xF7AC)
    moved = []
    for colour in colours:
        shifted = []
        for component in colour:
            fraction = (next(state) >> 11) / 2.0 ** 53 * 0.98 + 0.01  # never a whole level
            shifted.append(component + fraction if component < 255 else component - fraction)
        moved.append(tuple(shifted))
    return moved
