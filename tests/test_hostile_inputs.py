"""Malformed and misbehaving inputs to every native module, each case in its own interpreter:
any Python exception is an acceptable answer, a signal, a fatal error or a hang is not."""

import subprocess
import sys
import textwrap
from concurrent.futures import ThreadPoolExecutor

PRELUDE = textwrap.dedent("""
    import gc, sys, numpy as np
    from norvane.quantum.ir.digital.circuit import DigitalCircuit
    from norvane.quantum.ir.digital import gate as g
    from norvane.quantum.ir.digital.measurement import Measurement, MeasurementBasis
    from norvane.quantum.ir.digital.conditional import ClassicalCondition, ConditionalInstruction
    from norvane.quantum.simulator.digital.dense_sim import DigitalDenseSimulator, SimulationResult
    from norvane.quantum.simulator.digital.unitab import GateMatrixCache
    from norvane.quantum.compiler.analysis.digital.validate import DigitalCircuitValidator
    from norvane.quantum.ir.digital import serialize as ser
    from norvane.quantum.optimizer.param_map import ParamMap
    from norvane.quantum.optimizer.gradient import parameter_shift_gradient, FiniteDiffGradient
    from norvane.quantum.optimizer.vqe import VQE
    from norvane.quantum.optimizer.qaoa import QAOAAnsatz
    from norvane.quantum.ir.routine.digital import DigitalRoutine

    class Anything:
        # Every attribute, item, call and number conversion misbehaves.
        def __getattr__(self, name): raise RuntimeError(name)
        def __getitem__(self, key): raise RuntimeError("item")
        def __iter__(self): raise RuntimeError("iter")
        def __len__(self): return -1
        def __index__(self): raise RuntimeError("index")
        def __float__(self): raise RuntimeError("float")

    class Circuit:
        def __init__(self, n, instructions, n_cbits=None):
            self.n_qubits, self.instructions = n, instructions
            self.n_cbits = n if n_cbits is None else n_cbits

    def attempt(f, *args, **kwargs):
        try:
            f(*args, **kwargs)
        except Exception:
            pass
""")

CASES = {
    "simulator on wrong types": """
        for circuit in (None, 1, "c", Anything(), Circuit(2, None), Circuit(2, [1, None]), Circuit(-1, []),
                        Circuit(2, [], -5), Circuit(2**80, []), Circuit(2, [Measurement([5])]),
                        Circuit(2, [g.H([7])]), Circuit(2, [g.CX([0, 0])]), Circuit(1, [Anything()])):
            attempt(lambda: DigitalDenseSimulator(circuit).run(4))
            attempt(lambda: DigitalDenseSimulator(circuit).statevector())
        for shots in (None, "3", 2.5, -1, 2**100, Anything()):
            attempt(DigitalDenseSimulator(DigitalCircuit(1, [Measurement([0])])).run, shots)
        attempt(DigitalDenseSimulator, DigitalCircuit(1), seed="x")
        attempt(DigitalDenseSimulator, DigitalCircuit(1), seed=-1)
    """,
    "simulator fields replaced": """
        sim = DigitalDenseSimulator(DigitalCircuit(2, [g.H([0]), g.CX([0, 1]), Measurement([0, 1])]))
        for name, value in (("_rng", None), ("_rng", Anything()), ("_cache", None), ("_cache", Anything()),
                            ("_circuit", None), ("_circuit", Anything())):
            saved = getattr(sim, name)
            attempt(setattr, sim, name, value)
            attempt(sim.run, 8)
            attempt(sim.statevector)
            attempt(lambda: sim._apply_measurement(sim._init_state(), Measurement([0]), [0, 0]))
            setattr(sim, name, saved)
    """,
    "matrices of every wrong kind": """
        for matrix in (None, "m", [[1]], np.zeros((2, 3)), np.zeros((4, 4)), np.ones((2, 2), dtype=object),
                       np.array([[np.nan, 0], [0, np.inf]]), np.zeros((2, 2, 2)), Anything()):
            circuit = DigitalCircuit(1, [g.CustomGate([0], lambda matrix=matrix: matrix), Measurement([0])])
            attempt(lambda: DigitalDenseSimulator(circuit).run(4))
            attempt(lambda: DigitalDenseSimulator(circuit).statevector())
    """,
    "states of every wrong kind": """
        sim = DigitalDenseSimulator(DigitalCircuit(2))
        for state in (None, [1, 0, 0, 0], np.zeros(3, complex), np.zeros(4), np.zeros((2, 2), complex),
                      np.zeros(8, complex)[::2], np.zeros(4, complex).view(np.float64), Anything()):
            attempt(sim._apply_gate, state, g.H([0]))
            attempt(sim._apply_measurement, state, Measurement([0]), [0, 0])
        frozen = np.zeros(4, complex); frozen[0] = 1; frozen.flags.writeable = False
        attempt(sim._apply_measurement, frozen, Measurement([0]), [0, 0])
        zero = np.zeros(4, complex)
        attempt(sim._apply_measurement, zero, Measurement([0]), [0, 0])
        attempt(sim._apply_measurement, sim._init_state(), Measurement([0], [9]), [0])
        attempt(sim._apply_measurement, sim._init_state(), Anything(), [0, 0])
    """,
    "conditions that misbehave": """
        class Raising(ClassicalCondition):
            __slots__ = ()
            def evaluate(self, cbits): raise RuntimeError("no")
        class Odd(ClassicalCondition):
            __slots__ = ()
            def evaluate(self, cbits): return Anything()
        for cls in (Raising, Odd):
            c = DigitalCircuit(2, [g.H([0]), Measurement([0]), ConditionalInstruction(g.X([1]), cls([0], 1)),
                                   Measurement([1])])
            attempt(DigitalDenseSimulator(c).run, 16)
    """,
    "gate cache misuse": """
        cache = GateMatrixCache()
        for gate in (None, 1, Anything(), g.RX([0], "t"), g.UnitaryGate([0], np.eye(2))):
            attempt(cache.get, gate)
            attempt(cache.get, gate, t=Anything())
        attempt(setattr, cache, "_cache", None)
        cache._cache = {}
        cache._cache[g.H] = Anything()
        attempt(lambda: DigitalDenseSimulator(DigitalCircuit(1, [g.H([0])])).statevector())
    """,
    "results with odd fields": """
        for args in (({"0": "x"}, 1, 1, 1), ({1: 1}, 1, 1, 1), ({"0": 1}, 0, 1, 1), ({"0": 2**70}, 1, 1, 1),
                     (None, 1, 1, 1), ({"0": Anything()}, 1, 1, 1), ({"0": 1}, "s", 1, 1, "m")):
            attempt(SimulationResult, *args)
        r = SimulationResult({"0": 1}, 1, 1, 1)
        for counts in (None, [], {"zz": 1}, {"0": Anything()}, Anything()):
            attempt(setattr, r, "counts", counts)
            attempt(r.probabilities); attempt(r.expectation, [1.0, 2.0]); attempt(r.most_common, 2)
            attempt(repr, r)
        r.counts = {"1": 1}
        for observable in (None, [], Anything(), np.zeros(1)):
            attempt(r.expectation, observable)
    """,
    "validator on malformed circuits": """
        v = DigitalCircuitValidator()
        for circuit in (None, 1, Anything(), Circuit(2, None), Circuit(2, [None, 1, "x"]),
                        Circuit(-3, [g.H([0])]), Circuit(2**70, [g.H([2**69])]), Circuit(2, [Measurement([0, 0])]),
                        Circuit(1, [ConditionalInstruction(g.X([0]), ClassicalCondition([4], 99))]),
                        Circuit(1, [Anything()]), Circuit(Anything(), [])):
            for method in [m for m in dir(v) if not m.startswith("__")]:
                attempt(lambda: getattr(v, method)(circuit))
    """,
    "serializer on malformed data": """
        deep = {}
        for _ in range(100000):
            deep = {"__type__": "Negative", "expr": deep}
        for data in (None, 1, "x", [], {}, {"__type__": "Nope"}, {"__type__": "Literal"},
                     {"__type__": "Literal", "value": "1e999999"}, {"__type__": "Literal", "value": Anything()},
                     deep, {"__type__": "Max", "scalars": None}, {"__type__": "Add", "lhs": 1}):
            attempt(ser._deserialize_scalar, data)
            attempt(ser._deserialize_params, data)
            for name in [n for n in dir(ser) if n.endswith("_deserializer")]:
                attempt(getattr(ser, name), data)
        for obj in (None, Anything(), g.RX([0], "t"), Circuit(1, [Anything()])):
            attempt(setattr, obj, "params", Anything())
            attempt(ser._serialize_scalar, obj)
            for name in [n for n in dir(ser) if n.endswith("_serializer")]:
                attempt(getattr(ser, name), obj)
        attempt(ser._make_std_serializer, None)
        attempt(ser._make_parametric_serializer, Anything())
    """,
    "optimiser pieces on nonsense": """
        for names in (None, 1, Anything(), [Anything()]):
            attempt(ParamMap, names)
        p = ParamMap(["a", "b"])
        for x in (None, [1], "ab", np.zeros((2, 2)), [Anything(), 1], np.array([np.nan, 1])):
            attempt(p.bind, x); attempt(p.args_from, x)
        p.n = Anything(); attempt(p.zeros); attempt(p.bind, [1, 2])
        attempt(p.random, seed=Anything())
        for f in (None, lambda x: "s", lambda x: Anything(), lambda x: 1 / 0, lambda x: np.zeros(3)):
            for x in (np.zeros(2), None, [Anything()], np.zeros((2, 2))):
                attempt(parameter_shift_gradient, f, x)
                attempt(FiniteDiffGradient(1e-3).gradient, f, x)
        attempt(FiniteDiffGradient, eps="x"); attempt(FiniteDiffGradient, scheme=None)
    """,
    "vqe with misbehaving callables": """
        circuit = DigitalCircuit(1, [g.RX([0], "t"), Measurement([0])])
        for observable in (None, [1.0], Anything(), np.zeros(1)):
            try:
                vqe = VQE(DigitalRoutine(circuit=circuit), ParamMap(["t"]), observable)
            except Exception:
                continue
            attempt(vqe.cost, np.zeros(1)); attempt(vqe.gradient, np.zeros(1))
        for gradient in (lambda f, x: None, lambda f, x: np.zeros(5), lambda f, x: Anything(), 1):
            vqe = VQE(DigitalRoutine(circuit=circuit), ParamMap(["t"]), np.array([1.0, -1.0]), gradient=gradient)
            for optimizer in ("adam", "gd", "nope", None):
                vqe.optimizer = optimizer
                attempt(vqe.run, np.zeros(1), max_iter=3)
        vqe = VQE(DigitalRoutine(circuit=circuit), ParamMap(["t"]), np.array([1.0, -1.0]))
        vqe.spec = Anything(); attempt(vqe.cost, np.zeros(1))
        vqe.routine = Anything(); attempt(vqe.run, np.zeros(1))
    """,
    "qaoa with odd graphs": """
        for n, edges in ((3, None), (3, [(0, 5, 1.0)]), (3, [(0,)]), (3, [(0, 1, Anything())]), (3, Anything()),
                         (-2, []), (2**70, []), (None, []), (3, [(0, 1, 1.0)] * 3)):
            attempt(lambda: QAOAAnsatz(n, edges, 2).build())
            attempt(lambda: QAOAAnsatz(n, edges).cost_observable())
            attempt(lambda: QAOAAnsatz(n, edges).max_cut_observable())
        q = QAOAAnsatz(3, [(0, 1, 1.0)])
        q.n_qubits = Anything(); attempt(q.cost_observable); attempt(q.build)
        q.n_qubits = 2**64; attempt(q.cost_observable)
    """,
    "threads and garbage collection together": """
        import threading
        sim = DigitalDenseSimulator(DigitalCircuit(3, [g.H([0]), g.RX([1], "t"), Measurement([0, 1]), g.CX([1, 2]),
                                                       Measurement([2])]), seed=1)
        def work():
            for k in range(200):
                attempt(sim.run, 4, t=k * 0.01)
                if k % 50 == 0:
                    sim._cache.clear(); gc.collect()
        workers = [threading.Thread(target=work) for _ in range(3)]
        for w in workers: w.start()
        for w in workers: w.join()
    """,
}


def run_case(name, body):
    code = PRELUDE + textwrap.dedent(body) + "\nprint('case finished')\n"
    try:
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    except subprocess.TimeoutExpired:
        return f"{name}: hung for 120 s"
    if out.returncode != 0 or "case finished" not in out.stdout:
        return f"{name}: exit status {out.returncode}\n{out.stderr[-3000:]}"
    if "Fatal Python error" in out.stderr or "leaked" in out.stderr:
        return f"{name}: {out.stderr[-3000:]}"
    return None


def test_no_case_ends_the_interpreter():
    with ThreadPoolExecutor(max_workers=2) as pool:
        failures = [f for f in pool.map(run_case, CASES, CASES.values()) if f]
    assert not failures, "\n\n".join(failures)
