#include "objects.hpp"

namespace norvane {

bool is_instance(nb::handle obj, nb::handle cls) {
    int result = PyObject_IsInstance(obj.ptr(), cls.ptr());
    if (result < 0) throw nb::python_error();
    return result == 1;
}

nb::object get_item(nb::handle container, const char *key) {
    nb::str key_obj(key);
    PyObject *value = PyObject_GetItem(container.ptr(), key_obj.ptr());
    if (!value) throw nb::python_error();
    return nb::steal(value);
}

nb::object dict_get(const nb::dict &d, const char *key, nb::handle fallback) {
    nb::str key_obj(key);
    PyObject *value = PyDict_GetItemWithError(d.ptr(), key_obj.ptr());
    if (value) return nb::borrow(value);
    if (PyErr_Occurred()) throw nb::python_error();
    return nb::borrow(fallback);
}

RecursionGuard::RecursionGuard(const char *where) {
    if (Py_EnterRecursiveCall(where)) throw nb::python_error();
}

RecursionGuard::~RecursionGuard() { Py_LeaveRecursiveCall(); }

}  // namespace norvane
