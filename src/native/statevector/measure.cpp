#include "measure.hpp"

#include <algorithm>
#include <cmath>

#include "runtime/parallel.hpp"

namespace statevector {

namespace {
constexpr std::uint64_t kBlock = 4096;

}  // namespace

double norm_squared(const cplx *psi, std::uint64_t size) {
    const std::uint64_t blocks = (size + kBlock - 1) / kBlock;
    std::vector<double> partial(blocks, 0.0);
    runtime::parallel_for(blocks, kStreamedPerThread / kBlock, [&](std::size_t begin, std::size_t end) {
        for (std::uint64_t b = begin; b < end; ++b) {
            double sum = 0.0;
            const std::uint64_t last = std::min(size, (b + 1) * kBlock);
            for (std::uint64_t i = b * kBlock; i < last; ++i) sum += abs2(psi[i]);
            partial[b] = sum;
        }
    });
    double total = 0.0;
    for (double s : partial) total += s;
    return total;
}

bool build_cdf(const cplx *psi, std::uint64_t size, Distribution &cdf) {
    return build_cdf(psi, size, [](std::uint64_t i) { return i; }, cdf);
}

std::uint64_t sample_index(const Distribution &cdf, double u) {
    return std::uint64_t(std::upper_bound(cdf.begin(), cdf.end(), u) - cdf.begin());
}

OutcomeSampler::OutcomeSampler(Distribution cdf, std::uint64_t expected_draws) : cdf_(std::move(cdf)) {
    // A search over the whole distribution costs a few cache misses, the table one pass over it:
    // the table is built only where enough draws share it.
    if (expected_draws < cdf_.size() / 64) return;
    std::size_t slices = 1;
    while (slices < cdf_.size() && slices < (std::size_t(1) << 16)) slices <<= 1;
    slices_ = double(slices);
    slice_start_.resize(slices + 1);
    // The distribution is nondecreasing, so each range of slices starts from one search and
    // then walks forward over about size / slices entries per slice; ranges are independent.
    const std::size_t grain = std::max<std::size_t>(1, kStreamedPerThread / (cdf_.size() / slices));
    runtime::parallel_for(slices, grain, [&](std::size_t first, std::size_t end) {
        auto at = std::upper_bound(cdf_.begin(), cdf_.end(), double(first) / slices_);
        for (std::size_t b = first; b < end; ++b) {
            const double bound = double(b) / slices_;  // exact: slices is a power of two
            while (at != cdf_.end() && !(*at > bound)) ++at;
            slice_start_[b] = std::uint64_t(at - cdf_.begin());
        }
    });
    slice_start_[slices] = cdf_.size();
}

std::uint64_t OutcomeSampler::operator()(double u) const {
    if (slice_start_.empty()) return sample_index(cdf_, u);
    // u lies in slice b = floor(u * slices): the answer is between that slice's start and the
    // next one's, inclusive, and the search there compares exactly as the full search would.
    const std::size_t b = std::size_t(u * slices_);
    const auto first = cdf_.begin() + std::ptrdiff_t(slice_start_[b]);
    const auto last = cdf_.begin() + std::ptrdiff_t(std::min<std::uint64_t>(slice_start_[b + 1] + 1, cdf_.size()));
    return std::uint64_t(std::upper_bound(first, last, u) - cdf_.begin());
}

void collapse(cplx *psi, std::uint64_t size, std::uint64_t mask, std::uint64_t value) {
    runtime::parallel_for(size, kStreamedPerThread, [&](std::size_t begin, std::size_t end) {
        for (std::uint64_t i = begin; i < end; ++i)
            if ((i & mask) != value) psi[i] = cplx(0.0, 0.0);
    });
    const double norm = std::sqrt(norm_squared(psi, size));
    if (!(norm > 1e-12)) return;
    runtime::parallel_for(size, kStreamedPerThread, [&](std::size_t begin, std::size_t end) {
        for (std::uint64_t i = begin; i < end; ++i) psi[i] = cplx(psi[i].real() / norm, psi[i].imag() / norm);
    });
}

}  // namespace statevector
