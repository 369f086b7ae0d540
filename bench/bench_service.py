"""Local device service under load, against the in-memory service it replaced.

Each service runs as its own process (`python -m tavla.service`), as a user starts it, with
jobs on the analog emulator. 8 client threads submit 5,000 two-atom jobs through the tavla
client; then every job's status and results are read once. Reported: latency percentiles of
submissions and reads, jobs run per second (first submission to last job ended), the
service's memory after the 5,000 jobs, and jobs lost (must be 0).

The earlier service is taken from git at BASELINE (the last commit that kept jobs in process
memory), so this needs the repository's history. Usage: python bench/bench_service.py [jobs]
"""

import datetime
import os
import subprocess
import sys
import tempfile
import threading
import time
from collections import Counter

from common import machine

from norvane.quantum.dispatch.program import NrvJobSpecification
from tavla.api_client.api import NotFoundError, QueueApi
from tavla.service.process import service_process

BASELINE = "35a9a9a"
THREADS, SHOTS = 8, 20
ACCESS, SECRET = "bench", "bench-secret"
HERE = os.path.dirname(os.path.abspath(__file__))
RESULTS = os.path.join(HERE, "results", "service.md")


def job_json():
    """Two atoms under a short resonant pulse: a small but real emulator run."""
    times, zero = [0.0, 1e-7, 2e-7, 3e-7], {"times": [0.0, 3e-7], "values": [0.0, 0.0]}
    drive = {"amplitude": {"times": times, "values": [0.0, 1e7, 1e7, 0.0]}, "phase": zero, "detuning": zero}
    job = NrvJobSpecification(nshots=SHOTS, lattice={"sites": [[0.0, 0.0], [6e-6, 0.0]], "filling": [1, 1]},
                               effective_hamiltonian={"drive": drive})
    return job.json(by_alias=True, exclude_none=True, exclude_unset=True)


def percentile(sorted_values, q):
    return sorted_values[min(len(sorted_values) - 1, int(q * len(sorted_values)))]


def rss_mb(pid):
    """Resident memory of a process and of its children (the emulator processes), in MB."""
    def own(p):
        with open(f"/proc/{p}/status") as status:
            return next(int(line.split()[1]) for line in status if line.startswith("VmRSS")) / 1024
    children = subprocess.run(["pgrep", "-P", str(pid)], capture_output=True, text=True).stdout.split()
    return own(pid), sum(own(int(child)) for child in children)


def service_pid(url):
    port = url.rsplit(":", 1)[1]
    out = subprocess.run(["ss", "-Hltnp", f"sport = :{port}"], capture_output=True, text=True).stdout
    return int(out.split("pid=")[1].split(",")[0])


def load(url, n_jobs):
    """Submits n_jobs from THREADS threads, waits for every job to end and reads each once."""
    body, latencies, ids, errors = job_json(), {"submit": [], "status": [], "results": []}, [], []
    lock = threading.Lock()

    def timed(kind, call, *args):
        start = time.perf_counter()
        value = call(*args)
        with lock:
            latencies[kind].append(time.perf_counter() - start)
        return value

    def submitter(count):
        with QueueApi(url, "local", access_key=ACCESS, secret_key=SECRET) as client:
            for _ in range(count):
                try:
                    task_id = timed("submit", client.submit_task, body)
                except Exception as exc:  # counted and reported, never hidden
                    with lock:
                        errors.append(repr(exc))
                    continue
                with lock:
                    ids.append(task_id)

    started = time.perf_counter()
    threads = [threading.Thread(target=submitter, args=(n_jobs // THREADS + (i < n_jobs % THREADS),))
               for i in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    final, lost = Counter(), n_jobs - len(ids)
    with QueueApi(url, "local", access_key=ACCESS, secret_key=SECRET) as client:
        for task_id in ids:
            while client.get_job_status_in_queue(task_id) in ("Queued", "Running"):
                time.sleep(0.05)
        run_s = time.perf_counter() - started
        for task_id in ids:
            try:
                status = timed("status", client.get_job_status_in_queue, task_id)
                results = timed("results", client.poll_job_results, task_id)
            except NotFoundError:
                status, results = "unknown to the service", None
            final[status] += 1
            lost += results is None or (status == "Completed" and len(results["shot_outputs"]) != SHOTS)
    return latencies, run_s, final, lost, errors


def baseline_tree(workdir, answer_at_once=False):
    """The in-memory service's sources, from git; None when the history is not at hand. With
    `answer_at_once`, its answers do not wait for delayed acknowledgements (as now), so that
    the row measures keeping jobs in memory against keeping them on disk."""
    archive = subprocess.run(["git", "-C", os.path.dirname(HERE), "archive", BASELINE, "clients/tavla/src"],
                             capture_output=True)
    if archive.returncode != 0:
        return None
    os.makedirs(workdir)
    subprocess.run(["tar", "-x", "-C", workdir], input=archive.stdout, check=True)
    src = os.path.join(workdir, "clients", "tavla", "src")
    if answer_at_once:
        server = os.path.join(src, "tavla", "service", "server.py")
        with open(server, encoding="utf-8") as file:
            text = file.read()
        with open(server, "w", encoding="utf-8") as file:
            file.write(text.replace("    timeout = 30\n", "    timeout = 30\n    disable_nagle_algorithm = True\n"))
    return src


def row(name, url, n_jobs):
    latencies, run_s, final, lost, errors = load(url, n_jobs)
    service, workers = rss_mb(service_pid(url))
    ms = {kind: sorted(1e3 * v for v in values) for kind, values in latencies.items()}
    cells = [name] + [f"{percentile(ms[k], q):.1f}" for k in ("submit", "status", "results") for q in (0.5, 0.99)]
    cells += [f"{len(latencies['submit']) / run_s:.0f}", f"{service:.0f}", f"{workers:.0f}" if workers else "-",
              ", ".join(f"{k} {v}" for k, v in sorted(final.items())), str(lost)]
    print(" | ".join(cells), flush=True)
    if errors:
        print(f"  {len(errors)} submission errors, e.g. {errors[:2]}")
    return "| " + " | ".join(cells) + " |", lost


def main():
    n_jobs = int(sys.argv[1]) if len(sys.argv) > 1 else 5000
    rows, lost = [], 0
    with tempfile.TemporaryDirectory() as workdir:
        old_src = baseline_tree(os.path.join(workdir, "as-was"))
        cases = [(f"before: in memory ({BASELINE})", old_src, ())] if old_src else []
        if old_src:
            cases.append(("before, answering at once", baseline_tree(os.path.join(workdir, "at-once"), True), ()))
        cases += [("now: SQLite, 1 worker", None, ("--workers", "1")),
                  ("now: SQLite, 2 workers", None, ("--workers", "2"))]
        for name, src, options in cases:
            saved = os.environ.get("PYTHONPATH")
            if src is not None:  # the service process imports the earlier tavla first
                os.environ["PYTHONPATH"] = src + (os.pathsep + saved if saved else "")
            try:
                with service_process(ACCESS, SECRET, "--seed", "1", *options) as url:
                    line, row_lost = row(name, url, n_jobs)
            finally:
                if saved is None:
                    os.environ.pop("PYTHONPATH", None)
                else:
                    os.environ["PYTHONPATH"] = saved
            rows.append(line)
            lost += row_lost
    lines = [
        "# Local device service under load",
        "",
        f"Machine: {machine()}. Date: {datetime.date.today()}. Service and {THREADS} client threads on the "
        f"same machine; {n_jobs} submissions of a 2-atom, {SHOTS}-shot job from {THREADS} threads, then each "
        "job's status and results read once. Latencies in ms; memory: resident MB of the service process "
        "and of its emulator processes, after all jobs.",
        "",
        "| service | submit p50 | submit p99 | status p50 | status p99 | results p50 | results p99 | jobs/s | "
        "service MB | emulator processes MB | final statuses | lost |",
        "|---|---|---|---|---|---|---|---|---|---|---|---|",
        *rows,
    ]
    text = "\n".join(lines) + "\n"
    print(text)
    with open(RESULTS, "w", encoding="utf-8") as file:
        file.write(text)
    return 1 if lost else 0


if __name__ == "__main__":
    sys.exit(main())
