"""tonesift-regions: the skin regions of photographs, as a report, a mask and an overlay.

    tonesift-regions [IMAGE ...] [--from-list FILE] [--json] [--min-pixels N] [--top K]
                     [--mask FILE] [--overlay FILE] [--frame N] [--max-pixels N] [--per-pixel]
                     [--every N] [--fps F] [--start S] [--end S]
                     [--jobs N] [--output FILE [--resume | --overwrite]] [--scheduler ADDRESS]
                     [--storage-option KEY=VALUE ...]

With no IMAGE it runs on the built-in sample photograph; ``-`` reads one image from standard
input. An input is a path or an fsspec URL; a folder stands for the image files under it and a
glob pattern for its files, each sorted. An input that Pillow does not read and FFmpeg reads as
video (PyAV) is a clip: each analysed frame gives a record. ``python -m tonesift_image`` is the
same command.
Exit status: 0 when every image was analysed, 1 when some input failed (each failure is one line
on stderr, and a record of its own), 2 for a usage error (bad arguments, refused output paths,
a dependency missing, a cluster that cannot do the work), 130 when interrupted, 141 when the
output pipe closed early (``| head``).
"""
import argparse
import importlib.util
import itertools
import json
import logging
import os
import sys
import time
from dataclasses import replace
from pathlib import Path
from typing import Any, Dict, Iterator, List, Optional, Sequence, Tuple

from ._batches import run_tasks
from ._errors import ClusterError, OutputError, install
from ._inputs import DEFAULT_MAX_PIXELS, SAMPLE, STDIN, Stream, display_name
from ._progress import progress_bar
from ._records import SCHEMA_VERSION, document, public
from ._storage import is_url
from ._tasks import DEFAULT_TOP, Settings, Task, name_tasks, task_records
from ._video import Resume, Sampling
from ._version import __version__

PROG = "tonesift-regions"
CONNECT_SECONDS = 30
EXIT_OK, EXIT_FAILED, EXIT_USAGE, EXIT_INTERRUPTED, EXIT_PIPE_CLOSED = 0, 1, 2, 130, 141


class UsageError(Exception):
    """A command line that cannot be run as given: one line, exit status 2."""


# --- The command line ---------------------------------------------------------------------------

def _positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError("must be at least 1")
    return value


def _seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not 0 <= value < float("inf"):
        raise argparse.ArgumentTypeError("must be a finite number, at least 0")
    return value


def _rate(text: str) -> float:
    value = _seconds(text)
    if value == 0:
        raise argparse.ArgumentTypeError("must be above 0")
    return value


def _storage_option(text: str) -> Tuple[str, Any]:
    key, equals, value = text.partition("=")
    if not equals or not key:
        raise argparse.ArgumentTypeError(f"not KEY=VALUE: {text!r}")
    try:
        return key, json.loads(value)
    except ValueError:
        return key, value


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG, description="Find the skin regions of images with tonesift.",
        epilog="Exit status: 0 all images done, 1 some input failed, 2 usage error. "
               "--json prints a versioned document, described in the project's "
               "docs/tonesift-regions-json.md.")
    parser.add_argument("images", nargs="*", metavar="IMAGE",
                        help="images to analyse: files, folders (their image files, "
                             "recursively), quoted glob patterns ('shots/**/*.jpg'), URLs (a "
                             "folder's ends with /); - reads one from standard input (default: "
                             "the built-in sample photograph)")
    parser.add_argument("--json", action="store_true", help="print one JSON document")
    parser.add_argument("--min-pixels", type=_positive, default=1, metavar="N",
                        help="list only regions of at least N pixels")
    parser.add_argument("--top", type=_positive, default=DEFAULT_TOP, metavar="K",
                        help=f"list at most K regions (default {DEFAULT_TOP})")
    parser.add_argument("--mask", metavar="FILE",
                        help="write the skin mask, white on black, as PNG, JPEG, WebP or TIFF "
                             "by the extension ({name}: the image's name without extension)")
    parser.add_argument("--overlay", metavar="FILE",
                        help="write the regions tinted over the photo ({name} as for --mask)")
    parser.add_argument("--frame", type=_positive, default=1, metavar="N",
                        help="analyse frame N of a multi-frame file (default: the first)")
    parser.add_argument("--max-pixels", type=_positive, default=DEFAULT_MAX_PIXELS, metavar="N",
                        help=f"refuse images of more pixels (default {DEFAULT_MAX_PIXELS})")
    parser.add_argument("--per-pixel", action="store_true",
                        help="use the per-pixel reference engine (tonesift() and one Skin "
                             "record per pixel): the same report, far slower")
    parser.add_argument("--every", type=_positive, default=1, metavar="N",
                        help="of a clip, analyse every Nth frame, from the first (default 1)")
    parser.add_argument("--fps", type=_rate, metavar="F",
                        help="of a clip, analyse at most F frames a second of its time")
    parser.add_argument("--start", type=_seconds, metavar="S",
                        help="of a clip, analyse from S seconds on (it is sought, not decoded "
                             "up to there)")
    parser.add_argument("--end", type=_seconds, metavar="S",
                        help="of a clip, analyse the frames before S seconds")
    parser.add_argument("--jobs", type=_positive, metavar="N",
                        help="analyse up to N images at once (default: one per core); a long "
                             "clip is split among them")
    parser.add_argument("--from-list", metavar="FILE",
                        help="also analyse the inputs listed in FILE, one a line (- reads the "
                             "list from standard input)")
    parser.add_argument("--output", metavar="FILE",
                        help="write one record per input to FILE as the run goes, as JSON Lines "
                             "(.jsonl) or a Parquet data set (.parquet, a folder of parts), and "
                             "print a summary instead of the report")
    parser.add_argument("--resume", action="store_true",
                        help="with --output: skip the inputs it records already, and append the "
                             "rest")
    parser.add_argument("--overwrite", action="store_true",
                        help="with --output: replace the records an earlier run left there "
                             "(without it, or --resume, such an output is refused)")
    parser.add_argument("--scheduler", metavar="ADDRESS",
                        default=os.environ.get("DASK_SCHEDULER_ADDRESS") or None,
                        help="run on the Dask cluster of this scheduler (tcp://host:8786; "
                             "default: $DASK_SCHEDULER_ADDRESS, else the local pool)")
    parser.add_argument("--storage-option", action="append", default=[], type=_storage_option,
                        metavar="KEY=VALUE",
                        help="an option for the file systems of URLs, such as "
                             "endpoint_url=http://127.0.0.1:9000 (VALUE is read as JSON when it "
                             "is JSON: true, 3, {...}); repeatable")
    parser.add_argument("--quiet", action="store_true", help="never show a progress bar")
    parser.add_argument("--timings", action="store_true",
                        help="print the time of each stage to stderr")
    parser.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    return parser


def parse_arguments(argv: Optional[Sequence[str]]) -> argparse.Namespace:
    return build_parser().parse_args(argv)


def _stem(name: str) -> str:
    return "stdin" if name == STDIN else Path(name).stem


def _file_key(path: Path) -> Tuple[Any, ...]:
    """What names one file: its device and inode once it exists (hard links, other spellings),
    else its resolved path."""
    try:
        status = os.stat(path)
        return ("inode", status.st_dev, status.st_ino)
    except OSError:
        return ("path", os.path.realpath(path))


def _output(template: Optional[str], name: str, several: bool) -> Optional[Path]:
    if template is None:
        return None
    if several and "{name}" not in template:
        raise UsageError(f"{template}: with several images, put {{name}} in the output name")
    from ._pictures import FORMATS  # imported already: the run checked for Pillow first
    path = Path(template.replace("{name}", _stem(name)))
    if path.suffix.lower() not in FORMATS:
        raise UsageError(f"{path}: the extension names no picture format "
                         f"(use one of {', '.join(FORMATS)})")
    # Missing folders are made when the picture is written ("masks/{name}.png" into a new folder
    # is the usual wish); one that cannot be made is refused before any work.
    folder = path.parent
    while not folder.exists() and folder != folder.parent:
        folder = folder.parent
    if not folder.is_dir():
        raise UsageError(f"{path}: not a folder: {folder}")
    if path.is_dir():
        raise UsageError(f"{path}: is a directory")
    return path


def plan(arguments: argparse.Namespace, inputs: List[str],
         unreadable: Dict[str, str]) -> List[Task]:
    """Every task of a run that writes pictures, with every output path checked before any work
    starts."""
    if inputs.count(STDIN) > 1:
        raise UsageError("standard input (-) can be read only once")
    several = len(inputs) > 1
    tasks = [Task(name, _output(arguments.mask, name, several),
                  _output(arguments.overlay, name, several), error=unreadable.get(name))
             for name in inputs]
    sources = {_file_key(Path(source)): source for source in inputs
               if source != STDIN and not is_url(source)}
    written: Dict[Tuple[Any, ...], str] = {}
    for task in tasks:
        for output in (task.mask, task.overlay):
            if output is None:
                continue
            keys = {_file_key(output), ("path", os.path.realpath(output))}
            for key in keys:
                if key in sources:
                    raise UsageError(f"{output}: output would overwrite the input image "
                                     f"{sources[key]}")
            for key in keys:
                owner = written.get(key)
                if owner is not None:
                    raise UsageError(f"{output}: written twice (for {owner} and {task.input})"
                                     if owner != task.input else
                                     f"{output}: the mask and the overlay would be one file")
            written.update(dict.fromkeys(keys, task.input))
    return tasks


# --- Inputs -------------------------------------------------------------------------------------

def _listed(source: str) -> Iterator[str]:
    """The inputs of a list file, one a line, read as the run goes; blank lines are skipped.
    Names are bytes in the file, decoded as the file system's names are."""
    file = sys.stdin.buffer if source == STDIN else open(source, "rb")
    try:
        for line in file:
            name = os.fsdecode(line.rstrip(b"\r\n"))
            if name.strip():
                yield name
    finally:
        if file is not sys.stdin.buffer:
            file.close()


def _count_listed(source: str) -> Optional[int]:
    """How many inputs a list file holds: known for a file, not for a pipe."""
    if source == STDIN or not os.path.isfile(source):
        return None
    with open(source, "rb") as file:
        return sum(1 for line in file if line.strip())


def _expanded(images: List[str], storage_options: Dict[str, Any],
              unreadable: Dict[str, str]) -> List[str]:
    """The command line's inputs with folders and glob patterns replaced by their files; those
    that stand for none are noted in `unreadable`, with their error, and kept as inputs."""
    names = []
    for name in images:
        for task in name_tasks(name, storage_options):
            names.append(task.input)
            if task.error is not None:
                unreadable[task.input] = task.error
    return names


def inputs(arguments: argparse.Namespace,
           unreadable: Dict[str, str]) -> Tuple[Iterator[str], Optional[int]]:
    """Every input, in order, lazily, and how many there are when that is known."""
    if arguments.images.count(STDIN) > 1:
        raise UsageError("standard input (-) can be read only once")
    images = _expanded(arguments.images, dict(arguments.storage_option), unreadable)
    if arguments.from_list is None:
        names = images or [str(SAMPLE)]
        return iter(names), len(names)
    if arguments.from_list == STDIN and STDIN in arguments.images:
        raise UsageError("standard input (-) cannot be both the list and an image")
    if arguments.from_list != STDIN:
        try:
            open(arguments.from_list, "rb").close()
        except OSError as error:
            raise UsageError(f"{arguments.from_list}: cannot read the list: "
                             f"{error.strerror or error}") from None
    listed = _count_listed(arguments.from_list)
    total = None if listed is None else len(images) + listed
    return itertools.chain(images, _listed(arguments.from_list)), total


# --- Running --------------------------------------------------------------------------------------

def _connect(address: str):
    """A client of the Dask cluster at `address`, with its workers checked."""
    try:
        from distributed import Client  # type: ignore[import-untyped, import-not-found]
    except ImportError:
        raise UsageError("--scheduler needs Dask distributed: "
                         f"{install('distributed', 'cluster')}") from None
    # Dask logs what it recovers from (a worker lost, a result fetched again); the command
    # reports what it could not recover from, one line an input.
    logging.getLogger("distributed").setLevel(logging.ERROR)
    try:
        client = Client(address, timeout=CONNECT_SECONDS, set_as_default=False)
    except Exception as error:
        raise UsageError(f"cannot reach the scheduler at {address}: "
                         f"{' '.join(str(error).split()) or type(error).__name__}") from None
    return client


# --- Reports --------------------------------------------------------------------------------------

def report_text(report: dict, min_pixels: int) -> str:
    lines = [display_name(report["input"])]
    notes = []
    if report["frames"] > 1:
        notes.append(f"frame {report['frame']} of {report['frames']}")
    if report["orientation"] != 1:
        notes.append(f"turned upright by EXIF orientation {report['orientation']}")
    regions = f"{report['regions']}"
    if min_pixels > 1:
        regions += f" ({report['regions_at_least_min_pixels']} of at least {min_pixels} pixels)"
    lines += [
        f"  image        {report['width']} x {report['height']} ({report['pixels']} pixels)"
        + "".join(f", {note}" for note in notes),
        f"  skin pixels  {report['skin_pixels']} ({report['skin_share']:.1%})",
        f"  regions      {regions}",
    ]
    listed = report["largest_regions"]
    if listed:
        heading = f"largest regions (at least {min_pixels} pixels)" if min_pixels > 1 \
            else "largest regions"
        lines += ["", f"  {heading}:",
                  f"  {'region':>7} {'pixels':>8} {'share':>7}  "
                  "bounding box (left, top)-(right, bottom), inclusive"]
        for entry in listed:
            box = entry["box"]
            lines.append(f"  {entry['region']:>7} {entry['pixels']:>8} {entry['share']:>7.2%}  "
                         f"({box['left']}, {box['top']})-({box['right']}, {box['bottom']})")
    return "\n".join(lines)


def continues_clip(previous: Optional[dict], record: dict) -> bool:
    """Whether `record` is one more of the clip whose frame `previous` recorded (a later frame,
    or its failure part way) rather than the record of the next input."""
    return previous is not None and previous["status"] == "ok" and \
        previous.get("time") is not None and record["input"] == previous["input"] and \
        (record["status"] != "ok" or (record["time"] is not None and
                                      record["time"] > previous["time"]))


class ClipReport:
    """A clip's report, from its frames' records as they come: how many frames were analysed
    over how long, the skin share's spread, and the times of the frames with the most skin."""
    MOST = 3

    def __init__(self, first: dict):
        self.input, self.frames = first["input"], first["frames"]
        self.width, self.height = first["width"], first["height"]
        self.shares: List[float] = []
        self.times: List[float] = []

    def add(self, record: dict) -> None:
        self.shares.append(record["skin_share"])
        self.times.append(record["time"])

    def text(self) -> str:
        import statistics

        count, shares = len(self.shares), self.shares
        of = f" of {self.frames}" if self.frames else ""
        most = sorted(range(count), key=lambda i: (-shares[i], i))[:self.MOST]
        return "\n".join([
            display_name(self.input),
            f"  video        {self.width} x {self.height}, {count} frame"
            f"{'' if count == 1 else 's'}{of} analysed, {self.times[0]:.3f} s to "
            f"{self.times[-1]:.3f} s",
            f"  skin share   min {min(shares):.1%}, median {statistics.median(shares):.1%}, "
            f"max {max(shares):.1%}",
            "  most skin    " + ", ".join(f"{self.times[i]:.3f} s ({shares[i]:.1%})"
                                          for i in most),
        ])


def _summary(done: int, failed: int, skipped: int, seconds: float, target: str) -> str:
    rate = f", {done / seconds:.0f} a second" if seconds > 0 and done else ""
    resumed = f"; {skipped} recorded before, skipped" if skipped else ""
    return (f"{done} input{'' if done == 1 else 's'} done ({failed} failed) in {seconds:.1f} s"
            f"{rate}{resumed}; records in {target}")


# --- Main -----------------------------------------------------------------------------------------

def _fail_usage(message: str) -> int:
    print(f"{PROG}: {message}", file=sys.stderr)
    return EXIT_USAGE


def _check(arguments: argparse.Namespace) -> None:
    for flag in ("resume", "overwrite"):
        if getattr(arguments, flag) and arguments.output is None:
            raise UsageError(f"--{flag} needs --output: the records to "
                             f"{'resume' if flag == 'resume' else 'replace'}")
    if arguments.resume and arguments.overwrite:
        raise UsageError("--resume keeps the records of the earlier run and --overwrite "
                         "replaces them: choose one")
    if arguments.json and arguments.output is not None:
        raise UsageError("--json prints the records and --output writes them: choose one")
    if arguments.end is not None and arguments.end <= (arguments.start or 0):
        raise UsageError(f"--end {arguments.end:g} must come after --start "
                         f"{arguments.start or 0:g}")
    if arguments.scheduler is not None:
        if arguments.mask is not None or arguments.overlay is not None:
            raise UsageError("--mask and --overlay write local files: not with --scheduler")
        if arguments.jobs is not None:
            raise UsageError("--jobs sizes the local pool: with --scheduler the cluster's "
                             "workers do the work")
        if STDIN in arguments.images:
            raise UsageError("standard input (-) is not for a cluster: write it to a file")


def _skip_recorded(output, names: Iterator[str], target: str,
                   every: int) -> Tuple[int, Optional[Tuple[str, Resume]]]:
    """Checks that the output records a prefix of the inputs, and skips that prefix. A clip's
    frames are records of one input, which the next input's record shows to be finished; a
    clip whose frames end the output is given back with where to go on from (it may or may not
    have been finished: going on finds out)."""
    skipped = 0
    previous: Optional[dict] = None
    first_time, frames = 0.0, 0  # of the clip being recorded
    for record in output.records():
        if record.get("schema_version") != SCHEMA_VERSION:
            # Parts or lines of two layouts would make one output that no reader takes whole.
            raise UsageError(f"{target}: its records follow schema version "
                             f"{record.get('schema_version')}, and this tonesift writes "
                             f"{SCHEMA_VERSION}: start a new output (read_records reads any)")
        further = continues_clip(previous, record)
        previous = record
        if further:
            frames += 1
            continue
        first_time, frames = record.get("time") or 0.0, 1
        name = next(names, None)
        if name != record["input"]:
            raise UsageError(f"{target}: record {skipped + 1} is of {record['input']!r}, but "
                             f"input {skipped + 1} is {name!r}: not a run of these inputs")
        skipped += 1
    if previous is not None and previous["status"] == "ok" and previous["time"] is not None:
        # `every` kept one of every so many frames that the rest of the sampling took.
        return skipped - 1, (previous["input"],
                             Resume(first_time, previous["time"], (frames - 1) * every + 1))
    return skipped, None


def _write(output, record: dict, target: str) -> None:
    try:
        output.write(record)
    except OSError as error:  # a full disk, a lost connection
        raise OutputError(f"{target}: cannot write: {error.strerror or error}") from None


def _run(arguments: argparse.Namespace) -> int:
    try:
        from . import _analysis  # noqa: F401  (Pillow, which a missing one is reported for)
        # Only a progress bar needs it, so it is imported when one is shown.
        if importlib.util.find_spec("tqdm") is None:
            raise ImportError(name="tqdm")
    except ImportError as missing:
        name = missing.name or "a dependency"
        package = {"PIL": "Pillow"}.get(name, name)
        return _fail_usage(f"{package} is needed: {install(package, 'cli')}")
    from ._outputs import open_output
    output = client = None
    try:
        _check(arguments)
        unreadable: Dict[str, str] = {}  # inputs that stand for no file, with their error
        names, total = inputs(arguments, unreadable)
        skipped = 0
        resumed: Optional[Tuple[str, Resume]] = None
        if arguments.output is not None:
            output = open_output(arguments.output, dict(arguments.storage_option))
            if arguments.resume:
                skipped, resumed = _skip_recorded(output, names, arguments.output,
                                                  arguments.every)
                if resumed is not None:  # a clip part done: it goes on first
                    names = itertools.chain([resumed[0]], names)
                total = None if total is None else total - skipped
            elif not arguments.overwrite and output.has_records():
                # A forgotten --resume would otherwise lose every record of the earlier run.
                raise UsageError(f"{arguments.output}: holds the records of an earlier run: "
                                 "--resume finishes that run, --overwrite replaces it")
        if arguments.mask is not None or arguments.overlay is not None:
            tasks: Any = iter(plan(arguments, list(names), unreadable))
        else:
            tasks = (Task(name, error=unreadable.get(name),
                          resume=resumed[1] if index == 0 and resumed else None)
                     for index, name in enumerate(names))
        if arguments.scheduler is not None:
            client = _connect(arguments.scheduler)
        # Last, once nothing else can refuse the run: starting a fresh output empties it.
        if output is not None:
            output.start(arguments.resume)
    except (UsageError, OutputError, ClusterError, OSError) as error:
        if client is not None:
            client.close()
        if isinstance(error, OSError) and not isinstance(error, OutputError):
            error = OutputError(f"{arguments.output}: {error.strerror or error}")
        return _fail_usage(str(error))
    settings = Settings(arguments.max_pixels, arguments.frame, arguments.per_pixel,
                        arguments.top, arguments.min_pixels,
                        storage_options=dict(arguments.storage_option),
                        sampling=Sampling(arguments.every, arguments.fps, arguments.start,
                                          arguments.end))
    progress = not arguments.quiet and sys.stderr.isatty()
    # One input on the calling thread, unless more jobs are asked for: a clip's segments share
    # them.
    one = total == 1 and client is None and (arguments.jobs or 1) == 1
    # Alone, standard input is read as it comes (a clip's records as its frames arrive, however
    # long the stream); among other inputs, which may run in other processes, whole first.
    tasks = (replace(task, data=Stream(sys.stdin.buffer) if one else sys.stdin.buffer.read())
             if task.input == STDIN else task for task in tasks)
    if one:
        settings = replace(settings, stages=progress)
    else:
        # Imported before any worker process starts, so that workers inherit them; a run on one
        # photo imports them while it decodes instead.
        from . import _arrays, _pictures  # noqa: F401
    started = time.perf_counter()
    reports: List[dict] = []
    done = failed = printed = 0  # inputs, however many records a clip gives
    clip: Optional[ClipReport] = None
    previous: Optional[dict] = None

    def show(text: str) -> None:
        nonlocal printed
        print(("\n" if printed else "") + text, flush=True)
        printed += 1
    bar = progress_bar(total=total, desc=PROG, unit="image", disable=not progress or one)
    try:
        # Keeping freed memory for the next picture pays only over many; one picture would just
        # hold more memory at its peak.
        # One input runs here, its records given as they come (a clip's frame by frame); many
        # go through the engines in batches.
        records = (record for task in tasks for record in task_records(task, settings)) if one \
            else run_tasks(tasks, settings, client=client, jobs=arguments.jobs, total=total,
                           keep_freed_memory=True)
        for report in records:
            further = continues_clip(previous, report)
            previous = report
            if not further:
                done += 1
                bar.update()
            if report["status"] != "ok":
                failed += 1
                bar.set_postfix(failed=failed, refresh=False)
                print(f"{PROG}: {report['error']}", file=sys.stderr)
            elif arguments.timings:
                stages = ", ".join(f"{stage} {value:.3f} s" for stage, value in
                                   report["seconds"].items())
                print(f"{report['input']}: {stages}", file=sys.stderr)
            if output is not None:
                _write(output, public(report), arguments.output)
            elif arguments.json:
                reports.append(report)
            else:
                if clip is not None and not (further and report["status"] == "ok"):
                    show(clip.text())
                    clip = None
                if report["status"] == "ok" and report["time"] is None:
                    show(report_text(report, arguments.min_pixels))
                elif report["status"] == "ok":
                    clip = clip or ClipReport(report)
                    clip.add(report)
        if clip is not None:
            show(clip.text())
    except ClusterError as error:  # a worker with another tonesift joined
        return _fail_usage(str(error))
    except OutputError as error:
        print(f"{PROG}: {error}", file=sys.stderr)
        return EXIT_FAILED
    finally:
        bar.close()
        if output is not None:
            try:
                output.close()
            except OSError as error:  # the last part or the upload
                failed += 1
                print(f"{PROG}: {arguments.output}: cannot write: {error.strerror or error}",
                      file=sys.stderr)
        if client is not None:
            client.close()
    if output is not None:
        print(_summary(done, failed, skipped, time.perf_counter() - started,
                       arguments.output), flush=True)
    if arguments.json:
        json.dump(document(reports, per_pixel=arguments.per_pixel,
                           min_pixels=arguments.min_pixels, top=arguments.top),
                  sys.stdout, indent=2)
        print(flush=True)
    return EXIT_FAILED if failed else EXIT_OK


def main(argv: Optional[Sequence[str]] = None) -> int:
    arguments = parse_arguments(argv)
    try:
        return _run(arguments)
    except BrokenPipeError:
        # The reader went away (`| head`): stop quietly, and keep the interpreter's own flush at
        # exit from failing on the closed pipe again.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return EXIT_PIPE_CLOSED
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED


def console_main() -> None:
    # The command never multiplies matrices, and the OpenBLAS that numpy loads would start a
    # thread per core at import, which take cores from the decoding of the first photo.
    os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
    sys.exit(main())


if __name__ == "__main__":
    console_main()
