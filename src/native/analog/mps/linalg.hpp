// Dense complex linear algebra for the tensor-network engine: thin wrappers over the BLAS and
// LAPACK of the scipy-openblas32 library (32-bit integers, every symbol prefixed `scipy_`).
//
// Threads: the library is held to one thread (set_single_threaded, called before any work), so
// every product and factorisation runs on the calling thread and gives the same bits whatever
// the thread limit of the engine. Matrices are column-major.
#pragma once

#include <complex>
#include <vector>

namespace analog::mps {

using cplx = std::complex<double>;

// Holds the library to one thread; called once per process by every entry point (idempotent).
void set_single_threaded();

enum class Op { none, transpose, adjoint };

// C = alpha op(A) op(B) + beta C, op(A) m x k, op(B) k x n.
void gemm(Op op_a, Op op_b, int m, int n, int k, cplx alpha, const cplx *a, int lda, const cplx *b, int ldb,
          cplx beta, cplx *c, int ldc);

// y = alpha op(A) x + beta y, A m x n.
void gemv(Op op, int m, int n, cplx alpha, const cplx *a, int lda, const cplx *x, cplx beta, cplx *y);

// <x|y> = sum conj(x_i) y_i over n elements.
cplx dotc(int n, const cplx *x, const cplx *y);

// Thin SVD of the m x n matrix `a` (overwritten): a = u diag(s) vh, u m x r, vh r x n,
// r = min(m, n), singular values in decreasing order. Divide and conquer first, the QR-based
// driver when it fails to converge; std::runtime_error when both fail.
struct Svd {
    std::vector<cplx> u, vh;
    std::vector<double> s;
    int rank = 0;  // min(m, n)
};
Svd svd(int m, int n, std::vector<cplx> &a);

// Thin QR of the m x n matrix `a`, k = min(m, n): on return `a` holds Q (m x k, orthonormal
// columns) and `r` the k x n upper-trapezoidal factor; returns k.
int qr(int m, int n, std::vector<cplx> &a, std::vector<cplx> &r);

// Thin LQ of the m x n matrix `a`, k = min(m, n): on return `a` holds Q (k x n, orthonormal
// rows) and `l` the m x k lower-trapezoidal factor; returns k.
int lq(int m, int n, std::vector<cplx> &a, std::vector<cplx> &l);

}  // namespace analog::mps
