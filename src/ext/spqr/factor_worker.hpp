// Workers of SPQRFactor: analysis, (re)factorisation, solves and products with Q over
// CHOLMOD headers that view held buffers, and the batched solve of a sparse right-hand
// side. Plain C++: no Python object is touched, so they run without the interpreter lock
// when the thread switch is on (the factor's own lock is held by the caller). Each
// returns the library's status or one of spqr/status.hpp; results stay in the slots the
// caller owns.
#pragma once

#include <SuiteSparseQR.hpp>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "common/cholmod_common.hpp"
#include "spqr/status.hpp"

namespace ferrow::spqr {

template <class E, class I> using QRFactorization = SuiteSparseQR_factorization<E, I>;

// The symbolic analysis (and with `singletons` the numeric factorisation as well).
template <class E, class I>
int analyse_worker(bool singletons, int ordering, double tol, cholmod_sparse &A,
                   QRFactorization<E, I> **out, cholmod_common *cc) noexcept {
    return library_status(cc, [&] {
        *out = singletons ? SuiteSparseQR_factorize<E, I>(ordering, tol, &A, cc)
                          : SuiteSparseQR_symbolic<E, I>(ordering, 1, &A, cc);
        return *out != nullptr;
    });
}

// Whether A has exactly the pattern of the analysed matrix, as the numeric factorisation
// reads it: it scatters the entries of A, column by column in the order Qfill, into the
// rows of S = A(PLinv, Qfill) held by the analysis, trusting that every entry has its slot.
template <class I> bool same_pattern(const spqr_symbolic<I> *S, const cholmod_sparse &A) {
    if ((int64_t)S->m != (int64_t)A.nrow || (int64_t)S->n != (int64_t)A.ncol)
        return false;
    const I m = S->m, n = S->n;
    const I *Ap = static_cast<const I *>(A.p), *Ai = static_cast<const I *>(A.i);
    if ((int64_t)Ap[n] != (int64_t)S->anz)
        return false;
    std::vector<I> next(S->Sp, S->Sp + m);
    for (I col = 0; col < n; ++col) {
        const I j = S->Qfill ? S->Qfill[col] : col;
        if (j < 0 || j >= n)
            return false;
        for (I p = Ap[j]; p < Ap[j + 1]; ++p) {
            const I row = S->PLinv[Ai[p]];
            if (row < 0 || row >= m)
                return false;
            const I slot = next[row]++;
            if (slot >= S->Sp[row + 1] || S->Sj[slot] != col)
                return false;
        }
    }
    return true;  // as many entries as slots, each in its own slot: every slot is filled
}

// The numeric (re)factorisation with A's values. With `check_pattern`, A's pattern is
// compared with the analysis first (kPatternMismatch). (With singletons or an appended B
// the library refuses by itself, reading nothing.)
template <class E, class I>
int numeric_worker(double tol, cholmod_sparse &A, QRFactorization<E, I> *qr, bool check_pattern,
                   cholmod_common *cc) noexcept {
    if (check_pattern && qr->n1cols == 0 && qr->bncols == 0) {
        try {
            if (!same_pattern(qr->QRsym, A))
                return kPatternMismatch;
        } catch (const std::bad_alloc &) {
            return CHOLMOD_OUT_OF_MEMORY;
        }
    }
    return library_status(cc, [&] {
        SuiteSparseQR_numeric<E, I>(tol, &A, qr, cc);
        return true;
    });
}

// X = E (R \ (Q^H B)), or X = Q (R^H \ (E^T B)) when transposed; the intermediate block
// is released as soon as the second call has used it.
template <class E, class I>
int solve_worker(QRFactorization<E, I> *qr, cholmod_dense *B, bool transpose, cholmod_dense **X,
                 cholmod_common *cc) noexcept {
    cholmod_dense *Y = nullptr;
    int status = library_status(cc, [&] {
        Y = transpose ? SuiteSparseQR_solve<E, I>(SPQR_RTX_EQUALS_ETB, qr, B, cc)
                      : SuiteSparseQR_qmult<E, I>(SPQR_QTX, qr, B, cc);
        return Y != nullptr;
    });
    if (status == CHOLMOD_OK)
        status = library_status(cc, [&] {
            *X = transpose ? SuiteSparseQR_qmult<E, I>(SPQR_QX, qr, Y, cc)
                           : SuiteSparseQR_solve<E, I>(SPQR_RETX_EQUALS_B, qr, Y, cc);
            return *X != nullptr;
        });
    free_dense<I>(&Y, cc);
    return status;
}

// Y = Q X, Q^H X, X Q or X Q^H with the factor's Q; X dense or sparse.
template <class E, class I, class X, class Y>
int qmult_worker(int method, QRFactorization<E, I> *qr, X &x, Y **y, cholmod_common *cc) noexcept {
    return library_status(cc, [&] {
        *y = SuiteSparseQR_qmult<E, I>(method, qr, &x, cc);
        return *y != nullptr;
    });
}

// The CHOLMOD family of the index type: a new sparse matrix (packed, sorted) and its
// reallocation to exactly `nz` entries (realloc: a large block grows in place).
template <class I>
cholmod_sparse *allocate_sparse(size_t nrow, size_t ncol, size_t nz, int xtype, cholmod_common *cc) {
    if constexpr (std::is_same_v<I, int32_t>)
        return cholmod_allocate_sparse(nrow, ncol, nz, 1, 1, 0, xtype + CHOLMOD_DOUBLE, cc);
    else
        return cholmod_l_allocate_sparse(nrow, ncol, nz, 1, 1, 0, xtype + CHOLMOD_DOUBLE, cc);
}

template <class I> bool reallocate_sparse(size_t nz, cholmod_sparse *A, cholmod_common *cc) {
    return (std::is_same_v<I, int32_t> ? cholmod_reallocate_sparse(nz, A, cc)
                                       : cholmod_l_reallocate_sparse(nz, A, cc)) != 0;
}

template <class E> bool is_nonzero(const E &x) {
    if constexpr (std::is_same_v<E, double>)
        return x != 0.0;
    else
        return x.real() != 0.0 || x.imag() != 0.0;
}

// Adds columns [start, stop) of the CSC matrix b into the column-major block W (one
// column of `rows` entries each), which holds zeros there; duplicates are summed.
// With `clear`, sets those entries back to zero instead.
template <class E, class J>
void scatter_columns(const cholmod_sparse &b, int64_t start, int64_t stop, E *W, int64_t rows,
                     bool clear) {
    const J *bp = static_cast<const J *>(b.p), *bi = static_cast<const J *>(b.i);
    const E *bx = static_cast<const E *>(b.x);
    for (int64_t j = start; j < stop; ++j) {
        E *col = W + (j - start) * rows;
        for (int64_t k = bp[j]; k < (int64_t)bp[j + 1]; ++k) {
            if (clear)
                col[bi[k]] = E(0);
            else
                col[bi[k]] += bx[k];
        }
    }
}

template <class E> cholmod_dense dense_block(E *x, int64_t rows, int64_t cols) {
    cholmod_dense B;
    std::memset(&B, 0, sizeof B);
    B.nrow = (size_t)rows;
    B.ncol = (size_t)cols;
    B.d = (size_t)rows;
    B.nzmax = (size_t)(rows * cols);
    B.x = x;
    B.xtype = std::is_same_v<E, double> ? CHOLMOD_REAL : CHOLMOD_COMPLEX;
    B.dtype = CHOLMOD_DOUBLE;
    return B;
}

// Solves for a sparse b (a validated CSC matrix of the factor's value type) in batches of
// `batch` columns: each batch is scattered straight from b's arrays into one reused
// column-major work block, solved as dense columns, and the nonzero entries of the
// solution (`out_rows` rows) are appended to the result's arrays, which grow to exact
// sizes. kTooManyEntries when the solution has more entries than I can address.
template <class E, class I>
int solve_sparse_worker(QRFactorization<E, I> *qr, const cholmod_sparse &b, bool transpose,
                        int64_t batch, int64_t out_rows, cholmod_sparse **result,
                        cholmod_common *cc) noexcept {
    try {
        const int64_t rows = (int64_t)b.nrow, K = (int64_t)b.ncol;
        const int64_t width = std::min(batch, K);
        if (rows > 0 && width > (int64_t)(SIZE_MAX / sizeof(E)) / rows)
            return CHOLMOD_OUT_OF_MEMORY;
        std::unique_ptr<E, decltype(&std::free)> work(
            static_cast<E *>(std::calloc(std::max<size_t>((size_t)(rows * width), 1), sizeof(E))),
            &std::free);
        if (!work)
            return CHOLMOD_OUT_OF_MEMORY;
        const int xtype = std::is_same_v<E, double> ? CHOLMOD_REAL : CHOLMOD_COMPLEX;
        *result = allocate_sparse<I>((size_t)out_rows, (size_t)K, 0, xtype, cc);
        if (*result == nullptr)
            return cc->status != CHOLMOD_OK ? cc->status : kNoResult;
        cholmod_sparse *R = *result;
        I *rp = static_cast<I *>(R->p);
        rp[0] = 0;
        int64_t nnz = 0;
        const int64_t limit = std::numeric_limits<I>::max();
        for (int64_t start = 0; start < K; start += batch) {
            const int64_t stop = std::min(start + batch, K), w = stop - start;
            if (b.itype == CHOLMOD_INT)
                scatter_columns<E, int32_t>(b, start, stop, work.get(), rows, false);
            else
                scatter_columns<E, int64_t>(b, start, stop, work.get(), rows, false);
            cholmod_dense B = dense_block(work.get(), rows, w);
            cholmod_dense *X = nullptr;
            int status = solve_worker<E, I>(qr, &B, transpose, &X, cc);
            if (status != CHOLMOD_OK) {
                free_dense<I>(&X, cc);
                return status;
            }
            if (b.itype == CHOLMOD_INT)
                scatter_columns<E, int32_t>(b, start, stop, work.get(), rows, true);
            else
                scatter_columns<E, int64_t>(b, start, stop, work.get(), rows, true);
            const E *x = static_cast<const E *>(X->x);
            const int64_t d = (int64_t)X->d;
            int64_t count = 0;
            for (int64_t j = 0; j < w; ++j)
                for (int64_t i = 0; i < out_rows; ++i)
                    count += is_nonzero(x[j * d + i]);
            if (count > limit - nnz) {
                free_dense<I>(&X, cc);
                return kTooManyEntries;
            }
            if (count > 0 && !reallocate_sparse<I>((size_t)(nnz + count), R, cc)) {
                free_dense<I>(&X, cc);
                return cc->status != CHOLMOD_OK ? cc->status : CHOLMOD_OUT_OF_MEMORY;
            }
            I *ri = static_cast<I *>(R->i);
            E *rx = static_cast<E *>(R->x);
            for (int64_t j = 0; j < w; ++j) {
                const E *col = x + j * d;
                for (int64_t i = 0; i < out_rows; ++i) {
                    if (is_nonzero(col[i])) {
                        ri[nnz] = (I)i;
                        rx[nnz] = col[i];
                        ++nnz;
                    }
                }
                rp[start + j + 1] = (I)nnz;
            }
            free_dense<I>(&X, cc);
        }
        return CHOLMOD_OK;
    } catch (const std::bad_alloc &) {
        return CHOLMOD_OUT_OF_MEMORY;
    }
}

}  // namespace ferrow::spqr
