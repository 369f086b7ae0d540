// Drawing from a NumPy Generator's bit generator without going through Python per draw.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>

namespace norvane {

namespace nb = nanobind;

// The C interface NumPy's bit generators export in the "BitGenerator" capsule (the layout of
// numpy/random/bitgen.h, stable across NumPy versions).
struct bitgen_t {
    void *state;
    std::uint64_t (*next_uint64)(void *st);
    std::uint32_t (*next_uint32)(void *st);
    double (*next_double)(void *st);
    std::uint64_t (*next_raw)(void *st);
};

// The bit generator of a NumPy Generator (e.g. from numpy.random.default_rng). next_double()
// yields the same stream as Generator.random(). Holds a reference to the generator.
class BitGenerator {
public:
    explicit BitGenerator(nb::handle generator);
    double next_double() { return bitgen_->next_double(bitgen_->state); }

private:
    nb::object capsule_;
    bitgen_t *bitgen_;
};

}  // namespace norvane
