"""Threads and processes using tonesift at once."""
import multiprocessing
import random
import sys
import threading

import pytest

import tonesift
from tonesift import Skin

from conftest import fields

THREADS = 4
ROUNDS = 3000


def classify_rows(rows):
    """What a worker does with its share of an image: one verdict per pixel."""
    return [[tonesift.tonesift(*pixel) for pixel in row] for row in rows]


def image(width=64, height=48, seed=7):
    rng = random.Random(seed)
    return [[tuple(rng.randrange(256) for _ in range(3)) for _ in range(width)]
            for _ in range(height)]


@pytest.fixture
def frequent_switches():
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(interval)


def test_threads_classify_build_and_write_the_same_records(frequent_switches):
    shared = [Skin(i, 0, 0, 0, 0, 0) for i in range(8)]
    pixels = [pixel for row in image() for pixel in row]
    expected = [tonesift.tonesift(*pixel) for pixel in pixels]
    failures = []

    def work(number):
        rng = random.Random(number)
        try:
            for step in range(ROUNDS):
                index = rng.randrange(len(pixels))
                assert tonesift.tonesift(*pixels[index]) is expected[index]
                record = shared[step % len(shared)]
                record.x = number
                record._replace(number)
                record.__init__(record.id, number, number, number, number, number)
                assert Skin(number, step, 0, 0, 0, 0).skin == step
        except BaseException as error:  # reported by the main thread
            failures.append(error)

    threads = [threading.Thread(target=work, args=(n,)) for n in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []
    for i, record in enumerate(shared):
        id_, *rest = fields(record)
        assert id_ == i and all(0 <= value < THREADS for value in rest)


@pytest.mark.parametrize("method", ["fork", "spawn"])
def test_process_pool_classifies_an_image(method):
    rows = image()
    chunks = [rows[i:i + 8] for i in range(0, len(rows), 8)]
    with multiprocessing.get_context(method).Pool(2) as pool:
        verdicts = [row for chunk in pool.map(classify_rows, chunks) for row in chunk]
        # The function itself pickles by reference, so it can be handed to the pool directly.
        direct = pool.starmap(tonesift.tonesift, rows[0])
    assert verdicts == classify_rows(rows)
    assert direct == verdicts[0]


def test_whole_image_calls_while_another_thread_writes_the_input():
    """The result is unspecified while the input changes, but every call must finish with a
    mask and regions of the right shape, and nothing may break (the sanitizer run checks the
    memory side)."""
    np = pytest.importorskip("numpy")
    import tonesift_image

    rng = np.random.default_rng(9)
    pixels = rng.integers(0, 256, (700, 800, 3), dtype=np.uint8)
    doubles = pixels.astype(np.float64)
    stop = threading.Event()
    errors, shapes = [], []

    def writer():
        while not stop.is_set():
            pixels[rng.integers(0, 700), :] = rng.integers(0, 256, (800, 3), dtype=np.uint8)
            doubles[rng.integers(0, 700), :, 0] = rng.uniform(-1, 256)

    def reader():
        try:
            for _ in range(6):
                mask = tonesift_image.skin_mask(pixels, threads=2)
                regions = tonesift_image.skin_regions(mask, threads=2)
                try:
                    tonesift_image.skin_mask(doubles, channels="BGR", threads=2)
                except ZeroDivisionError:
                    pass  # a written value may fail a division; that is a documented answer
                shapes.append((mask.shape, regions.labels.shape, len(regions) >= 0))
        except BaseException as error:  # noqa: B902 - reported below
            errors.append(error)

    threads = [threading.Thread(target=writer)] + [threading.Thread(target=reader)
                                                   for _ in range(3)]
    for thread in threads:
        thread.start()
    for thread in threads[1:]:
        thread.join()
    stop.set()
    threads[0].join()
    assert errors == []
    assert shapes == [((700, 800), (700, 800), True)] * 18
