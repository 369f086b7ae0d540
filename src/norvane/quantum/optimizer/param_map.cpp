// norvane.quantum.optimizer.param_map: names and order of a circuit's scalar parameters.
#include <nanobind/nanobind.h>

#include "support/args.hpp"
#include "support/module.hpp"
#include "support/plain_class.hpp"
#include "support/pyops.hpp"
#include "support/vectors.hpp"

namespace nb = nanobind;

namespace {

const char *const kParamMapDoc =
    "Named parameters in vector order: position i of every parameter vector belongs to names[i].\n"
    "\n"
    "Args:\n"
    "    names: The parameter names (any iterable of texts; copied into a new list).\n"
    "    bounds: Optional (n, 2) array of (lower, upper) pairs, stored as given.\n"
    "\n"
    "Fields:\n"
    "    names: list of the names; n: their number, the length of every parameter vector;\n"
    "    bounds: as given.";

void init(nb::handle self, nb::handle names, nb::handle bounds) {
    nb::object list = nb::steal(PySequence_List(names.ptr()));
    if (!list.is_valid()) throw nb::python_error();
    Py_ssize_t n = PyList_GET_SIZE(list.ptr());
    self.attr("names") = list;
    self.attr("n") = nb::int_(n);
    self.attr("bounds") = bounds;
}

nb::dict bind(nb::handle self, nb::handle x) {
    nb::object values = norvane::as_float_array(x);
    nb::object n = self.attr("n");
    nb::tuple shape = norvane::shape_of(values);
    if (shape.size() != 1 || !norvane::compare(shape[0], n, Py_EQ)) {
        PyErr_SetObject(PyExc_ValueError,
                        norvane::format_text("Expected parameter vector of length %S, got %R.", n.ptr(), shape.ptr()).ptr());
        throw nb::python_error();
    }
    nb::object names = self.attr("names");
    nb::dict out;
    Py_ssize_t i = 0;
    for (nb::handle value : values.attr("tolist")()) out[names[nb::int_(i++)]] = value;
    return out;
}

nb::object args_from(nb::handle, nb::handle x) { return norvane::as_float_array(x).attr("tolist")(); }

nb::object zeros(nb::handle self) { return norvane::float_zeros(self.attr("n")); }

nb::object random_vector(nb::handle self, nb::handle seed) {
    nb::object seed_value = nb::none();
    if (!seed.is_none()) {
        // int() also turns a boolean into a plain 0 or 1.
        seed_value = nb::steal(PyNumber_Long(norvane::arg_int(seed, "seed").ptr()));
        if (!seed_value.is_valid()) throw nb::python_error();
    }
    nb::object rng = norvane::default_rng(seed_value);
    return rng.attr("uniform")(0, 2.0 * norvane::pi(), self.attr("n"));
}

nb::object length(nb::handle self) { return self.attr("n"); }

nb::str repr(nb::handle self) {
    return norvane::format_text("ParamMap(%R)", nb::object(self.attr("names")).ptr());
}

}  // namespace

NB_MODULE(param_map, m) {
    norvane::ModuleInitClaim claim("norvane.quantum.optimizer.param_map");
    norvane::load_numpy();
    nb::object cls = norvane::new_plain_class(m, "ParamMap", kParamMapDoc);
    norvane::def_method(cls, "__init__", &init, nb::arg("names").none(), nb::arg("bounds").none() = nb::none());
    norvane::def_method(cls, "bind", &bind, nb::arg("x").none(),
                        "The name -> float mapping of parameter vector x (its shape must be (n,)).\n"
                        "A repeated name keeps its first place and takes its last value.");
    norvane::def_method(cls, "args_from", &args_from, nb::arg("x").none(),
                        "x as a plain list of floats in vector order (no length check).");
    norvane::def_method(cls, "zeros", &zeros, "A new parameter vector of n zeros.");
    norvane::def_method(cls, "random", &random_vector, nb::arg("seed").none() = nb::none(),
                        "A new parameter vector drawn uniformly from [0, 2*pi) by\n"
                        "numpy.random.default_rng(seed); equal seeds give equal vectors.");
    norvane::def_method(cls, "__len__", &length);
    norvane::def_method(cls, "__repr__", &repr);
    nb::list exports;
    exports.append("ParamMap");
    m.attr("__all__") = exports;
}
