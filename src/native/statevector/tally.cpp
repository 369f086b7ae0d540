#include "tally.hpp"

namespace statevector {

namespace {

// Shots whose per-shot record is reserved up front; longer runs grow it as they go.
constexpr long long kReservedShots = 1 << 20;
// Distinct outcomes whose lookup table is sized up front.
constexpr long long kReservedOutcomes = 1 << 12;

}  // namespace

TallyBuilder::TallyBuilder(int n_cbits, long long shots) : flat_register_ids_(OutcomeIds::flat_size(n_cbits, shots)) {
    tally_.n_cbits = n_cbits;
    tally_.memory.reserve(std::size_t(std::clamp<long long>(shots, 0, kReservedShots)));
    if (n_cbits > 64) wide_ids_.reserve(std::size_t(std::clamp<long long>(shots, 1, kReservedOutcomes)));
}

std::uint32_t TallyBuilder::register_outcome(const std::vector<std::uint8_t> &cbits) {
    auto add = [&] {
        tally_.outcome_bits.insert(tally_.outcome_bits.end(), cbits.begin(), cbits.end());
        tally_.counts.push_back(0);
        return std::uint32_t(tally_.counts.size() - 1);
    };
    if (cbits.size() <= 64) {
        std::uint64_t key = 0;
        for (std::uint8_t bit : cbits) key = (key << 1) | bit;
        return register_ids_.find_or_add(flat_register_ids_, key, add);
    }
    // Keyed by the bits packed eight to a byte.
    std::string key((cbits.size() + 7) / 8, '\0');
    for (std::size_t b = 0; b < cbits.size(); ++b)
        if (cbits[b]) key[b / 8] = char(key[b / 8] | (1 << (b % 8)));
    auto [it, inserted] = wide_ids_.try_emplace(std::move(key), 0);
    if (inserted) it->second = add();
    return it->second;
}

}  // namespace statevector
