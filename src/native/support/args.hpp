// Typed-argument conversion shared by every native module.
//
// Integer arguments accept integers and truncate any other number toward zero; float
// arguments become doubles; text, list and dict arguments must be exactly that type. A value
// of the wrong kind raises TypeError with one fixed message naming the argument, the expected
// type and the given type.
#pragma once

#include <nanobind/nanobind.h>

namespace norvane {

namespace nb = nanobind;

// Raises TypeError: "Argument '<name>' has incorrect type (expected <expected>, got <type>)".
[[noreturn]] void raise_arg_type(const char *name, const char *expected, nb::handle value);

// The value as a Python int, converting other numbers by truncation toward zero.
nb::int_ arg_int(nb::handle value, const char *name);

// The value as a C++ integer (OverflowError beyond 64 bits).
long long arg_long(nb::handle value, const char *name);

// operator.index(value) as a C++ integer, saturated at the 64-bit limits instead of raising
// OverflowError: for sizes and counts that are refused by range anyway.
long long index_saturated(nb::handle value);

// The value as a double; anything that is not a number raises the TypeError above.
double arg_float(nb::handle value, const char *name);

// Exact-type checks: the same object, borrowed, or the TypeError above.
nb::str arg_str(nb::handle value, const char *name);
nb::list arg_list(nb::handle value, const char *name);
nb::dict arg_dict(nb::handle value, const char *name);

}  // namespace norvane
