#include "simulator.hpp"

#include <nanobind/ndarray.h>

#include <string>

#include "circuit_program.hpp"
#include "gates.hpp"
#include "imports.hpp"
#include "support/pyops.hpp"
#include "statevector/measure.hpp"
#include "statevector/plan.hpp"
#include "support/args.hpp"

namespace dense_sim {

namespace {

const char *const kSimulatorDoc =
    "Pure-numpy statevector simulator for digital quantum circuits.\n"
    "\n"
    "Args:\n"
    "    circuit: The circuit to simulate.\n"
    "    seed: Optional random seed for reproducibility.";

nb::handle result_type;

int cbit_count(nb::handle circuit) {
    long long n = norvane::arg_long(circuit.attr("n_cbits"), "n_cbits");
    if (n < 0) throw nb::value_error("a circuit cannot have a negative number of classical bits");
    if (n > (1 << 24)) throw nb::value_error("too many classical bits");
    return int(n);
}

// The result's counts and memory from the engine's tally: one Python text per distinct outcome,
// shared by every shot that produced it.
std::pair<nb::dict, nb::list> counts_and_memory(const statevector::ShotTally &tally) {
    std::vector<nb::str> bitstrings;
    nb::dict counts;
    for (std::size_t i = 0; i < tally.outcomes.size(); ++i) {
        std::string text(tally.outcomes[i].size(), '0');
        for (std::size_t b = 0; b < text.size(); ++b)
            if (tally.outcomes[i][b]) text[b] = '1';
        bitstrings.emplace_back(text.data(), text.size());
        counts[bitstrings.back()] = nb::int_(tally.counts[i]);
    }
    PyObject *memory = PyList_New(Py_ssize_t(tally.memory.size()));
    if (!memory) throw nb::python_error();
    for (std::size_t shot = 0; shot < tally.memory.size(); ++shot) {
        PyObject *text = bitstrings[tally.memory[shot]].ptr();
        Py_INCREF(text);
        PyList_SET_ITEM(memory, Py_ssize_t(shot), text);
    }
    return {counts, nb::steal<nb::list>(memory)};
}

}  // namespace

DigitalDenseSimulator::DigitalDenseSimulator(nb::handle circuit_, nb::handle seed) {
    nb::object seed_value = seed.is_none() ? nb::none() : nb::object(norvane::arg_int(seed, "seed"));
    circuit = nb::borrow(circuit_);
    rng = imports().default_rng(seed_value);
    cache = imports().gate_matrix_cache();
}

nb::object DigitalDenseSimulator::run(nb::handle shots_arg, nb::kwargs kwargs) {
    nb::int_ shots = norvane::arg_int(shots_arg, "shots");
    long long count = PyLong_AsLongLong(shots.ptr());
    if (count == -1 && PyErr_Occurred()) throw nb::python_error();
    const int n = qubit_count(circuit), n_cbits = cbit_count(circuit);
    statevector::ShotTally tally;
    if (count > 0) {
        check_state_fits(n, 3);
        gates->start_call();
        CircuitProgram program(circuit.attr("instructions"), n, n_cbits, cache, kwargs, rng, *gates);
        statevector::ShotOptions options;
        options.plans = &gates->plans();
        options.n_qubits = n;
        options.n_cbits = n_cbits;
        options.shots = count;
        tally = statevector::run_shots(program, options);
    }
    auto [counts, memory] = counts_and_memory(tally);
    return result_type(counts, shots, circuit.attr("n_qubits"), circuit.attr("n_cbits"), memory);
}

nb::object DigitalDenseSimulator::statevector(nb::kwargs kwargs) {
    const int n = qubit_count(circuit);
    check_state_fits(n, 1);
    const Imports &im = imports();
    gates->start_call();
    std::vector<const statevector::PreparedGate *> order;
    for (nb::handle instruction : circuit.attr("instructions")) {
        if (norvane::is_instance(instruction, im.conditional) || !norvane::is_instance(instruction, im.gate)) continue;
        order.push_back(&gates->prepare(instruction, cache, kwargs, n));
    }
    std::vector<statevector::cplx> state = initial_state(n);
    gates->plans().get(n, order).apply(state.data());
    return to_numpy(std::move(state));
}

nb::object DigitalDenseSimulator::init_state() {
    const int n = qubit_count(circuit);
    check_state_fits(n, 1);
    return to_numpy(initial_state(n));
}

nb::object DigitalDenseSimulator::apply_gate(nb::handle state, nb::handle gate, nb::kwargs kwargs) {
    const int n = qubit_count(circuit);
    statevector::PreparedGate prepared = prepare_gate(gate, cache, kwargs, n);
    nb::object copy = imports().ascontiguousarray(state, nb::arg("dtype") = imports().complex128).attr("reshape")(-1);
    if (copy.is(state) || !nb::bool_(copy.attr("flags").attr("owndata")) || !nb::bool_(copy.attr("flags").attr("writeable")))
        copy = copy.attr("copy")();
    if (nb::len(copy) != (std::size_t(1) << n))
        throw nb::value_error(("state has " + std::to_string(nb::len(copy)) + " amplitudes; a circuit of " +
                               std::to_string(n) + " qubit(s) needs " + std::to_string(std::size_t(1) << n))
                                  .c_str());
    prepared.apply(writable_amplitudes(copy, std::size_t(1) << n));
    return copy;
}

void DigitalDenseSimulator::apply_measurement(nb::handle state, nb::handle meas, nb::handle cbits_arg) {
    nb::list cbits = norvane::arg_list(cbits_arg, "cbits");
    const int n = qubit_count(circuit);
    const std::size_t size = std::size_t(1) << n;
    statevector::cplx *psi = writable_amplitudes(state, size);
    std::deque<statevector::PreparedGate> rotations;
    statevector::MeasureOp op = prepare_measurement(meas, n, nb::len(cbits), cache, rotations);
    for (const statevector::PreparedGate *g : op.before) g->apply(psi);
    std::vector<double> cdf;
    if (!statevector::build_cdf(psi, size, cdf)) raise_undefined_probabilities(rng, psi, size);
    norvane::BitGenerator bitgen(rng);
    const std::uint64_t idx = statevector::sample_index(cdf, bitgen.next_double());
    for (const auto &[qubit, bit] : op.writes) cbits[bit] = nb::int_((idx & statevector::bit_of(n, qubit)) ? 1 : 0);
    statevector::collapse_measured(op, n, idx, psi);
}

void bind_simulator(nb::module_ &m, nb::handle result_class) {
    result_type = result_class;
    nb::class_<DigitalDenseSimulator>(m, "DigitalDenseSimulator", kSimulatorDoc)
        .def(nb::init<nb::handle, nb::handle>(), nb::arg("circuit").none(), nb::arg("seed").none() = nb::none())
        .def_rw("_circuit", &DigitalDenseSimulator::circuit)
        .def_rw("_rng", &DigitalDenseSimulator::rng)
        .def_rw("_cache", &DigitalDenseSimulator::cache)
        .def("run", &DigitalDenseSimulator::run, nb::arg("shots").none() = 1024, nb::arg("kwargs"),
             "Simulate the circuit once per shot; keyword arguments are parameter bindings.")
        .def("statevector", &DigitalDenseSimulator::statevector, nb::arg("kwargs"),
             "The final state of the circuit's plain gates (measurements and conditionals skipped).")
        .def("_init_state", &DigitalDenseSimulator::init_state, "A new |0...0> state.")
        .def("_apply_gate", &DigitalDenseSimulator::apply_gate, nb::arg("state").none(), nb::arg("gate").none(), nb::arg("kwargs"),
             "A new state: `gate` applied to `state`, which is left unchanged.")
        .def("_apply_measurement", &DigitalDenseSimulator::apply_measurement, nb::arg("state").none(), nb::arg("meas").none(),
             nb::arg("cbits").none(), "Measure in place: one draw, classical bits written, state collapsed.");
}

}  // namespace dense_sim
