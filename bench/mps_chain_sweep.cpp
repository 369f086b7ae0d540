// Wall time of an adiabatic sweep of a 51-atom chain (5.5 um apart) into its ordered phase:
// Omega up to 2 pi x 4 MHz, Delta from -2 pi x 10 MHz to +2 pi x 10 MHz over 3 us, dt 10 ns.
// Prints the time, the statistics and the final densities; it checks nothing.
//
// Build and run from the repository root as tests/native/mps_engine_check.cpp says, with this
// file in its place; arguments: max_bond_dim (default 64), precision (default 1e-6).
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "analog/mps/evolve.hpp"

int main(int argc, char **argv) {
    using analog::Waveform;
    constexpr double kTwoPi = 6.283185307179586, kMHz = kTwoPi * 1e6, kUm = 1e-6;
    const double c6 = kTwoPi * 862690e6 * 1e-36;  // 2 pi x 862690 MHz um^6 in rad m^6/s
    const int n = 51;
    const double duration = 3.4e-6;
    std::vector<analog::Position> atoms;
    for (int k = 0; k < n; ++k) atoms.push_back({k * 5.5 * kUm, 0.0});
    analog::Drive drive;
    drive.amplitude = Waveform("amplitude", {0, 0.2e-6, 3.2e-6, duration}, {0, 4 * kMHz, 4 * kMHz, 0});
    drive.detuning = Waveform("detuning", {0, 0.2e-6, 3.2e-6, duration}, {-10 * kMHz, -10 * kMHz, 10 * kMHz, 10 * kMHz});
    analog::mps::EvolveOptions options;
    options.dt = 10e-9;
    options.max_bond_dim = argc > 1 ? std::atoi(argv[1]) : 64;
    if (argc > 2) options.precision = std::atof(argv[2]);
    analog::mps::EvolveStats stats;
    const auto start = std::chrono::steady_clock::now();
    const analog::mps::MpsState state = analog::mps::evolve(atoms, c6, 0.0, {}, drive, duration, options, &stats);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%d atoms, max_bond_dim %d, precision %g: %.2f s, %lld steps, bond %d, discarded %.3e, "
                "%lld Krylov vectors\n",
                n, options.max_bond_dim, options.precision, seconds, stats.steps, stats.max_bond_dim,
                stats.discarded_weight, stats.krylov_vectors);
    const std::vector<double> d = state.densities();
    std::printf("densities:");
    for (double x : d) std::printf(" %.3f", x);
    std::printf("\nnorm %.12f\n", state.norm());
    return 0;
}
