#include "measure.hpp"

#include <algorithm>
#include <cmath>

#include "parallel.hpp"

namespace statevector {

namespace {
constexpr std::uint64_t kBlock = 4096;

inline double abs2(const cplx &a) { return a.real() * a.real() + a.imag() * a.imag(); }
}  // namespace

double norm_squared(const cplx *psi, std::uint64_t size) {
    const std::uint64_t blocks = (size + kBlock - 1) / kBlock;
    std::vector<double> partial(blocks, 0.0);
    parallel_for(blocks, 8, [&](std::size_t begin, std::size_t end) {
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

bool build_cdf(const cplx *psi, std::uint64_t size, std::vector<double> &cdf) {
    const double total = norm_squared(psi, size);
    if (!(total > 0.0) || !std::isfinite(total)) return false;
    cdf.resize(size);
    double running = 0.0;
    for (std::uint64_t i = 0; i < size; ++i) {
        running += abs2(psi[i]) / total;
        cdf[i] = running;
    }
    const double last = cdf[size - 1];
    parallel_for(size, std::uint64_t(1) << 16, [&](std::size_t begin, std::size_t end) {
        for (std::uint64_t i = begin; i < end; ++i) cdf[i] /= last;
    });
    return true;
}

std::uint64_t sample_index(const std::vector<double> &cdf, double u) {
    return std::uint64_t(std::upper_bound(cdf.begin(), cdf.end(), u) - cdf.begin());
}

void collapse(cplx *psi, std::uint64_t size, std::uint64_t mask, std::uint64_t value) {
    parallel_for(size, std::uint64_t(1) << 16, [&](std::size_t begin, std::size_t end) {
        for (std::uint64_t i = begin; i < end; ++i)
            if ((i & mask) != value) psi[i] = cplx(0.0, 0.0);
    });
    const double norm = std::sqrt(norm_squared(psi, size));
    if (!(norm > 1e-12)) return;
    parallel_for(size, std::uint64_t(1) << 16, [&](std::size_t begin, std::size_t end) {
        for (std::uint64_t i = begin; i < end; ++i) psi[i] = cplx(psi[i].real() / norm, psi[i].imag() / norm);
    });
}

}  // namespace statevector
