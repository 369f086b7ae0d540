#include "args.hpp"

#include <climits>

#include "pyops.hpp"

namespace norvane {

void raise_arg_type(const char *name, const char *expected, nb::handle value) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 name, expected, Py_TYPE(value.ptr())->tp_name);
    throw nb::python_error();
}

namespace {

// A "number" is anything the interpreter can turn into an int or a float; text and bytes
// also implement int() but are not numbers.
bool is_number(PyObject *o) {
    if (PyUnicode_Check(o) || PyBytes_Check(o) || PyByteArray_Check(o)) return false;
    PyNumberMethods *nm = Py_TYPE(o)->tp_as_number;
    return nm && (nm->nb_index || nm->nb_int || nm->nb_float);
}

}  // namespace

nb::int_ arg_int(nb::handle value, const char *name) {
    PyObject *o = value.ptr();
    if (PyLong_Check(o)) return nb::borrow<nb::int_>(o);
    if (!is_number(o)) raise_arg_type(name, "int", value);
    // int() truncates floats, decimals and fractions toward zero.
    PyObject *converted = PyNumber_Long(o);
    if (!converted) throw nb::python_error();
    return nb::steal<nb::int_>(converted);
}

long long arg_long(nb::handle value, const char *name) {
    nb::int_ as_int = arg_int(value, name);
    long long result = PyLong_AsLongLong(as_int.ptr());
    if (result == -1 && PyErr_Occurred()) throw nb::python_error();
    return result;
}

double arg_float(nb::handle value, const char *name) {
    PyObject *o = value.ptr();
    if (PyFloat_CheckExact(o)) return PyFloat_AS_DOUBLE(o);
    if (!is_number(o)) raise_arg_type(name, "float", value);
    double result = PyFloat_AsDouble(o);
    if (result == -1.0 && PyErr_Occurred()) throw nb::python_error();
    return result;
}

nb::str arg_str(nb::handle value, const char *name) {
    if (!PyUnicode_CheckExact(value.ptr())) raise_arg_type(name, "str", value);
    return nb::borrow<nb::str>(value);
}

nb::list arg_list(nb::handle value, const char *name) {
    if (!PyList_CheckExact(value.ptr())) raise_arg_type(name, "list", value);
    return nb::borrow<nb::list>(value);
}

nb::dict arg_dict(nb::handle value, const char *name) {
    if (!PyDict_CheckExact(value.ptr())) raise_arg_type(name, "dict", value);
    return nb::borrow<nb::dict>(value);
}

long long index_saturated(nb::handle value) {
    nb::object index = PyLong_CheckExact(value.ptr()) ? nb::borrow(value) : checked(PyNumber_Index(value.ptr()));
    int overflow = 0;
    long long result = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    if (result == -1 && PyErr_Occurred()) throw nb::python_error();
    return overflow > 0 ? LLONG_MAX : overflow < 0 ? LLONG_MIN : result;
}

}  // namespace norvane
