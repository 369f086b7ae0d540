"""Noisy analog benchmark: the 4 us sweep of bench_analog.py on chains of 6-10 atoms under
dephasing (Lindblad operator sqrt(rate) n_k on every atom), 1,000 shots.

Ours: AnalogGate with an AnalogNoise model (DOP853 at its defaults): the density matrix up to
as many basis states as shots, one quantum-jump trajectory per shot beyond. pulser-simulation
(in the environment EMU_PYTHON names, see bench_mps.py): its QutipEmulator with the same
dephasing (its rate is half ours: its Lindblad operator is sqrt(2 rate) |r><r|), 1,000 shots
sampled from its final state, its own C6 and waveforms sampled per ns. QuTiP: mesolve
(the density matrix; its defaults) and mcsolve (1,000 trajectories; its defaults but a
largest step of 10 ns: from the all-ground state under a zero drive its first adaptive step
otherwise spans the whole sweep and every density comes out 0), on sparse operators of the
same space. Each peer's final Rydberg
densities must agree with ours within the shots' statistical error (5 sigma). One run each,
wall time from building the Hamiltonian to the shots. Results: bench/results/analog_noise.md.

    python bench/bench_analog_noise.py [ATOMS ...]     (default: 6 8 10)
"""

import datetime
import os
import sys
import time
import warnings

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_analog import DURATION, SHOTS, SPACING, program, qutip_hamiltonian  # noqa: E402
from bench_mps import emu_peer  # noqa: E402
from common import machine  # noqa: E402

from norvane.quantum.simulator.codegen.hamiltonian import RydbergHamiltonianCodeGen  # noqa: E402
from norvane.quantum.simulator.ir.noise import AnalogNoise  # noqa: E402
from norvane.quantum.simulator.ir.state_vector import AnalogGate  # noqa: E402

DEPHASING = 5e5  # 1/s
RESULTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "results", "analog_noise.md")


def ours(n):
    gate = AnalogGate(RydbergHamiltonianCodeGen().emit(program(n, 0.0)), seed=1,
                      noise=AnalogNoise(dephasing_rate=DEPHASING))
    densities, stats = gate.run(SHOTS).mean(axis=0), gate.integration_stats
    how = ("density matrix" if stats["density_matrices"] else
           f"{stats['trajectories']} trajectories, {stats['jumps']} jumps")
    return densities, how


def qutip_mesolve(n):
    import qutip

    h, numbers, basis = qutip_hamiltonian(n, 0.0)
    rho0 = qutip.ket2dm(qutip.basis(len(basis), 0))
    result = qutip.mesolve(h, rho0, [0.0, DURATION], c_ops=[np.sqrt(DEPHASING) * m for m in numbers],
                           options={"store_states": False, "store_final_state": True, "nsteps": 10**6})
    return np.array([qutip.expect(m, result.final_state) for m in numbers])


def qutip_mcsolve(n):
    import qutip

    h, numbers, basis = qutip_hamiltonian(n, 0.0)
    result = qutip.mcsolve(h, qutip.basis(len(basis), 0), [0.0, DURATION],
                           c_ops=[np.sqrt(DEPHASING) * m for m in numbers], e_ops=numbers, ntraj=SHOTS,
                           options={"nsteps": 10**6, "progress_bar": False, "max_step": 1e-8}, seeds=1)
    return np.array([e[-1] for e in result.expect])


def timed(fn, n):
    start = time.perf_counter()
    out = fn(n)
    return time.perf_counter() - start, out


def main(sizes):
    warnings.filterwarnings("ignore")
    rows = []
    for n in sizes:
        our_time, (densities, how) = timed(ours, n)
        error = 5 * np.sqrt(np.maximum(densities * (1 - densities), 0.25 / SHOTS) / SHOTS)
        cells = [f"{n}", f"{our_time:.2f} s ({how})"]
        pulser = emu_peer([(k * SPACING, 0.0) for k in range(n)], "pulser", dephasing_per_us=DEPHASING / 2e6,
                          shots=SHOTS)
        if pulser is None:
            cells.append("not run")
        else:
            theirs, seconds = np.array(pulser["densities"]), pulser["seconds"]
            agrees = bool(np.all(np.abs(theirs - densities) <= np.sqrt(2) * error))
            cells.append(f"{seconds:.2f} s ({seconds / our_time:.1f}x)" + ("" if agrees else
                         f", densities differ by {np.abs(theirs - densities).max():.3f}"))
        for peer in (qutip_mesolve, qutip_mcsolve):
            seconds, theirs = timed(peer, n)
            agrees = bool(np.all(np.abs(theirs - densities) <= error))
            cells.append(f"{seconds:.2f} s ({seconds / our_time:.1f}x)" + ("" if agrees else
                         f", densities differ by {np.abs(theirs - densities).max():.3f}"))
        rows.append("| " + " | ".join(cells) + " |")
        print(rows[-1], flush=True)
        write(rows)


def write(rows):
    with open(RESULTS, "w", encoding="utf-8") as out:
        out.write("# Noisy analog benchmark\n\n")
        out.write(f"Machine: {machine()}. Date: {datetime.date.today().isoformat()}.\n\n")
        out.write(f"The {DURATION * 1e6:g} us sweep of analog.md under dephasing at {DEPHASING:g}/s on every atom, "
                  f"{SHOTS} shots. Ours: the density matrix up to {SHOTS} basis states, a quantum-jump trajectory per "
                  f"shot beyond (DOP853, its defaults); pulser-simulation's QutipEmulator with the same dephasing "
                  f"(its rate {DEPHASING / 2e6:g}/us: its operator is sqrt(2 rate) |r><r|), {SHOTS} shots; QuTiP's mesolve (density matrix, its defaults) and mcsolve "
                  f"({SHOTS} trajectories, its defaults but a largest step of 10 ns). Ratios: peer time / ours. Every peer's densities agree with ours within 5 sigma of the shots (pulser's, sampled too: 5 sqrt(2) sigma) unless the cell says.\n\n")
        out.write("| atoms | norvane | pulser-simulation | QuTiP mesolve | QuTiP mcsolve |\n|---|---|---|---|---|\n")
        out.write("\n".join(rows) + "\n")


if __name__ == "__main__":
    main([int(a) for a in sys.argv[1:]] or [6, 8, 10])
