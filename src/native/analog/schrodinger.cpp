#include "schrodinger.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "hopping_kernel.hpp"

namespace analog {

namespace {

// Amplitudes per aligned chunk of the full space: the atoms above a chunk's bits hop between a
// chunk and a partner chunk at the same offsets, read as contiguous streams.
constexpr std::size_t kChunk = std::size_t(1) << 8;
// Blocks of kSumBlock states per thread at least.
constexpr std::size_t kBlocksPerThread = 2;

inline cplx times(cplx a, cplx b) {
    return {a.real() * b.real() - a.imag() * b.imag(), a.real() * b.imag() + a.imag() * b.real()};
}

// The hopping sums of the full-space chunk of `chunk` (>= kGroup) amplitudes at `base`, group
// by group, handed to finish(index, up, down) as interleaved doubles: up = the sum of y over
// the states reached by exciting one more atom, down over those reached by de-exciting one.
// Each sum adds the atoms from the most significant bit down, whatever the chunk size.
// Returns the sum of finish's results in index order.
template <class Finish>
double full_space_hops(int n, std::size_t base, std::size_t chunk, const double *y, const Finish finish) {
    int chunk_bits = 0;
    while ((std::size_t(1) << chunk_bits) < chunk) ++chunk_bits;
    // Partner chunks of the atoms above the chunk's bits, most significant first.
    Streams partners;
    for (int bit = n - 1; bit >= chunk_bits; --bit) {
        const std::size_t m = std::size_t(1) << bit;
        partners.add(y + 2 * (base ^ m), base & m);
    }
    const double *here = y + 2 * base;
    double total = 0.0;
    for (std::size_t j = 0; j < chunk; j += kGroup) {
        double up[2 * kGroup] = {}, down[2 * kGroup] = {};
        partners.add_to(up, down, 2 * j);
        for (int bit = chunk_bits - 1; bit >= 2; --bit) {
            const std::size_t m = std::size_t(1) << bit;
            add_group((j & m) ? down : up, here + 2 * (j ^ m));
        }
        add_in_group(up, down, here + 2 * j);  // atoms 1 and 0
        for (std::size_t k = 0; k < kGroup; ++k) total += finish(base + j + k, up + 2 * k, down + 2 * k);
    }
    return total;
}

// The same sums for a space of fewer than kGroup states, one state at a time.
template <class Finish>
double small_space_hops(int n, std::size_t dim, const double *y, const Finish finish) {
    double total = 0.0;
    for (std::size_t i = 0; i < dim; ++i) {
        double up[2] = {0.0, 0.0}, down[2] = {0.0, 0.0};
        for (int bit = n - 1; bit >= 0; --bit) {
            const std::size_t partner = i ^ (std::size_t(1) << bit);
            double *sum = (i >> bit & 1) ? down : up;
            sum[0] += y[2 * partner];
            sum[1] += y[2 * partner + 1];
        }
        total += finish(i, up, down);
    }
    return total;
}

// The hopping sums of subspace states [begin, end), from the space's compressed rows.
template <class Finish>
double subspace_hops(const AtomSpace &space, std::size_t begin, std::size_t end, const double *y, const Finish finish) {
    double total = 0.0;
    const std::uint32_t *ro = space.raise_offsets().data(), *rt = space.raise_targets().data();
    const std::uint32_t *lo = space.lower_offsets().data(), *lt = space.lower_targets().data();
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
        total += finish(i, up, down);
    }
    return total;
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

double SchrodingerSystem::apply(const cplx *y_c, cplx *out_c, cplx cu, double detuning, double local,
                                bool with_diagonal, double scale, bool measure) {
    const std::size_t dim = space_.dim();
    const double *y = reinterpret_cast<const double *>(y_c);
    double *out = reinterpret_cast<double *>(out_c);
    const StateOutput finish{y,
                             space_.interaction().data(),
                             space_.excitations().data(),
                             weighted_.empty() ? nullptr : weighted_.data(),
                             noise_ && !noise_->static_detuning.empty() ? noise_->static_detuning.data() : nullptr,
                             nullptr,
                             out,
                             cu.real(),
                             cu.imag(),
                             with_diagonal ? 1.0 : 0.0,
                             with_diagonal ? detuning : 0.0,
                             with_diagonal ? local : 0.0,
                             noise_ ? noise_->half_decay : 0.0,
                             scale,
                             measure};
    // Fixed blocks of states, whatever the split over threads: each block's sum is added in
    // order, so the measured value is the same for any number of threads. Unmeasured products
    // (every Runge-Kutta stage) keep no sums.
    const std::size_t blocks = (dim + kSumBlock - 1) / kSumBlock;
    std::vector<double> partial(measure ? blocks : 0, 0.0);
    const int n = space_.atoms();
    runtime::parallel_for(blocks, kBlocksPerThread, [&](std::size_t first, std::size_t last) {
        for (std::size_t b = first; b < last; ++b) {
            const std::size_t begin = b * kSumBlock, end = std::min(dim, begin + kSumBlock);
            double sum = 0.0;
            if (!space_.full()) {
                sum = subspace_hops(space_, begin, end, y, finish);
            } else if (dim < kGroup) {
                sum = small_space_hops(n, dim, y, finish);
            } else {
                // Full space: aligned chunks, each summed over the atoms in the same order.
                const std::size_t chunk = std::min(dim, kChunk);
                for (std::size_t base = begin; base < end; base += chunk)
                    sum += full_space_hops(n, base, chunk, y, finish);
            }
            if (measure) partial[b] = sum;
        }
    });
    double total = 0.0;
    for (double p : partial) total += p;
    return scale * total;
}

Coefficients coefficients_at(const Drive &drive, double t) {
    const double half_rabi = 0.5 * drive.amplitude.at(t), phase = drive.phase.at(t);
    return {cplx(half_rabi * std::cos(phase), half_rabi * std::sin(phase)), drive.detuning.at(t),
            drive.local_detuning.at(t)};
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
    apply(rotated, dy, cu, 0.0, 0.0, false, 1.0, false);
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
