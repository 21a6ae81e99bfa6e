// How the workers of ferrow.spqr report: the library's status of the common block they
// used, or one of ferrow's own below. Plain C++, no Python.
#pragma once

#include <cholmod.h>

#include <new>

namespace ferrow::spqr {

// A call that returned no result although its status said success.
constexpr int kNoResult = -1000;
// A refactorisation with a matrix whose pattern differs from the analysed one.
constexpr int kPatternMismatch = -1001;
// A sparse solution with more entries than the factor's index type can address.
constexpr int kTooManyEntries = -1002;

// Runs f() (which returns whether it produced its result) and gives the status of `cc`
// afterwards; an allocation failure of the C++ code is reported as the library reports
// its own, any other exception as invalid input.
template <class F> int library_status(cholmod_common *cc, F &&f) noexcept {
    bool produced;
    try {
        produced = f();
    } catch (const std::bad_alloc &) {
        return CHOLMOD_OUT_OF_MEMORY;
    } catch (...) {
        return CHOLMOD_INVALID;
    }
    if (cc->status != CHOLMOD_OK)
        return cc->status;
    return produced ? CHOLMOD_OK : kNoResult;
}

}  // namespace ferrow::spqr
