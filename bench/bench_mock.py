"""Mock back end: fetching the last of 10,000 stored tasks (100 shots of 16 sites each).

The state file is filled with real record lines: 50 tasks are submitted through MockBackend,
their lines are repeated under fresh task ids up to 9,999 records, and the 10,000th task is
submitted through MockBackend again (fabricating all 10,000 would take minutes). The peer is
the same lookup written in plain Python: compare each line's id, decode only the match.
"""

import datetime
import json
import os
import statistics
import sys
import tempfile
import time
import uuid

from common import machine

from norvane.quantum.dispatch.mock import MockBackend
from norvane.quantum.dispatch.program import NrvJobResults, NrvJobSpecification

TASKS, SEEDED, SHOTS, SITES, REPEATS = 10_000, 50, 100, 16, 7
RESULTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "results", "mock.md")


def python_lookup(path, task_id):
    head = f"('{task_id}',"
    with open(path, encoding="utf-8") as file:
        for line in file:
            if line.startswith(head):
                return NrvJobResults(**json.loads(line[len(head):].rstrip("\n")[:-1]))
    raise ValueError(task_id)


def timings(fn, repeats=REPEATS):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times), statistics.median(times)


def main():
    job = NrvJobSpecification(nshots=SHOTS, lattice={"sites": [[5e-6 * i, 0.0] for i in range(SITES)],
                                                      "filling": [1] * SITES})
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "state.txt")
        backend = MockBackend(state_file=path)
        start = time.perf_counter()
        for _ in range(SEEDED):
            backend.submit_task(job)
        submit_ms = (time.perf_counter() - start) / SEEDED * 1e3
        with open(path, encoding="utf-8") as file:
            bodies = [line[40:] for line in file]
        with open(path, "a", encoding="utf-8") as file:
            for k in range(TASKS - 1 - SEEDED):
                file.write(f"('{uuid.uuid4()}',{bodies[k % SEEDED]}")
        first_id = open(path, encoding="utf-8").readline()[2:38]
        last_id = backend.submit_task(job)
        size_mb = os.path.getsize(path) / 1e6
        assert backend.task_results(last_id) == python_lookup(path, last_id)
        rows = [("last of 10,000", timings(lambda: backend.task_results(last_id)),
                 timings(lambda: python_lookup(path, last_id), 3)),
                ("first of 10,000", timings(lambda: backend.task_results(first_id)),
                 timings(lambda: python_lookup(path, first_id), 3))]

    lines = [
        "# Mock back end: task lookup in the state file",
        "",
        f"Machine: {machine()}. Date: {datetime.date.today()}. State file: {TASKS} tasks of {SHOTS} shots x "
        f"{SITES} sites, {size_mb:.0f} MB (page cache warm). Goal: the last task in under 50 ms.",
        "",
        "| lookup | MockBackend.task_results best / median (ms) | plain Python scan best / median (ms) | Python / ours (best) |",
        "|---|---|---|---|",
    ]
    for name, (ours_best, ours_median), (peer_best, peer_median) in rows:
        lines.append(f"| {name} | {ours_best * 1e3:.1f} / {ours_median * 1e3:.1f} | {peer_best * 1e3:.1f} / "
                     f"{peer_median * 1e3:.1f} | {peer_best / ours_best:.1f} |")
    lines += ["", f"Submission (fabricating {SHOTS} shots and appending the line): {submit_ms:.1f} ms per task."]
    text = "\n".join(lines) + "\n"
    print(text)
    with open(RESULTS, "w", encoding="utf-8") as file:
        file.write(text)


if __name__ == "__main__":
    sys.exit(main())
