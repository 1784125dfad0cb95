"""Collections: inputs by list and URL, streamed records, resume, a Dask cluster, an S3 store.

Everything runs on 127.0.0.1: a scheduler and two workers as processes of their own, and moto's S3
server. The pytest process itself starts no Dask client and no server thread, because the local
pool forks it.
"""
import json
import os
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest

from conftest import PHOTOS, ROOT

Image = pytest.importorskip("PIL.Image")
jsonschema = pytest.importorskip("jsonschema")

import tonesift_image  # noqa: E402
from tonesift_image import command  # noqa: E402
from tonesift_image._records import SCHEMA_VERSION  # noqa: E402

# The Python code alone, the same on every version: CI runs it on the oldest and the newest.
pytestmark = pytest.mark.pure_python

BUILD = Path(command.__file__).parents[1]
HERE = Path(__file__).resolve().parent
SCHEMA = json.loads((ROOT / "docs" / "tonesift-regions.schema.json").read_text())
RECORD = {"$defs": SCHEMA["$defs"], "$ref": "#/$defs/record"}
# Dask's processes and pyarrow would only bring the sanitizer's reports of their own.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")
TIMEOUT = 120
ENV = dict(os.environ, PYTHONPATH=f"{BUILD}{os.pathsep}{HERE}", AWS_EC2_METADATA_DISABLED="true",
           # An input that kills its worker is given up after two deaths rather than four.
           DASK_DISTRIBUTED__SCHEDULER__ALLOWED_FAILURES="1")
# A shell's background job (CI's lanes) starts with Ctrl-C ignored, and an interpreter started so
# never turns SIGINT into KeyboardInterrupt: the hooked command takes it back first.
# From 3.14 the local pool's workers start from a fork server rather than by forking the command,
# so the hooks are loaded there too.
HOOKED = ("import multiprocessing, signal, sys, collection_hooks\n"
          "multiprocessing.set_forkserver_preload(['collection_hooks'])\n"
          "signal.signal(signal.SIGINT, signal.default_int_handler)\n"
          "from tonesift_image.command import main\nsys.exit(main(sys.argv[1:]))")


def needs(module):
    if SANITIZED:
        pytest.skip("not under the sanitizer")
    return pytest.importorskip(module)


def command_line(*args, hooks=False):
    start = ["-c", HOOKED] if hooks else ["-m", "tonesift_image"]
    return [sys.executable, *start, *map(str, args)]


def run(*args, hooks=False):
    return subprocess.run(command_line(*args, hooks=hooks), capture_output=True, text=True,
                          env=ENV, timeout=TIMEOUT)


def wait_until(condition, what):
    deadline = time.monotonic() + TIMEOUT
    while not condition():
        assert time.monotonic() < deadline, f"timed out waiting for {what}"
        time.sleep(0.05)


def picture(path, seed):
    rng = np.random.default_rng(seed)
    levels = rng.integers(0, 256, (40 + seed, 56, 3), dtype=np.uint8)
    levels[rng.random(levels.shape[:2]) < 0.4] = (200, 150, 120)
    Image.fromarray(levels).save(path)
    return str(path)


@pytest.fixture(scope="module")
def folder(tmp_path_factory):
    return tmp_path_factory.mktemp("photos")


@pytest.fixture(scope="module")
def inputs(folder):
    """Photos, a real one, a broken file, a missing one and a duplicate, in that order."""
    names = [picture(folder / f"p{i}.png", i) for i in range(6)]
    names.append(str(shutil.copy(PHOTOS[0], folder / "real.png")))
    (folder / "broken.png").write_bytes(b"\x89PNG\r\n\x1a\n broken")
    return names + [str(folder / "broken.png"), str(folder / "missing.png"), names[0]]


@pytest.fixture(scope="module")
def reference(inputs):
    return list(tonesift_image.analyse_images(inputs, jobs=1))


def listed(tmp_path, names):
    path = tmp_path / "inputs.txt"
    path.write_text("".join(f"{name}\n" for name in names))
    return path


@pytest.fixture(scope="module")
def cluster(tmp_path_factory):
    """A scheduler and two one-thread workers, each in processes of its own; its address."""
    needs("distributed")
    folder = tmp_path_factory.mktemp("cluster")
    address_file = folder / "scheduler.json"
    dask = [sys.executable, "-m", "distributed.cli.dask_scheduler"]
    worker = [sys.executable, "-m", "distributed.cli.dask_worker"]
    processes = [subprocess.Popen(
        [*dask, "--host", "127.0.0.1", "--port", "0", "--no-dashboard",
         "--scheduler-file", str(address_file)], env=ENV, stderr=subprocess.DEVNULL)]
    try:
        wait_until(address_file.exists, "the scheduler")
        processes += [subprocess.Popen(
            [*worker, "--scheduler-file", str(address_file), "--nthreads", "1", "--host",
             "127.0.0.1", "--no-dashboard", "--preload", "collection_hooks"],
            env=dict(ENV, TONESIFT_READS=str(reads_log(tmp_path_factory))),
            stderr=subprocess.DEVNULL) for _ in range(2)]
        subprocess.run([sys.executable, "-c", "import sys\nfrom distributed import Client\n"
                        "Client(scheduler_file=sys.argv[1], timeout=60).wait_for_workers(2, 60)",
                        str(address_file)], env=ENV, check=True, timeout=TIMEOUT)
        wait_until(lambda: json.loads(address_file.read_text()).get("address"), "the address")
        yield json.loads(address_file.read_text())["address"], processes[1:]
    finally:
        for process in processes:
            process.terminate()
        for process in processes:
            try:
                process.wait(timeout=30)
            except subprocess.TimeoutExpired:
                process.kill()


def reads_log(tmp_path_factory):
    """Where the hooks log each read of a clip (its process and first frame)."""
    return tmp_path_factory.getbasetemp() / "clip-reads"


def in_subprocess(source, *args, **environment):
    """What `source` prints, as JSON, run in a process of its own: fsspec's S3 file system
    starts a thread, which the pytest process must not hold when the local pool forks it."""
    result = subprocess.run([sys.executable, "-c", source, *map(str, args)],
                            env=dict(ENV, **environment),
                            capture_output=True, text=True, timeout=TIMEOUT, check=True)
    return json.loads(result.stdout)


@pytest.fixture(scope="module")
def s3(inputs):
    """moto's S3 server, holding the photos, the broken file, no missing one; its options."""
    needs("moto")
    needs("s3fs")
    server = subprocess.Popen(
        [sys.executable, "-c", "from moto.server import ThreadedMotoServer\nimport time\n"
         "server = ThreadedMotoServer('127.0.0.1', 0, verbose=False)\nserver.start()\n"
         "print(server.get_host_and_port()[1], flush=True)\ntime.sleep(3600)"],
        env=ENV, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    try:
        port = int(server.stdout.readline())
        options = {"endpoint_url": f"http://127.0.0.1:{port}", "key": "testing",
                   "secret": "testing"}
        in_subprocess("import json, sys, s3fs\n"
                      "store = s3fs.S3FileSystem(**json.loads(sys.argv[1]))\n"
                      "store.mkdir('photos')\nfor name in sys.argv[2:]:\n"
                      "    store.put(name, 'photos/' + name.rsplit('/', 1)[1])\nprint(0)",
                      json.dumps(options), *inputs[:-2])
        yield options
    finally:
        server.kill()
        server.wait(timeout=30)


def where_options(where, cluster_address=None):
    return ["--scheduler", cluster_address] if where == "cluster" else ["--jobs", "2"]


@pytest.mark.parametrize("kind", ["path", "url", "file", "array"])
def test_any_source_gives_the_record_the_command_gives(inputs, kind):
    path = inputs[0]
    entry = json.loads(run(path, "--json").stdout)["images"][0]
    if kind == "url":
        needs("fsspec")
        source, entry["input"] = f"file://{path}", f"file://{path}"
    elif kind == "file":
        source = open(path, "rb")
    elif kind == "array":
        source, entry["input"] = np.asarray(Image.open(path).convert("RGB")), "<array>"
    else:
        source = path
    record = tonesift_image.analyse_image(source)
    jsonschema.validate(record, RECORD)
    assert record == dict(entry, schema_version=SCHEMA_VERSION)


@pytest.mark.parametrize("version", [1, 2])
def test_records_of_earlier_schema_versions_are_read_in_todays_layout(tmp_path, inputs, version):
    today = tonesift_image.analyse_image(inputs[0])
    sides = {"left": "x_min", "top": "y_min", "right": "x_max", "bottom": "y_max"}
    # 3 added clips' "time"; 2 named the box's sides as today.
    old = {key: value for key, value in today.items() if key != "time"}
    old["schema_version"] = version
    if version == 1:
        old["largest_regions"] = [
            dict(entry, box={sides[side]: value for side, value in entry["box"].items()})
            for entry in today["largest_regions"]]
    output = tmp_path / "old.jsonl"
    output.write_text(json.dumps(old) + "\n")
    (record,) = tonesift_image.read_records(output)
    assert list(record.items()) == list(today.items())
    # Appending records of another layout would leave an output no reader takes whole.
    result = run(inputs[0], inputs[1], "--output", output, "--resume")
    assert result.returncode == 2 and f"follow schema version {version}" in result.stderr, \
        result.stderr


@pytest.mark.parametrize("where", ["local", "url"])
def test_folders_and_patterns_stand_for_their_files(tmp_path, where):
    shots = tmp_path / "shots"
    for seed, name in enumerate(["a.png", "b/c.PNG", "b/d/e.png", ".hidden.png", "b/.cache/f.png"]):
        (shots / name).parent.mkdir(parents=True, exist_ok=True)
        picture(shots / name, seed)
    (shots / "b" / "notes.txt").write_text("no picture")
    (tmp_path / "empty").mkdir()
    if where == "url":
        needs("fsspec")
    base = str(tmp_path) if where == "local" else f"file://{tmp_path}"
    given = [f"{base}/shots" + ("/" if where == "url" else ""), f"{base}/shots/b/*.PNG",
             f"{base}/empty/", f"{base}/shots/*.jpg"]
    found = ["shots/a.png", "shots/b/c.PNG", "shots/b/d/e.png", "shots/b/c.PNG"]
    if where == "local":  # Python's glob, where ** spans any depth
        given.append(f"{base}/shots/**/*.png")
        found += ["shots/a.png", "shots/b/d/e.png"]
    result = run(*given, "--json", "--jobs", "1")
    assert result.returncode == 1
    images = json.loads(result.stdout)["images"]
    assert [image["input"] for image in images if image["status"] == "ok"] == \
        [f"{base}/{name}" for name in found]
    assert [image["error"] for image in images if image["status"] == "failed"] == \
        [f"{given[2]}: holds no image files Pillow can read", f"{given[3]}: matches no file"]


@pytest.mark.parametrize("where", ["pool", "cluster"])
@pytest.mark.parametrize("suffix", [".jsonl", ".parquet"])
def test_streamed_records_are_the_in_process_ones_in_order(request, tmp_path, inputs, reference,
                                                           where, suffix):
    if suffix == ".parquet":
        needs("pyarrow")
    address = request.getfixturevalue("cluster")[0] if where == "cluster" else None
    output = tmp_path / f"records{suffix}"
    result = run("--from-list", listed(tmp_path, inputs[1:]), inputs[0], "--output", output,
                 "--quiet", *where_options(where, address))
    assert result.returncode == 1, result.stderr
    assert f"{len(inputs)} inputs done (2 failed)" in result.stdout
    records = list(tonesift_image.read_records(output))
    assert records == reference
    assert [record["input"] for record in records] == inputs  # the duplicate kept its own
    if suffix == ".jsonl":
        for line in output.read_text().splitlines():
            jsonschema.validate(json.loads(line), RECORD)
    else:
        import pyarrow.parquet as pq
        assert pq.read_table(output).num_rows == len(inputs)  # a data set others read


@pytest.mark.parametrize("suffix, stop", [(".jsonl", signal.SIGKILL), (".jsonl", signal.SIGINT),
                                          (".parquet", signal.SIGINT)])
def test_an_interrupted_run_resumes_with_every_input_once(tmp_path, folder, inputs, suffix, stop):
    if suffix == ".parquet":
        needs("pyarrow")
    names = [str(shutil.copy(name, folder / f"slow-{i}.png")) for i, name in
             enumerate(inputs[:6])] + inputs
    expected = list(tonesift_image.analyse_images(names, jobs=1))
    output = tmp_path / f"records{suffix}"
    run_once = subprocess.Popen(command_line("--from-list", listed(tmp_path, names), "--output",
                                             output, "--jobs", "1", "--timings", hooks=True),
                                env=ENV, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    # Each input's timings come just before its record: after two, one record is out for sure.
    timed = [run_once.stderr.readline() for _ in range(2)]
    assert all(b" s" in line for line in timed), timed
    run_once.send_signal(stop)
    run_once.communicate(timeout=TIMEOUT)
    assert run_once.returncode == (130 if stop == signal.SIGINT else -signal.SIGKILL)
    if suffix == ".jsonl":  # as if killed in the middle of a line
        with open(output, "ab") as file:
            file.write(b'{"schema_version": 2, "inp')
    partial = list(tonesift_image.read_records(output))
    assert 0 < len(partial) < len(names) and partial == expected[:len(partial)]
    result = run("--from-list", listed(tmp_path, names), "--output", output, "--resume")
    assert result.returncode == 1, result.stderr
    assert f"{len(partial)} recorded before, skipped" in result.stdout
    assert list(tonesift_image.read_records(output)) == expected


@pytest.mark.parametrize("arguments, message", [
    (["--resume"], "--resume needs --output"),
    (["--overwrite"], "--overwrite needs --output"),
    (["--output", "out.jsonl", "--resume", "--overwrite"], "choose one"),
    (["--json", "--output", "out.jsonl"], "choose one"),
    (["--output", "out.txt"], "the extension names no output format"),
    (["--scheduler", "tcp://127.0.0.1:1", "--mask", "{name}.png"], "not with --scheduler"),
    (["--from-list", "no-such-list.txt"], "no-such-list.txt: cannot read the list"),
    (["--storage-option", "anon"], "not KEY=VALUE"),
    (["-", "--from-list", "-"], "cannot be both the list and an image"),
])
def test_a_run_that_cannot_be_done_as_asked_is_refused(tmp_path, arguments, message):
    result = subprocess.run(command_line(*arguments), capture_output=True, text=True, env=ENV,
                            timeout=TIMEOUT, cwd=tmp_path, stdin=subprocess.DEVNULL)
    assert result.returncode == 2 and message in result.stderr, result.stderr


@pytest.mark.parametrize("suffix", [".jsonl", ".parquet"])
def test_a_refused_run_leaves_the_output_as_it_was(tmp_path, inputs, suffix):
    if suffix == ".parquet":
        needs("pyarrow")
    output = tmp_path / f"records{suffix}"
    with pytest.raises(FileNotFoundError):  # a mistyped name is no empty data set
        tonesift_image.read_records(output)
    first = subprocess.run(command_line("--from-list", "-", "--output", output), env=ENV,
                           input=f"{inputs[1]}\n", capture_output=True, text=True,
                           timeout=TIMEOUT)
    assert first.returncode == 0, first.stderr
    for arguments, message in (([inputs[0], inputs[1], "--resume"], "not a run of these inputs"),
                               ([inputs[1], "--mask", tmp_path / "m.bmp", "--overwrite"],
                                "names no picture"),
                               ([inputs[0]], "holds the records of an earlier run: --resume "
                                             "finishes that run, --overwrite replaces it")):
        result = run(*arguments, "--output", output)
        assert result.returncode == 2 and message in result.stderr, result.stderr
    assert list(tonesift_image.read_records(output)) == [tonesift_image.analyse_image(inputs[1])]
    assert run(inputs[0], "--output", output, "--overwrite").returncode == 0
    assert list(tonesift_image.read_records(output)) == [tonesift_image.analyse_image(inputs[0])]


@pytest.mark.parametrize("where", ["pool", "cluster"])
def test_an_input_that_kills_its_worker_is_recorded_as_failed(request, tmp_path, folder, inputs,
                                                              reference, where):
    if where == "pool" and SANITIZED:
        # Starting workers again forks the command while its threads run, and GCC's ASan runtime
        # can hang the child on its allocator's lock (as in test_command's worker death).
        pytest.skip("forks under the sanitizer can hang")
    address = request.getfixturevalue("cluster")[0] if where == "cluster" else None
    crash = str(shutil.copy(inputs[0], folder / "crash.png"))
    output = tmp_path / "records.jsonl"
    result = run(inputs[1], crash, inputs[2], inputs[3], "--output", output,
                 *where_options(where, address), hooks=where == "pool")
    assert result.returncode == 1
    records = list(tonesift_image.read_records(output))
    assert records[1]["status"] == "failed" and "died" in records[1]["error"]
    assert records[:1] + records[2:] == reference[1:4]


def test_a_worker_killed_in_the_middle_takes_no_input_with_it(tmp_path, folder, inputs,
                                                               cluster):
    address, workers = cluster
    psutil = needs("psutil")
    names = [str(shutil.copy(inputs[i % 6], folder / f"slow-more-{i}.png")) for i in range(12)]
    output = tmp_path / "records.jsonl"
    running = subprocess.Popen(command_line(*names, "--output", output, "--scheduler", address),
                               env=ENV, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    wait_until(lambda: output.exists() and output.read_bytes().count(b"\n") >= 2, "records")
    # The worker process itself, under its nanny, which starts a new one.
    victim = psutil.Process(workers[0].pid).children(recursive=True)[0]
    victim.send_signal(signal.SIGKILL)
    running.communicate(timeout=TIMEOUT)
    assert running.returncode == 0
    assert list(tonesift_image.read_records(output)) == list(
        tonesift_image.analyse_images(names, jobs=1))


def test_workers_with_another_tonesift_are_refused(cluster, inputs):
    result = subprocess.run(
        [sys.executable, "-c", "import sys\nfrom distributed import Client\n"
         "from tonesift_image import _engines, analyse_images\n"
         "_engines.__version__ = '0.0.0'\n"
         "list(analyse_images(sys.argv[2:], client=Client(sys.argv[1])))",
         cluster[0], inputs[0]], capture_output=True, text=True, env=ENV, timeout=TIMEOUT)
    assert result.returncode == 1
    assert f"has tonesift {tonesift_image.__version__}, this client 0.0.0" in result.stderr


@pytest.mark.parametrize("suffix, where", [(".jsonl", "cluster"), (".parquet", "pool")])
def test_photos_in_object_storage(request, tmp_path, inputs, reference, s3, suffix, where):
    if suffix == ".parquet":
        needs("pyarrow")
    address = request.getfixturevalue("cluster")[0] if where == "cluster" else None
    names = [f"s3://photos/{Path(name).name}" for name in inputs]
    output = f"s3://photos/run-{where}/records{suffix}"
    options = [f"--storage-option={key}={value}" for key, value in s3.items()]
    result = run(*names, "--output", output, *options, *where_options(where, address))
    assert result.returncode == 1, result.stderr
    records = in_subprocess("import json, sys\nfrom tonesift_image import read_records\n"
                            "print(json.dumps(list(read_records(sys.argv[1], "
                            "storage_options=json.loads(sys.argv[2])))))", output, json.dumps(s3))
    expected = [json.loads(json.dumps(record).replace(str(Path(inputs[0]).parent), "s3://photos"))
                for record in reference]
    assert records == expected


@pytest.fixture(scope="module")
def long_clip(folder):
    """A clip of 1000 small frames whose keyframes are 25 s apart: four segments on two
    workers. Its name makes each frame's reading a little slow (collection_hooks)."""
    from test_video import make_clip

    return make_clip(folder / "slow-long.mkv", "libx264", 64, 48, 1000, keyframe_every=250)


@pytest.mark.parametrize("where", ["pool", "cluster"])
def test_a_long_clip_is_split_at_keyframes_and_gathered_in_frame_order(
        request, tmp_path_factory, tmp_path, inputs, long_clip, where):
    reads = reads_log(tmp_path_factory)
    reads.unlink(missing_ok=True)
    whole = list(tonesift_image.analyse_video(long_clip))
    if where == "pool":  # from Python
        records = in_subprocess(
            "import json, multiprocessing, sys, collection_hooks, tonesift_image\n"
            "multiprocessing.set_forkserver_preload(['collection_hooks'])\n"
            "print(json.dumps(list(tonesift_image.analyse_video(sys.argv[1], jobs=2))))",
            long_clip, TONESIFT_READS=str(reads))
        assert records == json.loads(json.dumps(whole))
    else:  # among photos, from the command, with a worker killed once records come
        address, workers = request.getfixturevalue("cluster")
        output = tmp_path / "records.jsonl"
        running = subprocess.Popen(
            command_line(inputs[0], long_clip, inputs[1], "--output", output, "--scheduler",
                         address), env=ENV, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        wait_until(lambda: output.exists() and output.read_bytes().count(b"\n") >= 2, "records")
        needs("psutil").Process(workers[1].pid).children(recursive=True)[0].kill()
        _, stderr = running.communicate(timeout=TIMEOUT)
        assert running.returncode == 0, stderr
        assert list(tonesift_image.read_records(output)) == [
            tonesift_image.analyse_image(inputs[0]), *whole,
            tonesift_image.analyse_image(inputs[1])]
    started = [line.split() for line in reads.read_text().splitlines()]
    assert {int(first) for _, first in started} == {1, 251, 501, 751}
    assert len({process for process, _ in started}) >= 2


def test_a_clip_that_kills_its_worker_loses_only_itself(tmp_path, inputs, long_clip):
    breaks = shutil.copy(long_clip, tmp_path / "breaks.mkv")
    output = tmp_path / "records.jsonl"
    result = run(inputs[0], breaks, inputs[1], "--output", output, "--jobs", "2", hooks=True)
    assert result.returncode == 1
    first, failed, last = tonesift_image.read_records(output)
    assert (first, last) == (tonesift_image.analyse_image(inputs[0]),
                             tonesift_image.analyse_image(inputs[1]))
    assert failed["input"] == str(breaks) and "died" in failed["error"]


class FakeEngine:
    """An engine in the calling thread whose worker dies on any input named "die...", losing all
    batches in flight (as a local pool does) or only its own (as a cluster's worker does)."""
    count = 2

    def __init__(self, loses_all):
        self.loses_all, self.restarts = loses_all, 0

    def settings(self, settings):
        return settings

    def submit(self, tasks, settings):
        return [task.input for task in tasks]

    def result(self, names):
        from tonesift_image._engines import Died
        if any(name.startswith("die") for name in names):
            raise Died("killed")
        return [{"input": name, "status": "ok"} for name in names], 0.001

    def restart(self):
        self.restarts += 1

    def cancel(self, futures):
        pass

    def close(self):
        pass


@pytest.mark.parametrize("loses_all", [True, False])
def test_the_batch_runner_loses_no_input_to_a_death(loses_all):
    from tonesift_image import _batches, _tasks
    names = [f"{kind}{i}" for i in range(40) for kind in ("ok", "ok", "ok", "die")][:90]
    engine = FakeEngine(loses_all)
    records = list(_batches.run((_tasks.Task(name) for name in names), _tasks.Settings(), engine,
                                len(names)))
    assert [record["input"] for record in records] == names
    assert [record["input"] for record in records if record["status"] == "failed"] == \
        [name for name in names if name.startswith("die")]
    assert all(record["error"] == f"{record['input']}: killed" for record in records
               if record["status"] == "failed")
    assert (engine.restarts > 0) == loses_all
