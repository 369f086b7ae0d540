// The innermost amplitude loops, built for the baseline instruction set and, on x86-64 with GCC
// or Clang, also for AVX2 and AVX-512. The widest set the processor supports is chosen at load
// time.
// The baseline and AVX2 builds compute every output with the same operations in the same order
// (no fused multiply-add); the AVX-512 build may round the last bit differently (see
// runs_entries.inc). The choice is made once per process, so it never varies within a run.
#pragma once

#include <cstdint>

namespace statevector {

// The largest block quads_within takes: two targets among the lowest seven index bits.
constexpr int kQuadBlockBits = 7;
constexpr int kMaxQuadBlock = 1 << kQuadBlockBits;

// What the entries of a 2x2 matrix let the pair kernels leave out (the results are the same).
enum class PairForm {
    general,
    real,           // every entry real
    real_diagonal,  // real diagonal, imaginary off-diagonal (as RX)
    exchange,       // exactly ((0, 1), (1, 0))
};

struct RunKernels {
    // 2x2 matrix m (row-major, re/im interleaved) of the given form on amplitude pairs
    // (a[j], b[j]), j < length.
    void (*pairs)(double *a, double *b, std::uint64_t length, const double *m, PairForm form);
    // 4x4 matrix m on the amplitudes bases[j] + offsets[0..3] of psi, j < count.
    void (*quads)(double *psi, const std::uint64_t *bases, std::uint64_t count, const std::uint64_t *offsets,
                  const double *m);
    // 4x4 matrix m on the amplitude quadruples (a0[j], a1[j], a2[j], a3[j]), j < length.
    void (*quad_runs)(double *a0, double *a1, double *a2, double *a3, std::uint64_t length, const double *m);
    // a[j] *= d for j < length.
    void (*scale)(double *a, std::uint64_t length, const double *d);
    // 2x2 matrix m on the pairs (psi[j], psi[j + stride]), for every j < amplitudes whose bit
    // `stride` is 0; amplitudes is a multiple of 2 * stride.
    void (*pairs_within)(double *psi, std::uint64_t amplitudes, std::uint64_t stride, const double *m, PairForm form);
    // psi[j] *= d[j % period] for j < amplitudes (a multiple of period), with d given as
    // re_parts = (re d_0, re d_0, re d_1, ...) and im_parts = (-im d_0, im d_0, -im d_1, ...).
    void (*scale_periodic)(double *psi, std::uint64_t amplitudes, const double *re_parts, const double *im_parts,
                           std::uint64_t period);
    // Pairs with coefficients that depend on the position in a period (as for a gate with
    // controls among the lowest bits): psi[j] = O_p psi[j] + Q_p psi[j ^ stride] for every
    // j < amplitudes (a multiple of period, itself a multiple of 2 * stride), p = j % period.
    // The table holds O's re parts, O's im parts, Q's re parts and Q's im parts, each as
    // 2 * period doubles in the split form of scale_periodic.
    void (*pairs_periodic)(double *psi, std::uint64_t amplitudes, std::uint64_t stride, const double *table,
                           std::uint64_t period);
    // The same for the pairs (a[j], b[j]), j < length (a multiple of period): a[j] at position
    // j % period of a table of 2 * period positions, b[j] at position period + j % period.
    void (*pair_runs_periodic)(double *a, double *b, std::uint64_t length, const double *table,
                               std::uint64_t period);
    // The pairs (psi[j], psi[j + stride]) for every j < amplitudes whose bit `stride` is 0 (all
    // of them when stride >= amplitudes), with the general 2x2 matrix m1 where bit
    // `switch_stride` of j is 1 and m0 where it is 0 (nothing there when m0 is null). Both
    // strides are powers of two and amplitudes is a multiple of the smaller.
    void (*pairs_switched)(double *psi, std::uint64_t amplitudes, std::uint64_t stride, std::uint64_t switch_stride,
                           const double *m0, const double *m1);
    // Exchanges psi[j] and psi[j ^ stride] for every j < amplitudes (as pairs_periodic) whose
    // swap[2 * (j % period)] is all ones (entries 2p and 2p + 1 both all ones or both zero).
    void (*exchange_periodic)(double *psi, std::uint64_t amplitudes, std::uint64_t stride,
                              const std::uint64_t *swap, std::uint64_t period);
    // Exchanges a[j] and b[j], j < length (a multiple of period), where swap[2 * (j % period)]
    // is all ones.
    void (*exchange_runs_periodic)(double *a, double *b, std::uint64_t length, const std::uint64_t *swap,
                                   std::uint64_t period);
    // 4x4 matrix m on targets (t0, t1) at index bits bit0 and bit1, both below kQuadBlockBits,
    // over `amplitudes` amplitudes (a multiple of the block 2^(max bit + 1)). Null where the
    // build has no vector kernels.
    void (*quads_within)(double *psi, std::uint64_t amplitudes, int bit0, int bit1, const double *m);
};

const RunKernels &run_kernels();

}  // namespace statevector
