// norvane.quantum.simulator.digital.unitab: the gate matrix cache.
#include <nanobind/nanobind.h>

#include <new>

#include "support/cache_call.hpp"
#include "support/gc.hpp"
#include "support/args.hpp"
#include "support/module.hpp"
#include "support/pickle_state.hpp"
#include "support/pyops.hpp"

using norvane::is_instance;

namespace nb = nanobind;

namespace {

const char *const kCacheDoc =
    "Cache gate matrices keyed by (gate_type, params).\n"
    "\n"
    "A parametric gate is keyed by its exact class and the tuple of floats that its\n"
    "_eval_params returns for the request's keyword bindings, so gates of one class on\n"
    "different qubits share an entry when their parameters evaluate equal. Every other gate\n"
    "is keyed by its exact class alone. A UnitaryGate carries its matrix as data, so its key\n"
    "also holds that data; a CustomGate's matrix comes from an arbitrary callable and is\n"
    "computed afresh at every request. Stored matrices are returned as is, without copying:\n"
    "treat them as read-only.";

// Classes of the gate module, looked up once when the module loads and kept for the life of
// the process (plain handles, so nothing is released after the interpreter has finalised).
struct GateClasses {
    nb::handle parametric, unitary, custom;
};

class GateMatrixCache {
public:
    nb::dict cache;

    // `kwargs`: the bindings, a dict of str keys, or null.
    nb::object get(nb::handle gate, nb::handle kwargs) {
        const GateClasses &gc = norvane::imports<GateClasses>();
        nb::handle cls = (PyObject *)Py_TYPE(gate.ptr());
        if (is_instance(gate, gc.parametric)) {
            nb::object key = nb::make_tuple(cls, eval_params(gate, kwargs));
            if (PyObject *hit = lookup(key)) return nb::borrow(hit);
            return store(key, norvane::call_method(literal_copy(gate, cls, kwargs), NORVANE_NAME("matrix")));
        }
        if (is_instance(gate, gc.custom)) return norvane::call_method(gate, NORVANE_NAME("matrix"));
        nb::object key = is_instance(gate, gc.unitary)
                             ? nb::object(nb::make_tuple(cls, gate.attr("unitary")))
                             : nb::borrow(cls);
        if (PyObject *hit = lookup(key)) return nb::borrow(hit);
        return store(key, norvane::call_method(gate, NORVANE_NAME("matrix")));
    }

    void clear() { cache.clear(); }

    int traverse(visitproc visit, void *arg) const {
        Py_VISIT(cache.ptr());
        return 0;
    }

private:
    static nb::object eval_params(nb::handle gate, nb::handle kwargs) {
        return norvane::call_method(gate, NORVANE_NAME("_eval_params"), {}, kwargs);
    }

    // A fresh instance of the gate's own class whose parameters are literal scalars of the
    // evaluated values; the requested gate and its symbolic parameters are left untouched.
    static nb::object literal_copy(nb::handle gate, nb::handle cls, nb::handle kwargs) {
        nb::object values = eval_params(gate, kwargs);
        nb::object scalar = norvane::imported_module(NORVANE_NAME("norvane.quantum.ir.scalar"));
        nb::object cast = norvane::module_attr(scalar, NORVANE_NAME("cast"));
        nb::list literals;
        for (nb::handle value : values) literals.append(cast(value));
        return cls(nb::arg("targets") = gate.attr("targets"),
                   nb::arg("params") = nb::tuple(literals));
    }

    PyObject *lookup(const nb::object &key) {
        PyObject *hit = PyDict_GetItemWithError(cache.ptr(), key.ptr());
        if (!hit && PyErr_Occurred()) throw nb::python_error();
        return hit;
    }

    nb::object store(const nb::object &key, nb::object matrix) {
        cache[key] = matrix;
        return matrix;
    }
};

PyObject *native_get(PyObject *cache, PyObject *gate, PyObject *bindings) noexcept {
    try {
        return nb::inst_ptr<GateMatrixCache>(cache)->get(gate, bindings).release().ptr();
    } catch (nb::python_error &e) {
        e.restore();
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return nullptr;
}

}  // namespace

NB_MODULE(unitab, m) {
    norvane::ModuleInitClaim claim("norvane.quantum.simulator.digital.unitab");
    const char *gates = "norvane.quantum.ir.digital.gate";
    norvane::imports<GateClasses>() = {norvane::import_kept(gates, "ParametricGate"),
                      norvane::import_kept(gates, "UnitaryGate"),
                      norvane::import_kept(gates, "CustomGate")};

    norvane::with_weakref_attribute(nb::class_<GateMatrixCache>(m, "GateMatrixCache", kCacheDoc, nb::type_slots(norvane::gc_slots<GateMatrixCache>),
                                 nb::is_weak_referenceable()))
        .def(nb::init<>())
        .def_rw("_cache", &GateMatrixCache::cache)
        .def("get", [](GateMatrixCache &c, nb::handle gate, nb::kwargs kwargs) { return c.get(gate, kwargs); },
             nb::arg("gate").none(), nb::arg("kwargs"),
             "Return the matrix of `gate`; keyword arguments are parameter bindings.")
        .def("clear", &GateMatrixCache::clear, "Forget every stored matrix.")
        .def("__getstate__", [](const GateMatrixCache &c) { return nb::make_tuple(c.cache); })
        .def("__setstate__", [](GateMatrixCache &c, nb::handle state) {
            nb::tuple items = norvane::state_items(state, 1, "GateMatrixCache");
            nb::object entries = norvane::checked(PyDict_Copy(norvane::arg_dict(items[0], "cache").ptr()));
            new (&c) GateMatrixCache();
            c.cache = nb::borrow<nb::dict>(entries);
        }, nb::arg("state").none());
    m.attr("_native_get") = nb::capsule(reinterpret_cast<void *>(&native_get), norvane::kCacheGetCapsule);
    nb::list exports;
    exports.append("GateMatrixCache");
    m.attr("__all__") = exports;
}
