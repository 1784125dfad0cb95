"""Runs CI's table of jobs on a few workers and prints one summary.

    python3 .ci/jobs.py WORKERS < TABLE

Each line of TABLE is `NAME SECONDS GROUP COMMAND...`: SECONDS what the job took when last
measured on a new machine, GROUP a name shared by jobs that use the same build and virtual
environment folders, which therefore never run at once ("-": none). A free worker takes, among
the jobs whose group is free, one of the group with the most work left (its chain is the longest
path of the run), the longest of that group first. Every job runs whatever happened to the
others; each writes its own log, printed in full at the end if it failed, and the summary gives
what its tests came to (pytest's and ctest's counts). Exits 1 if any failed.
"""
import os
import re
import signal
import subprocess
import sys
import tempfile
import threading
import time


def read_table(lines):
    jobs = []
    for line in lines:
        line = line.strip()
        if line and not line.startswith("#"):
            name, seconds, group, command = line.split(None, 3)
            jobs.append({"name": name, "seconds": float(seconds), "group": group,
                         "command": command})
    return jobs


class Schedule:
    def __init__(self, jobs):
        self.pending = list(jobs)
        self.busy = set()
        self.running = {}
        self.changed = threading.Condition()

    def take(self):
        with self.changed:
            while self.pending:
                free = [job for job in self.pending
                        if job["group"] == "-" or job["group"] not in self.busy]
                if free:
                    job = max(free, key=lambda job: (self.work_left(job["group"]) if
                                                     job["group"] != "-" else job["seconds"],
                                                     job["seconds"]))
                    self.pending.remove(job)
                    self.busy.add(job["group"])
                    return job
                self.changed.wait()
            return None

    def work_left(self, group):
        return sum(job["seconds"] for job in self.pending if job["group"] == group)

    def done(self, job):
        with self.changed:
            self.busy.discard(job["group"])
            self.changed.notify_all()


# pytest's last line and ctest's, whose counts the summary gives for each job.
COUNTS = re.compile(r"^(?:=+ )?(\d+ (?:passed|failed)\b.*?)(?: in [\d.]+s.*)?$|"
                    r"^(\d+% tests passed, \d+ tests failed out of \d+)$", re.MULTILINE)


def counts(path):
    """What the tests of a job's log came to, in their runners' own words."""
    with open(path, errors="replace") as log:
        found = ["".join(match.groups("")).strip() for match in COUNTS.finditer(log.read())]
    return "; ".join(dict.fromkeys(found)) or "-"


def main():
    workers = int(sys.argv[1]) if len(sys.argv) > 1 else 2
    jobs = read_table(sys.stdin)
    schedule = Schedule(jobs)
    logs = tempfile.mkdtemp(prefix="tonesift-ci-")
    started = time.monotonic()
    results = {}
    processes = set()
    print_lock = threading.Lock()

    def work():
        while True:
            job = schedule.take()
            if job is None:
                return
            begun = time.monotonic()
            with open(os.path.join(logs, job["name"] + ".log"), "w") as log:
                # A session of its own, so that an interrupted run can stop the whole job.
                process = subprocess.Popen(["bash", "-c", job["command"]], stdout=log,
                                           stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                                           start_new_session=True)
                processes.add(process)
                status = process.wait()
                processes.discard(process)
            seconds = time.monotonic() - begun
            results[job["name"]] = (status, begun - started, seconds)
            with print_lock:
                print(f"ci: {job['name']} {'passed' if status == 0 else 'FAILED'} "
                      f"({seconds:.0f} s, at {(begun - started) / 60:.1f} min)", flush=True)
            schedule.done(job)

    threads = [threading.Thread(target=work) for _ in range(workers)]
    for thread in threads:
        thread.start()
    try:
        for thread in threads:
            thread.join()
    except KeyboardInterrupt:
        for process in list(processes):
            os.killpg(process.pid, signal.SIGTERM)
        raise

    failed = [job for job in jobs if results[job["name"]][0] != 0]
    for job in failed:
        print(f"\n===== {job['name']}: {job['command']}")
        with open(os.path.join(logs, job["name"] + ".log")) as log:
            sys.stdout.write(log.read())
    print("\n| job | result | started (min) | seconds | estimate | tests |\n"
          "|---|---|---|---|---|---|")
    for job in sorted(jobs, key=lambda job: results[job["name"]][1]):
        status, begun, seconds = results[job["name"]]
        tests = counts(os.path.join(logs, job["name"] + ".log"))
        print(f"| {job['name']} | {'passed' if status == 0 else 'FAILED'} | {begun / 60:.1f} | "
              f"{seconds:.0f} | {job['seconds']:.0f} | {tests} |")
    total = time.monotonic() - started
    print(f"\nci: {len(jobs) - len(failed)} of {len(jobs)} jobs passed in {total / 60:.1f} min "
          f"on {workers} workers")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
