// Measurement kernels: outcome distribution, weighted draw and collapse.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

#include "gate.hpp"
#include "memory.hpp"
#include "runtime/parallel.hpp"

namespace statevector {

inline double abs2(const cplx &a) { return a.real() * a.real() + a.imag() * a.imag(); }

// Sum of |psi_i|^2 in a fixed blocked order, identical for any thread count.
double norm_squared(const cplx *psi, std::uint64_t size);

// Cumulative distribution of |psi_at(i)|^2 / sum_j |psi_j|^2 over i < size, each entry then
// divided by the last, as a weighted choice inverts it; `at` orders the amplitudes. Returns
// false, leaving cdf unspecified, when the squared norm is zero or not finite (the
// probabilities are undefined).
template <class At> bool build_cdf(const cplx *psi, std::uint64_t size, const At &at, Distribution &cdf) {
    const double total = norm_squared(psi, size);
    if (!(total > 0.0) || !std::isfinite(total)) return false;
    cdf.resize(size);
    double *values = cdf.data();
    // The probabilities on every thread, then their running sum in index order (one add per
    // entry, rounding as a single loop over the probabilities does), then the division.
    runtime::parallel_for(size, kStreamedPerThread, [&](std::size_t begin, std::size_t end) {
        for (std::uint64_t i = begin; i < end; ++i) values[i] = abs2(psi[at(i)]) / total;
    });
    double running = 0.0;
    for (std::uint64_t i = 0; i < size; ++i) values[i] = running += values[i];
    const double last = values[size - 1];
    runtime::parallel_for(size, kStreamedPerThread, [&](std::size_t begin, std::size_t end) {
        for (std::uint64_t i = begin; i < end; ++i) values[i] /= last;
    });
    return true;
}

// The same in index order.
bool build_cdf(const cplx *psi, std::uint64_t size, Distribution &cdf);

// The first index whose cumulative value exceeds u (a search to the right).
std::uint64_t sample_index(const Distribution &cdf, double u);

// The same search, narrowed first by a table of where each of 2^k equal slices of [0, 1)
// starts in the distribution when about `expected_draws` draws (an upper bound will do) are
// many enough to pay for the table.
class OutcomeSampler {
public:
    OutcomeSampler(Distribution cdf, std::uint64_t expected_draws);
    std::uint64_t operator()(double u) const;
    std::size_t bytes() const { return cdf_.size() * sizeof(double) + slice_start_.size() * sizeof(std::uint64_t); }

private:
    Distribution cdf_;
    std::vector<std::uint64_t> slice_start_;  // slice b: first index with cdf > b / slices
    double slices_ = 0.0;
};

// Zeroes every amplitude whose bits under `mask` differ from `value`, then divides by the
// remaining norm when it exceeds 1e-12 (otherwise the state stays unnormalised).
void collapse(cplx *psi, std::uint64_t size, std::uint64_t mask, std::uint64_t value);

}  // namespace statevector
