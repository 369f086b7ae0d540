#include "evolve.hpp"

#include <cmath>
#include <limits>
#include <sstream>

#include "mirror_sector.hpp"
#include "workload.hpp"

namespace analog {

Method method_named(const std::string &name) {
    if (name == "dop853") return Method::dop853;
    if (name == "dopri5") return Method::dopri5;
    if (name == "krylov") return Method::krylov;
    throw std::invalid_argument("unknown solver_name '" + name + "'; expected 'dop853', 'dopri5' or 'krylov'");
}

namespace {

void check(const EvolveOptions &options, double duration) {
    const StepControl &c = options.control;
    if (!(std::isfinite(duration) && duration >= 0)) {
        std::ostringstream message;
        message << "the duration must be a finite number of seconds >= 0, got " << duration;
        throw std::invalid_argument(message.str());
    }
    if (options.method == Method::krylov) {
        check_time_steps(duration, options.krylov.dt);
        return;
    }
    // The tolerance bounds of the original codes.
    if (!(c.atol > 0 && std::isfinite(c.atol))) throw std::invalid_argument("atol must be a positive finite number");
    if (!(c.rtol > 10 * 2.3e-16 && std::isfinite(c.rtol)))
        throw std::invalid_argument("rtol must be finite and larger than 2.3e-15");
    if (c.nsteps < 1) throw std::invalid_argument("nsteps must be at least 1");
}

}  // namespace

void check_evolution(const AtomSpace &space, const std::vector<double> &weighted, const Drive &drive, double duration,
                     const EvolveOptions &options) {
    check(options, duration);
    const bool krylov = options.method == Method::krylov;
    // The estimate bounds an exponential's work as well: its Krylov basis grows with the same
    // largest rate times the step.
    check_workload(space, weighted, drive, duration, options.interaction_picture && !krylov,
                   krylov ? std::numeric_limits<long long>::max() : options.control.nsteps);
    if (!krylov) {
        check_work_vectors_fit(space, kWorkVectors);
        return;
    }
    const std::vector<int> mirror = find_mirror(space, weighted);
    if (mirror.empty()) {
        check_work_vectors_fit(space, krylov_work_vectors(options.krylov));
        return;
    }
    // The sector's vectors and its four tables of one double per amplitude, and the full state,
    // in units of full-space vectors.
    const std::uint64_t sector = MirrorSector::dim_of(mirror);
    const std::uint64_t sector_vectors = sector * (krylov_work_vectors(options.krylov) + 2);
    check_work_vectors_fit(space, 1 + (sector_vectors + space.dim() - 1) / space.dim());
}

std::vector<cplx> evolve(const AtomSpace &space, const std::vector<double> &weighted, const Drive &drive,
                         double duration, const EvolveOptions &options, IntegrationStats *stats,
                         runtime::Poller *poll) {
    check_evolution(space, weighted, drive, duration, options);
    const bool krylov = options.method == Method::krylov;
    std::vector<cplx> psi(space.dim(), cplx(0.0));
    psi[0] = 1.0;  // all ground: index 0 in the full space and first in any subspace
    IntegrationStats counts;
    if (duration > 0 && krylov) {
        if (const std::vector<int> mirror = find_mirror(space, weighted); !mirror.empty()) {
            // All-ground is mirror symmetric, and so is every state it evolves into.
            MirrorSector sector(space, weighted, mirror);
            std::vector<cplx> folded(sector.dim(), cplx(0.0));
            folded[0] = 1.0;
            counts = integrate_krylov(sector, drive, duration, folded.data(), options.krylov, poll);
            counts.amplitudes = (long long)sector.dim();
            sector.unfold(folded.data(), psi.data());
        } else {
            SchrodingerSystem system(space, weighted, drive, false);
            counts = integrate_krylov(system, drive, duration, psi.data(), options.krylov, poll);
        }
    } else if (duration > 0) {
        SchrodingerSystem system(space, weighted, drive, options.interaction_picture);
        double *y = reinterpret_cast<double *>(psi.data());
        const std::size_t n = 2 * psi.size();
        const StepControl &control = options.control;
        counts = options.method == Method::dop853 ? integrate_dop853(system, n, 0.0, duration, y, control, poll)
                                                  : integrate_dopri5(system, n, 0.0, duration, y, control, poll);
        system.to_lab_frame(duration, psi.data());
    }
    if (counts.amplitudes == 0) counts.amplitudes = (long long)space.dim();
    if (stats) *stats = counts;
    return psi;
}

}  // namespace analog
