"""Two simulators in two threads against the same work run one after the other.

Kernels run without the GIL, so separate simulators on separate threads overlap. Kernel-level
threading is limited to one thread per simulation in both columns, so that the ratio measures
what the threads add (with kernel threading on, one large simulation already uses every core).
"""

import datetime
import os
import threading

from common import best_seconds, machine, write_results
from circuits import layered, to_norvane

from norvane.quantum.simulator.digital import dense_sim
from norvane.quantum.simulator.digital.dense_sim import DigitalDenseSimulator

N_QUBITS, DEPTH, SHOTS, REPEATS = 20, 20, 1024, 3
RESULTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "results", "threads.md")


def main():
    circuit = to_norvane(N_QUBITS, layered(N_QUBITS, DEPTH), measure_all=True)
    simulators = [DigitalDenseSimulator(circuit, seed=s) for s in (1, 2)]
    for sim in simulators:
        sim.run(SHOTS)  # gates prepared and plans fused before timing

    def sequential():
        for sim in simulators:
            sim.run(SHOTS)

    def in_threads():
        workers = [threading.Thread(target=sim.run, args=(SHOTS,)) for sim in simulators]
        for w in workers:
            w.start()
        for w in workers:
            w.join()

    dense_sim._set_max_threads(1)
    try:
        one_after_other = best_seconds(sequential, REPEATS)
        two_threads = best_seconds(in_threads, REPEATS)
    finally:
        dense_sim._set_max_threads(0)
    speedup = one_after_other / two_threads
    lines = [
        "# Two simulators in two threads",
        "",
        f"Machine: {machine()}. Date: {datetime.date.today()}.",
        f"Work: two simulators, each run({SHOTS}) of a {N_QUBITS}-qubit circuit of depth {DEPTH} "
        "(bench/circuits.py `layered`, measured at the end); kernels limited to one thread each; "
        f"best of {REPEATS}.",
        "",
        "| one after the other | two threads | speed-up |",
        "|---|---|---|",
        f"| {one_after_other * 1e3:.1f} ms | {two_threads * 1e3:.1f} ms | {speedup:.2f}x |",
    ]
    write_results(RESULTS, lines)


if __name__ == "__main__":
    main()
