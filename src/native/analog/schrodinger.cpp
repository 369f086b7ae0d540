#include "schrodinger.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "vector_ops.hpp"

namespace analog {

namespace {

// Amplitudes per aligned chunk of the full space: hopping sums for one chunk stay in cache.
constexpr std::size_t kChunk = std::size_t(1) << 10;
// Chunks per thread at least: each chunk costs one pass over its amplitudes per atom.
constexpr std::size_t kChunksPerThread = 16;

// -i (d y + cu up + conj(cu) down) with the complex products written out.
inline void rotate_minus_i(double d, const double *y, double cr, double ci, const double *up, const double *down,
                           double *out) {
    double re = d * y[0] + (cr * up[0] - ci * up[1]) + (cr * down[0] + ci * down[1]);
    double im = d * y[1] + (cr * up[1] + ci * up[0]) + (cr * down[1] - ci * down[0]);
    out[0] = im;
    out[1] = -re;
}

inline cplx times(cplx a, cplx b) {
    return {a.real() * b.real() - a.imag() * b.imag(), a.real() * b.imag() + a.imag() * b.real()};
}

// dst[i] += src[i] for n doubles.
inline void add_into(double *dst, const double *src, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) dst[i] += src[i];
}

// The hopping sums of the full-space chunk of `chunk` amplitudes at `base`, as interleaved
// doubles: up[j] = sum of y over the states reached by exciting one more atom, down[j] over
// those reached by de-exciting one. Atoms are added from the most significant bit down.
void full_space_hops(int n, std::size_t base, std::size_t chunk, const double *y, double *up, double *down) {
    std::fill(up, up + 2 * chunk, 0.0);
    std::fill(down, down + 2 * chunk, 0.0);
    const double *here = y + 2 * base;
    for (int bit = n - 1; bit >= 0; --bit) {
        const std::size_t m = std::size_t(1) << bit;
        if (m >= chunk) {  // the whole chunk hops to one partner chunk
            if (base & m)
                add_into(down, y + 2 * (base ^ m), 2 * chunk);
            else
                add_into(up, y + 2 * (base | m), 2 * chunk);
        } else if (m == 1) {
            for (std::size_t j = 0; j < chunk; j += 2) {
                up[2 * j] += here[2 * j + 2];
                up[2 * j + 1] += here[2 * j + 3];
                down[2 * j + 2] += here[2 * j];
                down[2 * j + 3] += here[2 * j + 1];
            }
        } else {
            for (std::size_t pair = 0; pair < chunk; pair += 2 * m) {
                add_into(up + 2 * pair, here + 2 * (pair + m), 2 * m);
                add_into(down + 2 * (pair + m), here + 2 * pair, 2 * m);
            }
        }
    }
}

}  // namespace

SchrodingerSystem::SchrodingerSystem(const AtomSpace &space, const std::vector<double> &weighted, const Drive &drive,
                                     bool interaction_picture, const NoiseTerms *noise)
    : space_(space), weighted_(weighted), drive_(drive), interaction_picture_(interaction_picture), noise_(noise) {
    if (noise_ && interaction_picture_) throw std::invalid_argument("noise is simulated in the lab frame only");
    if (interaction_picture_) {
        rotated_.resize(space.dim());
        frame_.resize(space.dim());
    }
}

double SchrodingerSystem::frame_phase(std::size_t i, double t, double detuning_area, double local_area) const {
    double phase = space_.interaction()[i] * t - detuning_area * space_.excitations()[i];
    return weighted_.empty() ? phase : phase - local_area * weighted_[i];
}

void SchrodingerSystem::apply(const cplx *y_c, cplx *out_c, cplx cu, double detuning, double local,
                              bool with_diagonal) {
    const std::size_t dim = space_.dim();
    const double *y = reinterpret_cast<const double *>(y_c);
    double *out = reinterpret_cast<double *>(out_c);
    const double cr = cu.real(), ci = cu.imag();
    // The diagonal -Delta n - Delta_loc w + V of state i (zero in the interaction picture).
    const double *v = space_.interaction().data(), *nexc = space_.excitations().data();
    const double *w = weighted_.empty() ? nullptr : weighted_.data();
    const double dv = with_diagonal ? 1.0 : 0.0, dd = with_diagonal ? detuning : 0.0,
                 dl = with_diagonal ? local : 0.0;
    const double *doppler = noise_ && !noise_->static_detuning.empty() ? noise_->static_detuning.data() : nullptr;
    const double decay = noise_ ? noise_->half_decay : 0.0;
    auto finish = [&](std::size_t i, const double *up, const double *down) {
        double d = dv * v[i] - dd * nexc[i];
        if (w) d -= dl * w[i];
        if (doppler) d -= doppler[i];
        rotate_minus_i(d, y + 2 * i, cr, ci, up, down, out + 2 * i);
        if (decay != 0.0) {
            out[2 * i] -= decay * nexc[i] * y[2 * i];
            out[2 * i + 1] -= decay * nexc[i] * y[2 * i + 1];
        }
    };
    if (!space_.full()) {
        const std::uint32_t *ro = space_.raise_offsets().data(), *rt = space_.raise_targets().data();
        const std::uint32_t *lo = space_.lower_offsets().data(), *lt = space_.lower_targets().data();
        for_range(dim, [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) {
                double up[2] = {0.0, 0.0}, down[2] = {0.0, 0.0};
                for (std::uint32_t e = ro[i]; e < ro[i + 1]; ++e) {
                    up[0] += y[2 * rt[e]];
                    up[1] += y[2 * rt[e] + 1];
                }
                for (std::uint32_t e = lo[i]; e < lo[i + 1]; ++e) {
                    down[0] += y[2 * lt[e]];
                    down[1] += y[2 * lt[e] + 1];
                }
                finish(i, up, down);
            }
        });
        return;
    }
    // Full space: aligned chunks, each summed over the atoms in the same order whatever the
    // split over threads.
    const int n = space_.atoms();
    const std::size_t chunk = std::min(dim, kChunk);
    runtime::parallel_for(dim / chunk, kChunksPerThread, [&](std::size_t first, std::size_t last) {
        std::vector<double> up(2 * chunk), down(2 * chunk);
        for (std::size_t c = first; c < last; ++c) {
            const std::size_t base = c * chunk;
            full_space_hops(n, base, chunk, y, up.data(), down.data());
            for (std::size_t j = 0; j < chunk; ++j) finish(base + j, &up[2 * j], &down[2 * j]);
        }
    });
}

Coefficients SchrodingerSystem::coefficients(double t) const {
    const double half_rabi = 0.5 * drive_.amplitude.at(t), phase = drive_.phase.at(t);
    return {cplx(half_rabi * std::cos(phase), half_rabi * std::sin(phase)), drive_.detuning.at(t),
            drive_.local_detuning.at(t)};
}

void SchrodingerSystem::derivative(double t, const double *y_real, double *dy_real) {
    const cplx *y = reinterpret_cast<const cplx *>(y_real);
    cplx *dy = reinterpret_cast<cplx *>(dy_real);
    const Coefficients now = coefficients(t);
    if (!interaction_picture_) {
        apply_lab(y, dy, now);
        return;
    }
    const cplx cu = now.coupling;
    // d/dt (e^{i Phi} psi) = -i e^{i Phi} X e^{-i Phi} (e^{i Phi} psi), X the drive part of H.
    const double detuning_area = drive_.detuning.integral(t), local_area = drive_.local_detuning.integral(t);
    const std::size_t dim = space_.dim();
    cplx *rotated = rotated_.data(), *frame = frame_.data();
    for_range(dim, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            double phi = frame_phase(i, t, detuning_area, local_area);
            frame[i] = cplx(std::cos(phi), std::sin(phi));
            rotated[i] = times(std::conj(frame[i]), y[i]);
        }
    });
    apply(rotated, dy, cu, 0.0, 0.0, false);
    for_range(dim, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) dy[i] = times(frame[i], dy[i]);
    });
}

void SchrodingerSystem::to_lab_frame(double t, cplx *psi) const {
    if (!interaction_picture_) return;
    const double detuning_area = drive_.detuning.integral(t), local_area = drive_.local_detuning.integral(t);
    for_range(space_.dim(), [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            double phi = frame_phase(i, t, detuning_area, local_area);
            psi[i] = times(cplx(std::cos(phi), -std::sin(phi)), psi[i]);
        }
    });
}

}  // namespace analog
