// The work of the AMD and CAMD orderings: plain C++ over typed views, no Python object
// inside, so that it may run without the interpreter lock. The binding (amd_twin.hpp)
// checks every array and value first and translates the status afterwards.
#pragma once

#include <cstdint>

#include "common/dispatch.hpp"
#include "common/routine_pair.hpp"
#include "common/trivial.hpp"

namespace ferrow::amd_twin {

// Slots of the control and information arrays, and the statuses, of both libraries
// (plain ints: they also reach Python calls, where an enum would need a bound type).
inline constexpr int CONTROL = 5, DENSE = 0, AGGRESSIVE = 1;
inline constexpr int INFO = 20, STATUS = 0, N_ = 1, NZ = 2, SYMMETRY = 3, NZDIAG = 4,
                     NZ_A_PLUS_AT = 5, NDENSE = 6, MEMORY = 7, NCMPA = 8, LNZ = 9, NDIV = 10,
                     NMULTSUBS_LDL = 11, NMULTSUBS_LU = 12, DMAX = 13;
inline constexpr int OK = 0, OUT_OF_MEMORY = -1, INVALID = -2, OK_BUT_JUMBLED = 1;

// The library's ordering of the N x N pattern A into p[0 .. N-1]. `Library::order` is its
// routine pair (amd_order/amd_l_order, camd_order/camd_l_order); `constraints` (where
// `Library::constrained`) is null or N values in 0..N-1. Returns the library's status.
template <class Library, class I>
int order_worker(CscPattern<I> A, I *p, double *control, double *info,
                 const I *constraints) noexcept {
    if constexpr (Library::constrained)
        return routine<I>(Library::order)((I)A.ncol, A.p, A.i, p, control, info, constraints);
    else
        return routine<I>(Library::order)((I)A.ncol, A.p, A.i, p, control, info);
}

// A matrix without entries (or without rows and columns), with constraints: its nodes in
// the order of their constraint sets, and the statistics the library reports for it.
template <class I> void trivial_worker(int64_t N, const I *constraints, I *p, double *info) {
    order_by_constraints<I>(constraints, N, p);
    // What the ordering reports for N nodes and no entries: no off-diagonal entries (so
    // a symmetric pattern), a factor L without off-diagonal entries, and the memory of
    // its workspaces (two of N entries, eight of N + 1), none when N is 0.
    info[STATUS] = OK;
    info[N_] = (double)N;
    info[SYMMETRY] = 1.0;
    info[MEMORY] = N == 0 ? 0.0 : (double)(10 * N + 8) * (double)sizeof(I);
    info[DMAX] = N == 0 ? 0.0 : 1.0;
    // nz, nzdiag, nz_A_plus_AT, Ndense, Ncmpa, Lnz, Ndiv and the flop counts stay 0.
}

}  // namespace ferrow::amd_twin
