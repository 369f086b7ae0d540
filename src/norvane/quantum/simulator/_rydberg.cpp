// norvane.quantum.simulator._rydberg: the native side of the analog emulator. The kit layer
// (simulator.codegen.hamiltonian and simulator.ir.state_vector) calls these two entries: the
// state space of a register, and the evolution of a program on it. Both check their numbers
// (finite, and an evolution that can finish) before any work, and warn of sizes that suggest
// a unit mistake.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <optional>
#include <utility>

#include "analog/evolve.hpp"
#include "analog/units.hpp"
#include "runtime/parallel.hpp"
#include "runtime/poll.hpp"
#include "support/module.hpp"
#include "support/pyops.hpp"

namespace nb = nanobind;

namespace {

using Samples = std::pair<std::vector<double>, std::vector<double>>;  // knot times, values

template <class T>
nb::ndarray<nb::numpy, T> owned_array(std::vector<T> &&values) {
    auto *held = new std::vector<T>(std::move(values));
    nb::capsule owner(held, [](void *p) noexcept { delete static_cast<std::vector<T> *>(p); });
    return nb::ndarray<nb::numpy, T>(held->data(), {held->size()}, owner);
}

analog::Waveform waveform(const char *name, const Samples &samples) {
    return analog::Waveform(name, samples.first, samples.second);
}

// A UserWarning with `text`, unless it is empty.
void warn(const std::string &text) {
    if (!text.empty() && PyErr_WarnEx(PyExc_UserWarning, text.c_str(), 1) != 0) throw nb::python_error();
}

nb::tuple evolve(const analog::AtomSpace &space, std::optional<std::vector<double>> weights, const Samples &amplitude,
                 const Samples &phase, const Samples &detuning, std::optional<Samples> local_detuning, double duration,
                 const std::string &solver_name, double atol, double rtol, long long nsteps,
                 bool interaction_picture) {
    analog::Drive drive{waveform("amplitude", amplitude), waveform("phase", phase), waveform("detuning", detuning),
                        analog::Waveform()};
    if (local_detuning) drive.local_detuning = waveform("local detuning", *local_detuning);
    analog::EvolveOptions options;
    options.method = analog::method_named(solver_name);
    options.control = {atol, rtol, nsteps};
    options.interaction_picture = interaction_picture;
    warn(analog::duration_hint(duration));
    std::vector<analog::cplx> state;
    analog::IntegrationStats stats;
    {
        nb::gil_scoped_release unlocked;
        runtime::Poller poll(norvane::check_signals_without_gil);
        std::vector<double> weighted = weights ? space.weighted_excitations(*weights) : std::vector<double>();
        state = analog::evolve(space, weighted, drive, duration, options, &stats, &poll);
    }
    nb::dict counts;
    counts["steps"] = stats.steps;
    counts["accepted"] = stats.accepted;
    counts["rejected"] = stats.rejected;
    counts["evaluations"] = stats.evaluations;
    return nb::make_tuple(owned_array(std::move(state)), counts);
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
            [](analog::AtomSpace *self, const std::vector<std::pair<double, double>> &positions, double c6,
               double blockade_radius) {
                std::vector<analog::Position> atoms;
                for (const auto &p : positions) atoms.push_back({p.first, p.second});
                std::optional<analog::AtomSpace> space;
                {
                    nb::gil_scoped_release unlocked;
                    space.emplace(std::move(atoms), c6, blockade_radius);
                }
                warn(analog::spacing_hint(*space));  // may raise: nothing is built in self yet
                new (self) analog::AtomSpace(std::move(*space));
            },
            nb::arg("positions"), nb::arg("c6"), nb::arg("blockade_radius"),
            "Positions of the atoms in metres (first atom: most significant bit), c6 in rad m^6/s; a positive "
            "radius keeps only states with no two Rydberg atoms closer than it. ValueError for positions that "
            "are not finite, MemoryError when the space cannot fit in the memory available.")
        .def_prop_ro("n_atoms", &analog::AtomSpace::atoms)
        .def_prop_ro("dim", &analog::AtomSpace::dim)
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
          nb::arg("atol"), nb::arg("rtol"), nb::arg("nsteps"), nb::arg("interaction_picture"),
          "The final state of the evolution from all-ground, and the integrator's step counts. Times in "
          "seconds, waveform values in rad/s (the phase in rad). ValueError before any work for numbers that are "
          "not finite and for an evolution too long to finish; KeyboardInterrupt on Ctrl-C.");
    m.def(
        "_set_max_threads", [](unsigned threads) { runtime::set_max_threads(threads); }, nb::arg("threads"),
        "Limit the threads of every native engine's kernels, large-space evolutions among them (0: all cores); "
        "the setting of norvane.quantum.native_threads.set_max_threads. Results do not depend on it.");
}
