// The innermost amplitude loops, built for the baseline instruction set and, on x86-64 with GCC
// or Clang, also for AVX2 and AVX-512. The widest set the processor supports is chosen at load
// time.
// Both compute every output with the same operations in the same order (no fused multiply-add),
// so results do not depend on the choice.
#pragma once

#include <cstdint>

namespace statevector {

struct RunKernels {
    // 2x2 matrix m (row-major, re/im interleaved) on amplitude pairs (a[j], b[j]), j < length.
    void (*pairs)(double *a, double *b, std::uint64_t length, const double *m);
    // The same on neighbouring pairs (psi[2j], psi[2j + 1]), j < count.
    void (*neighbour_pairs)(double *psi, std::uint64_t count, const double *m);
    // 4x4 matrix m on the amplitudes bases[j] + offsets[0..3] of psi, j < count.
    void (*quads)(double *psi, const std::uint64_t *bases, std::uint64_t count, const std::uint64_t *offsets,
                  const double *m);
    // 4x4 matrix m on the amplitude quadruples (a0[j], a1[j], a2[j], a3[j]), j < length.
    void (*quad_runs)(double *a0, double *a1, double *a2, double *a3, std::uint64_t length, const double *m);
    // a[j] *= d for j < length.
    void (*scale)(double *a, std::uint64_t length, const double *d);
};

const RunKernels &run_kernels();

}  // namespace statevector
