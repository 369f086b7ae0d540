// Pickle support for nanobind classes: __getstate__ returns a tuple of the fields a new
// instance needs, __setstate__ builds the instance from it (placement new on the bare
// instance that unpickling made). A state from an untrusted or damaged pickle is checked
// before anything is built.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>

namespace norvane {

namespace nb = nanobind;

// The state as a tuple of exactly `size` items, or TypeError naming the class `owner`.
nb::tuple state_items(nb::handle state, std::size_t size, const char *owner);

// Makes the module-level functions of every native module pickle by reference (module and
// qualified name), as functions written in Python do; the objects that hold them (a VQE's
// default gradient) then pickle too. Call from the init of a module whose functions users
// store in objects; repeated calls do nothing.
void pickle_functions_by_name();

}  // namespace norvane
