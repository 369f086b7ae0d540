"""Local device service under load: 8 threads submit 100 jobs each through the tavla client,
then every job is followed until the queue has run it. Reports submission latency
percentiles and how many jobs were lost (must be 0). The service runs as its own process
(`python -m tavla.service`), as a user starts it; jobs run on the analog emulator.
"""

import datetime
import os
import sys
import threading
import time
from collections import Counter

from common import machine

from norvane.quantum.dispatch.program import NrvJobSpecification
from tavla.api_client.api import NotFoundError, QueueApi
from tavla.service.process import service_process

THREADS, PER_THREAD, SHOTS = 8, 100, 20
ACCESS, SECRET = "bench", "bench-secret"
RESULTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "results", "service.md")


def job_json():
    """Two atoms under a short resonant pulse: a small but real emulator run."""
    times, zero = [0.0, 1e-7, 2e-7, 3e-7], {"times": [0.0, 3e-7], "values": [0.0, 0.0]}
    drive = {"amplitude": {"times": times, "values": [0.0, 1e7, 1e7, 0.0]}, "phase": zero, "detuning": zero}
    job = NrvJobSpecification(nshots=SHOTS, lattice={"sites": [[0.0, 0.0], [6e-6, 0.0]], "filling": [1, 1]},
                               effective_hamiltonian={"drive": drive})
    return job.json(by_alias=True, exclude_none=True, exclude_unset=True)


def percentile(sorted_values, q):
    return sorted_values[min(len(sorted_values) - 1, int(q * len(sorted_values)))]


def main():
    with service_process(ACCESS, SECRET, "--seed", "1") as url:
        body = job_json()
        latencies, ids, errors = [], [], []
        lock = threading.Lock()

        def submitter():
            with QueueApi(url, "local", access_key=ACCESS, secret_key=SECRET) as client:
                for _ in range(PER_THREAD):
                    start = time.perf_counter()
                    try:
                        task_id = client.submit_task(body)
                    except Exception as exc:  # counted and reported, never hidden
                        with lock:
                            errors.append(repr(exc))
                        continue
                    with lock:
                        latencies.append(time.perf_counter() - start)
                        ids.append(task_id)

        started = time.perf_counter()
        threads = [threading.Thread(target=submitter) for _ in range(THREADS)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        submit_s = time.perf_counter() - started

        final, lost = Counter(), 0
        with QueueApi(url, "local", access_key=ACCESS, secret_key=SECRET) as client:
            for task_id in ids:
                try:
                    while (status := client.get_job_status_in_queue(task_id)) in ("Queued", "Running"):
                        time.sleep(0.05)
                    results = client.poll_job_results(task_id)
                except NotFoundError:
                    status, results = "unknown to the service", None
                final[status] += 1
                if results is None or (status == "Completed" and len(results["shot_outputs"]) != SHOTS):
                    lost += 1
        drain_s = time.perf_counter() - started

    lost += THREADS * PER_THREAD - len(ids)
    latencies.sort()
    ms = [1e3 * percentile(latencies, q) for q in (0.5, 0.9, 0.99)] + [1e3 * latencies[-1]]
    lines = [
        "# Local device service under load",
        "",
        f"Machine: {machine()}. Date: {datetime.date.today()}. Service and {THREADS} client threads on the "
        f"same machine; {THREADS} x {PER_THREAD} submissions of a 2-atom, {SHOTS}-shot job.",
        "",
        "| submissions | p50 (ms) | p90 (ms) | p99 (ms) | max (ms) | submitted in (s) | all run in (s) | "
        "final statuses | lost |",
        "|---|---|---|---|---|---|---|---|---|",
        f"| {len(ids)} | {ms[0]:.1f} | {ms[1]:.1f} | {ms[2]:.1f} | {ms[3]:.1f} | {submit_s:.1f} | {drain_s:.1f} | "
        f"{', '.join(f'{k} {v}' for k, v in sorted(final.items()))} | {lost} |",
    ]
    if errors:
        lines += ["", f"Submission errors ({len(errors)}): {errors[:3]}"]
    text = "\n".join(lines) + "\n"
    print(text)
    with open(RESULTS, "w", encoding="utf-8") as file:
        file.write(text)
    return 1 if lost else 0


if __name__ == "__main__":
    sys.exit(main())
