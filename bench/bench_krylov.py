"""Exact engine benchmark where interactions dominate: the 4 us adiabatic sweep of
bench_analog.py on full-space chains of 10-20 atoms (5.5 um apart), by DOP853 (atol 1e-14,
rtol 1e-7, the defaults) and by Lanczos exponentials over 10 ns steps ("krylov"), against
emu-sv (Krylov exponentials over 10 ns midpoint steps, its defaults otherwise; in the
environment EMU_PYTHON names, see bench_mps.py) and QuTiP's sesolve (sparse, its defaults).
Each run is a process of its own; one run each. Results: bench/results/krylov.md.

    python bench/bench_krylov.py [ATOMS ...]      (default: 10 12 16 18)
"""

import datetime
import json
import os
import resource
import subprocess
import sys
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from bench_analog import densities_from, program, qutip_peer  # noqa: E402
from bench_mps import SPACING, emu_peer  # noqa: E402
from common import machine  # noqa: E402

DT = 1e-8
QUTIP_UP_TO = 16  # atoms; beyond, QuTiP runs for well over ten minutes
EMU_SV_UP_TO = 20  # atoms
RESULTS = os.path.join(HERE, "results", "krylov.md")


def child(n, solver):
    """Runs in a child process: the final densities, wall time and peak memory of one solver."""
    start = time.perf_counter()
    amplitudes = 2**n
    if solver == "qutip":
        densities = qutip_peer(n, 0.0, tight=False)
    else:
        from norvane.quantum.simulator.codegen.hamiltonian import RydbergHamiltonianCodeGen
        from norvane.quantum.simulator.ir.state_vector import AnalogGate

        gate = AnalogGate(RydbergHamiltonianCodeGen().emit(program(n, 0.0)))
        start = time.perf_counter()
        state = gate.evolve(solver_name=solver, **({"dt": DT} if solver == "krylov" else {}))
        densities = densities_from(np.abs(state) ** 2, gate.hamiltonian.basis, n)
        amplitudes = gate.integration_stats["amplitudes"]
    return {"seconds": time.perf_counter() - start, "densities": [float(d) for d in densities], "amplitudes": amplitudes,
            "peak_rss_mib": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024}


def run_child(n, solver):
    out = subprocess.run([sys.executable, __file__, "--child", str(n), solver], capture_output=True, text=True,
                         check=True)
    return json.loads(out.stdout.splitlines()[-1])


def difference(a, b):
    return "" if a is None or b is None else f"{np.max(np.abs(np.subtract(a['densities'], b['densities']))):.1e}"


def seconds(result):
    return "" if result is None else f"{result['seconds']:.1f}"


def ratio(peer, ours):
    return "" if peer is None else f"{peer['seconds'] / ours['seconds']:.2f}x"


def write(rows):
    lines = [
        "# Exact sweeps where interactions dominate",
        "",
        f"{datetime.date.today()}, {machine()}; one run each, one process per run, each engine at its default "
        "threads (PyTorch for emu-sv: its own default; emu-sv computes in double precision on the CPU). The 4 us "
        f"sweep of analog.md on full-space chains 5.5 um apart; 'krylov' and emu-sv in steps of {DT:g} s. "
        "'max abs dn': largest difference of final Rydberg densities from DOP853's; 'krylov amplitudes': "
        "those it evolved (a chain's mirror-symmetric states), of 2^atoms.",
        "",
        "| atoms | dop853 s | krylov s | dop853 / krylov | krylov max abs dn | emu-sv s | emu-sv / krylov "
        "| emu-sv max abs dn | QuTiP s | QuTiP / krylov | QuTiP max abs dn | krylov amplitudes | krylov MiB |",
        "|---|---|---|---|---|---|---|---|---|---|---|---|---|",
    ]
    for n, rk, krylov, sv, qutip in rows:
        lines.append(f"| {n} | {seconds(rk)} | {seconds(krylov)} | {ratio(rk, krylov)} | {difference(krylov, rk)} | "
                     f"{seconds(sv)} | {ratio(sv, krylov)} | {difference(sv, rk)} | {seconds(qutip)} | "
                     f"{ratio(qutip, krylov)} | {difference(qutip, rk)} | {krylov['amplitudes']} | "
                     f"{krylov['peak_rss_mib']:.0f} |")
    with open(RESULTS, "w") as f:
        f.write("\n".join(lines) + "\n")


def main(sizes):
    rows = []
    for n in sizes:
        rk, krylov = run_child(n, "dop853"), run_child(n, "krylov")
        sv = emu_peer([(k * SPACING, 0.0) for k in range(n)], "sv") if n <= EMU_SV_UP_TO else None
        qutip = run_child(n, "qutip") if n <= QUTIP_UP_TO else None
        rows.append((n, rk, krylov, sv, qutip))
        print(n, json.dumps({"dop853": rk["seconds"], "krylov": krylov["seconds"], "emu_sv": sv and sv["seconds"],
                             "qutip": qutip and qutip["seconds"]}), flush=True)
        write(rows)  # after every row: a long run keeps what it measured


if __name__ == "__main__":
    if sys.argv[1:2] == ["--child"]:
        print(json.dumps(child(int(sys.argv[2]), sys.argv[3])))
    else:
        main([int(a) for a in sys.argv[1:]] or [10, 12, 16, 18])
