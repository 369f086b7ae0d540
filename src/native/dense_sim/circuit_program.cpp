#include "circuit_program.hpp"

#include <nanobind/ndarray.h>

#include <algorithm>
#include <string>

#include "gates.hpp"
#include "imports.hpp"
#include "noise.hpp"
#include "support/pyops.hpp"

namespace dense_sim {

namespace {

long long index_value(nb::handle value) {
    PyObject *index = PyNumber_Index(value.ptr());
    if (!index) throw nb::python_error();
    long long result = PyLong_AsLongLong(index);
    Py_DECREF(index);
    if (result == -1 && PyErr_Occurred()) throw nb::python_error();
    return result;
}

// A Python-style index into a sequence of `size` items.
int normalised_index(nb::handle value, std::size_t size, const char *what) {
    long long i = index_value(value);
    long long resolved = i < 0 ? i + (long long)size : i;
    if (resolved < 0 || resolved >= (long long)size) {
        PyErr_Format(PyExc_IndexError, "%s %lld is out of range for %zu %s", what, i, size,
                     std::string(what) == "measured qubit" ? "qubit(s)" : "classical bit(s)");
        throw nb::python_error();
    }
    return int(resolved);
}

}  // namespace

statevector::MeasureOp prepare_measurement(nb::handle meas, int n_qubits, std::size_t n_cbits, nb::handle cache,
                                           std::deque<statevector::PreparedGate> &rotations) {
    statevector::MeasureOp op;
    nb::object listed = meas.attr("qubits");
    std::vector<nb::object> originals;
    for (nb::handle q : listed) {
        originals.push_back(nb::borrow(q));
        op.qubits.push_back(normalised_index(q, std::size_t(n_qubits), "measured qubit"));
    }
    nb::object bits = meas.attr("bits");
    nb::object destinations = PyObject_IsTrue(bits.ptr()) == 1 ? bits : listed;
    if (PyErr_Occurred()) throw nb::python_error();
    std::size_t position = 0;
    for (nb::handle b : destinations) {
        if (position == op.qubits.size()) break;
        op.writes.emplace_back(op.qubits[position++], normalised_index(b, n_cbits, "classical bit"));
    }
    nb::object basis = meas.attr("basis");
    const Imports &im = norvane::imports<Imports>();
    auto add = [&](std::vector<const statevector::PreparedGate *> &into, nb::handle cls, std::size_t j) {
        rotations.push_back(prepare_rotation(cls, originals[j], op.qubits[j], cache, n_qubits));
        into.push_back(&rotations.back());
    };
    if (basis.equal(im.basis_x)) {
        op.basis = statevector::MeasureOp::Basis::X;
        for (std::size_t j = 0; j < op.qubits.size(); ++j) add(op.before, im.h, j);
        for (std::size_t j = 0; j < op.qubits.size(); ++j) add(op.after, im.h, j);
    } else if (basis.equal(im.basis_y)) {
        op.basis = statevector::MeasureOp::Basis::Y;
        for (std::size_t j = 0; j < op.qubits.size(); ++j) {
            add(op.before, im.sdg, j);
            add(op.before, im.h, j);
        }
        for (std::size_t j = 0; j < op.qubits.size(); ++j) {
            add(op.after, im.h, j);
            add(op.after, im.s, j);
        }
    }
    return op;
}

void raise_undefined_probabilities(nb::handle rng, const statevector::cplx *psi, std::uint64_t size) {
    // Hand the literal probabilities to the generator's weighted choice so that the caller
    // sees its own error for them (NaN for a state of zero norm).
    nb::handle np = norvane::imports<Imports>().numpy;
    std::size_t shape[1] = {std::size_t(size)};
    nb::object state = nb::cast(nb::ndarray<nb::numpy, const std::complex<double>, nb::ndim<1>>(psi, 1, shape));
    nb::object weights = np.attr("abs")(state.attr("copy")()).attr("__pow__")(2);
    nb::object probs = weights.attr("__truediv__")(weights.attr("sum")());
    rng.attr("choice")(nb::int_(size), nb::arg("p") = probs);
    throw nb::value_error("outcome probabilities are undefined for this state");
}

CircuitProgram::CircuitProgram(nb::handle instructions, int n_qubits, int n_cbits, nb::handle cache,
                               nb::handle kwargs, nb::handle rng, GateStore &store, nb::handle noise)
    : n_qubits_(n_qubits), n_cbits_(n_cbits), store_(store), cache_(nb::borrow(cache)), kwargs_(nb::borrow(kwargs)),
      rng_(nb::borrow(rng)), bitgen_(rng) {
    const Imports &im = norvane::imports<Imports>();
    const Py_ssize_t expected = PyObject_LengthHint(instructions.ptr(), 0);
    if (expected < 0) throw nb::python_error();
    ops_.reserve(std::size_t(std::min<Py_ssize_t>(expected, 1 << 16)));  // a hint: bounded
    for (nb::handle instruction : instructions) {
        Kind kind = norvane::is_instance(instruction, im.conditional) ? Kind::Conditional
                    : norvane::is_instance(instruction, im.gate)      ? Kind::Gate
                    : norvane::is_instance(instruction, im.measurement) ? Kind::Measure
                                                                : Kind::Skip;
        ops_.push_back(Op{kind, nb::borrow(instruction), nullptr, std::nullopt});
        if (kind != Kind::Gate && kind != Kind::Conditional) continue;
        const std::size_t gate_op = ops_.size() - 1;
        for (const ChannelAfter &after : channels_after(noise, instruction)) {
            auto channel = trajectory_channel(after, n_qubits);
            if (!channel) continue;
            Op op{Kind::Noise, nb::borrow(instruction), nullptr, std::nullopt, std::move(channel)};
            if (kind == Kind::Conditional) op.condition = gate_op;
            ops_.push_back(std::move(op));
        }
    }
    std::size_t measured_end = 0;  // one past the last measurement
    for (std::size_t op = 0; op < ops_.size(); ++op)
        if (ops_[op].kind == Kind::Measure) measured_end = op + 1;
    ops_.erase(std::remove_if(ops_.begin() + std::ptrdiff_t(measured_end), ops_.end(),
                              [](const Op &op) { return op.kind == Kind::Noise; }),
               ops_.end());
    for (const Op &op : ops_) has_noise_ |= op.kind == Kind::Noise;
}

std::size_t CircuitProgram::noise_condition(std::size_t op) {
    return ops_[op].condition == kUnconditional ? ops_.size() : ops_[op].condition;
}

template <class F> auto CircuitProgram::with_python(F &&f) {
    nb::gil_scoped_acquire gil;
    const bool held = bitgen_.held();
    bitgen_.let_go();
    auto result = f();
    if (held) bitgen_.hold();
    return result;
}

const statevector::GatePlan &CircuitProgram::fused_plan(std::size_t begin, std::size_t end) {
    return *with_python([&] {
        std::vector<statevector::GateRef> gates;
        gates.reserve(end - begin);
        for (std::size_t op = begin; op < end; ++op) {
            if (ops_[op].kind != Kind::Gate) continue;
            gates.push_back(store_.prepare(ops_[op].instruction, cache_, kwargs_, n_qubits_));
            norvane::check_signals();  // a long run of gates takes seconds of Python calls
        }
        plans_.push_back(store_.plan(n_qubits_, gates));
        return plans_.back();
    });
}

const statevector::PreparedGate &CircuitProgram::conditional_gate(std::size_t op) {
    Op &slot = ops_[op];
    if (!slot.gate)
        slot.gate = with_python([&] {
            return store_.prepare(slot.instruction.attr("instruction"), cache_, kwargs_, n_qubits_);
        });
    return *slot.gate;
}

bool CircuitProgram::condition_holds(std::size_t op, const std::vector<std::uint8_t> &cbits) {
    return with_python([&] {
        nb::list bits;
        for (std::uint8_t b : cbits) bits.append(nb::int_(int(b)));
        nb::object verdict = ops_[op].instruction.attr("condition").attr("evaluate")(bits);
        int truth = PyObject_IsTrue(verdict.ptr());
        if (truth < 0) throw nb::python_error();
        return truth == 1;
    });
}

const statevector::MeasureOp &CircuitProgram::measurement(std::size_t op) {
    Op &slot = ops_[op];
    if (!slot.measurement)
        with_python([&] {
            slot.measurement.emplace(
                prepare_measurement(slot.instruction, n_qubits_, std::size_t(n_cbits_), cache_, rotations_));
            return true;
        });
    return *slot.measurement;
}

double CircuitProgram::uniform() {
    if (!bitgen_.held()) {
        nb::gil_scoped_acquire gil;
        bitgen_.hold();  // from the first draw to the end of the run
    }
    return bitgen_.next_double();
}

void CircuitProgram::uniforms(double *out, std::size_t count) {
    if (count == 0) return;
    out[0] = uniform();
    for (std::size_t k = 1; k < count; ++k) out[k] = bitgen_.next_double();
}

void CircuitProgram::undefined_probabilities(const statevector::cplx *psi, std::uint64_t size) {
    nb::gil_scoped_acquire gil;
    bitgen_.let_go();  // the generator's own choice() takes the lock
    raise_undefined_probabilities(rng_, psi, size);
}

void CircuitProgram::check_interrupt() { norvane::check_signals_without_gil(); }

}  // namespace dense_sim
