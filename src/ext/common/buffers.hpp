// Checked views of one-dimensional contiguous buffers.
//
// Every array that reaches a SuiteSparse routine goes through `Buffer`: it must be
// one-dimensional, contiguous, of the expected element type and long enough for
// everything the library reads or writes. The libraries trust their inputs, so
// these checks are the only thing between a Python caller and an out-of-bounds access.
#pragma once

#include <nanobind/nanobind.h>

#include <complex>
#include <cstdint>
#include <limits>
#include <initializer_list>
#include <string>

#include "errors.hpp"

namespace ferrow {

enum class Elem { other, i32, i64, f64, c128 };

inline const char *elem_name(Elem e) {
    switch (e) {
        case Elem::i32: return "int32";
        case Elem::i64: return "int64";
        case Elem::f64: return "float64";
        case Elem::c128: return "complex128";
        default: return "another type";
    }
}

template <class T> constexpr Elem elem_of();
template <> constexpr Elem elem_of<int32_t>() { return Elem::i32; }
template <> constexpr Elem elem_of<int64_t>() { return Elem::i64; }
template <> constexpr Elem elem_of<double>() { return Elem::f64; }
template <> constexpr Elem elem_of<std::complex<double>>() { return Elem::c128; }

// The alignment a typed load of the element type needs (1: read only as bytes).
inline std::size_t elem_alignment(Elem e) {
    switch (e) {
        case Elem::i32: return alignof(int32_t);
        case Elem::i64: return alignof(int64_t);
        case Elem::f64: return alignof(double);
        case Elem::c128: return alignof(std::complex<double>);
        default: return 1;
    }
}

// True when `buf` may be read as elements of type `e` (NumPy's ALIGNED flag can be
// false for a view into a byte buffer: np.frombuffer(b, np.int64, offset=1)).
inline bool is_aligned(const void *buf, Elem e) {
    return reinterpret_cast<std::uintptr_t>(buf) % elem_alignment(e) == 0;
}

// The type code of a buffer-protocol format string in native byte order, without its
// byte-order prefix; nullptr for a null format (unsigned bytes). This library is built
// for little-endian hosts, so '<' is native too; '>' and '!' stay and match nothing.
inline const char *native_format(const char *fmt) {
    if (fmt != nullptr && (*fmt == '@' || *fmt == '=' || *fmt == '<'))
        ++fmt;
    return fmt;
}

// Element type of a buffer-protocol format string (native byte order only).
inline Elem elem_from_format(const char *fmt, Py_ssize_t itemsize) {
    fmt = native_format(fmt);
    if (fmt == nullptr)
        return Elem::other;  // unsigned bytes
    if (fmt[0] == '\0')
        return Elem::other;
    if (fmt[0] == 'Z' && fmt[1] == 'd' && fmt[2] == '\0')
        return itemsize == 16 ? Elem::c128 : Elem::other;
    if (fmt[1] != '\0')
        return Elem::other;
    switch (fmt[0]) {
        case 'i': case 'l': case 'q': case 'n':
            return itemsize == 4 ? Elem::i32 : itemsize == 8 ? Elem::i64 : Elem::other;
        case 'd':
            return itemsize == 8 ? Elem::f64 : Elem::other;
        default:
            return Elem::other;
    }
}

// A held buffer-protocol view of a one-dimensional contiguous array.
class Buffer {
public:
    Buffer() = default;
    Buffer(const Buffer &) = delete;
    Buffer &operator=(const Buffer &) = delete;
    ~Buffer() {
        if (held_)
            PyBuffer_Release(&view_);
    }

    // Acquires `obj` as a 1-D contiguous buffer; `writable` is required for outputs.
    void acquire(nb::handle obj, const char *name, bool writable) {
        name_ = name;
        int flags = PyBUF_FORMAT | PyBUF_STRIDES | (writable ? PyBUF_WRITABLE : 0);
        if (obj.is_none())
            raise(PyExc_TypeError, "Argument '%s' must not be None", name);
        if (!PyObject_CheckBuffer(obj.ptr()))
            raise(PyExc_TypeError, "%s must be a NumPy array (got %s)", name,
                  type_name(obj.ptr()).c_str());
        if (PyObject_GetBuffer(obj.ptr(), &view_, flags) != 0) {
            if (writable) {
                // Distinguish a read-only array from an unusable one.
                Py_buffer probe;
                PyObject *t, *v, *tb;
                PyErr_Fetch(&t, &v, &tb);
                if (PyObject_GetBuffer(obj.ptr(), &probe, flags & ~PyBUF_WRITABLE) == 0) {
                    PyBuffer_Release(&probe);
                    Py_XDECREF(t); Py_XDECREF(v); Py_XDECREF(tb);
                    raise(PyExc_ValueError, "%s must be a writable array (it is read-only)", name);
                }
                PyErr_Clear();
                PyErr_Restore(t, v, tb);
            }
            throw nb::python_error();
        }
        held_ = true;
        if (view_.ndim != 1)
            raise(PyExc_ValueError,
                  "Buffer has wrong number of dimensions: %s must be one-dimensional (got %d dimensions)",
                  name, view_.ndim);
        if (view_.strides != nullptr && view_.shape[0] > 1 && view_.strides[0] != view_.itemsize)
            raise(PyExc_ValueError, "%s must be a contiguous array", name);
        elem_ = elem_from_format(view_.format, view_.itemsize);
        // Every typed read through data<T>() needs an aligned address; an unaligned view
        // is refused here, before anything reads it (the public functions pass copies).
        if (view_.shape[0] > 0 && !is_aligned(view_.buf, elem_))
            raise(PyExc_ValueError,
                  "%s must be an aligned array: its data does not start at a multiple of %zu "
                  "bytes (pass a copy, e.g. numpy.require(%s, requirements='A'))",
                  name, elem_alignment(elem_), name);
    }

    // Acquires and requires the element type `want`.
    // Takes over a view the caller obtained with PyObject_GetBuffer and has checked to be
    // one-dimensional, contiguous and aligned (the CSC fast path); released with this Buffer.
    void adopt(const Py_buffer &view, const char *name) {
        if (held_)
            PyBuffer_Release(&view_);
        view_ = view;
        held_ = true;
        name_ = name;
        elem_ = elem_from_format(view_.format, view_.itemsize);
    }

    void acquire(nb::handle obj, const char *name, bool writable, Elem want) {
        acquire(obj, name, writable);
        require(want);
    }

    void require(Elem want) const {
        if (elem_ != want)
            raise(PyExc_ValueError, "Buffer dtype mismatch: %s must have element type %s, got %s",
                  name_, elem_name(want), elem_ == Elem::other ? view_.format : elem_name(elem_));
    }

    void require_length(Py_ssize_t at_least, const char *what) const {
        if (size() < at_least)
            raise(PyExc_ValueError, "%s is too short: it needs at least %zd entries (%s), got %zd",
                  name_, at_least, what, size());
    }

    void require_exact_length(Py_ssize_t n, const char *what) const {
        if (size() != n)
            raise(PyExc_ValueError, "%s must have %zd entries (%s), got %zd", name_, n, what,
                  size());
    }

    Elem elem() const { return elem_; }
    Py_ssize_t size() const { return view_.ndim == 1 ? view_.shape[0] : 0; }
    // True when both buffers are held and their memory overlaps.
    bool overlaps(const Buffer &other) const {
        if (!held_ || !other.held_ || view_.len == 0 || other.view_.len == 0)
            return false;
        const char *a = static_cast<const char *>(view_.buf);
        const char *b = static_cast<const char *>(other.view_.buf);
        return a < b + other.view_.len && b < a + view_.len;
    }
    template <class T> T *data() const { return static_cast<T *>(view_.buf); }
    const char *name() const { return name_; }

private:
    Py_buffer view_{};
    bool held_ = false;
    Elem elem_ = Elem::other;
    const char *name_ = "";
};

// Pins the memory of any buffer-protocol object (of any shape and strides) for its own
// lifetime: NumPy refuses to resize or free an array while a view of it is exported, so
// a worker may read or write it without the interpreter lock. Holds nothing when `obj`
// exports no buffer (the caller's own checks refuse such an object).
class BufferPin {
public:
    BufferPin() = default;
    BufferPin(const BufferPin &) = delete;
    BufferPin &operator=(const BufferPin &) = delete;
    ~BufferPin() { reset(); }
    void pin(nb::handle obj) {
        reset();
        if (PyObject_GetBuffer(obj.ptr(), &view_, PyBUF_STRIDES) == 0)
            held_ = true;
        else
            PyErr_Clear();
    }

private:
    void reset() {
        if (held_)
            PyBuffer_Release(&view_);
        held_ = false;
    }
    Py_buffer view_{};
    bool held_ = false;
};

// An output the library writes while it reads other buffers must not share memory with
// them: writing through one would change what the library reads through another.
inline void require_disjoint(const Buffer &out, std::initializer_list<const Buffer *> others) {
    for (const Buffer *b : others)
        if (out.overlaps(*b))
            raise(PyExc_ValueError, "%s must not share memory with %s", out.name(), b->name());
}

// The index variant of a call is chosen by the element type of its column pointers.
// Anything but a 4- or 8-byte signed integer buffer has no variant.
inline Elem index_variant(nb::handle Ap) {
    Py_buffer view;
    if (Ap.is_none() || !PyObject_CheckBuffer(Ap.ptr()) ||
        PyObject_GetBuffer(Ap.ptr(), &view, PyBUF_FORMAT | PyBUF_STRIDES) != 0) {
        PyErr_Clear();
        raise(PyExc_TypeError, "No matching signature found");
    }
    Elem e = elem_from_format(view.format, view.itemsize);
    PyBuffer_Release(&view);
    if (e != Elem::i32 && e != Elem::i64)
        raise(PyExc_TypeError, "No matching signature found");
    return e;
}

// n + 1 for a count n read from the caller: refused (ValueError) where the sum would
// overflow, so that no size arithmetic on a caller's number is undefined.
inline int64_t plus_one(int64_t n, const char *name) {
    if (n >= std::numeric_limits<int64_t>::max())
        raise(PyExc_ValueError, "%s = %lld is too large", name, (long long)n);
    return n + 1;
}

// `arr` itself when its data may be read with typed loads, else a copy in the same memory
// order (ndarray.copy("K") allocates aligned memory). For arrays the public functions
// convert from the caller's objects before a worker acquires them.
inline nb::object aligned(nb::object arr) {
    Py_buffer view;
    if (!PyObject_CheckBuffer(arr.ptr()) ||
        PyObject_GetBuffer(arr.ptr(), &view, PyBUF_FORMAT | PyBUF_STRIDES) != 0) {
        PyErr_Clear();
        return arr;  // not a buffer: the worker's own checks refuse it
    }
    Elem e = elem_from_format(view.format, view.itemsize);
    bool ok = is_aligned(view.buf, e);
    PyBuffer_Release(&view);
    return ok ? arr : arr.attr("copy")("K");
}

// Converts a Python integer through __index__, refusing values outside int64.
inline int64_t to_index(nb::handle obj, const char *name) {
    PyObject *num = PyNumber_Index(obj.ptr());
    if (num == nullptr)
        throw nb::python_error();
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(num, &overflow);
    Py_DECREF(num);
    if (overflow != 0)
        raise(PyExc_OverflowError, "%s is too large", name);
    if (v == -1 && PyErr_Occurred())
        throw nb::python_error();
    return (int64_t)v;
}

// Converts a number through the number protocol (__float__, then __index__), the way
// PyFloat_AsDouble does: strings are refused with TypeError.
inline double to_double(nb::handle obj) {
    double v = PyFloat_AsDouble(obj.ptr());
    if (v == -1.0 && PyErr_Occurred())
        throw nb::python_error();
    return v;
}

}  // namespace ferrow
