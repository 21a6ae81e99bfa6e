// Workers of the one-shot calls of ferrow.spqr: QR in its four modes, products with Q in
// Householder form and the conjugate transpose. Plain C++ over CHOLMOD headers that view
// held buffers: no Python object is touched, so they run without the interpreter lock
// when the thread switch is on. Each returns the library's status (or kNoResult); the
// results stay in the slots the caller owns.
#pragma once

#include <SuiteSparseQR.hpp>

#include "spqr/status.hpp"

namespace ferrow::spqr {

enum class Mode { full, economic, r, householder };

// The result slots of a one-shot QR (each owned by the caller).
template <class I> struct QrSlots {
    cholmod_sparse **Q, **R, **H;
    cholmod_dense **HTau;
    I **E, **HPinv;
};

template <class E, class I>
int qr_worker(Mode mode, int ordering, double tol, cholmod_sparse &A, const QrSlots<I> &out,
              cholmod_common *cc) noexcept {
    const I econ = (I)(mode == Mode::economic ? A.ncol : A.nrow);
    return library_status(cc, [&] {
        switch (mode) {
            case Mode::r:
                SuiteSparseQR<E, I>(ordering, tol, econ, &A, out.R, out.E, cc);
                break;
            case Mode::full:
            case Mode::economic:
                SuiteSparseQR<E, I>(ordering, tol, econ, &A, out.Q, out.R, out.E, cc);
                break;
            case Mode::householder:
                SuiteSparseQR<E, I>(ordering, tol, econ, &A, out.R, out.E, out.H, out.HPinv,
                                    out.HTau, cc);
                break;
        }
        return true;  // (R is null for some inputs; the status says whether it failed)
    });
}

// Y = Q X, Q^H X, X Q or X Q^H for Q in Householder form (H, HTau, perm); X dense or
// sparse (the result has X's kind).
template <class E, class I, class X, class Y>
int householder_qmult_worker(int method, cholmod_sparse &H, cholmod_dense &HTau, I *perm,
                             X &x, Y **y, cholmod_common *cc) noexcept {
    return library_status(cc, [&] {
        *y = SuiteSparseQR_qmult<E, I>(method, &H, &HTau, perm, &x, cc);
        return *y != nullptr;
    });
}

// The conjugate transpose of A (its values conjugated, its index family kept).
inline int ctranspose_worker(cholmod_sparse &A, cholmod_sparse **T, cholmod_common *cc) noexcept {
    return library_status(cc, [&] {
        *T = A.itype == CHOLMOD_INT ? cholmod_transpose(&A, 2, cc) : cholmod_l_transpose(&A, 2, cc);
        return *T != nullptr;
    });
}

}  // namespace ferrow::spqr
