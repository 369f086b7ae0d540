"""Matrix-product-state engine benchmark: adiabatic sweeps on chains and a square array.

Each row runs one sweep (4 us: the drive ramps up, the detuning sweeps from -3e7 to 4.5e7
rad/s, the drive ramps down) with the same time step, truncation precision and bond cap on
our "tdvp" solver and on emu-mps, and on our exact engine where it still runs. Every run is a
process of its own, so that its peak memory is its own. emu-mps brings PyTorch: it runs in
the environment whose Python EMU_PYTHON names (e.g. a venv made with
`pip install torch==2.13.0 emu-mps emu-sv`, CPU build); without it its columns are empty.
Results: bench/results/mps.md.

    python bench/bench_mps.py [--no-exact] [CASE ...]     (cases: chain20 chain51 chain101 square7)

--no-exact leaves the exact engine's column empty (its "krylov" solver at the same dt, within
some 3e-6 of DOP853's densities, takes some 60 s at 20 atoms).
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
from common import machine  # noqa: E402

SPACING = 5.5e-6                       # m
DURATION, RAMP = 4e-6, 0.25e-6         # s
OMEGA, DELTA_START, DELTA_END = 1.5e7, -3e7, 4.5e7  # rad/s
DT, PRECISION, MAX_BOND_DIM = 1e-8, 1e-6, 32
EXACT_UP_TO = 20                       # atoms
CASES = {
    "chain20": [(k * SPACING, 0.0) for k in range(20)],
    "chain51": [(k * SPACING, 0.0) for k in range(51)],
    "chain101": [(k * SPACING, 0.0) for k in range(101)],
    "square7": [(x * SPACING, y * SPACING) for y in range(7) for x in range(7)],
}
RESULTS = os.path.join(HERE, "results", "mps.md")


def ours(sites, solver):
    """Runs in a child process: final densities and the run's wall time."""
    from norvane.quantum.dispatch.program.job_specification import NrvHamiltonian
    from norvane.quantum.job.base import Geometry
    from norvane.quantum.simulator.codegen.hamiltonian import RydbergHamiltonianCodeGen
    from norvane.quantum.simulator.ir.emulator import EmulatorProgram, Register
    from norvane.quantum.simulator.ir.state_vector import AnalogGate

    knots = [0.0, RAMP, DURATION - RAMP, DURATION]
    h = NrvHamiltonian(drive={
        "amplitude": {"times": knots, "values": [0.0, OMEGA, OMEGA, 0.0]},
        "phase": {"times": [0.0, DURATION], "values": [0.0, 0.0]},
        "detuning": {"times": knots, "values": [DELTA_START, DELTA_START, DELTA_END, DELTA_END]},
    })
    register = Register(Geometry(sites=sites, filling=[1] * len(sites)), c6=5.42e-24)
    gate = AnalogGate(RydbergHamiltonianCodeGen().emit(EmulatorProgram(register, h)))
    start = time.perf_counter()
    if solver == "tdvp":
        state = gate.evolve(solver_name="tdvp", dt=DT, precision=PRECISION, max_bond_dim=MAX_BOND_DIM)
        seconds, densities = time.perf_counter() - start, state.densities()
        extra = {"discarded_weight": state.discarded_weight, "bond": max(state.bond_dims)}
    else:
        state = gate.evolve(solver_name="krylov", dt=DT)
        seconds = time.perf_counter() - start
        n = len(sites)
        bits = (gate.hamiltonian.basis.astype(np.int64)[:, None] >> np.arange(n - 1, -1, -1)) & 1
        densities, extra = (np.abs(state) ** 2) @ bits, {}
    return {"seconds": seconds, "densities": [float(d) for d in densities],
            "peak_rss_mib": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024, **extra}


def emu_peer(sites, backend="mps", **extra):
    """The sweep on emu-mps ("mps"), emu-sv ("sv") or pulser-simulation ("pulser") at DT (and
    PRECISION, MAX_BOND_DIM), with `extra` fields for emu_peer.py; None where EMU_PYTHON is not
    set."""
    python = os.environ.get("EMU_PYTHON")
    if not python:
        return None
    case = {"backend": backend, "sites_um": [[x * 1e6, y * 1e6] for x, y in sites], "ramp_ns": RAMP * 1e9,
            "duration_ns": DURATION * 1e9, "omega": OMEGA * 1e-6, "detuning_start": DELTA_START * 1e-6,
            "detuning_end": DELTA_END * 1e-6, "dt_ns": DT * 1e9, "precision": PRECISION,
            "max_bond_dim": MAX_BOND_DIM, **extra}
    out = subprocess.run([python, os.path.join(HERE, "emu_peer.py"), json.dumps(case)],
                         capture_output=True, text=True, check=True)
    return json.loads(out.stdout.splitlines()[-1])


def child(name, solver):
    out = subprocess.run([sys.executable, __file__, "--child", name, solver], capture_output=True, text=True,
                         check=True)
    return json.loads(out.stdout.splitlines()[-1])


def main(names, exact_up_to=EXACT_UP_TO):
    rows = []
    for name in names:
        sites = CASES[name]
        tdvp = child(name, "tdvp")
        exact = child(name, "exact") if len(sites) <= exact_up_to else None
        peer = emu_peer(sites)
        rows.append((name, len(sites), tdvp, exact, peer))
        print(name, json.dumps({"tdvp": tdvp["seconds"], "exact": exact and exact["seconds"],
                                "emu_mps": peer and peer["seconds"]}), flush=True)
        write(rows)  # after every row: a long run keeps what it measured


def cell(result, key, fmt):
    return "" if result is None else fmt.format(result[key])


def difference(a, b):
    return "" if a is None or b is None else f"{np.max(np.abs(np.subtract(a['densities'], b['densities']))):.1e}"


def write(rows):
    lines = [
        "# Matrix-product-state sweeps",
        "",
        f"{datetime.date.today()}, {machine()}; one process per run, each engine at its default threads (ours:",
        f"both cores, OpenBLAS single-threaded; PyTorch for emu-mps: its own default). 4 us adiabatic sweep, atoms 5.5 um apart, "
        f"dt {DT:g} s, precision {PRECISION:g}, bond cap {MAX_BOND_DIM} for both MPS engines; emu-mps computes "
        "in double precision on the CPU. 'max |dn|': largest difference of final Rydberg densities.",
        "",
        "| register | atoms | tdvp s | tdvp MiB | bond reached | discarded weight | emu-mps s | emu-mps MiB "
        "| emu-mps / tdvp | max abs dn tdvp vs emu-mps | exact s | max abs dn tdvp vs exact |",
        "|---|---|---|---|---|---|---|---|---|---|---|---|",
    ]
    for name, n, tdvp, exact, peer in rows:
        ratio = "" if peer is None else f"{peer['seconds'] / tdvp['seconds']:.1f}x"
        lines.append(f"| {name} | {n} | {tdvp['seconds']:.1f} | {tdvp['peak_rss_mib']:.0f} | {tdvp['bond']} | "
                     f"{tdvp['discarded_weight']:.1e} | {cell(peer, 'seconds', '{:.1f}')} | "
                     f"{cell(peer, 'peak_rss_mib', '{:.0f}')} | {ratio} | {difference(tdvp, peer)} | "
                     f"{cell(exact, 'seconds', '{:.1f}')} | {difference(tdvp, exact)} |")
    lines += ["", "Final densities (tdvp, then emu-mps where run):", ""]
    for name, n, tdvp, exact, peer in rows:
        lines.append(f"- {name}: " + " ".join(f"{d:.3f}" for d in tdvp["densities"]))
        if peer is not None:
            lines.append(f"  emu-mps: " + " ".join(f"{d:.3f}" for d in peer["densities"]))
    with open(RESULTS, "w") as f:
        f.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    if sys.argv[1:2] == ["--child"]:
        print(json.dumps(ours(CASES[sys.argv[2]], sys.argv[3])))
    else:
        args = sys.argv[1:]
        no_exact = "--no-exact" in args
        names = [a for a in args if a != "--no-exact"]
        main(names or list(CASES), 0 if no_exact else EXACT_UP_TO)
