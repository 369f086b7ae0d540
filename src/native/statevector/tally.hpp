// Building a run's ShotTally: outcomes indexed at their first occurrence, shots recorded in order.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "shots.hpp"

namespace statevector {

// An index for each outcome seen so far, by a key of up to 64 bits (the outcome of a final
// measurement, or a register's bits): a flat table over the keys' values where they are few (up
// to 2^20, and not many more than the shots), a hash map otherwise.
class OutcomeIds {
public:
    static constexpr std::uint32_t kNone = ~std::uint32_t(0);

    // The size of a flat table over the values of `n_bits` bits for a run, 0 where outcomes go
    // into the hash map.
    static std::size_t flat_size(int n_bits, long long shots) {
        if (n_bits > 20) return 0;
        const std::size_t states = std::size_t(1) << n_bits;
        return states <= 16 * std::uint64_t(std::max(shots, 1LL)) ? states : 0;
    }

    template <class Register>
    std::uint32_t find_or_add(std::size_t flat_size, std::uint64_t key, const Register &register_outcome) {
        if (flat_size) {
            if (dense_.empty()) dense_.assign(flat_size, kNone);
            std::uint32_t &slot = dense_[key];
            if (slot == kNone) slot = register_outcome();
            return slot;
        }
        auto [it, inserted] = sparse_.try_emplace(key, 0);
        if (inserted) it->second = register_outcome();
        return it->second;
    }

private:
    std::vector<std::uint32_t> dense_;
    std::unordered_map<std::uint64_t, std::uint32_t> sparse_;
};

// The tally of one run, filled shot by shot.
class TallyBuilder {
public:
    TallyBuilder(int n_cbits, long long shots);

    // The tally index of an outcome, registering it at its first occurrence.
    std::uint32_t register_outcome(const std::vector<std::uint8_t> &cbits);
    // One shot's outcome, by its tally index.
    void record(std::uint32_t outcome) {
        ++tally_.counts[outcome];
        tally_.memory.push_back(outcome);
    }
    ShotTally take() { return std::move(tally_); }

private:
    ShotTally tally_;
    const std::size_t flat_register_ids_;
    OutcomeIds register_ids_;  // tally indices of registers of up to 64 bits
    std::unordered_map<std::string, std::uint32_t> wide_ids_;  // and of wider ones
};

}  // namespace statevector
