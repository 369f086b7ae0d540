"""One thread limit for every native module: set through any of them, it binds the digital
and the analog engines alike, and results do not depend on it."""

import os
import subprocess
import sys
import textwrap

import pytest

from native_modules import assert_initialises_once
from norvane.quantum import native_threads

SHARED = textwrap.dedent("""
    import re, sys
    import numpy as np
    from norvane.quantum.simulator.digital import dense_sim

    dense_sim._set_max_threads(1)  # the workers' call, before the analog engine is loaded
    assert "norvane.quantum.simulator._rydberg" not in sys.modules
    from analog_programs import chain, gate, hamiltonian, program
    from norvane.quantum import native_threads

    def refused_limit():
        # 17 atoms 2 um apart for 1 ms: refused before any work, stating the most work allowed
        # for the threads the engine may give its 2^17 basis states (one per 2^16).
        try:
            gate(program(chain(17, 2e-6), hamiltonian(1e-3, 1.5e7))).run(1)
        except ValueError as refused:
            return float(re.search(r"more than (\\S+) steps x states", str(refused)).group(1))

    def evolved():
        # 2^16 amplitudes: large enough for the kernels and sums to split over two threads.
        g = gate(program(chain(16, 5.5e-6), hamiltonian(0.01e-6, 1.5e7, 1e7)))
        return g.run(0, project_hyperfine=False, atol=1e-8, rtol=1e-5)

    one, state_one = refused_limit(), evolved()
    dense_sim._set_max_threads(2)
    two, state_two = refused_limit(), evolved()
    print("seen by the owner:", native_threads.max_threads())
    print("work allowed, 2 threads over 1:", two / one)
    print("same state:", np.array_equal(state_one, state_two))
    native_threads.set_max_threads(1)
    print("back to 1 through the owner:", refused_limit() == one)
""")


def test_a_limit_set_through_the_digital_module_binds_the_analog_engine():
    tests = os.path.dirname(os.path.abspath(__file__))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([tests, os.environ.get("PYTHONPATH", "")]))
    out = subprocess.run([sys.executable, "-c", SHARED], capture_output=True, text=True, timeout=600, env=env)
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == [
        "seen by the owner: 2",
        "work allowed, 2 threads over 1: 2.0",
        "same state: True",
        "back to 1 through the owner: True",
    ], out.stdout


def test_the_limit_takes_a_count_of_threads():
    try:
        native_threads.set_max_threads(3)
        assert native_threads.max_threads() == 3
        native_threads.set_max_threads(2.9)  # numbers truncate toward zero, as every integer argument
        assert native_threads.max_threads() == 2
        with pytest.raises(ValueError, match="threads must be 0 .* got -1"):
            native_threads.set_max_threads(-1)
        with pytest.raises(TypeError, match=r"Argument 'threads' has incorrect type \(expected int, got str\)"):
            native_threads.set_max_threads("2")
        assert native_threads.max_threads() == 2
    finally:
        native_threads.set_max_threads(0)
    assert native_threads.max_threads() >= 1  # all cores


def test_module_initialises_once():
    assert_initialises_once("norvane.quantum.native_threads")
