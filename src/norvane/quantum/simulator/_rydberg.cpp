// norvane.quantum.simulator._rydberg: the native side of the analog emulator. The kit layer
// (simulator.codegen.hamiltonian, simulator.ir.state_vector and simulator.ir.mps) calls these
// entries: the check of a register, its exact state space, the exact evolution of a program
// on it, and the matrix-product-state evolution. Each checks its numbers (finite, and an
// evolution that can finish) before any work, and warns of sizes that suggest a unit mistake.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <cmath>
#include <cstdint>
#include <optional>
#include <sstream>
#include <utility>

#include "analog/evolve.hpp"
#include "analog/lindblad.hpp"
#include "analog/mps/evolve.hpp"
#include "analog/trajectory.hpp"
#include "analog/units.hpp"
#include "runtime/parallel.hpp"
#include "runtime/poll.hpp"
#include "support/module.hpp"
#include "support/pyops.hpp"

namespace nb = nanobind;

namespace {

using Samples = std::pair<std::vector<double>, std::vector<double>>;  // knot times, values
using Positions = std::vector<std::pair<double, double>>;             // metres

// A NumPy array of `shape` that owns `values`.
template <class T>
nb::ndarray<nb::numpy, T> owned_array(std::vector<T> &&values, std::initializer_list<std::size_t> shape) {
    auto *held = new std::vector<T>(std::move(values));
    nb::capsule owner(held, [](void *p) noexcept { delete static_cast<std::vector<T> *>(p); });
    return nb::ndarray<nb::numpy, T>(held->data(), shape, owner);
}

template <class T>
nb::ndarray<nb::numpy, T> owned_array(std::vector<T> &&values) {
    const std::size_t size = values.size();
    return owned_array(std::move(values), {size});
}

// f(), run with the GIL released.
template <class F>
auto without_gil(const F &f) {
    nb::gil_scoped_release unlocked;
    return f();
}

analog::Waveform waveform(const char *name, const Samples &samples) {
    return analog::Waveform(name, samples.first, samples.second);
}

analog::Drive drive_of(const Samples &amplitude, const Samples &phase, const Samples &detuning,
                       const std::optional<Samples> &local_detuning) {
    analog::Drive drive{waveform("amplitude", amplitude), waveform("phase", phase), waveform("detuning", detuning),
                        analog::Waveform()};
    if (local_detuning) drive.local_detuning = waveform("local detuning", *local_detuning);
    return drive;
}

std::vector<analog::Position> atoms_of(const Positions &positions) {
    std::vector<analog::Position> atoms;
    atoms.reserve(positions.size());
    for (const auto &p : positions) atoms.push_back({p.first, p.second});
    return atoms;
}

// A UserWarning with `text`, unless it is empty.
void warn(const std::string &text) {
    if (!text.empty() && PyErr_WarnEx(PyExc_UserWarning, text.c_str(), 1) != 0) throw nb::python_error();
}

// The options of an exact evolution by `solver_name` with the Runge-Kutta tolerances; warns
// of an implausible duration first.
analog::EvolveOptions exact_options(const std::string &solver_name, double atol, double rtol, long long nsteps,
                                    double duration) {
    analog::EvolveOptions options;
    options.method = analog::method_named(solver_name);
    options.control = {atol, rtol, nsteps};
    warn(analog::duration_hint(duration));
    return options;
}

// The caller's progress function: called with the simulated time reached (seconds).
using Progress = std::optional<nb::callable>;

// Runs `work(poll)` without the GIL, with a poller that answers Ctrl-C and, given `progress`,
// calls it (with the GIL) with the time the evolution has reached, at most every 0.1 s.
// What either raises ends the work and propagates.
template <class Work>
void polled_without_gil(const Progress &progress, const Work &work) {
    runtime::Poller poll(norvane::check_signals_without_gil);
    if (progress) {
        nb::handle report = *progress;  // kept alive by the caller's argument
        poll.report_to([report](double t) {
            nb::gil_scoped_acquire gil;
            report(t);
        });
    }
    nb::gil_scoped_release unlocked;
    work(poll);
}

// Each basis state's local-detuning weight sum (empty without weights).
std::vector<double> weighted_of(const analog::AtomSpace &space, const std::optional<std::vector<double>> &weights) {
    return weights ? space.weighted_excitations(*weights) : std::vector<double>();
}

nb::dict counts_of(const analog::IntegrationStats &stats) {
    nb::dict counts;
    counts["steps"] = stats.steps;
    counts["accepted"] = stats.accepted;
    counts["rejected"] = stats.rejected;
    counts["evaluations"] = stats.evaluations;
    if (stats.amplitudes > 0) counts["amplitudes"] = stats.amplitudes;
    return counts;
}

nb::tuple evolve(const analog::AtomSpace &space, std::optional<std::vector<double>> weights, const Samples &amplitude,
                 const Samples &phase, const Samples &detuning, std::optional<Samples> local_detuning, double duration,
                 const std::string &solver_name, double atol, double rtol, long long nsteps,
                 bool interaction_picture, double dt, const Progress &progress) {
    const analog::Drive drive = drive_of(amplitude, phase, detuning, local_detuning);
    analog::EvolveOptions options = exact_options(solver_name, atol, rtol, nsteps, duration);
    options.interaction_picture = interaction_picture;
    options.krylov.dt = dt;
    std::vector<analog::cplx> state;
    analog::IntegrationStats stats;
    polled_without_gil(progress, [&](runtime::Poller &poll) {
        state = analog::evolve(space, weighted_of(space, weights), drive, duration, options, &stats, &poll);
    });
    return nb::make_tuple(owned_array(std::move(state)), counts_of(stats));
}

nb::tuple evolve_trajectory(const analog::AtomSpace &space, std::optional<std::vector<double>> weights,
                            const Samples &amplitude, const Samples &phase, const Samples &detuning,
                            std::optional<Samples> local_detuning, double duration, const std::string &solver_name,
                            double atol, double rtol, long long nsteps, std::optional<std::vector<double>> doppler,
                            double dephasing_rate, double relaxation_rate, std::uint64_t seed,
                            const Progress &progress) {
    const analog::Drive drive = drive_of(amplitude, phase, detuning, local_detuning);
    const analog::EvolveOptions options = exact_options(solver_name, atol, rtol, nsteps, duration);
    std::vector<analog::cplx> state;
    analog::TrajectoryStats stats;
    polled_without_gil(progress, [&](runtime::Poller &poll) {
        state = analog::evolve_trajectory(space, weighted_of(space, weights), weighted_of(space, doppler), drive,
                                          duration, options,
                                          {dephasing_rate, relaxation_rate}, seed, &stats, &poll);
    });
    nb::dict counts = counts_of(stats.integration);
    counts["jumps"] = stats.jumps;
    return nb::make_tuple(owned_array(std::move(state)), counts);
}

nb::tuple evolve_density_matrix(const analog::AtomSpace &space, std::optional<std::vector<double>> weights,
                                const Samples &amplitude, const Samples &phase, const Samples &detuning,
                                std::optional<Samples> local_detuning, double duration, const std::string &solver_name,
                                double atol, double rtol, long long nsteps, double dephasing_rate,
                                double relaxation_rate, const Progress &progress) {
    const analog::Drive drive = drive_of(amplitude, phase, detuning, local_detuning);
    const analog::EvolveOptions options = exact_options(solver_name, atol, rtol, nsteps, duration);
    std::vector<analog::cplx> rho;
    analog::IntegrationStats stats;
    polled_without_gil(progress, [&](runtime::Poller &poll) {
        rho = analog::evolve_density_matrix(space, weighted_of(space, weights), drive, duration, options,
                                            {dephasing_rate, relaxation_rate}, &stats, &poll);
    });
    // Column-major storage read row by row is rho^T = conj(rho) (rho is Hermitian).
    for (analog::cplx &x : rho) x = std::conj(x);
    const std::size_t dim = space.dim();
    return nb::make_tuple(owned_array(std::move(rho), {dim, dim}), counts_of(stats));
}

nb::tuple evolve_mps(const Positions &positions, double c6, double blockade_radius,
                     std::optional<std::vector<double>> weights, const Samples &amplitude, const Samples &phase,
                     const Samples &detuning, std::optional<Samples> local_detuning, double duration, double dt,
                     int max_bond_dim, double precision, const Progress &progress) {
    const analog::Drive drive = drive_of(amplitude, phase, detuning, local_detuning);
    analog::mps::EvolveOptions options;
    options.dt = dt;
    options.max_bond_dim = max_bond_dim;
    options.precision = precision;
    warn(analog::duration_hint(duration));
    std::optional<analog::mps::MpsState> state;
    analog::mps::EvolveStats stats;
    polled_without_gil(progress, [&](runtime::Poller &poll) {
        state.emplace(analog::mps::evolve(atoms_of(positions), c6, blockade_radius,
                                          weights ? *weights : std::vector<double>(), drive, duration, options,
                                          &stats, &poll));
    });
    nb::dict counts;
    counts["steps"] = stats.steps;
    counts["max_bond_dim"] = stats.max_bond_dim;
    counts["krylov_vectors"] = stats.krylov_vectors;
    counts["capped_crossings"] = stats.capped_crossings;
    return nb::make_tuple(std::move(*state), counts, stats.discarded_weight);
}

void bind_mps_state(nb::module_ &m) {
    using analog::mps::MpsState;
    nb::class_<MpsState>(m, "MpsState", "A register's state as a matrix-product state (the engine's own object).")
        .def_prop_ro("n_atoms", &MpsState::atoms)
        .def_prop_ro(
            "bond_dims",
            [](const MpsState &s) {
                std::vector<int> dims;
                for (int i = 0; i + 1 < s.atoms(); ++i) dims.push_back(s.site(i).right);
                return dims;
            },
            "The bond dimensions along the chain, between consecutive chain sites.")
        .def_prop_ro("chain", &MpsState::chain, "The atom (caller's order) at each chain position.")
        .def(
            "densities",
            [](const MpsState &s) { return owned_array(without_gil([&] { return s.densities(); })); },
            nb::rv_policy::move, "<n_k> per atom.")
        .def(
            "correlations",
            [](const MpsState &s) {
                const std::size_t n = std::size_t(s.atoms());
                return owned_array(without_gil([&] { return s.correlations(); }), {n, n});
            },
            nb::rv_policy::move, "<n_j n_k> as an (n, n) array.")
        .def(
            "sample",
            [](const MpsState &s, nb::ndarray<const double, nb::ndim<1>, nb::c_contig> draws) {
                const std::size_t n = std::size_t(s.atoms());
                if (n == 0 || draws.shape(0) % n != 0)
                    throw nb::value_error("sample needs one draw per atom and shot");
                const int shots = int(draws.shape(0) / n);
                const double *values = draws.data();
                std::size_t next = 0;
                const std::vector<std::uint8_t> bits =
                    without_gil([&] { return s.sample(shots, [&] { return values[next++]; }); });
                return owned_array(std::vector<std::int64_t>(bits.begin(), bits.end()), {std::size_t(shots), n});
            },
            nb::arg("draws"), nb::rv_policy::move,
            "Shots drawn exactly from the state, given uniform draws in [0, 1): one per atom per shot "
            "(chain order, shot after shot). An (shots, n) array of 0/1, 1 for a Rydberg atom.")
        .def(
            "to_statevector",
            [](const MpsState &s) {
                if (s.atoms() > 26) throw nb::value_error("to_statevector needs at most 26 atoms");
                return owned_array(s.to_statevector());
            },
            nb::rv_policy::move, "The amplitudes in the exact engine's basis (first atom most significant).");
}

}  // namespace

NB_MODULE(_rydberg, m) {
    norvane::ModuleInitClaim claim("norvane.quantum.simulator._rydberg");
    // Compiled spaces held by module globals are still alive when the interpreter shuts down.
    nb::set_leak_warnings(false);
    nb::register_exception_translator([](const std::exception_ptr &error, void *) {
        try {
            std::rethrow_exception(error);
        } catch (const analog::SpaceTooLarge &e) {
            PyErr_SetString(PyExc_MemoryError, e.what());
        }
    });

    nb::class_<analog::AtomSpace>(m, "AtomSpace",
                                  "Basis, interaction diagonal and hopping tables of a register's atoms.")
        .def(
            "__init__",
            [](analog::AtomSpace *self, const Positions &positions, double c6, double blockade_radius) {
                std::vector<analog::Position> atoms = atoms_of(positions);
                std::optional<analog::AtomSpace> space;
                {
                    nb::gil_scoped_release unlocked;
                    space.emplace(std::move(atoms), c6, blockade_radius);
                }
                warn(analog::spacing_hint(space->closest_distance(), space->c6()));  // may raise: nothing is built in self yet
                new (self) analog::AtomSpace(std::move(*space));
            },
            nb::arg("positions"), nb::arg("c6"), nb::arg("blockade_radius"),
            "Positions of the atoms in metres (first atom: most significant bit), c6 in rad m^6/s; a positive "
            "radius keeps only states with no two Rydberg atoms closer than it. ValueError for positions that "
            "are not finite, MemoryError when the space cannot fit in the memory available.")
        .def_prop_ro("n_atoms", &analog::AtomSpace::atoms)
        .def_prop_ro("dim", &analog::AtomSpace::dim)
        .def_prop_ro(
            "positions",
            [](const analog::AtomSpace &s) {
                Positions out;
                for (const analog::Position &p : s.positions()) out.emplace_back(p.x, p.y);
                return out;
            },
            "The atoms' positions (metres).")
        .def_prop_ro("c6", &analog::AtomSpace::c6)
        .def_prop_ro("blockade_radius", &analog::AtomSpace::blockade_radius)
        .def_prop_ro(
            "basis",
            [](const analog::AtomSpace &s) {
                std::vector<std::uint64_t> states(s.dim());
                for (std::size_t i = 0; i < states.size(); ++i) states[i] = s.state(i);
                return owned_array(std::move(states));
            },
            nb::rv_policy::move, "The bit pattern of every basis state, in basis order.")
        .def_prop_ro(
            "interaction", [](const analog::AtomSpace &s) { return owned_array(std::vector<double>(s.interaction())); },
            nb::rv_policy::move, "The van der Waals energy (rad/s) of every basis state.");

    m.def("evolve", &evolve, nb::arg("space"), nb::arg("weights").none(), nb::arg("amplitude"), nb::arg("phase"),
          nb::arg("detuning"), nb::arg("local_detuning").none(), nb::arg("duration"), nb::arg("solver_name"),
          nb::arg("atol"), nb::arg("rtol"), nb::arg("nsteps"), nb::arg("interaction_picture"), nb::arg("dt") = 1e-8,
          nb::arg("progress") = nb::none(),
          "The final state of the evolution from all-ground, and the integrator's step counts. solver_name "
          "'dop853' or 'dopri5' (adaptive Runge-Kutta: atol, rtol, nsteps, interaction_picture) or 'krylov' "
          "(Lanczos exponentials over steps of dt: steps, exponentials as 'accepted', products with H as "
          "'evaluations'). Times in "
          "seconds, waveform values in rad/s (the phase in rad). `progress`, when given, is called with the "
          "simulated time reached (seconds) at most every 0.1 s; what it raises ends the evolution. ValueError "
          "before any work for numbers that are not finite and for an evolution too long to finish; "
          "KeyboardInterrupt on Ctrl-C.");
    m.def("evolve_trajectory", &evolve_trajectory, nb::arg("space"), nb::arg("weights").none(), nb::arg("amplitude"),
          nb::arg("phase"), nb::arg("detuning"), nb::arg("local_detuning").none(), nb::arg("duration"),
          nb::arg("solver_name"), nb::arg("atol"), nb::arg("rtol"), nb::arg("nsteps"), nb::arg("doppler").none(),
          nb::arg("dephasing_rate"), nb::arg("relaxation_rate"), nb::arg("seed"), nb::arg("progress") = nb::none(),
          "One quantum-jump trajectory from all-ground under dephasing (L = sqrt(rate) n_k) and relaxation "
          "(L = sqrt(rate) |g><r|_k) of every atom (1/s), with a constant detuning per atom (`doppler`, rad/s; "
          "None: none), its jumps drawn from `seed`: the normalised final state and the counts ('jumps' among "
          "them). Runge-Kutta solvers, lab frame; otherwise as evolve.");
    m.def("evolve_density_matrix", &evolve_density_matrix, nb::arg("space"), nb::arg("weights").none(),
          nb::arg("amplitude"), nb::arg("phase"), nb::arg("detuning"), nb::arg("local_detuning").none(),
          nb::arg("duration"), nb::arg("solver_name"), nb::arg("atol"), nb::arg("rtol"), nb::arg("nsteps"),
          nb::arg("dephasing_rate"), nb::arg("relaxation_rate"), nb::arg("progress") = nb::none(),
          "The density matrix (dim x dim) at the end of the Lindblad evolution from all-ground under "
          "dephasing and relaxation of every atom (1/s), and the integrator's counts; spaces of at most 1024 "
          "states. Runge-Kutta solvers, lab frame; otherwise as evolve.");
    bind_mps_state(m);
    m.def(
        "check_register",
        [](const Positions &positions, double c6, double blockade_radius) {
            const double closest = analog::check_register(atoms_of(positions), c6, blockade_radius);
            warn(analog::spacing_hint(closest, c6));
        },
        nb::arg("positions"), nb::arg("c6"), nb::arg("blockade_radius"),
        "Check a register as AtomSpace does (ValueError for positions that are not finite, coincident atoms "
        "or bad constants; a warning for spacings that suggest a unit mistake), without building its space.");
    m.def("evolve_mps", &evolve_mps, nb::arg("positions"), nb::arg("c6"), nb::arg("blockade_radius"),
          nb::arg("weights").none(), nb::arg("amplitude"), nb::arg("phase"), nb::arg("detuning"),
          nb::arg("local_detuning").none(), nb::arg("duration"), nb::arg("dt"), nb::arg("max_bond_dim"),
          nb::arg("precision"), nb::arg("progress") = nb::none(),
          "The final matrix-product state of the evolution from all-ground by TDVP in steps of dt "
          "(seconds), the Hamiltonian taken at each step's midpoint; its counts; the discarded weight. "
          "`progress` as for evolve. ValueError before any work for bad numbers; KeyboardInterrupt on Ctrl-C.");
    m.def(
        "_set_max_threads", [](unsigned threads) { runtime::set_max_threads(threads); }, nb::arg("threads"),
        "Limit the threads of every native engine's kernels, large-space evolutions among them (0: all cores); "
        "the setting of norvane.quantum.native_threads.set_max_threads. Results do not depend on it.");
}
