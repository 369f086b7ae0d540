// The gate matrix cache's `get` as a C function. Its module publishes it in a capsule so that
// the simulator, which asks the cache once for every gate of a run, calls it without the
// argument parsing of a Python call when the cache is of that exact class.
#pragma once

#include <Python.h>

namespace norvane {

// get(cache, gate, bindings): a new reference to the matrix, or null with the error set.
// `bindings` is a dict of str keys or null.
using CacheGetFunction = PyObject *(*)(PyObject *cache, PyObject *gate, PyObject *bindings);

// The capsule's name: also the module attribute that holds it, as PyCapsule_Import expects.
inline constexpr const char *kCacheGetCapsule = "norvane.quantum.simulator.digital.unitab._native_get";

}  // namespace norvane
