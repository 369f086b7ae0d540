// Classes and functions the simulator uses, looked up once when the module loads.
#pragma once

#include <nanobind/nanobind.h>

#include "support/cache_call.hpp"
#include "support/module.hpp"

namespace dense_sim {

namespace nb = nanobind;

struct Imports {
    nb::handle gate, conditional, measurement, basis_x, basis_y, h, s, sdg, gate_matrix_cache, default_rng, numpy,
        ascontiguousarray, complex128, rlock, noise_model;
    // The cache class's `get` as defined, and the same as a C function.
    nb::handle cache_get_method;
    norvane::CacheGetFunction cache_get = nullptr;
};

// Fills norvane::imports<Imports>(); called once by the module body.
void load_imports();

}  // namespace dense_sim
