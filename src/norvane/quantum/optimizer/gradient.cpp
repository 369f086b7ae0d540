// norvane.quantum.optimizer.gradient: parameter-shift and finite-difference gradients of a
// scalar cost of a parameter vector.
#include <nanobind/nanobind.h>

#include <cmath>
#include <vector>

#include "support/args.hpp"
#include "support/module.hpp"
#include "support/pickle_state.hpp"
#include "support/plain_class.hpp"
#include "support/pyops.hpp"
#include "support/vectors.hpp"

namespace nb = nanobind;

namespace {

const char *const kShiftDoc =
    "Gradient of f at x by the parameter-shift rule:\n"
    "(f(x + shift*e_i) - f(x - shift*e_i)) / (2*sin(shift)) for every coordinate i.\n"
    "\n"
    "Exact for expectation values of circuits whose parametric gates are exp(-i*theta/2*P) with\n"
    "P a Pauli operator. f is called 2*len(x) times, plus then minus shift per coordinate in\n"
    "order, each time with a fresh copy of x; never at x itself.";

const char *const kFiniteDiffDoc =
    "Finite-difference gradient, for costs without a shift rule.\n"
    "\n"
    "Args:\n"
    "    eps: The step added to or taken from one coordinate.\n"
    "    method: 'central' (2*n calls of f), 'forward' or 'backward' (n + 1 calls, the one at x\n"
    "        first).\n"
    "\n"
    "An instance is itself a gradient function: instance(f, x) is instance.gradient(f, x).";

// A cost value as a double.
double cost_value(nb::handle value) {
    double result = PyFloat_AsDouble(value.ptr());
    if (result == -1.0 && PyErr_Occurred()) throw nb::python_error();
    return result;
}

// The parameter vector as a float64 array (no copy when it already is one) and its length.
struct Point {
    nb::object x;
    Py_ssize_t n;

    explicit Point(nb::handle value) : x(norvane::as_float_array(value)) {
        n = PyObject_Length(x.ptr());
        if (n < 0) throw nb::python_error();
    }

    // A new copy of x with step added to every element of x[i].
    nb::object moved(Py_ssize_t i, double step) const {
        nb::object copy = norvane::float_array_copy(x);
        norvane::DoubleView view(copy, norvane::DoubleView::Access::write);
        std::size_t row = view.size() / std::size_t(n);
        double *first = view.data() + std::size_t(i) * row;
        for (std::size_t k = 0; k < row; ++k) first[k] += step;
        return copy;
    }

    // f at the copy of x moved by step in coordinate i.
    double cost_at(nb::handle f, Py_ssize_t i, double step) const { return cost_value(f(moved(i, step))); }
};

nb::object as_array(const std::vector<double> &values) {
    nb::object out = norvane::float_zeros(nb::int_(values.size()));
    norvane::DoubleView view(out, norvane::DoubleView::Access::write);
    for (std::size_t i = 0; i < values.size(); ++i) view.data()[i] = values[i];
    return out;
}

// (f(x + step*e_i) - f(x - step*e_i)) / denominator for every i.
nb::object symmetric_difference(nb::handle f, const Point &p, double step, double denominator) {
    std::vector<double> grad(std::size_t(p.n));
    for (Py_ssize_t i = 0; i < p.n; ++i) {
        double plus = p.cost_at(f, i, step);
        double minus = p.cost_at(f, i, -step);
        grad[std::size_t(i)] = (plus - minus) / denominator;
    }
    return as_array(grad);
}

nb::object parameter_shift_gradient(nb::handle f, nb::handle x, nb::handle shift) {
    double s = norvane::arg_float(shift, "shift");
    Point p(x);
    return symmetric_difference(f, p, s, 2.0 * std::sin(s));
}

const char *const kSchemes[] = {"central", "forward", "backward"};

void finite_diff_init(nb::handle self, nb::handle eps, nb::handle method) {
    double step = norvane::arg_float(eps, "eps");
    nb::str scheme = norvane::arg_str(method, "method");
    bool known = false;
    for (const char *name : kSchemes) known = known || norvane::compare(scheme, nb::str(name), Py_EQ);
    if (!known) {
        PyErr_SetObject(PyExc_ValueError, norvane::format_text("Unknown method %R.", scheme.ptr()).ptr());
        throw nb::python_error();
    }
    self.attr("eps") = nb::float_(step);
    self.attr("method") = scheme;
}

nb::object finite_diff_gradient(nb::handle self, nb::handle f, nb::handle x) {
    nb::str method = norvane::arg_str(nb::object(self.attr("method")), "method");
    double h = norvane::arg_float(nb::object(self.attr("eps")), "eps");
    Point p(x);
    if (norvane::compare(method, nb::str("central"), Py_EQ)) return symmetric_difference(f, p, h, 2.0 * h);
    bool forward = norvane::compare(method, nb::str("forward"), Py_EQ);
    double at_x = cost_value(f(p.x));
    std::vector<double> grad(std::size_t(p.n));
    for (Py_ssize_t i = 0; i < p.n; ++i)
        grad[std::size_t(i)] = forward ? (p.cost_at(f, i, h) - at_x) / h : (at_x - p.cost_at(f, i, -h)) / h;
    return as_array(grad);
}

}  // namespace

NB_MODULE(gradient, m) {
    norvane::ModuleInitClaim claim("norvane.quantum.optimizer.gradient");
    norvane::load_numpy();
    norvane::pickle_functions_by_name();
    m.def("parameter_shift_gradient", &parameter_shift_gradient, nb::arg("f").none(), nb::arg("x").none(),
          nb::arg("shift").none() = norvane::pi() / 2.0, kShiftDoc);

    nb::object cls = norvane::new_plain_class(m, "FiniteDiffGradient", kFiniteDiffDoc);
    norvane::def_method(cls, "__init__", &finite_diff_init, nb::arg("eps").none() = 1e-4,
                        nb::arg("method").none() = "central");
    norvane::def_method(cls, "gradient", &finite_diff_gradient, nb::arg("f").none(), nb::arg("x").none(),
                        "The finite-difference gradient of f at x by the scheme in `method`.");
    norvane::def_method(
        cls, "__call__", [](nb::handle self, nb::handle f, nb::handle x) { return self.attr("gradient")(f, x); },
        nb::arg("f").none(), nb::arg("x").none(), "Same as gradient(f, x).");

    // Gate kinds for which the shift rule applies, as the kit's gate table lists them.
    nb::set shift_gates;
    for (nb::handle spec : norvane::import_attr("norvane.quantum.ir.digital.gate_table", "GATES"))
        if (nb::cast<bool>(spec.attr("shift_listed"))) shift_gates.add(spec.attr("name"));
    m.attr("_PARAMETER_SHIFT_GATES") = shift_gates;

    nb::list exports;
    exports.append("parameter_shift_gradient");
    exports.append("FiniteDiffGradient");
    m.attr("__all__") = exports;
}
