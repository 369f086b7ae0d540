// The pieces every product with H shares: groups of amplitudes whose hopping sums stay in
// registers, and the output of one state from its sums. Amplitudes are interleaved doubles.
#pragma once

#include <cstddef>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#endif

#include "vector_ops.hpp"

namespace analog {

// Amplitudes per group: the hopping sums of a group are held in registers while every atom's
// partner group is added, and the two lowest bits of an index hop within the group.
constexpr std::size_t kGroup = 4;
// Doubles ahead of the current group at which each partner stream is prefetched: with a dozen
// partner streams at once, the hardware prefetcher alone leaves most reads waiting on memory.
constexpr std::size_t kPrefetchAhead = 8 * kGroup;

// a[0..2 kGroup) += b[0..2 kGroup): one group of amplitudes.
inline void add_group(double *a, const double *b) {
    for (std::size_t q = 0; q < 2 * kGroup; ++q) a[q] += b[q];
}

// The hops of the two lowest bits within the group at g: up from the partner above, down
// from the one below.
inline void add_in_group(double *up, double *down, const double *g) {
    for (std::size_t m = 2; m >= 1; m >>= 1)
        for (std::size_t k = 0; k < kGroup; ++k) {
            double *sum = (k & m) ? down : up;
            sum[2 * k] += g[2 * (k ^ m)];
            sum[2 * k + 1] += g[2 * (k ^ m) + 1];
        }
}

// Partner streams (chunks or blocks of amplitudes) split by direction, added to a group's
// hopping sums in the order they were added: up from raised partners, down from lowered ones.
class Streams {
public:
    void add(const double *stream, bool down) { (down ? down_ : up_)[(down ? downs_ : ups_)++] = stream; }
    bool empty() const { return ups_ + downs_ == 0; }
    // The group at `offset` doubles of each partner stream.
    void add_to(double *up, double *down, std::size_t offset) const {
        for (int k = 0; k < ups_; ++k) {
            ANALOG_PREFETCH(up_[k] + offset + kPrefetchAhead);
            add_group(up, up_[k] + offset);
        }
        for (int k = 0; k < downs_; ++k) {
            ANALOG_PREFETCH(down_[k] + offset + kPrefetchAhead);
            add_group(down, down_[k] + offset);
        }
    }

private:
    const double *up_[64], *down_[64];
    int ups_ = 0, downs_ = 0;
};

// The output of state i from its hopping sums: out = -i scale (d y + cu up + conj(cu) down),
// d the diagonal -Delta n - Delta_loc w + V (- Doppler - i decay n), or diagonal[i] where that
// holds it already; returns the state's share of Re <y, i out> when measuring, else 0.
// Per-state arrays are indexed as y. Held by value in the loops, so that its fields stay in
// registers across the stores to `out`.
struct StateOutput {
    const double *y, *interaction, *excitations, *weighted, *doppler, *diagonal;
    double *out;
    double cr, ci, dv, dd, dl, decay, scale;
    bool measure;

    double operator()(std::size_t i, const double *up, const double *down) const {
        double d;
        if (diagonal) {
            d = diagonal[i];
        } else {
            d = dv * interaction[i] - dd * excitations[i];
            if (weighted) d -= dl * weighted[i];
        }
        if (doppler) d -= doppler[i];
        const double *yi = y + 2 * i;
        double *o = out + 2 * i;
#if defined(__SSE2__) || defined(_M_X64)
        // The scalar expressions below, (re, im) and then (o0, o1) in the two lanes of a
        // register: the same operations in the same order, so the same bits, in fewer
        // instructions. A sign is a product with -1, which is exact.
        const __m128d yv = _mm_loadu_pd(yi), uv = _mm_loadu_pd(up), wv = _mm_loadu_pd(down);
        const __m128d crv = _mm_set1_pd(cr), civ = _mm_set1_pd(ci);
        const __m128d minus_plus = _mm_set_pd(1.0, -1.0), plus_minus = _mm_set_pd(-1.0, 1.0);
        const __m128d u_swapped = _mm_shuffle_pd(uv, uv, 1), w_swapped = _mm_shuffle_pd(wv, wv, 1);
        const __m128d u_part = _mm_add_pd(_mm_mul_pd(crv, uv), _mm_mul_pd(minus_plus, _mm_mul_pd(civ, u_swapped)));
        const __m128d w_part = _mm_add_pd(_mm_mul_pd(crv, wv), _mm_mul_pd(plus_minus, _mm_mul_pd(civ, w_swapped)));
        const __m128d sum = _mm_add_pd(_mm_add_pd(_mm_mul_pd(_mm_set1_pd(d), yv), u_part), w_part);
        __m128d result = _mm_mul_pd(_mm_shuffle_pd(sum, sum, 1), plus_minus);  // (im, -re)
        if (decay != 0.0) result = _mm_sub_pd(result, _mm_mul_pd(_mm_set1_pd(decay * excitations[i]), yv));
        if (scale != 1.0) result = _mm_mul_pd(result, _mm_set1_pd(scale));
        _mm_storeu_pd(o, result);
        if (!measure) return 0.0;
        const double o0 = _mm_cvtsd_f64(result), o1 = _mm_cvtsd_f64(_mm_unpackhi_pd(result, result));
#else
        // -i (d y + cu up + conj(cu) down) with the complex products written out.
        const double re = d * yi[0] + (cr * up[0] - ci * up[1]) + (cr * down[0] + ci * down[1]);
        const double im = d * yi[1] + (cr * up[1] + ci * up[0]) + (cr * down[1] - ci * down[0]);
        double o0 = im, o1 = -re;
        if (decay != 0.0) {
            o0 -= decay * excitations[i] * yi[0];
            o1 -= decay * excitations[i] * yi[1];
        }
        if (scale != 1.0) o0 *= scale, o1 *= scale;
        o[0] = o0;
        o[1] = o1;
        if (!measure) return 0.0;
#endif
        return yi[1] * o0 - yi[0] * o1;
    }
};

}  // namespace analog
