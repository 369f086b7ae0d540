// The MPS engine against the exact engine on small registers, and its own invariants
// (including bit-identical effective-Hamiltonian products on one and two threads at bond 64,
// sizes the Python tests do not reach). A developer's check, about a minute; not part of
// `make test`. Build and run from the repository root, after `make install` (one line):
//
//   set -- $(.venv/bin/python -c "import scipy_openblas32 as s; print(s.get_include_dir(), s.get_lib_dir())")
//   mkdir -p build/native && g++ -std=c++17 -O3 -Isrc/native -I"$1" tests/native/mps_engine_check.cpp
//       src/native/analog/mps/*.cpp src/native/analog/*.cpp src/native/runtime/*.cpp
//       -L"$2" -lscipy_openblas -Wl,-rpath,"$2" -lpthread -o build/native/mps_engine_check
//   build/native/mps_engine_check
#include <chrono>
#include <cmath>
#include <cstdio>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>

#include "analog/evolve.hpp"
#include "analog/mps/evolve.hpp"
#include "analog/mps/environment.hpp"
#include "analog/mps/krylov.hpp"
#include "analog/mps/site_order.hpp"
#include "runtime/parallel.hpp"
#include "runtime/team.hpp"

namespace {

using analog::Drive;
using analog::Position;
using analog::Waveform;
using analog::mps::cplx;

int failures = 0;

void expect(bool ok, const std::string &what) {
    if (!ok) {
        ++failures;
        std::printf("FAIL: %s\n", what.c_str());
    }
}

constexpr double kTwoPi = 6.283185307179586;
constexpr double kMHz = kTwoPi * 1e6;          // rad/s
constexpr double kUm = 1e-6;                   // m
constexpr double kC6 = kTwoPi * 862690e6 * 1e-36;  // rad m^6/s

struct Register {
    std::string name;
    std::vector<Position> atoms;
    double blockade_radius = 0.0;
    std::vector<double> weights;
    Drive drive;
    double duration;
};

// A smooth pulse: amplitude up and down, detuning swept, a constant phase, a local detuning.
Drive pulse(double duration, double omega, double delta0, double delta1, double phase, double local) {
    Drive d;
    d.amplitude = Waveform("amplitude", {0, 0.2 * duration, 0.8 * duration, duration}, {0, omega, omega, 0.3 * omega});
    d.detuning = Waveform("detuning", {0, duration}, {delta0, delta1});
    d.phase = Waveform("phase", {0, duration}, {phase, phase});
    d.local_detuning = Waveform("local_detuning", {0, 0.5 * duration, duration}, {0, local, local});
    return d;
}

std::vector<double> random_weights(std::size_t n, std::mt19937_64 &rng) {
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::vector<double> w(n);
    for (double &x : w) x = u(rng);
    return w;
}

struct ExactResult {
    std::vector<cplx> full;  // amplitudes over all 2^n states
    std::vector<double> densities, correlations;
};

ExactResult exact(const Register &r) {
    analog::AtomSpace space(r.atoms, kC6, r.blockade_radius);
    const std::vector<double> weighted =
        r.weights.empty() ? std::vector<double>{} : space.weighted_excitations(r.weights);
    analog::EvolveOptions options;
    options.control.rtol = 1e-11;
    options.control.atol = 1e-14;
    const std::vector<cplx> psi = analog::evolve(space, weighted, r.drive, r.duration, options);
    const int n = int(r.atoms.size());
    ExactResult out;
    out.full.assign(std::size_t(1) << n, 0.0);
    out.densities.assign(n, 0.0);
    out.correlations.assign(std::size_t(n) * n, 0.0);
    for (std::size_t i = 0; i < space.dim(); ++i) {
        const std::uint64_t s = space.state(i);
        out.full[s] = psi[i];
        const double p = std::norm(psi[i]);
        for (int j = 0; j < n; ++j) {
            if (!(s >> (n - 1 - j) & 1)) continue;
            out.densities[j] += p;
            for (int k = 0; k < n; ++k)
                if (s >> (n - 1 - k) & 1) out.correlations[j + std::size_t(n) * k] += p;
        }
    }
    return out;
}

// 1 - |<want|got>|^2 of two normalised states in the same basis.
double infidelity_of(const std::vector<cplx> &want, const std::vector<cplx> &got) {
    cplx overlap = 0.0;
    for (std::size_t i = 0; i < got.size(); ++i) overlap += std::conj(want[i]) * got[i];
    return 1.0 - std::norm(overlap);
}

double max_difference(const std::vector<double> &a, const std::vector<double> &b) {
    double most = 0.0;
    for (std::size_t i = 0; i < a.size(); ++i) most = std::max(most, std::abs(a[i] - b[i]));
    return most;
}

analog::mps::MpsState run_mps(const Register &r, analog::mps::EvolveOptions options,
                              analog::mps::EvolveStats *stats = nullptr) {
    return analog::mps::evolve(r.atoms, kC6, r.blockade_radius, r.weights, r.drive, r.duration, options, stats);
}

std::vector<Position> chain(int n, double spacing) {
    std::vector<Position> atoms;
    for (int k = 0; k < n; ++k) atoms.push_back({k * spacing, 0.0});
    return atoms;
}

// Registers of 8 to 12 atoms: 1D, 2D with empty sites, blockade, scattered; random weights.
std::vector<Register> registers() {
    std::mt19937_64 rng(20240611);
    std::vector<Register> out;
    {
        Register r{"chain of 10, local detuning, phase 0.7", chain(10, 6.0 * kUm)};
        r.weights = random_weights(10, rng);
        r.duration = 1.5e-6;
        r.drive = pulse(r.duration, 2.5 * kMHz, -6 * kMHz, 8 * kMHz, 0.7, -3 * kMHz);
        out.push_back(r);
    }
    {
        Register r{"3 x 4 grid, 2 sites empty, phase -1.1", {}};
        for (int y = 0; y < 3; ++y)
            for (int x = 0; x < 4; ++x)
                if (!((x == 1 && y == 1) || (x == 3 && y == 2))) r.atoms.push_back({x * 7.0 * kUm, y * 7.0 * kUm});
        r.weights = random_weights(r.atoms.size(), rng);
        r.duration = 1.2e-6;
        r.drive = pulse(r.duration, 2.0 * kMHz, -4 * kMHz, 6 * kMHz, -1.1, 2 * kMHz);
        out.push_back(r);
    }
    {
        Register r{"4 x 3 grid, blockade radius 1.5 spacings", {}};
        for (int y = 0; y < 4; ++y)
            for (int x = 0; x < 3; ++x) r.atoms.push_back({x * 5.0 * kUm, y * 5.0 * kUm});
        r.blockade_radius = 7.6 * kUm;
        r.weights = random_weights(r.atoms.size(), rng);
        r.duration = 1.2e-6;
        r.drive = pulse(r.duration, 3.0 * kMHz, -5 * kMHz, 7 * kMHz, 0.4, -2 * kMHz);
        out.push_back(r);
    }
    {
        Register r{"9 scattered atoms, blockade radius 6 um", {}};
        std::uniform_real_distribution<double> u(0.0, 18.0);
        while (r.atoms.size() < 9) {
            Position p{u(rng) * kUm, u(rng) * kUm};
            bool clear = true;
            for (const Position &q : r.atoms) clear = clear && std::hypot(p.x - q.x, p.y - q.y) > 4.5 * kUm;
            if (clear) r.atoms.push_back(p);
        }
        r.blockade_radius = 6.0 * kUm;
        r.duration = 1.0e-6;
        r.drive = pulse(r.duration, 2.0 * kMHz, -3 * kMHz, 5 * kMHz, 2.0, 0.0);
        out.push_back(r);
    }
    return out;
}

void test_against_exact() {
    analog::mps::EvolveOptions options;
    options.dt = 1e-9;
    options.precision = 1e-9;
    options.max_bond_dim = 64;
    for (const Register &r : registers()) {
        const ExactResult want = exact(r);
        analog::mps::EvolveStats stats;
        const analog::mps::MpsState state = run_mps(r, options, &stats);
        const double infidelity = infidelity_of(want.full, state.to_statevector());
        const double density_error = max_difference(state.densities(), want.densities);
        const double correlation_error = max_difference(state.correlations(), want.correlations);
        std::printf("%-44s n=%2zu bond %3d  |dn| %.1e  |dnn| %.1e  1-F %.1e  discarded %.1e\n", r.name.c_str(),
                    r.atoms.size(), stats.max_bond_dim, density_error, correlation_error, infidelity,
                    stats.discarded_weight);
        expect(density_error < 1e-4, r.name + ": densities");
        expect(correlation_error < 1e-4, r.name + ": correlations");
        expect(infidelity < 1e-6, r.name + ": fidelity");
        expect(std::abs(state.norm() - 1.0) < 1e-8, r.name + ": norm");
    }
}

// Sample frequencies against the exact distribution, and no sample breaks the blockade.
void test_sampling() {
    const Register r = registers()[2];
    const ExactResult want = exact(r);
    analog::mps::EvolveOptions options;
    options.dt = 2e-9;
    options.precision = 1e-8;
    const analog::mps::MpsState state = run_mps(r, options);
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    const int shots = 20000, n = int(r.atoms.size());
    const std::vector<std::uint8_t> bits = state.sample(shots, [&] { return u(rng); });
    std::vector<double> counts(std::size_t(1) << n, 0.0);
    bool blockade_kept = true;
    for (int s = 0; s < shots; ++s) {
        std::uint64_t index = 0;
        for (int k = 0; k < n; ++k) index = index << 1 | bits[std::size_t(s) * n + k];
        counts[index] += 1.0;
        for (int j = 0; j < n; ++j)
            for (int k = j + 1; k < n; ++k)
                if (bits[std::size_t(s) * n + j] && bits[std::size_t(s) * n + k] &&
                    std::hypot(r.atoms[j].x - r.atoms[k].x, r.atoms[j].y - r.atoms[k].y) < r.blockade_radius)
                    blockade_kept = false;
    }
    expect(blockade_kept, "samples respect the blockade radius");
    // Each state's count within 5 standard deviations of its expectation (plus one count).
    double worst = 0.0;
    for (std::size_t i = 0; i < counts.size(); ++i) {
        const double p = std::norm(want.full[i]), mean = shots * p, sd = std::sqrt(shots * p * (1 - p));
        worst = std::max(worst, (std::abs(counts[i] - mean) - 1.0) / std::max(sd, 1e-3));
    }
    std::printf("sampling: %d shots, worst deviation %.2f standard deviations\n", shots, worst);
    expect(worst < 5.0, "sample frequencies follow |psi|^2");
}

// A chain symmetric under reflection keeps symmetric densities and correlations.
void test_mirror_symmetry() {
    Register r{"mirror", chain(12, 5.5 * kUm)};
    r.duration = 1.0e-6;
    r.drive = pulse(r.duration, 4.0 * kMHz, -5 * kMHz, 10 * kMHz, 0.3, 0.0);
    analog::mps::EvolveOptions options;
    options.precision = 1e-10;
    const analog::mps::MpsState state = run_mps(r, options);
    const std::vector<double> d = state.densities(), c = state.correlations();
    const int n = 12;
    double worst = 0.0;
    for (int j = 0; j < n; ++j) {
        worst = std::max(worst, std::abs(d[j] - d[n - 1 - j]));
        for (int k = 0; k < n; ++k)
            worst = std::max(worst, std::abs(c[j + n * k] - c[(n - 1 - j) + n * (n - 1 - k)]));
    }
    std::printf("mirror symmetry of a 12-atom chain: largest asymmetry %.1e (densities %.3f .. %.3f)\n", worst,
                *std::min_element(d.begin(), d.end()), *std::max_element(d.begin(), d.end()));
    expect(worst < 1e-7, "mirror-symmetric chain stays symmetric");
}

// Truncation: more bond dimension, closer to the exact state, also once the bonds saturate and
// the evolution crosses them by one-site updates; and a canonical move keeps the state.
void test_truncation_and_canonical_form() {
    Register r{"truncation", chain(14, 5.5 * kUm)};
    r.duration = 1.5e-6;
    r.drive = pulse(r.duration, 4.0 * kMHz, -8 * kMHz, 10 * kMHz, 0.0, 0.0);
    const ExactResult want = exact(r);
    analog::mps::EvolveOptions options;
    options.dt = 2e-9;
    options.precision = 1e-12;
    double previous = HUGE_VAL;
    for (int bond : {2, 4, 8, 16}) {
        options.max_bond_dim = bond;
        analog::mps::EvolveStats stats;
        const analog::mps::MpsState state = run_mps(r, options, &stats);
        const double infidelity = infidelity_of(want.full, state.to_statevector());
        std::printf("14-atom chain, max_bond_dim %2d: reached %2d, 1-F %.3e, |dn| %.1e, discarded weight %.3e\n", bond,
                    stats.max_bond_dim, infidelity, max_difference(state.densities(), want.densities),
                    stats.discarded_weight);
        expect(stats.max_bond_dim <= bond, "bond dimension within max_bond_dim");
        expect(infidelity < previous, "infidelity falls as max_bond_dim grows");
        expect(std::abs(state.norm() - 1.0) < 1e-8, "norm kept at max_bond_dim " + std::to_string(bond));
        previous = infidelity;
    }

    Register small{"canonical", chain(9, 6.0 * kUm)};
    small.duration = 0.5e-6;
    small.drive = pulse(small.duration, 4.0 * kMHz, -4 * kMHz, 4 * kMHz, 1.0, 0.0);
    analog::mps::MpsState state = run_mps(small, {});
    const std::vector<cplx> before = state.to_statevector();
    state.canonicalize(4);
    const std::vector<cplx> after = state.to_statevector();
    double worst = 0.0;
    for (std::size_t i = 0; i < before.size(); ++i) worst = std::max(worst, std::abs(before[i] - after[i]));
    expect(worst < 1e-12 && state.center() == 4, "moving the centre leaves the state unchanged");
}

// Rows alternate in direction and run along the array's shorter side.
void test_snake_order() {
    std::vector<Position> wide;
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 3; ++x) wide.push_back({x * 1.0, y * 1.0});
    // 3 wide, 2 tall: columns of 2 are the shorter rows.
    expect(analog::mps::snake_order(wide) == std::vector<int>{0, 3, 4, 1, 2, 5}, "snake through a wide array");
    std::vector<Position> tall;  // 2 wide, 4 tall: rows of 2 along x
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 2; ++x) tall.push_back({x * 1.0, y * 1.0});
    expect(analog::mps::snake_order(tall) == std::vector<int>{0, 1, 3, 2, 4, 5, 7, 6}, "snake through a tall array");
    std::vector<Position> line;  // a chain along y keeps its order
    for (int k = 0; k < 5; ++k) line.push_back({0.0, (4 - k) * 1.0});
    expect(analog::mps::snake_order(line) == std::vector<int>{4, 3, 2, 1, 0}, "a chain along y");
}

// One thread or two: the same effective-Hamiltonian products (two sites, one, a bond) to the
// last bit, at bonds (64) where the work is split over threads.
void test_thread_count_identity() {
    analog::mps::RydbergMpo mpo(chain(30, 5.5 * kUm), kC6, 0.0, {});
    mpo.set_drive(4 * kMHz, 0.3, 5 * kMHz, 0.0);
    const analog::mps::MpoSite &w1 = mpo.site(14), &w2 = mpo.site(15);
    const int d = 64;
    std::mt19937_64 rng(3);
    std::normal_distribution<double> g;
    auto random = [&](std::size_t size) {
        std::vector<cplx> v(size);
        for (cplx &x : v) x = {g(rng), g(rng)};
        return v;
    };
    const std::vector<cplx> left = random(std::size_t(d) * w1.left * d), right = random(std::size_t(d) * w2.right * d),
                            middle = random(std::size_t(d) * w1.right * d), theta = random(std::size_t(4) * d * d);
    std::vector<std::vector<cplx>> results;
    for (unsigned threads : {1u, 2u}) {
        runtime::set_max_threads(threads);
        analog::mps::EffectiveHamiltonian heff;
        std::vector<cplx> two(theta.size()), one(theta.size() / 2);
        heff.prepare_two_site(left, w1, w2, right, d, d);
        heff.apply(theta.data(), two.data());
        heff.prepare_one_site(left, w1, middle, d, d);
        heff.apply(theta.data(), one.data());
        two.insert(two.end(), one.begin(), one.end());
        heff.prepare_zero_site(middle, middle, d, d, w1.right);
        heff.apply(theta.data(), one.data());
        two.insert(two.end(), one.begin(), one.begin() + std::size_t(d) * d);
        results.push_back(two);
    }
    runtime::set_max_threads(0);
    expect(results[0] == results[1], "1 and 2 threads give bit-identical effective-Hamiltonian products");
}

// The Lanczos exponential against exp(-i tau H) v from H's eigenbasis (H = Q diag(lambda) Q^H,
// tau times the spread of lambda 30 radians): forward and backward, the error stays within the
// tolerance, and one Krylov vector fewer would miss it, so the error bound neither lets the
// error through nor spends products below it.
void test_krylov_exponential() {
    using analog::mps::Op;
    const int n = 300;
    std::mt19937_64 rng(17);
    std::normal_distribution<double> g;
    std::uniform_real_distribution<double> u(-15.0, 15.0);
    std::vector<cplx> q(std::size_t(n) * n), r;
    for (cplx &x : q) x = {g(rng), g(rng)};
    analog::mps::qr(n, n, q, r);
    std::vector<double> lambda(n);
    for (double &x : lambda) x = u(rng);
    std::vector<cplx> v(n), scaled(n), exact(n), work(n);
    for (cplx &x : v) x = {g(rng), g(rng)};
    const auto h = [&](const cplx *in, cplx *out) {
        analog::mps::gemv(Op::adjoint, n, n, 1.0, q.data(), n, in, 0.0, work.data());
        for (int k = 0; k < n; ++k) work[k] *= lambda[k];
        analog::mps::gemv(Op::none, n, n, 1.0, q.data(), n, work.data(), 0.0, out);
    };
    const double size = std::sqrt(analog::mps::dotc(n, v.data(), v.data()).real());
    auto error = [&](double tau, double tolerance, int most, int *used) {
        analog::mps::gemv(Op::adjoint, n, n, 1.0, q.data(), n, v.data(), 0.0, scaled.data());
        for (int k = 0; k < n; ++k) scaled[k] *= std::exp(cplx(0.0, -tau * lambda[k]));
        analog::mps::gemv(Op::none, n, n, 1.0, q.data(), n, scaled.data(), 0.0, exact.data());
        std::vector<cplx> w = v;
        analog::mps::KrylovExponential krylov;
        *used = krylov.apply(h, tau, w, {tolerance, most});
        double sum = 0.0;
        for (int k = 0; k < n; ++k) sum += std::norm(w[k] - exact[k]);
        return std::sqrt(sum) / size;
    };
    for (double tau : {1.0, -1.0})
        for (double tolerance : {1e-6, 1e-9, 1e-12}) {
            int used = 0, fewer = 0;
            const double err = error(tau, tolerance, 80, &used);
            const double short_err = error(tau, tolerance, used - 1, &fewer);
            std::printf("Lanczos exponential, tau %+.0f, tolerance %.0e: %d vectors, error %.2e (%d vectors: %.2e)\n",
                        tau, tolerance, used, err, fewer, short_err);
            expect(err <= tolerance, "Lanczos error within the tolerance");
            expect(short_err > tolerance, "Lanczos stops at the first dimension within the tolerance");
        }
}

// The team runs every index of every loop exactly once: loops back to back, loops after its
// helpers have gone to sleep, loops of one index, on one thread and on two.
void test_team() {
    for (unsigned threads : {1u, 2u}) {
        runtime::set_max_threads(threads);
        runtime::Team team;
        bool exact = true;
        for (int loop = 0; loop < 300; ++loop) {
            const std::size_t count = loop % 7;
            std::vector<int> hits(count, 0);
            team.run(count, [&](std::size_t i) { hits[i] += 1 + loop; });
            for (int h : hits) exact = exact && h == 1 + loop;
            if (loop % 50 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        expect(exact, "team loops on " + std::to_string(threads) + " threads run every index once");
    }
    runtime::set_max_threads(0);
}

void test_rejected_options() {
    const Register r = registers()[0];
    auto refused = [&](analog::mps::EvolveOptions o, const std::string &needle) {
        try {
            run_mps(r, o);
        } catch (const std::invalid_argument &e) {
            return std::string(e.what()).find(needle) != std::string::npos;
        }
        return false;
    };
    analog::mps::EvolveOptions o;
    o.dt = 0.0;
    expect(refused(o, "seconds"), "dt = 0 refused, naming seconds");
    o = {};
    o.dt = NAN;
    expect(refused(o, "dt"), "dt = nan refused");
    o = {};
    o.max_bond_dim = 0;
    expect(refused(o, "max_bond_dim"), "max_bond_dim = 0 refused");
    o = {};
    o.precision = -1e-6;
    expect(refused(o, "precision"), "negative precision refused");
    o = {};
    o.precision = INFINITY;
    expect(refused(o, "precision"), "infinite precision refused");
}

}  // namespace

int main() {
    test_snake_order();
    test_team();
    test_thread_count_identity();
    test_krylov_exponential();
    test_rejected_options();
    test_against_exact();
    test_sampling();
    test_mirror_symmetry();
    test_truncation_and_canonical_form();
    std::printf(failures ? "%d FAILED\n" : "all passed\n", failures);
    return failures ? 1 : 0;
}
