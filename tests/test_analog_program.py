"""Registers, programs, compilation and the emulator gate's input handling."""

import json

import numpy as np
import pytest

from analog_programs import chain, constant, gate, hamiltonian, program
from native_modules import assert_initialises_once
from norvane.quantum.dispatch.program.job_specification import NrvJobSpecification
from norvane.quantum.job.base import Geometry
from norvane.quantum.serialize import dumps, loads
from norvane.quantum.simulator.codegen.hamiltonian import CompileCache, RydbergHamiltonianCodeGen
from norvane.quantum.simulator.ir.emulator import EmulatorProgram, Register
from norvane.quantum.simulator.ir.state_vector import AnalogGate


def test_from_job_builds_register_and_hamiltonian():
    h = hamiltonian(1e-6, 1e7)
    spec = NrvJobSpecification(nshots=10, lattice={"sites": [[0, 0], [5e-6, 0]], "filling": [1, 0]},
                               effective_hamiltonian=h)
    prog = EmulatorProgram.from_job(spec)
    assert prog == EmulatorProgram(Register(Geometry(sites=[(0, 0), (5e-6, 0)], filling=[1, 0])), h)
    assert prog.register.n_atoms == 1 and prog.duration == 1e-6
    with pytest.raises(TypeError):
        EmulatorProgram.from_job({"nshots": 1})


def test_programs_round_trip_through_the_serializer():
    local = {"waveform": constant(1e-6, 3e6), "weights": [0.5, 1.0]}
    prog = program(chain(2, 6e-6), hamiltonian(1e-6, 1e7, local=local), blockade_radius=7e-6, c6=5e-24)
    text = dumps({"program": prog, "empty": EmulatorProgram(prog.register)})
    back = loads(text)
    assert back == {"program": prog, "empty": EmulatorProgram(prog.register)}
    assert json.loads(text)["program"]["norvane.quantum.simulator.ir.emulator.EmulatorProgram"]


def test_bad_registers_and_programs_are_refused():
    with pytest.raises(TypeError):
        Register([(0, 0)])
    with pytest.raises(ValueError, match="c6"):
        Register(chain(1, 1e-6), c6=-1.0)
    with pytest.raises(ValueError, match="blockade_radius"):
        Register(chain(1, 1e-6), blockade_radius=-1e-6)
    local = {"waveform": constant(1e-6, 1.0), "weights": [0.5]}
    with pytest.raises(ValueError, match="one weight per site"):
        program(chain(2, 6e-6), hamiltonian(1e-6, 1e7, local=local))
    same_place = Geometry(sites=[(0, 0), (0, 0)], filling=[1, 1])
    with pytest.raises(ValueError, match="same position"):
        RydbergHamiltonianCodeGen().emit(program(same_place, hamiltonian(1e-6, 1e7)))


def test_compile_cache_reuses_spaces_of_equal_registers():
    cache = CompileCache()
    codegen = RydbergHamiltonianCodeGen(cache)
    a = codegen.emit(program(chain(3, 6e-6), hamiltonian(1e-6, 1e7)))
    b = codegen.emit(program(chain(3, 6e-6), hamiltonian(2e-6, 3e6)))
    c = codegen.emit(program(chain(3, 7e-6), hamiltonian(1e-6, 1e7)))
    assert a.space is b.space and a.space is not c.space and len(cache) == 2
    with pytest.raises(TypeError):
        RydbergHamiltonianCodeGen({})


def test_interaction_diagonal_is_the_van_der_waals_sum():
    h = RydbergHamiltonianCodeGen().emit(program(chain(3, 5e-6, filling=[1, 1, 1]), hamiltonian(1e-6, 1e7)))
    v = 5.42e-24 / 5e-6**6
    expected = [0, 0, 0, v, 0, v / 64, v, v + v + v / 64]
    np.testing.assert_allclose(h.space.interaction, expected, rtol=1e-12)


def test_register_too_large_for_memory_is_a_memory_error():
    # Compiling takes no space: the matrix-product-state engine runs such registers. The exact
    # engine's space is refused when it is first needed, before any work.
    large = gate(program(chain(36, 5e-6), hamiltonian(1e-6, 1e7)))
    assert large.hamiltonian.n_atoms == 36
    with pytest.raises(MemoryError, match="36 atoms"):
        large.run(1)
    # A large register with a blockade radius is fine: no two neighbours excited.
    h = RydbergHamiltonianCodeGen().emit(program(chain(24, 5e-6), hamiltonian(1e-6, 1e7), blockade_radius=6e-6))
    assert h.dim == 121393  # Fibonacci number F(26)


def test_no_atoms_no_duration_and_no_drive():
    empty = gate(program(chain(2, 5e-6, filling=[0, 0]), hamiltonian(1e-6, 1e7)), seed=1)
    assert empty.run(4).shape == (4, 0)
    np.testing.assert_array_equal(empty.run(0, project_hyperfine=False), [1.0])
    instant = gate(program(chain(2, 5e-6), hamiltonian(0.0, 1e7)))
    np.testing.assert_array_equal(instant.run(3), np.zeros((3, 2), dtype=int))
    undriven = gate(EmulatorProgram(Register(chain(2, 5e-6))))
    np.testing.assert_array_equal(undriven.run(0, project_hyperfine=False), [1, 0, 0, 0])


def test_gate_arguments_are_checked():
    g = gate(program(chain(1, 5e-6), hamiltonian(1e-6, 1e7)))
    with pytest.raises(ValueError, match="solver_name 'rk45'"):
        g.run(1, solver_name="rk45")
    with pytest.raises(TypeError):
        g.run(1, solver_name=3)
    with pytest.raises(RuntimeError, match="nsteps=3"):
        g.run(1, nsteps=3)
    with pytest.raises(ValueError, match="nsteps"):
        g.run(1, nsteps=0)
    with pytest.raises(ValueError, match="atol"):
        g.run(1, atol=0.0)
    with pytest.raises(ValueError, match="shots"):
        g.run(-1)
    with pytest.raises(TypeError):
        g.run(1.5)
    with pytest.raises(TypeError):
        AnalogGate("not a hamiltonian")


def test_native_module_is_initialised_once():
    assert_initialises_once("norvane.quantum.simulator._rydberg")
