#include "simulator.hpp"

#include <nanobind/ndarray.h>

#include <string>
#include <vector>

#include "circuit_program.hpp"
#include "gates.hpp"
#include "imports.hpp"
#include "noise.hpp"
#include "statevector/density.hpp"
#include "statevector/trajectories.hpp"
#include "runtime/memory.hpp"
#include "runtime/poll.hpp"
#include "support/pyops.hpp"
#include "statevector/measure.hpp"
#include "statevector/plan.hpp"
#include "statevector/memory.hpp"
#include "support/args.hpp"
#include "support/gc.hpp"
#include "support/pickle_state.hpp"

namespace dense_sim {

namespace {

const char *const kSimulatorDoc =
    "Pure-numpy statevector simulator for digital quantum circuits.\n"
    "\n"
    "Args:\n"
    "    circuit: The circuit to simulate.\n"
    "    seed: Optional random seed for reproducibility.\n"
    "    noise: Optional NoiseModel: run() then samples one trajectory per shot.";

const char *const kDensityDoc =
    "The exact density matrix (2**n x 2**n, qubit 0 the most significant bit) of the circuit's gates and\n"
    "the noise model's channels, for registers of up to 13 qubits. Measurements must come last (the\n"
    "state before them is returned, readout errors left to run()); conditional gates before any\n"
    "measurement read all-zero bits. Keyword arguments are parameter bindings.";

// The largest register density_matrix takes: 4^13 amplitudes are 1 GiB.
constexpr int kMaxDensityQubits = 13;

nb::handle result_type;

long long shot_count(nb::handle shots) {
    const long long count = norvane::index_saturated(shots);
    if (count < 0) {
        PyErr_Format(PyExc_ValueError, "shots must be a non-negative integer, got %S", shots.ptr());
        throw nb::python_error();
    }
    return count;
}

// Raises MemoryError unless a run with these options fits in physical memory.
void check_run_fits(const statevector::ShotOptions &options) {
    // Per shot: the engine's outcome index and the result's list slot.
    const std::uint64_t needed = statevector::run_peak_bytes(options, sizeof(std::uint32_t) + sizeof(PyObject *));
    if (statevector::states_fit(options.n_qubits, 1) && runtime::bytes_fit(needed)) return;
    PyErr_Format(PyExc_MemoryError,
                 "a run of %lld shots on %d qubits needs about %llu MiB at its peak (states, outcome "
                 "distributions, branch states and per-shot results), more than this machine's memory",
                 options.shots, options.n_qubits, (unsigned long long)(needed >> 20));
    throw nb::python_error();
}

int cbit_count(nb::handle circuit) {
    long long n = norvane::arg_long(circuit.attr("n_cbits"), "n_cbits");
    if (n < 0) throw nb::value_error("a circuit cannot have a negative number of classical bits");
    if (n > (1 << 24)) throw nb::value_error("too many classical bits");
    return int(n);
}

// The text of an outcome, bit 0 first: an ASCII text written in place.
nb::str new_bitstring(const std::uint8_t *bits, int length) {
    PyObject *text = PyUnicode_New(length, 127);
    if (!text) throw nb::python_error();
    Py_UCS1 *chars = PyUnicode_1BYTE_DATA(text);
    for (int b = 0; b < length; ++b) chars[b] = bits[b] ? '1' : '0';
    return nb::steal<nb::str>(text);
}

// Registers of up to this many bits take their texts from a table made once per process (at
// most 2^12 short texts per width), which every result shares: a run of a small circuit sees
// many of its outcomes, and a shared text also keeps its hash for the counts dictionary.
constexpr int kSharedBitstringBits = 12;

nb::str bitstring(const std::uint8_t *bits, int length) {
    if (length > kSharedBitstringBits) return new_bitstring(bits, length);
    static std::vector<PyObject *> shared[kSharedBitstringBits + 1];  // kept for the process
    std::vector<PyObject *> &texts = shared[length];
    if (texts.empty()) texts.assign(std::size_t(1) << length, nullptr);
    std::size_t index = 0;
    for (int b = 0; b < length; ++b) index = (index << 1) | bits[b];
    if (!texts[index]) texts[index] = new_bitstring(bits, length).release().ptr();
    return nb::borrow<nb::str>(texts[index]);
}

// The result's counts and memory from the engine's tally: one Python text per distinct outcome,
// shared by every shot that produced it.
std::pair<nb::dict, nb::list> counts_and_memory(const statevector::ShotTally &tally) {
    std::vector<nb::str> bitstrings;
    bitstrings.reserve(tally.counts.size());
    nb::dict counts;
    for (std::size_t i = 0; i < tally.counts.size(); ++i) {
        bitstrings.push_back(bitstring(tally.outcome(i), tally.n_cbits));
        nb::object count = nb::int_(tally.counts[i]);
        if (PyDict_SetItem(counts.ptr(), bitstrings.back().ptr(), count.ptr()) < 0) throw nb::python_error();
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

DigitalDenseSimulator::DigitalDenseSimulator(nb::handle circuit_, nb::handle seed, nb::handle noise_) {
    nb::object seed_value = seed.is_none() ? nb::none() : nb::object(norvane::arg_int(seed, "seed"));
    noise = checked_noise_model(noise_);
    circuit = nb::borrow(circuit_);
    rng = norvane::imports<Imports>().default_rng(seed_value);
    cache = norvane::imports<Imports>().gate_matrix_cache();
    run_lock = norvane::imports<Imports>().rlock();
}

DigitalDenseSimulator::DigitalDenseSimulator(nb::handle circuit_, nb::handle rng_, nb::handle cache_,
                                             nb::handle noise_)
    : circuit(nb::borrow(circuit_)), rng(nb::borrow(rng_)), cache(nb::borrow(cache_)),
      noise(checked_noise_model(noise_)), run_lock(norvane::imports<Imports>().rlock()) {}

nb::object DigitalDenseSimulator::run(nb::handle shots_arg, nb::kwargs kwargs) {
    nb::int_ shots = norvane::arg_int(shots_arg, "shots");
    const long long count = shot_count(shots);
    // Held for the whole call (a run re-entered from its own callbacks passes): one run's
    // draws come from the generator's stream in one piece, as if the runs were sequential.
    norvane::HeldLock turn(run_lock);
    nb::object circuit_now = circuit, cache_now = cache, rng_now = rng, noise_now = noise;  // held for the call
    const int n = qubit_count(circuit_now), n_cbits = cbit_count(circuit_now);
    statevector::ShotTally tally;
    if (count > 0) {
        statevector::ShotOptions options;
        options.n_qubits = n;
        options.n_cbits = n_cbits;
        options.shots = count;
        check_run_fits(options);
        gates->start_call();
        CircuitProgram program(circuit_now.attr("instructions"), n, n_cbits, cache_now, kwargs, rng_now, *gates,
                               noise_now);
        statevector::TrajectoryOptions noisy;
        static_cast<statevector::ShotOptions &>(noisy) = options;
        noisy.readout = readout_rates(noise_now, n);
        nb::gil_scoped_release no_gil;
        if (program.has_noise() || !noisy.readout.empty())
            tally = statevector::run_trajectories(program, noisy);
        else
            tally = statevector::run_shots(program, options);
    }
    auto [counts, memory] = counts_and_memory(tally);
    return result_type(counts, shots, circuit_now.attr("n_qubits"), circuit_now.attr("n_cbits"), memory);
}

nb::object DigitalDenseSimulator::statevector(nb::kwargs kwargs) {
    if (is_noisy(noise))
        throw nb::value_error("a simulator with a noise model has no single statevector: its state is mixed; use "
                              "density_matrix() for the exact state or run() to sample trajectories");
    const int n = qubit_count(circuit);
    check_state_fits(n, 1);
    const Imports &im = norvane::imports<Imports>();
    gates->start_call();
    nb::object cache_now = cache;
    std::vector<statevector::GateRef> order;
    for (nb::handle instruction : circuit.attr("instructions")) {
        if (norvane::is_instance(instruction, im.conditional) || !norvane::is_instance(instruction, im.gate)) continue;
        order.push_back(gates->prepare(instruction, cache_now, kwargs, n));
        norvane::check_signals();  // preparing a long circuit's gates takes seconds of Python calls
    }
    statevector::PlanRef plan = gates->plan(n, order);
    statevector::StateVector state = statevector::basis_state(n);
    {
        nb::gil_scoped_release no_gil;
        runtime::Poller poll(norvane::check_signals_without_gil);
        plan->apply(state.data(), &poll);
    }
    return to_numpy(std::move(state));
}

nb::object DigitalDenseSimulator::density_matrix(nb::kwargs kwargs) {
    const int n = qubit_count(circuit);
    if (n > kMaxDensityQubits)
        throw nb::value_error(("density_matrix takes registers of up to " + std::to_string(kMaxDensityQubits) +
                               " qubits (4**n entries); this circuit has " + std::to_string(n) +
                               ": sample it with run()").c_str());
    check_state_fits(2 * n, 1);
    const Imports &im = norvane::imports<Imports>();
    gates->start_call();
    nb::object cache_now = cache, noise_now = noise;
    std::vector<statevector::PreparedGate> order;
    bool measured = false;
    for (nb::handle instruction : circuit.attr("instructions")) {
        const bool conditional = norvane::is_instance(instruction, im.conditional);
        if (norvane::is_instance(instruction, im.measurement)) {
            measured = true;
            continue;
        }
        if (!conditional && !norvane::is_instance(instruction, im.gate)) continue;
        if (measured)
            throw nb::value_error("density_matrix covers circuits whose measurements all come last; this one has "
                                  "a gate after a measurement: sample it with run()");
        if (conditional) {
            // Before any measurement every classical bit reads 0.
            nb::list bits;
            for (int b = 0; b < cbit_count(circuit); ++b) bits.append(nb::int_(0));
            if (PyObject_IsTrue(nb::object(instruction.attr("condition").attr("evaluate")(bits)).ptr()) != 1) {
                if (PyErr_Occurred()) throw nb::python_error();
                continue;
            }
        }
        nb::object gate = conditional ? nb::object(instruction.attr("instruction")) : nb::borrow(instruction);
        statevector::GateRef prepared = gates->prepare(gate, cache_now, kwargs, n);
        statevector::add_density_unitary(order, n, prepared->targets(), prepared->matrix());
        for (const ChannelAfter &after : channels_after(noise_now, instruction))
            order.push_back(density_channel_gate(after, n));
        norvane::check_signals();
    }
    statevector::StateVector rho = statevector::basis_state(2 * n);
    {
        runtime::Poller poll(norvane::check_signals);
        statevector::GatePlan plan(2 * n, std::move(order), 0, &poll);
        nb::gil_scoped_release no_gil;
        runtime::Poller poll_without_gil(norvane::check_signals_without_gil);
        plan.apply(rho.data(), &poll_without_gil);
    }
    const std::size_t side = std::size_t(1) << n;
    return to_numpy(std::move(rho)).attr("reshape")(side, side);
}

nb::object DigitalDenseSimulator::init_state() {
    const int n = qubit_count(circuit);
    check_state_fits(n, 1);
    return to_numpy(statevector::basis_state(n));
}

nb::object DigitalDenseSimulator::apply_gate(nb::handle state, nb::handle gate, nb::kwargs kwargs) {
    const int n = qubit_count(circuit);
    statevector::PreparedGate prepared = prepare_gate(gate, cache, kwargs, n);
    const Imports &im = norvane::imports<Imports>();
    nb::object copy = im.ascontiguousarray(state, nb::arg("dtype") = im.complex128).attr("reshape")(-1);
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
    nb::object cache_now = cache, rng_now = rng;
    std::deque<statevector::PreparedGate> rotations;
    statevector::MeasureOp op = prepare_measurement(meas, n, nb::len(cbits), cache_now, rotations);
    norvane::BitGenerator bitgen(rng_now);
    // Python code ran above: the array is looked up only now, and nothing runs Python from
    // here to the last write into it.
    statevector::cplx *psi = writable_amplitudes(state, size);
    for (const statevector::PreparedGate *g : op.before) g->apply(psi);
    statevector::Distribution cdf;
    if (!statevector::build_cdf(psi, size, cdf)) raise_undefined_probabilities(rng_now, psi, size);
    bitgen.hold();
    const std::uint64_t idx = statevector::sample_index(cdf, bitgen.next_double());
    bitgen.let_go();
    statevector::collapse_measured(op, n, idx, psi);
    // The list may have changed while Python code ran: a store out of its range is an error.
    for (const auto &[qubit, bit] : op.writes) {
        PyObject *value = PyLong_FromLong((idx & statevector::bit_of(n, qubit)) ? 1 : 0);
        if (!value || PyList_SetItem(cbits.ptr(), Py_ssize_t(bit), value) < 0) throw nb::python_error();
    }
}

int DigitalDenseSimulator::traverse(visitproc visit, void *arg) const {
    Py_VISIT(circuit.ptr());
    Py_VISIT(rng.ptr());
    Py_VISIT(cache.ptr());
    Py_VISIT(noise.ptr());
    Py_VISIT(run_lock.ptr());
    return gates->traverse(visit, arg);
}

void DigitalDenseSimulator::clear() {
    circuit = nb::none();
    rng = nb::none();
    cache = nb::none();
    noise = nb::none();
    gates->clear();
}

void bind_simulator(nb::module_ &m, nb::handle result_class) {
    result_type = result_class;
    norvane::with_weakref_attribute(nb::class_<DigitalDenseSimulator>(m, "DigitalDenseSimulator", kSimulatorDoc,
                                      nb::type_slots(norvane::gc_slots<DigitalDenseSimulator>), nb::is_weak_referenceable()))
        .def(nb::init<nb::handle, nb::handle, nb::handle>(), nb::arg("circuit").none(),
             nb::arg("seed").none() = nb::none(), nb::kw_only(), nb::arg("noise").none() = nb::none())
        .def_rw("_circuit", &DigitalDenseSimulator::circuit)
        .def_rw("_rng", &DigitalDenseSimulator::rng)
        .def_rw("_cache", &DigitalDenseSimulator::cache)
        .def_prop_ro("noise", [](const DigitalDenseSimulator &s) { return s.noise; }, "The noise model, or None.")
        .def("run", &DigitalDenseSimulator::run, nb::arg("shots").none() = 1024, nb::arg("kwargs"),
             "Simulate the circuit once per shot; keyword arguments are parameter bindings.")
        .def("statevector", &DigitalDenseSimulator::statevector, nb::arg("kwargs"),
             "The final state of the circuit's plain gates (measurements and conditionals skipped).")
        .def("density_matrix", &DigitalDenseSimulator::density_matrix, nb::arg("kwargs"), kDensityDoc)
        .def("_init_state", &DigitalDenseSimulator::init_state, "A new |0...0> state.")
        .def("_apply_gate", &DigitalDenseSimulator::apply_gate, nb::arg("state").none(), nb::arg("gate").none(), nb::arg("kwargs"),
             "A new state: `gate` applied to `state`, which is left unchanged.")
        .def("_apply_measurement", &DigitalDenseSimulator::apply_measurement, nb::arg("state").none(), nb::arg("meas").none(),
             nb::arg("cbits").none(), "Measure in place: one draw, classical bits written, state collapsed.")
        // The generator travels as itself, so a seeded simulator continues its stream.
        .def("__getstate__", [](const DigitalDenseSimulator &s) { return nb::make_tuple(s.circuit, s.rng, s.cache, s.noise); })
        .def("__setstate__", [](DigitalDenseSimulator &s, nb::handle state) {
            nb::tuple items = norvane::state_items(state, 4, "DigitalDenseSimulator");
            new (&s) DigitalDenseSimulator(items[0], items[1], items[2], items[3]);
        }, nb::arg("state").none());
}

}  // namespace dense_sim
