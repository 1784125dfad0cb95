"""Threads and processes using tonesift at once."""
import multiprocessing
import random
import sys
import sysconfig
import threading
import time

import pytest

import tonesift
from tonesift import Skin

from conftest import FIELDS, INPUT_WRITERS, LINE, fields, run_python

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))

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
        while INPUT_WRITERS and not stop.is_set():
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


@pytest.mark.skipif(not FREE_THREADED, reason="the GIL is always on without free threading")
@pytest.mark.parametrize("module", ["tonesift", "tonesift_image"])
def test_importing_leaves_the_gil_off(module):
    # A module that does not declare itself safe turns the GIL on, with a RuntimeWarning.
    run_python(f"""
        import sys, warnings
        warnings.simplefilter("error")
        import {module}
        assert not sys._is_gil_enabled()
    """, env={"PYTHON_GIL": ""})


class NoInt:
    def __int__(self):
        raise ValueError("no int")


POISON = -99  # what a failed write offers; it must never land


def test_a_shared_record_is_whole_after_every_round(frequent_switches):
    """Two threads write one record with whole initialisers, failing ones, _replace and setters,
    starting each round together. After every round, id, skin, y and checked come from one
    initialiser; region from that one or a _replace (negative values), x from that one or a
    setter (values from 10**7); nothing from a failed call."""
    record = Skin(*[10**6] * 6)
    # Spinning threads start a round within a fraction of a call of each other, which is what
    # meets two writes in flight; a barrier's wake-up is far slower than a call.
    # A loaded machine deschedules spinners, so the rounds also stop after a few seconds.
    rounds = 20_000 if FREE_THREADED else 300
    deadline = time.monotonic() + 5
    released, finished, problems, stop = [1], [0, 0], [], []

    def check():
        id_, skin, region, x, y, checked = fields(record)
        if not (id_ == skin == y == checked and 10**6 <= id_ < 10**7
                and (region == id_ or region <= -10**6) and (x == id_ or x >= 10**7)):
            problems.append(fields(record))

    def write(rng, number):
        value = (number + 1) * 1_000_000 + rng.randrange(1_000_000)
        action = rng.randrange(8)
        if action < 3:
            record.__init__(value, value, value, value, value, value)
        elif action == 3:
            record.__init__(*[value] * 5, checked=value)
        elif action == 4:
            with pytest.raises(ValueError):
                record.__init__(*[POISON] * 5, NoInt())
        elif action == 5:
            record._replace(-value)
        elif action == 6:
            record.x = value + 10**7
        else:
            with pytest.raises(ValueError):
                setattr(record, FIELDS[rng.randrange(6)], NoInt())

    def work(number):
        rng = random.Random(number)
        try:
            for round_ in range(1, rounds + 1):
                while released[0] < round_ and not problems:
                    pass
                if stop:
                    break
                for _ in range(3):
                    write(rng, number)
                finished[number] = round_
                if number == 0:
                    while finished[1] < round_ and not problems:
                        pass
                    check()
                    if time.monotonic() > deadline:
                        stop.append(round_)
                    released[0] = round_ + 1
        except BaseException as error:  # reported by the main thread
            problems.append(error)

    threads = [threading.Thread(target=work, args=(n,)) for n in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert problems == [] and min(finished) >= min(rounds, 100)


def test_start_up_and_first_failures_on_threads_at_once():
    """Threads import at once, then meet their first failures (each site's first traceback
    entry is made then) and the __int__ deprecation warning at once."""
    run_python(f"""
        import sys, threading, traceback, warnings
        warnings.simplefilter("always")
        THREADS = {THREADS}
        barrier = threading.Barrier(THREADS)
        modules, problems = [], []

        class Wide(int):
            pass

        class Deprecated:
            def __int__(self):
                return Wide(5)

        def entries(error):
            return [(f.name, f.lineno) for f in traceback.extract_tb(error.__traceback__)
                    if f.filename == "tonesift.cpp"]

        def work():
            try:
                barrier.wait()
                import tonesift
                import tonesift_image
                modules.append((tonesift, tonesift_image))
                barrier.wait()
                for _ in range(200):
                    try:
                        tonesift.tonesift(0.0, 0.0, 0.0)
                    except ZeroDivisionError as error:
                        assert entries(error) == [
                            ("tonesift.tonesift", {LINE['rule_call']}),
                            ("tonesift._norm_rgb_classifier", {LINE['normalising']})]
                    try:
                        tonesift.Skin(1, 2, 3, 4, 5, "6")
                    except TypeError as error:
                        assert entries(error) == [("tonesift.Skin.__cinit__", {LINE['cinit_checked']})]
                    assert tonesift.Skin(1, 2, 3, 4, 5, Deprecated()).checked == 5
            except BaseException as error:
                problems.append(error)

        threads = [threading.Thread(target=work) for _ in range(THREADS)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        assert problems == [], problems
        assert len(set(modules)) == 1 and len(modules) == THREADS
    """)
