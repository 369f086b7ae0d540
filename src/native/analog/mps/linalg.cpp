#include "linalg.hpp"

#include <algorithm>
#include <mutex>
#include <stdexcept>
#include <string>

#define lapack_complex_float std::complex<float>
#define lapack_complex_double std::complex<double>
#include <cblas.h>
#include <lapacke.h>

namespace analog::mps {

void set_single_threaded() {
    static std::once_flag once;
    std::call_once(once, [] { scipy_openblas_set_num_threads(1); });
}

namespace {

CBLAS_TRANSPOSE blas_op(Op op) {
    switch (op) {
        case Op::transpose: return CblasTrans;
        case Op::adjoint: return CblasConjTrans;
        default: return CblasNoTrans;
    }
}

[[noreturn]] void lapack_failed(const char *routine, lapack_int info) {
    throw std::runtime_error(std::string("LAPACK ") + routine + " failed (info " + std::to_string(info) + ")");
}

// zgesdd, or zgesvd when it returns an error; both overwrite `work_a`, so each gets a copy.
lapack_int run_svd(bool divide_and_conquer, int m, int n, std::vector<cplx> a, Svd &out) {
    const int r = std::min(m, n);
    lapack_int info = 0, lwork = -1;
    cplx query;
    std::vector<double> rwork;
    if (divide_and_conquer) {
        std::vector<lapack_int> iwork(8 * std::size_t(r));
        rwork.resize(std::size_t(r) * std::max(5 * r + 7, 2 * std::max(m, n) + 2 * r + 1));
        info = scipy_LAPACKE_zgesdd_work(LAPACK_COL_MAJOR, 'S', m, n, a.data(), m, out.s.data(), out.u.data(), m,
                                         out.vh.data(), r, &query, lwork, rwork.data(), iwork.data());
        if (info != 0) return info;
        lwork = lapack_int(query.real());
        std::vector<cplx> work(std::max<lapack_int>(lwork, 1));
        return scipy_LAPACKE_zgesdd_work(LAPACK_COL_MAJOR, 'S', m, n, a.data(), m, out.s.data(), out.u.data(), m,
                                         out.vh.data(), r, work.data(), lwork, rwork.data(), iwork.data());
    }
    rwork.resize(5 * std::size_t(r));
    info = scipy_LAPACKE_zgesvd_work(LAPACK_COL_MAJOR, 'S', 'S', m, n, a.data(), m, out.s.data(), out.u.data(), m,
                                     out.vh.data(), r, &query, lwork, rwork.data());
    if (info != 0) return info;
    lwork = lapack_int(query.real());
    std::vector<cplx> work(std::max<lapack_int>(lwork, 1));
    return scipy_LAPACKE_zgesvd_work(LAPACK_COL_MAJOR, 'S', 'S', m, n, a.data(), m, out.s.data(), out.u.data(), m,
                                     out.vh.data(), r, work.data(), lwork, rwork.data());
}

}  // namespace

void gemm(Op op_a, Op op_b, int m, int n, int k, cplx alpha, const cplx *a, int lda, const cplx *b, int ldb,
          cplx beta, cplx *c, int ldc) {
    scipy_cblas_zgemm(CblasColMajor, blas_op(op_a), blas_op(op_b), m, n, k, &alpha, a, lda, b, ldb, &beta, c, ldc);
}

cplx dotc(int n, const cplx *x, const cplx *y) {
    cplx out;
    scipy_cblas_zdotc_sub(n, x, 1, y, 1, &out);
    return out;
}

void gemv(Op op, int m, int n, cplx alpha, const cplx *a, int lda, const cplx *x, cplx beta, cplx *y) {
    scipy_cblas_zgemv(CblasColMajor, blas_op(op), m, n, &alpha, a, lda, x, 1, &beta, y, 1);
}

Svd svd(int m, int n, std::vector<cplx> &a) {
    Svd out;
    out.rank = std::min(m, n);
    out.s.resize(out.rank);
    out.u.resize(std::size_t(m) * out.rank);
    out.vh.resize(std::size_t(out.rank) * n);
    lapack_int info = run_svd(true, m, n, a, out);
    if (info != 0) {
        info = run_svd(false, m, n, std::move(a), out);
        if (info != 0) lapack_failed("zgesvd", info);
    }
    return out;
}

int qr(int m, int n, std::vector<cplx> &a, std::vector<cplx> &r) {
    const int k = std::min(m, n);
    std::vector<cplx> tau(std::max(k, 1));
    cplx query;
    lapack_int info = scipy_LAPACKE_zgeqrf_work(LAPACK_COL_MAJOR, m, n, a.data(), m, tau.data(), &query, -1);
    if (info != 0) lapack_failed("zgeqrf", info);
    std::vector<cplx> work(std::max<lapack_int>(lapack_int(query.real()), 1));
    info = scipy_LAPACKE_zgeqrf_work(LAPACK_COL_MAJOR, m, n, a.data(), m, tau.data(), work.data(),
                                     lapack_int(work.size()));
    if (info != 0) lapack_failed("zgeqrf", info);
    r.assign(std::size_t(k) * n, cplx(0.0));
    for (int j = 0; j < n; ++j)
        for (int i = 0; i <= std::min(j, k - 1); ++i) r[i + std::size_t(k) * j] = a[i + std::size_t(m) * j];
    a.resize(std::size_t(m) * k);  // Q's k columns come first
    info = scipy_LAPACKE_zungqr_work(LAPACK_COL_MAJOR, m, k, k, a.data(), m, tau.data(), &query, -1);
    if (info != 0) lapack_failed("zungqr", info);
    work.resize(std::max<lapack_int>(lapack_int(query.real()), 1));
    info = scipy_LAPACKE_zungqr_work(LAPACK_COL_MAJOR, m, k, k, a.data(), m, tau.data(), work.data(),
                                     lapack_int(work.size()));
    if (info != 0) lapack_failed("zungqr", info);
    return k;
}

int lq(int m, int n, std::vector<cplx> &a, std::vector<cplx> &l) {
    const int k = std::min(m, n);
    std::vector<cplx> tau(std::max(k, 1));
    cplx query;
    lapack_int info = scipy_LAPACKE_zgelqf_work(LAPACK_COL_MAJOR, m, n, a.data(), m, tau.data(), &query, -1);
    if (info != 0) lapack_failed("zgelqf", info);
    std::vector<cplx> work(std::max<lapack_int>(lapack_int(query.real()), 1));
    info = scipy_LAPACKE_zgelqf_work(LAPACK_COL_MAJOR, m, n, a.data(), m, tau.data(), work.data(),
                                     lapack_int(work.size()));
    if (info != 0) lapack_failed("zgelqf", info);
    l.assign(std::size_t(m) * k, cplx(0.0));
    for (int j = 0; j < k; ++j)
        for (int i = j; i < m; ++i) l[i + std::size_t(m) * j] = a[i + std::size_t(m) * j];
    // Q's k rows: the first k rows of the reflectors, packed with leading dimension k.
    std::vector<cplx> q(std::size_t(k) * n);
    for (int j = 0; j < n; ++j)
        for (int i = 0; i < k; ++i) q[i + std::size_t(k) * j] = a[i + std::size_t(m) * j];
    info = scipy_LAPACKE_zunglq_work(LAPACK_COL_MAJOR, k, n, k, q.data(), k, tau.data(), &query, -1);
    if (info != 0) lapack_failed("zunglq", info);
    work.resize(std::max<lapack_int>(lapack_int(query.real()), 1));
    info = scipy_LAPACKE_zunglq_work(LAPACK_COL_MAJOR, k, n, k, q.data(), k, tau.data(), work.data(),
                                     lapack_int(work.size()));
    if (info != 0) lapack_failed("zunglq", info);
    a.swap(q);
    return k;
}

}  // namespace analog::mps
