"""Batches and gradients on two workers against the same work run serially.

Two workloads: one gradient of a 16-qubit QAOA with 20 parameters (central differences, 40
cost evaluations of 1,024 shots, through VQE.gradient) and a sweep of 1,000 circuits (a
16-qubit QAOA with p = 1 on a grid of angles, 1,024 shots each, seeded). Each runs serially,
on a process pool of two workers and on a local Dask cluster of two worker processes (when
the `dask` extra is installed). Kernel threading is limited to one thread in every process,
and BLAS to one thread, so that the ratios measure what the workers add.

A shared machine may not give two free cores, so the run also measures the ceiling: the same
simulations split over the same two-process pool, with the work already built in the workers
and nothing but an index sent and a number returned. The overhead per task is counted in CPU
time, which other load on the machine does not inflate: the CPU seconds of the caller and its
workers (Linux /proc) beyond those of the serial run, per task.
"""

import contextlib
import datetime
import multiprocessing
import os
import time
from concurrent.futures import ProcessPoolExecutor

# Single-threaded BLAS here and in the workers (spawned with this environment), as Dask's nanny
# starts its workers: NumPy's dot in VQE.cost would otherwise keep a spinning BLAS thread per
# process on the shared cores. Set before NumPy loads.
os.environ.update(OMP_NUM_THREADS="1", OPENBLAS_NUM_THREADS="1", MKL_NUM_THREADS="1")

import numpy as np

from common import machine, write_results

from norvane.quantum.optimizer.gradient import FiniteDiffGradient
from norvane.quantum.optimizer.qaoa import QAOAAnsatz
from norvane.quantum.optimizer.vqe import VQE
from norvane.quantum.parallel import ExecutorGradient, run_batch
from norvane.quantum.parallel.chunks import chunk_bounds
from norvane.quantum.simulator.digital import dense_sim
from norvane.quantum.simulator.digital.dense_sim import DigitalDenseSimulator

N_QUBITS, LAYERS, SHOTS, SWEEP, WORKERS, ROUNDS, SEED = 16, 10, 1024, 1000, 2, 3, 7
RESULTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "results", "parallel.md")
RULE = FiniteDiffGradient(eps=0.1, method="central")


def ring_with_chords(n):
    return [(i, (i + 1) % n, 1.0) for i in range(n)] + [(i, (i + n // 2) % n, 1.0) for i in range(0, n // 2, 2)]


class Work:
    """The two workloads, built the same way in the caller and (for the ceiling) in workers."""

    def __init__(self):
        ansatz = QAOAAnsatz(N_QUBITS, ring_with_chords(N_QUBITS), p=LAYERS)
        self.spec = ansatz.param_map()
        self.gradient_args = (ansatz.build(), self.spec, ansatz.max_cut_observable())
        self.x = self.spec.random(SEED)
        self.points = []
        RULE(lambda z: self.points.append(z) or 0.0, self.x)
        self.routine = QAOAAnsatz(N_QUBITS, ring_with_chords(N_QUBITS), p=1).build()
        self.grid = [{"gamma_1": float(g), "beta_1": float(b)}
                     for g in np.linspace(0, np.pi, 40) for b in np.linspace(0, np.pi / 2, SWEEP // 40)]

    def gradient(self, executor):
        gradient = RULE if executor is None else ExecutorGradient(RULE, executor)
        VQE(*self.gradient_args, shots=SHOTS, gradient=gradient).gradient(self.x)

    def sweep(self, executor):
        run_batch([self.routine], SHOTS, executor, SEED, bindings=self.grid)

    def evaluate(self, kind, index):
        """One task of a workload, computed here: the ceiling's unit of work."""
        if kind == "gradient":
            return VQE(*self.gradient_args, shots=SHOTS).cost(self.points[index])
        DigitalDenseSimulator(self.routine.circuit, seed=index).run(SHOTS, **self.grid[index])
        return 0.0


WORK = None


def start_worker(build_work):
    global WORK
    dense_sim._set_max_threads(1)
    if build_work:
        WORK = Work()


def ceiling_chunk(kind, indices):
    return [WORK.evaluate(kind, k) for k in indices]


def ceiling(pool, kind, tasks):
    """The tasks split into the chunks run_batch would send, computed where the work already is."""
    chunks = chunk_bounds(tasks, None, WORKERS)
    list(pool.map(ceiling_chunk, [kind] * len(chunks), chunks))


def cpu_seconds(pids):
    """CPU seconds (user and system) used so far by this process and the processes `pids`."""
    total = time.process_time()
    for pid in pids:
        with open(f"/proc/{pid}/stat") as stat:
            fields = stat.read().rsplit(")", 1)[1].split()
        total += (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    return total


def measured(fn, pids):
    """(wall seconds, CPU seconds of this process and `pids`) of one call of fn."""
    cpu, start = cpu_seconds(pids), time.perf_counter()
    fn()
    return time.perf_counter() - start, cpu_seconds(pids) - cpu


def dask_cluster(stack):
    """A client executor of a local Dask cluster of two worker processes (closed with the
    stack) and the workers' process ids, or (None, []) without the dask extra."""
    try:
        from distributed import Client, LocalCluster
    except ImportError:
        return None, []
    cluster = stack.enter_context(LocalCluster(n_workers=WORKERS, threads_per_worker=1, processes=True,
                                               host="127.0.0.1", dashboard_address=None))
    client = stack.enter_context(Client(cluster))
    client.run(dense_sim._set_max_threads, 1)
    return client.get_executor(pure=False), list(client.run(os.getpid).values())


def main():
    load_at_start = os.getloadavg()[0]
    start_worker(False)
    work = Work()
    workloads = [("gradient", len(work.points), work.gradient), ("sweep", len(work.grid), work.sweep)]
    names = {"gradient": f"QAOA gradient ({N_QUBITS} qubits, {work.spec.n} parameters, {SHOTS} shots)",
             "sweep": f"sweep of {len(work.grid)} circuits ({N_QUBITS} qubits, p = 1, {SHOTS} shots)"}
    spawn = multiprocessing.get_context("spawn")
    with contextlib.ExitStack() as stack:
        ready = stack.enter_context(ProcessPoolExecutor(WORKERS, mp_context=spawn, initializer=start_worker,
                                                        initargs=(True,)))
        pool = stack.enter_context(ProcessPoolExecutor(WORKERS, mp_context=spawn, initializer=start_worker,
                                                       initargs=(False,)))
        list(pool.map(abs, range(WORKERS)))  # workers started, so that their ids are known
        engines = {"serial": (None, []), "process pool": (pool, list(pool._processes)), "Dask": dask_cluster(stack)}
        runs = {}
        for kind, tasks, run in workloads:
            runs[kind, "ceiling"] = (lambda kind=kind, tasks=tasks: ceiling(ready, kind, tasks), [])
            for engine, (executor, pids) in engines.items():
                if engine == "serial" or executor is not None:
                    runs[kind, engine] = (lambda run=run, executor=executor: run(executor), pids)
        for fn, _ in runs.values():
            fn()  # warm-up: imports and caches in every process
        # Rounds interleave the configurations, so that each meets the same quiet and busy
        # moments of a shared machine; each keeps its fastest wall time and its least CPU time.
        timings = {key: float("inf") for key in runs}
        cpu = {key: float("inf") for key in runs}
        for _ in range(ROUNDS):
            for key, (fn, pids) in runs.items():
                wall, used = measured(fn, pids)
                timings[key], cpu[key] = min(timings[key], wall), min(cpu[key], used)

    lines = [
        "# Batches and gradients on two workers",
        "",
        f"Machine: {machine()}. Date: {datetime.date.today()}. Load average (1 min, other users included) at the "
        f"start and end: {load_at_start:.2f} and {os.getloadavg()[0]:.2f}.",
        f"Two worker processes (process pool; local Dask cluster on 127.0.0.1); kernels limited to one "
        f"thread in every process (BLAS too); fastest of {ROUNDS} interleaved rounds. Ceiling: the same simulations on "
        "the same pool with the work already in the workers (what this machine's cores gave at the time). "
        "Overhead per task: CPU seconds of the caller and its workers beyond the serial run's, per task.",
        "",
        "| workload | serial | ceiling (speed-up) | engine | 2 workers | speed-up | of ceiling | overhead per task |",
        "|---|---|---|---|---|---|---|---|",
    ]
    for kind, tasks, _ in workloads:
        serial, top = timings[kind, "serial"], timings[kind, "ceiling"]
        for engine in ("process pool", "Dask"):
            head = f"| {names[kind]} | {serial:.2f} s | {top:.2f} s ({serial / top:.2f}x) | {engine} |"
            if (kind, engine) not in timings:
                lines.append(f"{head} not installed | | | |")
                continue
            parallel = timings[kind, engine]
            overhead = (cpu[kind, engine] - cpu[kind, "serial"]) / tasks
            lines.append(f"{head} {parallel:.2f} s | {serial / parallel:.2f}x | {top / parallel:.0%} | "
                         f"{overhead * 1e3:.2f} ms |")
    write_results(RESULTS, lines)


if __name__ == "__main__":
    main()
