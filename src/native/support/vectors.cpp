#include "vectors.hpp"

#include <cstring>

#include "module.hpp"

namespace norvane {

namespace {

struct NumPy {
    nb::handle asarray, array, zeros, zeros_like, empty_like, dot, float64, default_rng;
    double pi;
};

NumPy np;

}  // namespace

void load_numpy() {
    if (np.asarray) return;
    np.asarray = import_kept("numpy", "asarray");
    np.array = import_kept("numpy", "array");
    np.zeros = import_kept("numpy", "zeros");
    np.zeros_like = import_kept("numpy", "zeros_like");
    np.empty_like = import_kept("numpy", "empty_like");
    np.dot = import_kept("numpy", "dot");
    np.float64 = import_kept("numpy", "float64");
    np.default_rng = import_kept("numpy.random", "default_rng");
    np.pi = nb::cast<double>(import_attr("numpy", "pi"));
}

nb::object as_float_array(nb::handle value) { return np.asarray(value, nb::arg("dtype") = np.float64); }

nb::object float_array_copy(nb::handle value) {
    return np.array(value, nb::arg("dtype") = np.float64, nb::arg("order") = "C");
}

nb::object float_zeros(nb::handle n) { return np.zeros(n); }

nb::object zeros_like(nb::handle array) { return np.zeros_like(array); }

nb::object empty_like(nb::handle array) { return np.empty_like(array); }

nb::object dot(nb::handle a, nb::handle b) { return np.dot(a, b); }

nb::object default_rng(nb::handle seed) { return np.default_rng(seed); }

double pi() { return np.pi; }

nb::tuple shape_of(nb::handle array) { return nb::borrow<nb::tuple>(nb::object(array.attr("shape"))); }

DoubleView::DoubleView(nb::handle array, Access access) {
    int flags = PyBUF_FORMAT | PyBUF_C_CONTIGUOUS | (access == Access::write ? PyBUF_WRITABLE : 0);
    if (PyObject_GetBuffer(array.ptr(), &view_, flags) != 0) throw nb::python_error();
    if (view_.itemsize != sizeof(double) || !view_.format || std::strcmp(view_.format, "d") != 0) {
        PyBuffer_Release(&view_);
        throw nb::type_error("expected a float64 array");
    }
    size_ = std::size_t(view_.len) / sizeof(double);
}

DoubleView::~DoubleView() { PyBuffer_Release(&view_); }

}  // namespace norvane
