#include "simulation_result.hpp"

#include <climits>
#include <vector>

#include "runtime/memory.hpp"
#include "support/args.hpp"
#include "support/gc.hpp"
#include "support/pickle_state.hpp"
#include "support/pyops.hpp"

using norvane::checked;

namespace dense_sim {

namespace {

const char *const kResultDoc =
    "Result of a digital circuit simulation.\n"
    "\n"
    "Fields:\n"
    "    counts: insertion-ordered dict from bitstring to the number of shots that produced it;\n"
    "        a bitstring has one character per classical bit, bit 0 leftmost.\n"
    "    memory: list of the bitstring of every shot, in execution order.\n"
    "    shots: total number of shots.\n"
    "    n_qubits: number of qubits of the simulated circuit.\n"
    "    n_cbits: number of classical bits of the simulated circuit.";

}  // namespace

SimulationResult::SimulationResult(nb::handle counts_, nb::handle shots_, nb::handle n_qubits_,
                                   nb::handle n_cbits_, nb::handle memory_) {
    counts = norvane::arg_dict(counts_, "counts");
    shots = norvane::arg_int(shots_, "shots");
    n_qubits = norvane::arg_int(n_qubits_, "n_qubits");
    n_cbits = norvane::arg_int(n_cbits_, "n_cbits");
    memory = memory_.is_none() ? nb::object(expand_counts(counts))
                               : checked(PyList_GetSlice(norvane::arg_list(memory_, "memory").ptr(), 0,
                                                         PY_SSIZE_T_MAX));
}

nb::list SimulationResult::expand_counts(nb::handle counts) {
    // Counts are read (running their __index__) before anything is expanded, and the total is
    // checked against memory first: one list slot per shot.
    std::vector<std::pair<nb::object, long long>> entries;
    long long total = 0;
    for (nb::handle item : norvane::dict_items(norvane::arg_dict(counts, "counts"))) {
        nb::object bitstring = item[0];
        long long times = PyLong_AsLongLong(checked(PyNumber_Index(nb::object(item[1]).ptr())).ptr());
        if (times == -1 && PyErr_Occurred()) throw nb::python_error();
        if (times > 0) total = times > LLONG_MAX - total ? LLONG_MAX : total + times;
        entries.emplace_back(std::move(bitstring), times);
    }
    if (total > PY_SSIZE_T_MAX / Py_ssize_t(sizeof(PyObject *)) ||
        !runtime::bytes_fit(std::uint64_t(total) * sizeof(PyObject *))) {
        PyErr_Format(PyExc_MemoryError, "counts total %lld shots, too many to expand into a list in memory", total);
        throw nb::python_error();
    }
    PyObject *out = PyList_New(Py_ssize_t(total));
    if (!out) throw nb::python_error();
    nb::list expanded = nb::steal<nb::list>(out);
    Py_ssize_t position = 0;
    for (const auto &[bitstring, times] : entries)
        for (long long i = 0; i < times; ++i) PyList_SET_ITEM(out, position++, bitstring.inc_ref().ptr());
    return expanded;
}

nb::object SimulationResult::expectation(nb::handle observable) const {
    nb::object total = nb::float_(0.0);
    nb::handle int_type = (PyObject *)&PyLong_Type;
    for (nb::handle item : norvane::dict_items(counts)) {
        nb::object bitstring = item[0], count = item[1];
        nb::object index = int_type(bitstring, 2);
        nb::object entry = checked(PyNumber_Float(checked(PyObject_GetItem(observable.ptr(), index.ptr())).ptr()));
        total = checked(PyNumber_Add(total.ptr(), checked(PyNumber_Multiply(entry.ptr(), count.ptr())).ptr()));
    }
    return checked(PyNumber_TrueDivide(total.ptr(), nb::object(shots).ptr()));
}

nb::dict SimulationResult::probabilities() const {
    nb::dict out;
    nb::object total = shots;
    for (nb::handle item : norvane::dict_items(counts)) {
        nb::object bitstring = item[0], count = item[1];
        out[bitstring] = checked(PyNumber_TrueDivide(count.ptr(), total.ptr()));
    }
    return out;
}

nb::object SimulationResult::most_common(nb::handle n) const {
    nb::object limit = norvane::arg_int(n, "n");
    nb::handle builtins = PyEval_GetBuiltins();
    nb::object ranked = nb::borrow<nb::dict>(builtins)["sorted"](
        nb::borrow<nb::dict>(counts).attr("items")(),
        nb::arg("key") = nb::module_::import_("operator").attr("itemgetter")(1),
        nb::arg("reverse") = true);
    nb::object cut = checked(PySlice_New(Py_None, limit.ptr(), Py_None));
    return checked(PyObject_GetItem(ranked.ptr(), cut.ptr()));
}

nb::str SimulationResult::repr() const {
    nb::object top = most_common(nb::int_(5));
    return nb::str("SimulationResult(shots={}, top={})").format(nb::str(shots), nb::repr(top));
}

int SimulationResult::traverse(visitproc visit, void *arg) const {
    for (const nb::object *field : {&counts, &memory, &shots, &n_qubits, &n_cbits}) Py_VISIT(field->ptr());
    return 0;
}

void SimulationResult::clear() {
    for (nb::object *field : {&counts, &memory, &shots, &n_qubits, &n_cbits}) *field = nb::none();
}

void bind_simulation_result(nb::module_ &m) {
    norvane::with_weakref_attribute(nb::class_<SimulationResult>(m, "SimulationResult", kResultDoc,
                                 nb::type_slots(norvane::gc_slots<SimulationResult>), nb::is_weak_referenceable()))
        .def(nb::init<nb::handle, nb::handle, nb::handle, nb::handle, nb::handle>(), nb::arg("counts").none(),
             nb::arg("shots").none(), nb::arg("n_qubits").none(), nb::arg("n_cbits").none(), nb::arg("memory").none() = nb::none())
        .def_rw("counts", &SimulationResult::counts)
        .def_rw("memory", &SimulationResult::memory)
        .def_rw("shots", &SimulationResult::shots)
        .def_rw("n_qubits", &SimulationResult::n_qubits)
        .def_rw("n_cbits", &SimulationResult::n_cbits)
        .def_static("_expand_counts", &SimulationResult::expand_counts, nb::arg("counts").none(),
                    "Each bitstring repeated by its count, in the order of counts.")
        .def("expectation", &SimulationResult::expectation, nb::arg("observable").none(),
             "Expectation of a diagonal observable: sum of observable[int(b, 2)] * count / shots.")
        .def("probabilities", &SimulationResult::probabilities,
             "Ordered dict from bitstring to count / shots.")
        .def("most_common", &SimulationResult::most_common, nb::arg("n").none() = 1,
             "The n most frequent (bitstring, count) pairs; ties keep first-occurrence order.")
        .def("__repr__", &SimulationResult::repr)
        .def("__getstate__",
             [](const SimulationResult &r) { return nb::make_tuple(r.counts, r.shots, r.n_qubits, r.n_cbits, r.memory); })
        .def("__setstate__", [](SimulationResult &r, nb::handle state) {
            nb::tuple s = norvane::state_items(state, 5, "SimulationResult");
            new (&r) SimulationResult(s[0], s[1], s[2], s[3], s[4]);
        }, nb::arg("state").none());
}

}  // namespace dense_sim
