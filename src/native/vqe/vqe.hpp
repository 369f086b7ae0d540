// The parts of the vqe module: the result record, the driver class and its optimiser loops.
#pragma once

#include <nanobind/nanobind.h>

namespace vqe {

namespace nb = nanobind;

// Adds the class VQEResult to m and returns it.
nb::object bind_result(nb::module_ &m);

// Adds the class VQE to m, with its constructor, cost, gradient and run; `default_gradient`
// is the gradient function used when none is given.
nb::object bind_driver(nb::module_ &m, nb::handle default_gradient);

// Adds the optimiser loops _run_adam, _run_gradient_descent and _run_scipy to the VQE class;
// they return instances of `result_class`.
void bind_loops(nb::handle vqe_class, nb::handle result_class);

// callable(*args, **keywords, **extra), refused like the interpreter refuses it when `extra`
// repeats a keyword of `keywords` or holds a key that is not a text.
nb::object call_with_extra_keywords(nb::handle callable, nb::handle args, nb::dict keywords, nb::handle extra);

}  // namespace vqe
