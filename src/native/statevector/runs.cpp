#include "runs.hpp"

namespace statevector {

namespace runs_baseline {
void pairs(double *, double *, std::uint64_t, const double *);
void neighbour_pairs(double *, std::uint64_t, const double *);
void quads(double *, const std::uint64_t *, std::uint64_t, const std::uint64_t *, const double *);
void quad_runs(double *, double *, double *, double *, std::uint64_t, const double *);
void scale(double *, std::uint64_t, const double *);
}  // namespace runs_baseline

#if defined(STATEVECTOR_AVX2)
namespace runs_avx2 {
void pairs(double *, double *, std::uint64_t, const double *);
void neighbour_pairs(double *, std::uint64_t, const double *);
void quads(double *, const std::uint64_t *, std::uint64_t, const std::uint64_t *, const double *);
void quad_runs(double *, double *, double *, double *, std::uint64_t, const double *);
void scale(double *, std::uint64_t, const double *);
}  // namespace runs_avx2
#endif

#if defined(STATEVECTOR_AVX512)
namespace runs_avx512 {
void pairs(double *, double *, std::uint64_t, const double *);
void neighbour_pairs(double *, std::uint64_t, const double *);
void quads(double *, const std::uint64_t *, std::uint64_t, const std::uint64_t *, const double *);
void quad_runs(double *, double *, double *, double *, std::uint64_t, const double *);
void scale(double *, std::uint64_t, const double *);
}  // namespace runs_avx512
#endif

namespace {

RunKernels select() {
#if defined(STATEVECTOR_AVX2) || defined(STATEVECTOR_AVX512)
    __builtin_cpu_init();
#endif
#if defined(STATEVECTOR_AVX512)
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl"))
        return {runs_avx512::pairs, runs_avx512::neighbour_pairs, runs_avx512::quads, runs_avx512::quad_runs,
                runs_avx512::scale};
#endif
#if defined(STATEVECTOR_AVX2)
    if (__builtin_cpu_supports("avx2")) return {runs_avx2::pairs, runs_avx2::neighbour_pairs, runs_avx2::quads, runs_avx2::quad_runs, runs_avx2::scale};
#endif
    return {runs_baseline::pairs, runs_baseline::neighbour_pairs, runs_baseline::quads, runs_baseline::quad_runs, runs_baseline::scale};
}

}  // namespace

const RunKernels &run_kernels() {
    static const RunKernels kernels = select();
    return kernels;
}

}  // namespace statevector
