// Wall time of an adiabatic sweep on the MPS engine at the device's size: a 7 x 7 square array
// 5.5 um apart ("square7"), 51 atoms in four rows (13, 13, 13, 12) 5.5 um apart along a row and
// 11 um between rows ("rows4"), or a chain of N atoms 5.5 um apart ("chainN", e.g. chain51).
// Omega up to 1.5e7 rad/s, Delta from -3e7 to 4.5e7 rad/s, ramps of an eighth of the duration
// each. Prints the MPO's channel counts along the chain, the time, the statistics and the final
// densities; it checks nothing.
//
// Build and run from the repository root as tests/native/mps_engine_check.cpp says, with this
// file in its place; arguments: case (square7, rows4 or chainN, default square7), duration in us
// (default 0.8; 0.05 gives a profile of about a minute), max_bond_dim (default 64), threads
// (default 0: all), dt in s (default 1e-8), precision (default 1e-6), krylov_tolerance (default:
// the engine's).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "analog/mps/evolve.hpp"
#include "analog/mps/rydberg_mpo.hpp"
#include "analog/mps/site_order.hpp"
#include "runtime/parallel.hpp"

namespace {

constexpr double kUm = 1e-6, kC6 = 5.42e-24;  // m, rad m^6/s

std::vector<analog::Position> register_of(const std::string &name) {
    std::vector<analog::Position> atoms;
    if (name == "square7") {
        for (int y = 0; y < 7; ++y)
            for (int x = 0; x < 7; ++x) atoms.push_back({x * 5.5 * kUm, y * 5.5 * kUm});
    } else if (name == "rows4") {
        for (int row = 0; row < 4; ++row)
            for (int x = 0; x < (row < 3 ? 13 : 12); ++x) atoms.push_back({x * 5.5 * kUm, row * 11.0 * kUm});
    } else if (name.rfind("chain", 0) == 0 && std::atoi(name.c_str() + 5) > 0) {
        for (int x = 0; x < std::atoi(name.c_str() + 5); ++x) atoms.push_back({x * 5.5 * kUm, 0.0});
    } else {
        std::fprintf(stderr, "unknown case '%s': square7, rows4 or chainN\n", name.c_str());
        std::exit(2);
    }
    return atoms;
}

// Channels of each bond along the snake, as the engine builds them.
void print_channels(const std::vector<analog::Position> &atoms) {
    const std::vector<int> chain = analog::mps::snake_order(atoms);
    std::vector<analog::Position> ordered;
    for (int k : chain) ordered.push_back(atoms[k]);
    const analog::mps::RydbergMpo mpo(ordered, kC6, 0.0, {});
    std::printf("MPO channels per bond:");
    for (int i = 0; i + 1 < mpo.sites(); ++i) std::printf(" %d", mpo.site(i).right);
    std::printf("\n");
}

}  // namespace

int main(int argc, char **argv) {
    using analog::Waveform;
    const std::string name = argc > 1 ? argv[1] : "square7";
    const double duration = (argc > 2 ? std::atof(argv[2]) : 0.8) * 1e-6, ramp = duration / 8;
    analog::mps::EvolveOptions options;
    options.max_bond_dim = argc > 3 ? std::atoi(argv[3]) : 64;
    runtime::set_max_threads(argc > 4 ? unsigned(std::atoi(argv[4])) : 0u);
    options.dt = argc > 5 ? std::atof(argv[5]) : 1e-8;
    if (argc > 6) options.precision = std::atof(argv[6]);
    if (argc > 7) options.krylov_tolerance = std::atof(argv[7]);

    const std::vector<analog::Position> atoms = register_of(name);
    print_channels(atoms);
    const std::vector<double> knots = {0, ramp, duration - ramp, duration};
    analog::Drive drive;
    drive.amplitude = Waveform("amplitude", knots, {0, 1.5e7, 1.5e7, 0});
    drive.detuning = Waveform("detuning", knots, {-3e7, -3e7, 4.5e7, 4.5e7});
    drive.phase = Waveform("phase", {0, duration}, {0, 0});
    drive.local_detuning = Waveform("local_detuning", {0, duration}, {0, 0});

    analog::mps::EvolveStats stats;
    const auto start = std::chrono::steady_clock::now();
    const analog::mps::MpsState state = analog::mps::evolve(atoms, kC6, 0.0, {}, drive, duration, options, &stats);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%s, %zu atoms, %.3g us, max_bond_dim %d, dt %g, precision %g, krylov_tolerance %g, %u threads: "
                "%.2f s, %lld steps, bond %d, discarded %.3e, %lld Krylov vectors, %lld capped crossings\n",
                name.c_str(), atoms.size(), duration * 1e6, options.max_bond_dim, options.dt, options.precision,
                options.krylov_tolerance, runtime::max_threads(), seconds, stats.steps, stats.max_bond_dim,
                stats.discarded_weight, stats.krylov_vectors, stats.capped_crossings);
    const std::vector<double> d = state.densities();
    std::printf("densities:");
    for (double x : d) std::printf(" %.12f", x);
    std::printf("\nnorm %.15f\n", state.norm());
    return 0;
}
