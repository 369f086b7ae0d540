// Drawing from a NumPy Generator's bit generator without going through Python per draw.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <optional>

#include "pyops.hpp"

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
// yields the same stream as Generator.random(). Holds the bit generator object itself, so the
// state behind the capsule lives as long as this does.
//
// Draws must happen while the bit generator's own lock is held (the lock its Generator's
// methods take): hold() takes it and let_go() gives it back, both with the GIL held. While
// held, next_double() needs no GIL. The destructor gives a held lock back.
class BitGenerator {
public:
    explicit BitGenerator(nb::handle generator);
    BitGenerator(const BitGenerator &) = delete;
    BitGenerator &operator=(const BitGenerator &) = delete;

    double next_double() { return bitgen_->next_double(bitgen_->state); }
    void hold();
    void let_go() noexcept;
    bool held() const { return held_; }

private:
    nb::object bit_generator_, capsule_, lock_;
    bitgen_t *bitgen_;
    bool held_ = false;
    std::optional<HeldLock> lock_held_;  // empty for a bit generator without a lock
};

}  // namespace norvane
