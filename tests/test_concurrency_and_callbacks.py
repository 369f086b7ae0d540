"""Simulators shared by threads, re-entered from callbacks, interrupted, and collected in cycles;
callbacks that change what native code is walking; sizes refused before any work."""

import gc
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time
import weakref

import numpy as np
import pytest

from norvane.quantum.ir.digital.circuit import DigitalCircuit
from norvane.quantum.ir.digital.conditional import ClassicalCondition, ConditionalInstruction
from norvane.quantum.ir.digital.gate import CX, RX, CustomGate, H, X
from norvane.quantum.ir.digital.measurement import Measurement, MeasurementBasis
from norvane.quantum.optimizer.qaoa import QAOAAnsatz
from norvane.quantum.simulator.digital import dense_sim
from norvane.quantum.simulator.digital.dense_sim import DigitalDenseSimulator, SimulationResult
from norvane.quantum.simulator.digital.unitab import GateMatrixCache


def layered_circuit(n=4, layers=10):
    instructions = [H([q]) for q in range(n)]
    for layer in range(layers):
        instructions += [RX([q], f"a{layer}_{q}") for q in range(n)]
        instructions += [CX([q, (q + 1) % n]) for q in range(n)]
    return DigitalCircuit(n, instructions + [Measurement(list(range(n)))])


def in_threads(target, count=2):
    errors = []

    def guarded(*args):
        try:
            target(*args)
        except BaseException as error:  # reported to the test below
            errors.append(error)

    workers = [threading.Thread(target=guarded, args=(k,)) for k in range(count)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    assert errors == []


class TestSharedSimulator:
    def test_threads_hammering_one_simulator(self):
        circuit = layered_circuit()
        names = [f"a{layer}_{q}" for layer in range(10) for q in range(4)]
        sim = DigitalDenseSimulator(circuit, seed=3)
        previous = sys.getswitchinterval()
        sys.setswitchinterval(1e-6)
        try:
            def work(k):
                rnd = np.random.default_rng(k)
                for _ in range(150):
                    result = sim.run(8, **dict(zip(names, rnd.random(len(names)))))
                    assert sum(result.counts.values()) == 8

            in_threads(work)

            fresh = lambda: np.array([[0, 1], [1, 0]], dtype=complex)  # a new matrix object per call
            custom = DigitalDenseSimulator(
                DigitalCircuit(3, [H([0]), CustomGate([1], fresh), Measurement([0, 1]), CustomGate([2], fresh)]))
            in_threads(lambda k: [custom.run(4) for _ in range(150)])
        finally:
            sys.setswitchinterval(previous)

    def test_concurrent_runs_equal_sequential_runs(self):
        # Each run draws its part of the stream in one piece, so two concurrent runs give the
        # two sequential results in some order.
        circuit = DigitalCircuit(3, [H([0]), Measurement([0]), CX([0, 1]), H([2]), Measurement([1, 2])])
        sequential = DigitalDenseSimulator(circuit, seed=11)
        expected = [sequential.run(2000).memory for _ in range(2)]
        shared = DigitalDenseSimulator(circuit, seed=11)
        results = [None, None]

        def work(k):
            results[k] = shared.run(2000).memory

        in_threads(work)
        assert results in (expected, expected[::-1])

    def test_run_reentered_from_a_condition(self):
        class Reentrant(ClassicalCondition):
            __slots__ = ()
            depth = 0

            def evaluate(self, cbits):
                if Reentrant.depth == 0:
                    Reentrant.depth += 1
                    try:
                        for _ in range(50):
                            sim.run(1)
                        sim._cache.clear()
                        sim._rng.random()  # the generator is free while Python code runs
                    finally:
                        Reentrant.depth -= 1
                return True

        fresh = lambda: np.array([[0, 1], [1, 0]], dtype=complex)
        sim = DigitalDenseSimulator(DigitalCircuit(2, [
            H([0]), Measurement([0]), ConditionalInstruction(X([1]), Reentrant([0], 1)),
            CustomGate([1], fresh), CustomGate([0], fresh), Measurement([1])]), seed=1)
        assert sum(sim.run(64).counts.values()) == 64

    def test_results_do_not_depend_on_kernel_threads(self):
        n = 18
        instructions = [H([q]) for q in range(n)] + [RX([q], 0.1 * q + 0.3) for q in range(n)]
        instructions += [CX([q, q + 1]) for q in range(n - 1)] + [Measurement([0]), H([n - 1])]
        circuit = DigitalCircuit(n, instructions + [Measurement(list(range(1, n)))])
        try:
            dense_sim._set_max_threads(1)
            one = DigitalDenseSimulator(circuit, seed=5).run(300).memory
            state_one = DigitalDenseSimulator(circuit).statevector()
        finally:
            dense_sim._set_max_threads(0)
        assert DigitalDenseSimulator(circuit, seed=5).run(300).memory == one
        assert np.array_equal(DigitalDenseSimulator(circuit).statevector(), state_one)

    def test_generator_kept_alive_while_drawing(self):
        sim = DigitalDenseSimulator(DigitalCircuit(3, [H([0]), H([1]), Measurement([0, 1])]), seed=1)

        class TemporaryBitGenerator:
            @property
            def bit_generator(self):
                return np.random.PCG64(123)  # only the simulator holds it

        sim._rng = TemporaryBitGenerator()
        drawn = sim.run(500).memory
        reference = np.random.Generator(np.random.PCG64(123)).random(500)
        assert drawn == [format(int(u * 4), "02b") + "0" for u in reference]


class TestCallbacksChangingWhatIsWalked:
    def test_counts_cleared_by_index(self):
        class Clearing:
            def __init__(self, d):
                self.d = d

            def __index__(self):
                self.d.clear()
                return 2

        counts = {"1" * 20 + "0" * 20: None}
        counts["1" * 20 + "0" * 20] = Clearing(counts)
        assert SimulationResult._expand_counts(counts) == ["1" * 20 + "0" * 20] * 2

    def test_counts_cleared_during_probabilities_and_expectation(self):
        result = SimulationResult({"0": 1}, 4, 1, 1, [])

        class Clearing:
            def __truediv__(self, other):
                result.counts.clear()
                return 0.5

        result.counts = {"ab" * 30: Clearing(), "x" * 40: Clearing()}
        assert result.probabilities() == {"ab" * 30: 0.5, "x" * 40: 0.5}

        big = int("1" * 30)
        result = SimulationResult({"00": big + 7, "11": big + 9}, 1, 2, 2, [])

        class Observable:
            def __getitem__(self, index):
                result.counts.clear()
                result.shots = 2
                return 1.0

        assert result.expectation(Observable()) == pytest.approx((2 * big + 16) / 2)  # shots read last

    def test_classical_bits_shrunk_during_measurement(self):
        sim = DigitalDenseSimulator(DigitalCircuit(3, [H([0])]), seed=1)
        cbits = [0, 0, 0]

        class Shrinking:
            qubits, bits = (0, 1, 2), (2, 1, 0)

            @property
            def basis(self):
                cbits.clear()
                return MeasurementBasis.Z

        with pytest.raises(IndexError):
            sim._apply_measurement(sim._init_state(), Shrinking(), cbits)
        assert cbits == []

    def test_vqe_keywords_whose_hash_changes_the_mapping(self):
        from norvane.quantum.optimizer.param_map import ParamMap
        from norvane.quantum.optimizer.vqe import VQE
        from norvane.quantum.ir.routine.digital import DigitalRoutine

        extra = {}

        class Key(str):
            def __hash__(self):
                extra.clear()
                return str.__hash__(self)

            __eq__ = str.__eq__

        circuit = DigitalCircuit(1, [RX([0], "t"), Measurement([0])])
        vqe = VQE(DigitalRoutine(circuit=circuit), ParamMap(["t"]), np.array([1.0, -1.0]))
        extra[Key("t")] = 0.5
        vqe.spec.bind = lambda x: extra
        assert isinstance(vqe.cost(np.array([0.0]), 16), float)


class TestCollection:
    @pytest.mark.parametrize("make", [
        lambda: DigitalDenseSimulator(DigitalCircuit(1, [H([0]), Measurement([0])])),
        lambda: SimulationResult({"0": 1}, 1, 1, 1),
        GateMatrixCache,
    ])
    def test_cycle_through_native_object_is_freed(self, make):
        obj = make()
        if isinstance(obj, DigitalDenseSimulator):
            obj.run(4)
            obj._circuit = [obj]
        elif isinstance(obj, SimulationResult):
            obj.memory = [obj]
        else:
            obj._cache = {"self": obj}
        ref = weakref.ref(obj)
        assert obj.__weakref__ is ref
        del obj
        gc.collect()
        assert ref() is None

    def test_cycle_through_a_custom_gate_closure(self):
        holder = {}
        sim = DigitalDenseSimulator(DigitalCircuit(1, [CustomGate([0], lambda: (holder, np.eye(2))[1]),
                                                       Measurement([0])]))
        holder["sim"] = sim
        sim.run(8)
        ref = weakref.ref(sim)
        del sim, holder
        gc.collect()
        assert ref() is None


class TestFailFast:
    def test_sizes_refused_before_work(self):
        with pytest.raises(MemoryError, match="2\\*\\*1099511627776 entries"):
            QAOAAnsatz(2**40, []).cost_observable()
        with pytest.raises(MemoryError):
            QAOAAnsatz(40, [(0, 1, 1.0)]).max_cut_observable()
        with pytest.raises(MemoryError, match="too many to expand"):
            SimulationResult._expand_counts({"0": 2**62})
        with pytest.raises(MemoryError, match="too many to expand"):
            SimulationResult({"0": 2**40, "1": 2**40}, 1, 1, 1)

    def test_shots_and_qubit_counts(self):
        sim = DigitalDenseSimulator(DigitalCircuit(1, [Measurement([0])]))
        for shots in (-1, -(2**70)):
            with pytest.raises(ValueError, match="shots"):
                sim.run(shots)
        for shots in (2**40, 2**100):  # one result entry per shot cannot be held
            with pytest.raises(MemoryError, match="per-shot results"):
                sim.run(shots)
        assert sim.run(0).counts == {} and sim.run(0).memory == []

        class Huge:
            n_qubits, n_cbits, instructions = 2**70, 1, ()

        with pytest.raises(MemoryError, match="1180591620717411303424 qubits cannot be allocated"):
            DigitalDenseSimulator(Huge()).run(1)

    def test_run_peak_is_checked_against_memory(self):
        # 31 qubits: one state fits in 24-48 GiB machines, but a run's state, distribution and
        # branch copy do not.
        memory = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES")
        n = next(n for n in range(20, 45) if 48 * 2**n > memory and 16 * 2**n <= memory)
        with pytest.raises(MemoryError, match="at its peak"):
            DigitalDenseSimulator(DigitalCircuit(n, [Measurement([0])])).run(1)


INTERRUPTED_RUN = textwrap.dedent("""
    import sys
    from norvane.quantum.ir.digital.circuit import DigitalCircuit
    from norvane.quantum.ir.digital.gate import H, CX, RX
    from norvane.quantum.ir.digital.measurement import Measurement
    from norvane.quantum.simulator.digital.dense_sim import DigitalDenseSimulator
    if sys.argv[1] == "shots":
        # 16 measurements in a row: each shot walks 16 branches (about 2 us), 40M shots over a minute.
        c = DigitalCircuit(1, [g for _ in range(16) for g in (H([0]), Measurement([0]))])
        work = lambda: DigitalDenseSimulator(c, seed=1).run(40_000_000)
    else:
        # 25 qubits, 25,000 gates: a second or so of planning (far longer on a sanitizer build),
        # then about a minute of kernels.
        c = DigitalCircuit(25, [g for layer in range(500) for q in range(25)
                                for g in (RX([q], 0.1), CX([q, (q + 1) % 25]))])
        work = lambda: DigitalDenseSimulator(c).statevector()
    print("ready", flush=True)
    try:
        work()
        print("not interrupted")
    except KeyboardInterrupt:
        print("interrupted")
""")


@pytest.mark.parametrize("kind", ["shots", "kernels"])
def test_ctrl_c_during_a_long_run(kind):
    # Each run takes over a minute uninterrupted (on two cores); Ctrl-C comes 1 s in, from
    # outside as a terminal sends it. An answer within 10 s came during the run even on a
    # loaded machine; one that ignored Ctrl-C would end with the run.
    child = subprocess.Popen([sys.executable, "-c", INTERRUPTED_RUN, kind], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "ready\n"
        time.sleep(1.0)
        child.send_signal(signal.SIGINT)
        sent = time.monotonic()
        out, err = child.communicate(timeout=900)
        answered_after = time.monotonic() - sent
    finally:
        child.kill()
        child.wait()
    assert child.returncode == 0 and out == "interrupted\n", err
    assert answered_after < 10.0
