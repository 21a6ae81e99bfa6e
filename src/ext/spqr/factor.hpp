// The factor object of ferrow.spqr: a SuiteSparseQR factorisation together with the
// CHOLMOD common block that belongs to it alone. Shared by the statistics record
// (info.cpp), the factor's methods (factor.cpp) and its deep copy (copy.cpp).
#pragma once

#include <cstring>

#include "spqr/frame.hpp"

namespace ferrow::spqr {

template <class E, class I> using QRFactorization = SuiteSparseQR_factorization<E, I>;

struct Factor {
    cholmod_common common;          // the factor's own workspace and statistics
    cholmod_common *cm = nullptr;   // &common once it has been started
    QRFactorization<double, int32_t> *factor_di = nullptr;
    QRFactorization<double, int64_t> *factor_dl = nullptr;
    QRFactorization<Complex, int32_t> *factor_zi = nullptr;
    QRFactorization<Complex, int64_t> *factor_zl = nullptr;
    bool use_int32 = false;         // the matrix had 32-bit indices
    bool is_real = false;           // the matrix had float64 values
    int64_t shape[2] = {0, 0};      // (M, N), never narrowed
    nb::object itype, dtype;        // numpy dtypes; None until the constructor completes
    double tol = 0.0;               // tolerance of numeric factorisations (-2: library default)

    Factor() : itype(nb::none()), dtype(nb::none()) { std::memset(&common, 0, sizeof common); }
    ~Factor() { release(); }
    Factor(const Factor &) = delete;
    Factor &operator=(const Factor &) = delete;

    // The handle of the variant (E, I).
    template <class E, class I> QRFactorization<E, I> *&handle() {
        if constexpr (std::is_same_v<E, double> && std::is_same_v<I, int32_t>) return factor_di;
        else if constexpr (std::is_same_v<E, double>) return factor_dl;
        else if constexpr (std::is_same_v<I, int32_t>) return factor_zi;
        else return factor_zl;
    }

    // Calls f(Variant<E, I>{}) for the factor's variant.
    template <class F> decltype(auto) visit(F &&f) {
        return dispatch(is_real, use_int32, std::forward<F>(f));
    }

    bool has_handle() {
        return visit([&](auto v) {
            using V = decltype(v);
            return handle<typename V::Entry, typename V::Int>() != nullptr;
        });
    }

    // Releases the factorisation (SuiteSparseQR_free); false if the library refused.
    bool free_factorization();

    // Releases the factorisation and finishes the common block, exactly once.
    void release();
};

// A new factor object of type SPQRFactor whose constructor has not run: everything null,
// itype and dtype None. It is marked ready, so its destructor releases whatever a caller
// builds into it.
nb::object new_factor_object(Factor **out);

// The SPQRFactor object of `self` (a nanobind instance).
Factor &factor_of(nb::handle self);

// SPQRInfo() filled from a common block (the statistics of its last SuiteSparseQR call).
nb::object info_from_common(const cholmod_common *cm);

// Counts the blocks a copy allocates; `fail_at` >= 0 makes allocation number `fail_at`
// (0-based) fail as if the system had run out of memory (a testing aid).
struct CopyAllocator {
    cholmod_common *cc;
    bool use_int32;
    int64_t fail_at = -1;
    int64_t count = 0;
    void *allocate(size_t n, size_t size);
};

// Fills `dst` (started common block, flags, shape, tolerance already set) with a deep
// copy of `src`'s factorisation. On failure raises; whatever was built is owned by `dst`
// and released by its destructor.
void copy_factorization(Factor &dst, Factor &src, CopyAllocator &alloc);

}  // namespace ferrow::spqr
