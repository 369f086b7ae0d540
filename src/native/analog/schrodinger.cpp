#include "schrodinger.hpp"

#include <algorithm>
#include <cmath>

#include "vector_ops.hpp"

namespace analog {

namespace {

// Amplitudes per aligned chunk of the full space: hopping sums for one chunk stay in cache.
constexpr std::size_t kChunk = std::size_t(1) << 12;
// Chunks per thread at least: each chunk costs one pass over its amplitudes per atom.
constexpr std::size_t kChunksPerThread = 4;

// -i (d y + cu up + cd down) with the complex products written out.
inline cplx rotate_minus_i(double d, cplx y, cplx cu, cplx up, cplx down) {
    double re = d * y.real() + (cu.real() * up.real() - cu.imag() * up.imag()) +
                (cu.real() * down.real() + cu.imag() * down.imag());
    double im = d * y.imag() + (cu.real() * up.imag() + cu.imag() * up.real()) +
                (cu.real() * down.imag() - cu.imag() * down.real());
    return {im, -re};
}

inline cplx times(cplx a, cplx b) {
    return {a.real() * b.real() - a.imag() * b.imag(), a.real() * b.imag() + a.imag() * b.real()};
}

}  // namespace

SchrodingerSystem::SchrodingerSystem(const AtomSpace &space, const std::vector<double> &weighted, const Drive &drive,
                                     bool interaction_picture)
    : space_(space), weighted_(weighted), drive_(drive), interaction_picture_(interaction_picture) {
    if (interaction_picture_) {
        rotated_.resize(space.dim());
        frame_.resize(space.dim());
    }
}

double SchrodingerSystem::diagonal(std::size_t i, double detuning, double local) const {
    double d = space_.interaction()[i] - detuning * space_.excitations()[i];
    return weighted_.empty() ? d : d - local * weighted_[i];
}

double SchrodingerSystem::frame_phase(std::size_t i, double t, double detuning_area, double local_area) const {
    double phase = space_.interaction()[i] * t - detuning_area * space_.excitations()[i];
    return weighted_.empty() ? phase : phase - local_area * weighted_[i];
}

template <class Diagonal>
void SchrodingerSystem::apply(const cplx *y, cplx *out, cplx cu, const Diagonal &d) {
    const std::size_t dim = space_.dim();
    if (!space_.full()) {
        const auto &ro = space_.raise_offsets(), &rt = space_.raise_targets();
        const auto &lo = space_.lower_offsets(), &lt = space_.lower_targets();
        for_range(dim, [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) {
                cplx up = 0.0, down = 0.0;
                for (std::uint32_t e = ro[i]; e < ro[i + 1]; ++e) up += y[rt[e]];
                for (std::uint32_t e = lo[i]; e < lo[i + 1]; ++e) down += y[lt[e]];
                out[i] = rotate_minus_i(d(i), y[i], cu, up, down);
            }
        });
        return;
    }
    // Full space: the hopping sums of an aligned chunk, one atom at a time. Within the chunk,
    // states pair up across each low bit; for a high bit the whole chunk hops to one partner
    // chunk. Each output is summed over the atoms in the same order whatever the split.
    const int n = space_.atoms();
    const std::size_t chunk = std::min(dim, kChunk);
    statevector::parallel_for(dim / chunk, kChunksPerThread,
                              [&](std::size_t first, std::size_t last) {
        std::vector<cplx> up(chunk), down(chunk);
        for (std::size_t c = first; c < last; ++c) {
            const std::size_t base = c * chunk;
            std::fill(up.begin(), up.end(), cplx(0.0));
            std::fill(down.begin(), down.end(), cplx(0.0));
            for (int bit = n - 1; bit >= 0; --bit) {
                const std::size_t m = std::size_t(1) << bit;
                if (m >= chunk) {
                    if (base & m) {
                        const cplx *partner = y + (base ^ m);
                        for (std::size_t j = 0; j < chunk; ++j) down[j] += partner[j];
                    } else {
                        const cplx *partner = y + (base | m);
                        for (std::size_t j = 0; j < chunk; ++j) up[j] += partner[j];
                    }
                } else {
                    for (std::size_t pair = 0; pair < chunk; pair += 2 * m)
                        for (std::size_t j = pair; j < pair + m; ++j) {
                            up[j] += y[base + j + m];
                            down[j + m] += y[base + j];
                        }
                }
            }
            for (std::size_t j = 0; j < chunk; ++j)
                out[base + j] = rotate_minus_i(d(base + j), y[base + j], cu, up[j], down[j]);
        }
    });
}

void SchrodingerSystem::derivative(double t, const double *y_real, double *dy_real) {
    const cplx *y = reinterpret_cast<const cplx *>(y_real);
    cplx *dy = reinterpret_cast<cplx *>(dy_real);
    const double half_rabi = 0.5 * drive_.amplitude.at(t), phase = drive_.phase.at(t);
    const cplx cu(half_rabi * std::cos(phase), half_rabi * std::sin(phase));
    if (!interaction_picture_) {
        const double detuning = drive_.detuning.at(t), local = drive_.local_detuning.at(t);
        apply(y, dy, cu, [&](std::size_t i) { return diagonal(i, detuning, local); });
        return;
    }
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
    apply(rotated, dy, cu, [](std::size_t) { return 0.0; });
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
