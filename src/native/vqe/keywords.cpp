#include "support/pyops.hpp"
#include "vqe.hpp"

namespace vqe {

namespace {

// How the interpreter names a function in call errors: module.qualname() (module left out
// for builtins).
nb::str function_text(nb::handle callable) {
    nb::object name = nb::getattr(callable, "__qualname__", nb::none());
    if (!PyUnicode_Check(name.ptr())) name = nb::str(Py_TYPE(callable.ptr())->tp_name);
    nb::object module = nb::getattr(callable, "__module__", nb::none());
    if (PyUnicode_Check(module.ptr()) && !norvane::compare(module, nb::str("builtins"), Py_EQ))
        return norvane::format_text("%U.%U()", module.ptr(), name.ptr());
    return norvane::format_text("%U()", name.ptr());
}

}  // namespace

nb::object call_with_extra_keywords(nb::handle callable, nb::handle args, nb::dict keywords, nb::handle extra) {
    nb::dict merged = keywords;
    // A snapshot of the pairs: a key's own __eq__ or __hash__ may change the caller's mapping.
    nb::object extra_dict = PyDict_CheckExact(extra.ptr()) ? nb::borrow(extra) : nb::handle((PyObject *)&PyDict_Type)(extra);
    for (nb::handle item : norvane::dict_items(extra_dict)) {
        nb::object key = item[0], value = item[1];
        if (!PyUnicode_Check(key.ptr())) throw nb::type_error("keywords must be strings");
        if (norvane::contains(merged, key)) {
            PyErr_SetObject(PyExc_TypeError,
                            norvane::format_text("%U got multiple values for keyword argument '%U'",
                                                 function_text(callable).ptr(), key.ptr())
                                .ptr());
            throw nb::python_error();
        }
        merged[key] = value;
    }
    PyObject *result = PyObject_Call(callable.ptr(), args.ptr(), merged.ptr());
    if (!result) throw nb::python_error();
    return nb::steal(result);
}

}  // namespace vqe
