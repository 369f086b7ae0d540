#include "pickle_state.hpp"

namespace norvane {

nb::tuple state_items(nb::handle state, std::size_t size, const char *owner) {
    if (!PyTuple_Check(state.ptr())) {
        PyErr_Format(PyExc_TypeError, "%s.__setstate__ needs a tuple of %zu items, got %.200s", owner, size,
                     Py_TYPE(state.ptr())->tp_name);
        throw nb::python_error();
    }
    if (std::size_t(PyTuple_GET_SIZE(state.ptr())) != size) {
        PyErr_Format(PyExc_TypeError, "%s.__setstate__ needs a tuple of %zu items, got %zd", owner, size,
                     PyTuple_GET_SIZE(state.ptr()));
        throw nb::python_error();
    }
    return nb::borrow<nb::tuple>(state);
}

void pickle_functions_by_name() {
    static bool registered = false;
    if (registered) return;
    nb::object probe = nb::cpp_function([] {});
    nb::handle function_type = (PyObject *)Py_TYPE(probe.ptr());
    // A text from a reducer makes pickle store a reference to the global of that name in the
    // object's __module__; pickling fails clearly when that is not the object itself.
    nb::object reducer = nb::cpp_function([](nb::handle f) -> nb::object { return f.attr("__qualname__"); },
                                          nb::arg("function"), nb::name("_reduce_native_function"));
    nb::module_::import_("copyreg").attr("pickle")(function_type, reducer);
    registered = true;
}

}  // namespace norvane
