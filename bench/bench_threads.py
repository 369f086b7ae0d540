"""Two simulators in two threads against the same work run one after the other, and against
the same work in two processes (the most this machine's cores give, with no interpreter
shared at all).

Kernels run without the GIL, so separate simulators on separate threads overlap. Kernel-level
threading is limited to one thread per simulation in every column, so that the ratios measure
what the threads add (with kernel threading on, one large simulation already uses every core).
The configurations are interleaved round by round, and the median round is reported, so that
other load on a shared machine affects them alike.
"""

import datetime
import multiprocessing
import os
import statistics
import threading
import time

from common import machine, write_results
from circuits import layered, to_norvane

from norvane.quantum.simulator.digital import dense_sim
from norvane.quantum.simulator.digital.dense_sim import DigitalDenseSimulator

N_QUBITS, DEPTH, SHOTS, ROUNDS = 20, 20, 1024, 7
RESULTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "results", "threads.md")


def make_simulator(seed):
    dense_sim._set_max_threads(1)
    sim = DigitalDenseSimulator(to_norvane(N_QUBITS, layered(N_QUBITS, DEPTH), measure_all=True), seed=seed)
    sim.run(SHOTS)  # gates prepared and plans fused before timing
    return sim


def timed(fn):
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def process_worker(seed, start, done):
    """One simulator in its own process: runs once per round when the round starts."""
    sim = make_simulator(seed)
    for _ in range(ROUNDS):
        start.wait()
        sim.run(SHOTS)
        done.wait()


def main():
    simulators = [make_simulator(seed) for seed in (1, 2)]

    def sequential():
        for sim in simulators:
            sim.run(SHOTS)

    def in_threads():
        workers = [threading.Thread(target=sim.run, args=(SHOTS,)) for sim in simulators]
        for w in workers:
            w.start()
        for w in workers:
            w.join()

    context = multiprocessing.get_context("spawn")
    start, done = context.Barrier(3), context.Barrier(3)
    processes = [context.Process(target=process_worker, args=(seed, start, done)) for seed in (1, 2)]
    for p in processes:
        p.start()
    rounds = {"sequential": [], "threads": [], "processes": []}
    for _ in range(ROUNDS):
        rounds["sequential"].append(timed(sequential))
        rounds["threads"].append(timed(in_threads))
        rounds["processes"].append(timed(lambda: (start.wait(), done.wait())))
    for p in processes:
        p.join()
    one_after_other, two_threads, two_processes = (statistics.median(rounds[k]) for k in rounds)
    lines = [
        "# Two simulators in two threads",
        "",
        f"Machine: {machine()}. Date: {datetime.date.today()}.",
        f"Work: two simulators, each run({SHOTS}) of a {N_QUBITS}-qubit circuit of depth {DEPTH} "
        "(bench/circuits.py `layered`, measured at the end); kernels limited to one thread each; "
        f"median of {ROUNDS} interleaved rounds. Two processes: the same two runs in two processes "
        "started together, the ceiling this machine's cores give.",
        "",
        "| one after the other | two threads | speed-up | two processes | speed-up |",
        "|---|---|---|---|---|",
        f"| {one_after_other * 1e3:.1f} ms | {two_threads * 1e3:.1f} ms | {one_after_other / two_threads:.2f}x "
        f"| {two_processes * 1e3:.1f} ms | {one_after_other / two_processes:.2f}x |",
    ]
    write_results(RESULTS, lines)


if __name__ == "__main__":
    main()
