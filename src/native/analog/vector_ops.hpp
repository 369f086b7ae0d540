// Element-wise vector arithmetic and sums for the integrators. Loops over large vectors are
// split over threads by index range; sums add fixed-size blocks and then the block sums in
// order, so every result is the same for any number of threads.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <vector>

#include "runtime/parallel.hpp"

namespace analog {

// Before a loop whose arrays are known not to overlap: vectorise without aliasing checks.
#if defined(__clang__)
#define ANALOG_NO_ALIAS _Pragma("clang loop vectorize(assume_safety)")
#elif defined(__GNUC__)
#define ANALOG_NO_ALIAS _Pragma("GCC ivdep")
#elif defined(_MSC_VER)
#define ANALOG_NO_ALIAS __pragma(loop(ivdep))
#else
#define ANALOG_NO_ALIAS
#endif

// A hint to fetch the cache line holding p ahead of its use; nothing where unsupported.
#if defined(__GNUC__) || defined(__clang__)
#define ANALOG_PREFETCH(p) __builtin_prefetch(p)
#else
#define ANALOG_PREFETCH(p) ((void)0)
#endif

// Elements per thread at least, and per block of a sum.
constexpr std::size_t kParallelGrain = std::size_t(1) << 16;
constexpr std::size_t kSumBlock = std::size_t(1) << 13;

template <class Body>
void for_range(std::size_t n, const Body &body) {
    runtime::parallel_for(n, kParallelGrain, body);
}

// out[i] = y[i] + h * (a[0] * k[0][i] + a[1] * k[1][i] + ...), summed left to right; out is
// none of the inputs.
template <std::size_t M>
void combine(double *out, const double *y, double h, const std::array<double, M> &a,
             const std::array<const double *, M> &k, std::size_t n) {
    for_range(n, [&](std::size_t begin, std::size_t end) {
        ANALOG_NO_ALIAS
        for (std::size_t i = begin; i < end; ++i) {
            double sum = a[0] * k[0][i];
            for (std::size_t j = 1; j < M; ++j) sum += a[j] * k[j][i];
            out[i] = y[i] + h * sum;
        }
    });
}

// S sums at once over ranges: term(begin, end, partial) adds the terms of elements
// [begin, end) into partial[0..S), in index order.
template <std::size_t S, class RangeTerm>
std::array<double, S> blocked_range_sums(std::size_t n, const RangeTerm &term) {
    const std::size_t blocks = (n + kSumBlock - 1) / kSumBlock;
    std::vector<std::array<double, S>> partial(blocks);
    runtime::parallel_for(blocks, std::max<std::size_t>(1, kParallelGrain / kSumBlock),
                              [&](std::size_t first, std::size_t last) {
                                  for (std::size_t b = first; b < last; ++b) {
                                      std::array<double, S> acc{};
                                      term(b * kSumBlock, std::min(n, (b + 1) * kSumBlock), acc);
                                      partial[b] = acc;
                                  }
                              });
    std::array<double, S> total{};
    for (const auto &p : partial)
        for (std::size_t s = 0; s < S; ++s) total[s] += p[s];
    return total;
}

// S sums at once: term(i, partial) adds element i's terms into partial[0..S).
template <std::size_t S, class Term>
std::array<double, S> blocked_sums(std::size_t n, const Term &term) {
    return blocked_range_sums<S>(n, [&](std::size_t begin, std::size_t end, std::array<double, S> &acc) {
        for (std::size_t i = begin; i < end; ++i) term(i, acc);
    });
}

}  // namespace analog
