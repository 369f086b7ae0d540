// Interpreter operations for native code that walks Python objects with the host's own
// semantics and messages: isinstance, truth value, `in`, ordering comparisons, iteration,
// module lookups and text built with the interpreter's %S/%R formatting, plus interned
// attribute names for hot paths. A failure raises the pending Python exception as
// nb::python_error.
#pragma once

#include <nanobind/nanobind.h>

#include <initializer_list>

namespace norvane {

namespace nb = nanobind;

// A new reference returned by a C API call, owned; a null result raises the pending error.
nb::object checked(PyObject *result);

// isinstance(obj, cls)
bool is_instance(nb::handle obj, nb::handle cls);

// What `type` or the first of its bases in method resolution order defines under `name`, as
// stored in the class dictionary (descriptors are not run): a borrowed reference the class
// keeps, or nullptr where none defines it.
PyObject *class_attribute(PyTypeObject *type, nb::handle name);

// bool(obj)
bool truth(nb::handle obj);

// item in container
bool contains(nb::handle container, nb::handle item);

// container[key] with the container's own lookup, so a missing key raises KeyError(key).
nb::object get_item(nb::handle container, const char *key);

// d.get(key, fallback) on a dict (no __missing__ or subclass lookups involved).
nb::object dict_get(const nb::dict &d, const char *key, nb::handle fallback);

// a <op> b as a truth value, op one of Py_LT, Py_LE, Py_EQ, Py_NE, Py_GT, Py_GE; exact ints
// that fit in 64 bits are compared without a call into the interpreter.
bool compare(nb::handle a, nb::handle b, int op);

// callable(**mapping), refused as the interpreter refuses it: TypeError for an object that is
// not a mapping or for keys that are not texts.
nb::object call_with_mapping(nb::handle callable, nb::handle mapping);

// PyUnicode_FromFormat: %S inserts str() of an object, %R its repr(), %zd a Py_ssize_t.
nb::str format_text(const char *format, ...);

// The module named `name` (a str) from sys.modules, importing it only when it is not loaded
// yet: a cheap lookup for modules whose attributes are read afresh at every call.
nb::object imported_module(nb::handle name);

// getattr(module, name) for a str `name`, read straight from the module's namespace when it
// is there (no type lookup on the module object first).
nb::object module_attr(nb::handle module, nb::handle name);

// obj.name(*args, **kwargs) by the interpreter's method-call path, which makes no bound method;
// `kwargs` is a dict of str keys, or null.
nb::object call_method(nb::handle obj, nb::handle name, std::initializer_list<nb::handle> args = {},
                       nb::handle kwargs = nb::handle());

// `text` as an interned Python str kept for the rest of the process.
nb::handle interned(const char *text);

// An interned attribute name made once per call site, for hot attribute lookups:
// obj.attr(NORVANE_NAME("targets")) hashes nothing and allocates nothing.
#define NORVANE_NAME(text)                                                          \
    ([]() -> ::nanobind::handle {                                                   \
        static const ::nanobind::handle interned_name = ::norvane::interned(text);  \
        return interned_name;                                                       \
    }())

// Calls f(item) for every item of `iterable`, with the interpreter's iteration semantics;
// an exact tuple, being immutable, is walked by index without an iterator object.
template <typename F> void for_each_item(nb::handle iterable, F &&f) {
    if (PyTuple_CheckExact(iterable.ptr())) {
        nb::object keep = nb::borrow(iterable);
        Py_ssize_t n = PyTuple_GET_SIZE(iterable.ptr());
        for (Py_ssize_t k = 0; k < n; ++k) f(nb::handle(PyTuple_GET_ITEM(iterable.ptr(), k)));
    } else {
        for (nb::handle item : iterable) f(item);
    }
}

// The (key, value) pairs of a mapping as a new list that holds its own references: safe to
// walk while Python code that may change or clear the mapping runs.
nb::list dict_items(nb::handle mapping);

// obj.method() while an error may be on its way out: the pending error stays pending, and a
// failure of the call itself is dropped (it would only hide the first). For cleanup paths.
void call_keeping_error(nb::handle obj, const char *method) noexcept;

// A Python lock (threading.Lock or RLock) held for a scope: acquired on construction (the wait
// lets other threads run and answers Ctrl-C), released on destruction, which needs the GIL and
// leaves an exception being raised in place.
class HeldLock {
public:
    explicit HeldLock(nb::handle lock);
    ~HeldLock();
    HeldLock(const HeldLock &) = delete;
    HeldLock &operator=(const HeldLock &) = delete;

private:
    nb::object lock_;
};

// Raises what a pending signal's handler raises (KeyboardInterrupt for Ctrl-C) as
// nb::python_error; the GIL must be held. Cheap when no signal is pending.
void check_signals();
// The same for native work running without the GIL: takes it first.
void check_signals_without_gil();

// Scoped Py_EnterRecursiveCall: deep native recursion over user objects ends in
// RecursionError instead of exhausting the C stack.
class RecursionGuard {
public:
    explicit RecursionGuard(const char *where);
    ~RecursionGuard();
    RecursionGuard(const RecursionGuard &) = delete;
    RecursionGuard &operator=(const RecursionGuard &) = delete;
};

}  // namespace norvane
