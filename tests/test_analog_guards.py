"""What the analog emulator refuses before any work (numbers that are not finite, evolutions
that cannot finish, spaces beyond the memory available), the unit mistakes it names, and
Ctrl-C during a long evolution."""

import math
import os
import re
import subprocess
import sys
import textwrap
import warnings

import numpy as np
import pytest

from analog_programs import chain, gate, hamiltonian, program, waveform
from norvane.quantum.simulator._rydberg import AtomSpace
from norvane.quantum.simulator.codegen.hamiltonian import RydbergHamiltonian
from norvane.quantum.simulator.ir.state_vector import AnalogGate
from reference.analog_reference import fidelity

SPAN = [0.0, 1e-6]
ZERO = (SPAN, [0.0, 0.0])


def pair_gate(duration=1e-6, amplitude=(SPAN, [1e7, 1e7]), phase=ZERO, detuning=ZERO, local=None, weights=None):
    space = AtomSpace([(0.0, 0.0), (6e-6, 0.0)], 5.42e-24, 0.0)
    return AnalogGate(RydbergHamiltonian(space, duration, amplitude, phase, detuning, local, weights))


def sweep(n, spacing=5.5e-6, duration=3.5e-6, omega=1.5e7):
    """The adiabatic sweep of examples/z2_adiabatic_sweep.py on a chain of n atoms."""
    t = [0.0, duration / 14, duration * 13 / 14, duration]
    h = hamiltonian(duration, waveform(t, [0, omega, omega, 0]), waveform(t, [-3e7, -3e7, 4.5e7, 4.5e7]))
    return program(chain(n, spacing), h)


@pytest.mark.parametrize("bad", [math.nan, math.inf, -math.inf])
def test_numbers_that_are_not_finite_are_refused(bad):
    cases = {
        "amplitude waveform's value 1 is": dict(amplitude=(SPAN, [1e7, bad])),
        "phase waveform's value 0 is": dict(phase=(SPAN, [bad, 0.0])),
        "detuning waveform's time 1 is": dict(detuning=([0.0, bad], [0.0, 0.0])),
        "local detuning waveform's value 1 is": dict(local=(SPAN, [0.0, bad]), weights=[1.0, 0.5]),
        "local-detuning weight of atom 1": dict(local=ZERO, weights=[1.0, bad]),
        "duration must be a finite number of seconds": dict(duration=bad),
    }
    for message, inputs in cases.items():
        with pytest.raises(ValueError, match=re.escape(message)):
            pair_gate(**inputs).evolve()
    with pytest.raises(ValueError, match=r"atom 1 .* positions must be finite numbers of metres"):
        AtomSpace([(0.0, 0.0), (0.0, bad)], 5.42e-24, 0.0)


def test_a_duration_in_microseconds_is_refused_naming_the_unit():
    g = gate(sweep(9, duration=3.5))  # 3.5 us meant: some 14 hours of work
    with pytest.warns(UserWarning, match=re.escape("Durations are in seconds: 3.5 s is 3.5e+06 us")):
        with pytest.raises(ValueError) as refused:
            g.run(10)
    text = str(refused.value)
    assert "cannot finish" in text and "over 512 basis states" in text and "from the interaction energy" in text
    assert "seconds, metres and rad/s" in text and "3.5 us is 3.5e-06 s" in text
    # Plausible inputs, but fewer steps allowed than any integrator takes: refused with the
    # integrator's own kind of error before the work.
    with pytest.raises(RuntimeError, match="more than nsteps=10 allows"):
        gate(sweep(4)).run(10, nsteps=10)


def test_rates_far_beyond_any_experiment_are_refused_naming_the_unit():
    with pytest.raises(ValueError, match=r"Frequencies are in rad/s: the drive amplitude reaches 1.5e\+16 rad/s"):
        gate(sweep(10, omega=1.5e16)).run(1)
    # Atoms 5 nm apart (nanometres, or C6 in other units) interact at ~1e26 rad/s, in either frame.
    for frame in (False, True):
        with pytest.raises(ValueError, match=r"Interactions are C6/r\^6 .* closest atoms are 5e-09 m apart"):
            gate(sweep(6, spacing=5e-9)).run(1, interaction_picture=frame)
    # Plausible units, but atoms 2 um apart for 1 ms: refused without a hint.
    with pytest.raises(ValueError, match="cannot finish") as refused:
        gate(program(chain(12, 2e-6), hamiltonian(1e-3, 1.5e7))).run(1)
    assert not re.search("(Durations|Frequencies|Interactions|Positions) are", str(refused.value))


def test_positions_in_micrometres_and_long_durations_warn_but_run():
    with pytest.warns(UserWarning, match="Positions are in metres: the closest atoms are 5 m apart"):
        free = gate(sweep(3, spacing=5.0)).run(0, project_hyperfine=False)
    one = gate(sweep(1)).run(0, project_hyperfine=False)
    assert fidelity(free, np.kron(one, np.kron(one, one))) > 1 - 1e-6  # atoms that do not interact
    with pytest.warns(UserWarning, match="Durations are in seconds"):
        slow = gate(program(chain(1, 5e-6), hamiltonian(3.0, 10.0))).run(0, project_hyperfine=False)
    assert abs(abs(slow[1]) ** 2 - np.sin(15.0) ** 2) < 1e-6  # 30 rad of Rabi rotation
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        gate(sweep(2, spacing=1e-3)).run(1)  # far apart, but in metres


@pytest.mark.skipif(not os.path.exists("/proc/meminfo"), reason="reads the memory available from /proc/meminfo")
def test_register_beyond_the_memory_available_is_a_memory_error():
    def available_mib():
        with open("/proc/meminfo") as f:
            return next(int(line.split()[1]) for line in f if line.startswith("MemAvailable:")) >> 10

    before = available_mib()
    with pytest.raises(MemoryError, match="MiB of memory available") as refused:
        AtomSpace([(k * 5e-6, 0.0) for k in range(36)], 5.42e-24, 0.0)
    stated = int(re.search(r"the (\d+) MiB", str(refused.value)).group(1))
    assert stated <= max(before, available_mib()) * 1.02 + 64  # the memory available, not the total


INTERRUPTED = textwrap.dedent("""
    import os, signal, sys, threading, time
    import numpy as np
    from analog_programs import gate, hamiltonian, program
    from norvane.quantum.job.base import Geometry

    sites = [((k % 4) * 5e-6, (k // 4) * 5e-6) for k in range(14)]
    long = gate(program(Geometry(sites=sites, filling=[1] * 14), hamiltonian(60e-6, 1.5e7, 1e7)), seed=3)
    short = gate(program(Geometry(sites=sites[:3], filling=[1] * 3), hamiltonian(1e-6, 1.5e7, 1e7)), seed=3)
    before = short.run(0, project_hyperfine=False)
    for call in (long.evolve, lambda: long.run(5), lambda: long.evolve(solver_name="krylov"),
                 lambda: long.evolve(solver_name="tdvp")):
        threading.Timer(1.0, os.kill, (os.getpid(), signal.SIGINT)).start()
        start = time.perf_counter()
        try:
            call()
            print("not interrupted")
        except KeyboardInterrupt:
            print("interrupted after %.2f s" % (time.perf_counter() - start - 1.0))
    print("later run identical:", np.array_equal(before, short.run(0, project_hyperfine=False)))
""")


def test_ctrl_c_stops_a_long_evolution_and_leaves_the_emulator_usable():
    # 14 atoms over 60 us: minutes of work each time, with any solver, unless Ctrl-C, sent
    # 1 s in, ends it.
    tests = os.path.dirname(os.path.abspath(__file__))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([tests, os.environ.get("PYTHONPATH", "")]))
    out = subprocess.run([sys.executable, "-c", INTERRUPTED], capture_output=True, text=True, timeout=900, env=env)
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()
    assert [line.split(" after ")[0] for line in lines[:4]] == ["interrupted"] * 4, out.stdout
    assert all(float(line.split()[2]) < 10.0 for line in lines[:4]), out.stdout  # not the minutes of a full run
    assert lines[4] == "later run identical: True"
