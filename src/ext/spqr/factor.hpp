// The factor object of ferrow.spqr: a SuiteSparseQR factorisation together with the
// CHOLMOD common block that belongs to it alone. Shared by the statistics record
// (info.cpp), the factor's methods (factor.cpp) and its deep copy (copy.cpp).
#pragma once

#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>

#include "spqr/factor_worker.hpp"
#include "spqr/frame.hpp"

namespace ferrow::spqr {

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

    // Serialises every operation that uses `common` or the factorisation records (see
    // FactorLock). shape, itype, dtype and the flags are set before the object is shared
    // and never change, so they are read without it.
    std::mutex mutex;
    std::atomic<std::thread::id> owner{};  // the thread holding `mutex`, if any

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

// The lock of one factor, held for the whole of an operation on it.
//
// Deadlock freedom. Two locks are involved: the interpreter lock (GIL) and the factor's
// mutex. A thread holding the mutex may wait for the GIL (it takes the GIL back after a
// LibraryCall, and runs Python code to build results). So a thread never waits for the
// mutex while it holds the GIL: it tries once (the uncontended case costs one atomic
// operation), and when the mutex is busy it releases the GIL, blocks on the mutex, then
// takes the GIL back. No wait-for cycle between the GIL and one mutex can form.
// Between two factors' mutexes: a thread that already holds one factor's mutex (Python
// code run while building results, a warning filter, a finaliser, calling another
// factor) never blocks on a second one: it tries and raises RuntimeError if it is busy.
// The same thread re-entering the factor it holds raises RuntimeError too, instead of
// waiting for itself. Everything is released on every exit (RAII).
class FactorLock {
public:
    explicit FactorLock(Factor &f);
    ~FactorLock();
    FactorLock(const FactorLock &) = delete;
    FactorLock &operator=(const FactorLock &) = delete;

private:
    Factor &f_;
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

// Why a copy failed: thrown by copy_factorization (plain C++, so that the copy can run
// without the interpreter lock) and raised as a Python exception by raise_copy_failure.
struct CopyFailure {
    enum Kind { assertion, negative_size, rblock, not_supported, library } kind;
    int status = 0;  // the library's status, for `library`
};
[[noreturn]] void raise_copy_failure(const CopyFailure &e);

// Fills `dst` (started common block, flags, shape, tolerance already set) with a deep
// copy of `src`'s factorisation. Touches no Python object; on failure throws CopyFailure
// (or std::bad_alloc), and whatever was built is owned by `dst` and released by its
// destructor.
void copy_factorization(Factor &dst, Factor &src, CopyAllocator &alloc);

}  // namespace ferrow::spqr
