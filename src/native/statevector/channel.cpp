#include "channel.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace statevector {

namespace {

// Cumulative sum of `weights` divided by its last entry, as a weighted choice builds it; false
// when the weights are negative, not finite or sum to zero.
bool cumulative(const std::vector<double> &weights, Distribution &cdf) {
    cdf.resize(weights.size());
    double running = 0.0;
    for (std::size_t j = 0; j < weights.size(); ++j) {
        if (!(weights[j] >= 0.0) || !std::isfinite(weights[j])) return false;
        cdf[j] = running += weights[j];
    }
    if (!(running > 0.0) || !std::isfinite(running)) return false;
    for (double &value : cdf) value /= running;
    return true;
}

}  // namespace

NoiseChannel NoiseChannel::mixture(int n_qubits, std::vector<int> targets, const std::vector<double> &probabilities,
                                   const std::vector<std::vector<cplx>> &unitaries) {
    NoiseChannel channel(n_qubits, std::move(targets));
    channel.mixture_ = true;
    if (probabilities.size() != unitaries.size() || probabilities.empty())
        throw std::invalid_argument("a mixture needs one probability per unitary");
    if (!cumulative(probabilities, channel.cdf_))
        throw std::invalid_argument("a mixture's probabilities must be finite, non-negative and not all zero");
    for (const std::vector<cplx> &u : unitaries) {
        if (u.empty())
            channel.gates_.emplace_back();
        else
            channel.gates_.emplace_back(PreparedGate(n_qubits, channel.targets_, u));
    }
    return channel;
}

NoiseChannel NoiseChannel::kraus(int n_qubits, std::vector<int> targets, const std::vector<std::vector<cplx>> &operators) {
    NoiseChannel channel(n_qubits, std::move(targets));
    if (operators.empty()) throw std::invalid_argument("a channel needs at least one Kraus operator");
    const std::size_t side = std::size_t(1) << channel.targets_.size();
    for (const std::vector<cplx> &k : operators) {
        channel.gates_.emplace_back(PreparedGate(n_qubits, channel.targets_, k));
        std::vector<cplx> gram(side * side);
        for (std::size_t a = 0; a < side; ++a)
            for (std::size_t b = 0; b < side; ++b) {
                cplx sum = 0.0;
                for (std::size_t r = 0; r < side; ++r) sum += std::conj(k[r * side + a]) * k[r * side + b];
                gram[a * side + b] = sum;
            }
        channel.grams_.push_back(std::move(gram));
    }
    return channel;
}

bool NoiseChannel::operator_distribution(const cplx *psi, Distribution &cdf) const {
    // ||K psi||^2 = sum_ab (K^dagger K)_ab rho_ba over the targets' reduced matrix rho.
    const std::vector<cplx> rho = reduced_density(psi, n_qubits_, targets_);
    const std::size_t side = std::size_t(1) << targets_.size();
    std::vector<double> weights;
    weights.reserve(grams_.size());
    for (const std::vector<cplx> &gram : grams_) {
        double sum = 0.0;
        for (std::size_t a = 0; a < side; ++a)
            for (std::size_t b = 0; b < side; ++b) sum += (gram[a * side + b] * rho[b * side + a]).real();
        weights.push_back(std::max(sum, 0.0));  // rounding can leave a zero weight slightly negative
    }
    return cumulative(weights, cdf);
}

void NoiseChannel::apply(std::size_t term, cplx *psi) const {
    if (!gates_[term]) return;
    gates_[term]->apply(psi);
    if (mixture_) return;
    const std::uint64_t size = std::uint64_t(1) << n_qubits_;
    const double scale = 1.0 / std::sqrt(norm_squared(psi, size));
    runtime::parallel_for(size, kStreamedPerThread, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) psi[i] *= scale;
    });
}

std::vector<cplx> reduced_density(const cplx *psi, int n_qubits, const std::vector<int> &targets) {
    const std::size_t k = targets.size(), side = std::size_t(1) << k;
    std::vector<int> positions;
    for (int t : targets) positions.push_back(n_qubits - 1 - t);
    std::sort(positions.begin(), positions.end());
    std::vector<std::uint64_t> offsets(side, 0);
    for (std::size_t a = 0; a < side; ++a)
        for (std::size_t j = 0; j < k; ++j)
            if (a & (std::size_t(1) << (k - 1 - j))) offsets[a] |= bit_of(n_qubits, targets[j]);
    std::vector<cplx> rho(side * side, 0.0), amplitudes(side);
    const std::uint64_t bases = (std::uint64_t(1) << n_qubits) >> k;
    for (std::uint64_t base = 0; base < bases; ++base) {
        const std::uint64_t first = deposit(base, positions);
        for (std::size_t a = 0; a < side; ++a) amplitudes[a] = psi[first | offsets[a]];
        for (std::size_t a = 0; a < side; ++a)
            for (std::size_t b = 0; b < side; ++b) rho[a * side + b] += amplitudes[a] * std::conj(amplitudes[b]);
    }
    return rho;
}

}  // namespace statevector
