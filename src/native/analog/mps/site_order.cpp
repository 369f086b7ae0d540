#include "site_order.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace analog::mps {

namespace {

// Rows of atoms by `across` (the row coordinate), each sorted by `along`, alternating direction.
std::vector<std::vector<int>> rows_of(const std::vector<Position> &atoms, bool rows_by_y, double tolerance) {
    const int n = int(atoms.size());
    auto across = [&](int k) { return rows_by_y ? atoms[k].y : atoms[k].x; };
    auto along = [&](int k) { return rows_by_y ? atoms[k].x : atoms[k].y; };
    std::vector<int> index(n);
    std::iota(index.begin(), index.end(), 0);
    std::stable_sort(index.begin(), index.end(), [&](int a, int b) { return across(a) < across(b); });
    std::vector<std::vector<int>> rows;
    double row_start = 0.0;
    for (int k : index) {
        if (rows.empty() || across(k) - row_start > tolerance) {
            rows.emplace_back();
            row_start = across(k);
        }
        rows.back().push_back(k);
    }
    for (std::size_t r = 0; r < rows.size(); ++r) {
        std::stable_sort(rows[r].begin(), rows[r].end(), [&](int a, int b) { return along(a) < along(b); });
        if (r % 2 == 1) std::reverse(rows[r].begin(), rows[r].end());
    }
    return rows;
}

}  // namespace

std::vector<int> snake_order(const std::vector<Position> &atoms) {
    const int n = int(atoms.size());
    double closest = HUGE_VAL;
    for (int j = 0; j < n; ++j)
        for (int k = j + 1; k < n; ++k)
            closest = std::min(closest, std::hypot(atoms[j].x - atoms[k].x, atoms[j].y - atoms[k].y));
    const double tolerance = n > 1 ? 0.5 * closest : 0.0;
    std::vector<std::vector<int>> by_y = rows_of(atoms, true, tolerance), by_x = rows_of(atoms, false, tolerance);
    // More rows means shorter ones; ties keep rows along x.
    const std::vector<std::vector<int>> &rows = by_x.size() > by_y.size() ? by_x : by_y;
    std::vector<int> chain;
    chain.reserve(n);
    for (const auto &row : rows) chain.insert(chain.end(), row.begin(), row.end());
    return chain;
}

}  // namespace analog::mps
