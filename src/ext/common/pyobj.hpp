// Small helpers for module-level Python objects that live as long as the process.
#pragma once

#include <nanobind/nanobind.h>

#include <array>
#include <initializer_list>
#include <string>

#include "buffers.hpp"
#include "errors.hpp"

namespace ferrow {

namespace nb = nanobind;

// A module-level reference that is never released: a module may be loaded into one
// interpreter only, so its objects are needed until the process ends, and releasing
// them from a static destructor would run after the interpreter is gone.
class Held {
public:
    Held() = default;
    void set(nb::handle h) { ptr_ = nb::borrow(h).release().ptr(); }
    nb::handle get() const { return ptr_; }
    PyObject *ptr() const { return ptr_; }
    template <class... Args> nb::object operator()(Args &&...args) const {
        return nb::handle(ptr_)(std::forward<Args>(args)...);
    }

private:
    PyObject *ptr_ = nullptr;
};

// `from <module> import <name>`, binding the name in `m` too.
inline nb::object import_into(nb::module_ &m, const char *module, const char *name,
                              const char *as = nullptr) {
    nb::object obj = nb::module_::import_(module).attr(name);
    m.attr(as ? as : name) = obj;
    return obj;
}

inline bool truth(nb::handle obj) {
    int t = PyObject_IsTrue(obj.ptr());
    check_python(t >= 0);
    return t != 0;
}

// A flag parameter (`return_info`, `transpose`, `use_singletons`, ...): the binding accepts
// any object, None included, and the function reads its truth value as Python's `if flag:`
// does. The truth value is taken when the function asks for it, so that an exception
// raised by `__bool__` propagates unchanged.
struct Flag {
    nb::handle obj = Py_False;  // borrowed from the call's arguments
    bool value() const { return truth(obj); }
};

}  // namespace ferrow

namespace nanobind::detail {

template <> struct type_caster<ferrow::Flag> {
    NB_TYPE_CASTER(ferrow::Flag, const_name("bool"))
    bool from_python(handle src, uint32_t, cleanup_list *) noexcept {
        value.obj = src;
        return true;
    }
    static handle from_cpp(const ferrow::Flag &f, rv_policy, cleanup_list *) noexcept {
        return f.obj.inc_ref();
    }
};
// Like std::optional: None reaches the function without a `.none()` annotation.
template <> struct has_arg_defaults<ferrow::Flag> : std::true_type {};

}  // namespace nanobind::detail

namespace ferrow {

// Calls `convert(x, dtype=dtype)` (np.asarray, np.ascontiguousarray, ...), with `order=order`
// when given; a TypeError of the conversion is replaced by TypeError(`message`), other
// errors pass unchanged. The result is aligned for typed reads (a copy when the caller's
// array was not).
inline nb::object convert_integer_vector(const Held &convert, nb::handle x, nb::handle dtype,
                                         const char *message, const char *order = nullptr) {
    nb::dict kw;
    kw["dtype"] = dtype;
    if (order != nullptr)
        kw["order"] = order;
    PyObject *r = PyObject_Call(convert.ptr(), nb::make_tuple(x).ptr(), kw.ptr());
    if (r == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_TypeError))
            raise_in_place_of_current(PyExc_TypeError, message);
        throw nb::python_error();
    }
    return aligned(nb::steal(r));
}

// `a, b, c = obj` with Python's unpacking rules and messages.
template <size_t K> std::array<nb::object, K> unpack(nb::handle obj) {
    PyObject *it = PyObject_GetIter(obj.ptr());
    if (it == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            raise(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                  type_name(obj.ptr()).c_str());
        }
        throw nb::python_error();
    }
    nb::object iter = nb::steal(it);
    std::array<nb::object, K> items;
    for (size_t k = 0; k < K; ++k) {
        PyObject *item = PyIter_Next(it);
        if (item == nullptr) {
            check_python(!PyErr_Occurred());
            raise(PyExc_ValueError, "not enough values to unpack (expected %zu, got %zu)", K, k);
        }
        items[k] = nb::steal(item);
    }
    PyObject *extra = PyIter_Next(it);
    if (extra != nullptr) {
        Py_DECREF(extra);
        raise(PyExc_ValueError, "too many values to unpack (expected %zu)", K);
    }
    check_python(!PyErr_Occurred());
    return items;
}

inline nb::list make_list(const char *const *names, size_t n) {
    nb::list l;
    for (size_t k = 0; k < n; ++k)
        l.append(nb::str(names[k]));
    return l;
}

// The start every extension module shares: its docstring, `np` and the NumPy callables
// it keeps, optionally `dataclass` (for modules with records), `validate_csc_input` and
// `__all__`, set on `m` in that order.
struct NumpyName {
    Held *slot;
    const char *name;
};
inline void init_module_frame(nb::module_ &m, const char *doc,
                              std::initializer_list<NumpyName> numpy, bool with_dataclass,
                              Held &validate_csc_input, const char *const *all, size_t n_all) {
    m.doc() = doc;
    nb::module_ np = nb::module_::import_("numpy");
    m.attr("np") = np;
    for (const NumpyName &entry : numpy)
        entry.slot->set(np.attr(entry.name));
    if (with_dataclass)
        import_into(m, "dataclasses", "dataclass");
    validate_csc_input.set(import_into(m, "ferrow.utils", "validate_csc_input"));
    m.attr("__all__") = make_list(all, n_all);
}

}  // namespace ferrow
