// Exception-raising wrappers around the interpreter's object protocol, for modules that walk
// caller-supplied object graphs of any shape.
#pragma once

#include <nanobind/nanobind.h>

namespace norvane {

namespace nb = nanobind;

// isinstance(obj, cls); errors raised by a custom __instancecheck__ propagate.
bool is_instance(nb::handle obj, nb::handle cls);

// container[key] with the container's own lookup, so a missing key raises KeyError(key).
nb::object get_item(nb::handle container, const char *key);

// d.get(key, fallback) on a dict (no __missing__ or subclass lookups involved).
nb::object dict_get(const nb::dict &d, const char *key, nb::handle fallback);

// Calls f(item) for each item of iter(iterable). Items are fetched one at a time through the
// iterator protocol, so a container changed by f while it runs cannot be read out of bounds.
template <typename F> void for_each_item(nb::handle iterable, F &&f) {
    PyObject *raw_iter = PyObject_GetIter(iterable.ptr());
    if (!raw_iter) throw nb::python_error();
    nb::object it = nb::steal(raw_iter);
    while (PyObject *raw = PyIter_Next(it.ptr())) {
        nb::object item = nb::steal(raw);
        f(nb::handle(item));
    }
    if (PyErr_Occurred()) throw nb::python_error();
}

// Counts one level of a recursive walk against the interpreter's recursion limit, so input
// nested too deeply raises RecursionError instead of exhausting the C stack.
class RecursionGuard {
public:
    explicit RecursionGuard(const char *where);
    ~RecursionGuard();
    RecursionGuard(const RecursionGuard &) = delete;
    RecursionGuard &operator=(const RecursionGuard &) = delete;
};

}  // namespace norvane
