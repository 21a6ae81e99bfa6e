// Raising Python exceptions from C++ and creating a module's exception classes.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdarg>
#include <initializer_list>
#include <string>

namespace ferrow {

namespace nb = nanobind;

// The few C-API spellings that differ in a stable-ABI (abi3) build, where type objects are
// opaque and the tuple macros are not available; the full API keeps the direct forms.
//
// The name of the type of `obj` as error messages show it: the type's tp_name, "list",
// "numpy.ndarray", "csc_array". The stable ABI hides tp_name, so there it is rebuilt from
// what it exposes: a class made by a class statement or type() names itself by its bare
// __name__ (those all share one deallocator), a type defined in C by "module.name", or by
// the bare name for builtins.
inline std::string type_name(PyObject *obj) {
#ifdef Py_LIMITED_API
    PyTypeObject *type = Py_TYPE(obj);
    static void *class_dealloc = [] {
        nb::object probe = nb::steal(PyObject_CallFunction((PyObject *)&PyType_Type, "s()N",
                                                           "probe", PyDict_New()));
        void *slot = probe ? PyType_GetSlot((PyTypeObject *)probe.ptr(), Py_tp_dealloc) : nullptr;
        PyErr_Clear();
        return slot;
    }();
    auto text = [](PyObject *str) -> const char * {  // UTF-8 of a str, or null
        const char *utf8 =
            str && PyUnicode_Check(str) ? PyUnicode_AsUTF8AndSize(str, nullptr) : nullptr;
        PyErr_Clear();
        return utf8;
    };
    nb::object name = nb::steal(PyType_GetName(type));
    if (!text(name.ptr()))
        return "<unknown type>";
    std::string result = text(name.ptr());
    if (PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE) &&
        PyType_GetSlot(type, Py_tp_dealloc) == class_dealloc)
        return result;
    nb::object module = nb::steal(PyObject_GetAttrString((PyObject *)type, "__module__"));
    const char *prefix = text(module.ptr());
    if (!prefix || std::string(prefix) == "builtins")
        return result;
    return std::string(prefix) + "." + result;
#else
    return Py_TYPE(obj)->tp_name;
#endif
}

inline Py_ssize_t tuple_size(PyObject *t) {
#ifdef Py_LIMITED_API
    return PyTuple_Size(t);
#else
    return PyTuple_GET_SIZE(t);
#endif
}

inline PyObject *tuple_item(PyObject *t, Py_ssize_t i) {  // borrowed
#ifdef Py_LIMITED_API
    return PyTuple_GetItem(t, i);
#else
    return PyTuple_GET_ITEM(t, i);
#endif
}

inline void tuple_set(PyObject *t, Py_ssize_t i, PyObject *v) {  // steals v; t is new
#ifdef Py_LIMITED_API
    PyTuple_SetItem(t, i, v);
#else
    PyTuple_SET_ITEM(t, i, v);
#endif
}

inline PyObject *call_one(PyObject *f, PyObject *arg) {
#ifdef Py_LIMITED_API
    PyObject *args[1] = {arg};
    return PyObject_Vectorcall(f, args, 1, nullptr);
#else
    return PyObject_CallOneArg(f, arg);
#endif
}

// Sets a Python exception of `type` with a printf-style message and throws, so that
// nanobind hands the exception to the caller unchanged.
[[noreturn]] inline void raise(PyObject *type, const char *fmt, ...) {
    va_list args;
    va_start(args, fmt);
    PyErr_FormatV(type, fmt, args);
    va_end(args);
    throw nb::python_error();
}

[[noreturn]] inline void raise_object(nb::handle type, const std::string &message) {
    PyErr_SetString(type.ptr(), message.c_str());
    throw nb::python_error();
}

// Throws when a Python error is pending (after a C-API call that reported failure).
inline void check_python(bool ok) {
    if (!ok)
        throw nb::python_error();
}

// Replaces the pending exception by a new one of `type`; the pending one becomes its
// context, as a `raise` inside an `except` block does.
[[noreturn]] inline void raise_in_place_of_current(PyObject *type, const char *message) {
    PyObject *old_type, *old_value, *old_tb;
    PyErr_Fetch(&old_type, &old_value, &old_tb);
    PyErr_NormalizeException(&old_type, &old_value, &old_tb);
    if (old_tb != nullptr)
        PyException_SetTraceback(old_value, old_tb);
    PyErr_SetString(type, message);
    PyObject *new_type, *new_value, *new_tb;
    PyErr_Fetch(&new_type, &new_value, &new_tb);
    PyErr_NormalizeException(&new_type, &new_value, &new_tb);
    PyException_SetContext(new_value, old_value);  // steals old_value
    Py_XDECREF(old_type);
    Py_XDECREF(old_tb);
    PyErr_Restore(new_type, new_value, new_tb);
    throw nb::python_error();
}

// Creates `<module>.<name>` with the given bases and docstring and binds it in `m`.
inline nb::object add_exception(nb::module_ &m, const char *name, const char *doc,
                                std::initializer_list<nb::handle> bases) {
    std::string dotted = std::string(PyModule_GetName(m.ptr())) + "." + name;
    // A module loaded as part of the package is named "ferrow.x" by the import system.
    nb::tuple base_tuple = nb::steal<nb::tuple>(PyTuple_New((Py_ssize_t)bases.size()));
    Py_ssize_t k = 0;
    for (nb::handle b : bases)
        tuple_set(base_tuple.ptr(), k++, nb::borrow(b).release().ptr());
    PyObject *cls = PyErr_NewExceptionWithDoc(dotted.c_str(), doc, base_tuple.ptr(), nullptr);
    check_python(cls != nullptr);
    nb::object result = nb::steal(cls);
    m.attr(name) = result;
    return result;
}

}  // namespace ferrow
