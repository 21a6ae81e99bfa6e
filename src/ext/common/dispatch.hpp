// What workers see: plain typed views of the caller's arrays, and the one dispatcher
// from the dtypes of a call to the int32/int64 x float64/complex128 instance of a worker.
// Nothing here touches a Python object, so a worker written over these views can run
// with the interpreter lock released.
#pragma once

#include <complex>
#include <cstdint>
#include <type_traits>

#include "errors.hpp"
#include "buffers.hpp"

namespace ferrow {

using Complex = std::complex<double>;

// A contiguous array of n values of T.
template <class T> struct Vec {
    T *data = nullptr;
    int64_t size = 0;
    T &operator[](int64_t k) const { return data[k]; }
};

// A compressed sparse column pattern: p[0 .. ncol] pointers, i[0 .. p[ncol]-1] row indices.
template <class I> struct CscPattern {
    int64_t nrow = 0, ncol = 0;
    const I *p = nullptr;
    const I *i = nullptr;
    int64_t nnz() const { return ncol >= 0 && p ? (int64_t)p[ncol] : 0; }
};

// A pattern with its values x[0 .. p[ncol]-1].
template <class I, class E> struct CscMatrix : CscPattern<I> {
    const E *x = nullptr;
};

// The variant of a call: index type I (int32_t, int64_t) and entry type E (double, Complex).
template <class E, class I> struct Variant {
    using Entry = E;
    using Int = I;
    static constexpr bool is_real = std::is_same_v<E, double>;
    static constexpr bool use_int32 = std::is_same_v<I, int32_t>;
};

// Calls f(int32_t{}) or f(int64_t{}) for an index element type; anything else raises
// TypeError("No matching signature found").
template <class F> decltype(auto) dispatch_index(Elem index, F &&f) {
    if (index == Elem::i32) return f(int32_t{});
    if (index == Elem::i64) return f(int64_t{});
    raise(PyExc_TypeError, "No matching signature found");
}

// Calls f(Variant<Entry, Int>{}) for the variant of the two flags.
template <class F> decltype(auto) dispatch(bool is_real, bool use_int32, F &&f) {
    if (is_real) {
        if (use_int32) return f(Variant<double, int32_t>{});
        return f(Variant<double, int64_t>{});
    }
    if (use_int32) return f(Variant<Complex, int32_t>{});
    return f(Variant<Complex, int64_t>{});
}

// The same from element types: index i32/i64, values f64/c128.
template <class F> decltype(auto) dispatch(Elem index, Elem value, F &&f) {
    if ((index != Elem::i32 && index != Elem::i64) || (value != Elem::f64 && value != Elem::c128))
        raise(PyExc_TypeError, "No matching signature found");
    return dispatch(value == Elem::f64, index == Elem::i32, std::forward<F>(f));
}

}  // namespace ferrow
