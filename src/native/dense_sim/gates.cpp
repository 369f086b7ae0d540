#include "gates.hpp"

#include <nanobind/ndarray.h>

#include <climits>
#include <complex>
#include <stdexcept>
#include <string>

#include "imports.hpp"
#include "runtime/poll.hpp"
#include "statevector/memory.hpp"
#include "support/args.hpp"
#include "support/module.hpp"
#include "support/pyops.hpp"

namespace dense_sim {

namespace {

// Whether cache.get(gate, **kwargs) would run the cache class's own `get` as defined: the
// cache is of that exact class, nobody replaced `get` on it, and no binding is named "gate"
// (which the Python call refuses as a second value for `gate`).
bool runs_own_get(nb::handle cache, nb::handle kwargs) {
    const Imports &im = norvane::imports<Imports>();
    PyTypeObject *type = Py_TYPE(cache.ptr());
    if (type != reinterpret_cast<PyTypeObject *>(im.gate_matrix_cache.ptr()) ||
        norvane::class_attribute(type, NORVANE_NAME("get")) != im.cache_get_method.ptr())
        return false;
    if (!kwargs.ptr() || !PyDict_GET_SIZE(kwargs.ptr())) return true;
    if (PyDict_GetItemWithError(kwargs.ptr(), NORVANE_NAME("gate").ptr())) return false;
    if (PyErr_Occurred()) throw nb::python_error();
    return true;
}

// cache.get(gate, **kwargs); the class's own `get` is called as a C function.
nb::object cache_get(nb::handle cache, nb::handle gate, nb::handle kwargs) {
    if (runs_own_get(cache, kwargs))
        return norvane::checked(norvane::imports<Imports>().cache_get(cache.ptr(), gate.ptr(), kwargs.ptr()));
    return norvane::call_method(cache, NORVANE_NAME("get"), {gate}, kwargs);
}

statevector::PreparedGate make_prepared(nb::handle gate, int n_qubits, std::vector<int> targets,
                                        std::vector<cplx> matrix) {
    try {
        return statevector::PreparedGate(n_qubits, std::move(targets), std::move(matrix));
    } catch (const std::invalid_argument &e) {
        throw nb::value_error((norvane::py_repr(gate) + ": " + e.what()).c_str());
    }
}

std::vector<int> gate_targets(nb::handle gate) {
    std::vector<int> targets;
    targets.reserve(2);
    norvane::for_each_item(gate.attr(NORVANE_NAME("targets")), [&](nb::handle t) { targets.push_back(target_index(t)); });
    if (targets.size() > 30) throw nb::value_error((norvane::py_repr(gate) + ": too many targets").c_str());
    return targets;
}

// A gate's key in the store, packed into a text that stays within the string object itself for
// gates on a few qubits: the matrix object's address, the qubit count (at most 50) and the
// targets, a byte each (five for a target outside 0..254).
std::string store_key(PyObject *matrix, int n_qubits, const std::vector<int> &targets) {
    std::string key(reinterpret_cast<const char *>(&matrix), sizeof matrix);
    key.push_back(char(n_qubits));
    for (int t : targets) {
        if (t >= 0 && t < 255) {
            key.push_back(char(t));
        } else {
            key.push_back(char(255));
            key.append(reinterpret_cast<const char *>(&t), sizeof t);
        }
    }
    return key;
}

}  // namespace

// A target index as a C int; indices beyond int range are reported as out of range later.
int target_index(nb::handle value) {
    const long long result = norvane::index_saturated(value);
    return result > INT_MAX || result < INT_MIN ? INT_MIN : int(result);
}

std::vector<cplx> matrix_values(nb::handle matrix, std::size_t side, nb::handle gate) {
    using View = nb::ndarray<const std::complex<double>, nb::c_contig>;
    View view;
    nb::object array = nb::borrow(matrix);
    if (!nb::try_cast(matrix, view, false)) {  // not already a contiguous complex128 array
        const Imports &im = norvane::imports<Imports>();
        array = im.ascontiguousarray(matrix, nb::arg("dtype") = im.complex128);
        view = nb::cast<View>(array);
    }
    if (view.ndim() != 2 || view.shape(0) != side || view.shape(1) != side)
        throw nb::value_error((norvane::py_repr(gate) + ": matrix of shape " + norvane::py_repr(array.attr("shape")) +
                               ", expected (" + std::to_string(side) + ", " + std::to_string(side) + ")")
                                  .c_str());
    return std::vector<cplx>(view.data(), view.data() + side * side);
}

statevector::PreparedGate prepare_gate(nb::handle gate, nb::handle cache, nb::handle kwargs, int n_qubits) {
    nb::object matrix = cache_get(cache, gate, kwargs);
    std::vector<int> targets = gate_targets(gate);
    std::vector<cplx> values = matrix_values(matrix, std::size_t(1) << targets.size(), gate);
    return make_prepared(gate, n_qubits, std::move(targets), std::move(values));
}

void GateStore::start_call() {
    if (gates_.size() > 4096 || plans_.size() > 256) clear();
}

statevector::GateRef GateStore::prepare(nb::handle gate, nb::handle cache, nb::handle kwargs, int n_qubits) {
    nb::object matrix = cache_get(cache, gate, kwargs);
    std::vector<int> targets = gate_targets(gate);
    std::string key = store_key(matrix.ptr(), n_qubits, targets);
    auto found = gates_.find(key);
    if (found != gates_.end()) return found->second.gate;
    std::vector<cplx> values = matrix_values(matrix, std::size_t(1) << targets.size(), gate);
    auto prepared = std::make_shared<const statevector::PreparedGate>(
        make_prepared(gate, n_qubits, std::move(targets), std::move(values)));
    // Python code ran since the lookup above and may have filled the same key: then that entry
    // stays (replacing it would release a Python object in the middle of a map operation).
    auto [slot, inserted] = gates_.try_emplace(std::move(key), Entry{matrix, prepared});
    return slot->second.gate;
}

statevector::PlanRef GateStore::plan(int n_qubits, const std::vector<statevector::GateRef> &gates) {
    runtime::Poller poll(norvane::check_signals);  // callers hold the GIL
    return plans_.get(n_qubits, gates, &poll);
}

int GateStore::traverse(visitproc visit, void *arg) const {
    for (const auto &entry : gates_) Py_VISIT(entry.second.matrix.ptr());
    return 0;
}

void GateStore::clear() {
    // Moved out first: releasing the matrices can run Python code that uses this store.
    auto gates = std::move(gates_);
    gates_.clear();
    plans_.clear();
}


statevector::PreparedGate prepare_rotation(nb::handle gate_class, nb::handle target, int qubit,
                                           nb::handle cache, int n_qubits) {
    nb::object gate = gate_class(nb::arg("targets") = nb::make_tuple(target));
    return make_prepared(gate, n_qubits, {qubit}, matrix_values(cache_get(cache, gate, nb::handle()), 2, gate));
}

void check_state_fits(int n_qubits, unsigned copies) {
    if (!statevector::states_fit(n_qubits, copies)) {
        PyErr_Format(PyExc_MemoryError,
                     "a statevector of %d qubits needs %d working copies of 2**%d complex amplitudes, "
                     "more than this machine's memory",
                     n_qubits, int(copies), n_qubits);
        throw nb::python_error();
    }
}

nb::object to_numpy(statevector::StateVector &&amplitudes) {
    auto *owned = new statevector::StateVector(std::move(amplitudes));
    nb::capsule owner(owned, [](void *p) noexcept { delete static_cast<statevector::StateVector *>(p); });
    std::size_t shape[1] = {owned->size()};
    return nb::cast(nb::ndarray<nb::numpy, std::complex<double>, nb::ndim<1>>(owned->data(), 1, shape, owner));
}

cplx *writable_amplitudes(nb::handle array, std::size_t size) {
    nb::ndarray<std::complex<double>, nb::ndim<1>, nb::c_contig> view;
    if (!nb::try_cast(array, view, false) || view.shape(0) != size)
        throw nb::type_error(("state must be a writable one-dimensional complex128 array of " +
                              std::to_string(size) + " amplitudes")
                                 .c_str());
    return reinterpret_cast<cplx *>(view.data());
}

int qubit_count(nb::handle circuit) {
    nb::object value = circuit.attr("n_qubits");
    const long long n = norvane::index_saturated(value);
    if (n < 0) throw nb::value_error("a circuit cannot have a negative number of qubits");
    if (n > 50) {
        PyErr_Format(PyExc_MemoryError, "a statevector of %S qubits cannot be allocated", value.ptr());
        throw nb::python_error();
    }
    return int(n);
}

}  // namespace dense_sim
