// The oruna1 module's back end class.
#pragma once

#include <nanobind/nanobind.h>

namespace oruna1 {

namespace nb = nanobind;

// Adds Oruna1Backend, and the outside names it works with, to m.
void bind(nb::module_ &m);

}  // namespace oruna1
