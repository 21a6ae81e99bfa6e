// Module frame shared by every ferrow extension: multi-phase initialisation with
// an exec slot that refuses a second initialisation, declares that the module
// needs the GIL, and lets nanobind register its functions and types on the module;
// once the body is done, its functions and methods get readable signatures and
// documentation (expose_signatures).
#pragma once

#include <nanobind/nanobind.h>

#include "documented_function.hpp"

namespace ferrow {

struct ModuleClaim {
    PyObject *module = nullptr;             // strong reference to the first module object
    PyInterpreterState *interp = nullptr;   // the interpreter that loaded it
};

// 1: initialise `m`; 0: `m` is already initialised, do nothing; -1: error set.
inline int claim_module(ModuleClaim &claim, PyObject *m, const char *name) {
    if (claim.module == nullptr)
        return 1;
    if (claim.interp != PyInterpreterState_Get()) {
        PyErr_Format(PyExc_ImportError,
                     "Module '%s' can only be loaded into one interpreter per process.", name);
        return -1;
    }
    if (claim.module == m)
        return 0;
    PyErr_Format(PyExc_RuntimeError,
                 "Module '%s' has already been imported. Re-initialisation is not supported.",
                 name);
    return -1;
}

inline void record_claim(ModuleClaim &claim, PyObject *m) {
    Py_INCREF(m);
    claim.module = m;
    claim.interp = PyInterpreterState_Get();
}

}  // namespace ferrow

#if PY_VERSION_HEX >= 0x030D0000 && !defined(Py_LIMITED_API)
#define FERROW_GIL_SLOT {Py_mod_gil, Py_MOD_GIL_USED},
#else
#define FERROW_GIL_SLOT
#endif
#if PY_VERSION_HEX >= 0x030C0000
#define FERROW_INTERP_SLOT {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#else
#define FERROW_INTERP_SLOT
#endif

// FERROW_MODULE(name, m) { ... body filling the module `m` ... }
// An exception thrown by the body propagates as is (no wrapping ImportError), so an
// import error of a dependency reaches the user unchanged.
#define FERROW_MODULE(name, variable)                                                    \
    static void ferrow_##name##_body(nanobind::module_);                                \
    static ferrow::ModuleClaim ferrow_##name##_claim;                                   \
    static int ferrow_##name##_exec(PyObject *m) {                                       \
        int claim = ferrow::claim_module(ferrow_##name##_claim, m, #name);               \
        if (claim <= 0)                                                                  \
            return claim;                                                                \
        if (!nanobind::register_module(m))                                               \
            return -1;                                                                   \
        try {                                                                            \
            nanobind::module_ module = nanobind::borrow<nanobind::module_>(m);           \
            ferrow_##name##_body(module);                                                \
            ferrow::expose_signatures(module);                                           \
        } catch (nanobind::python_error & e) {                                           \
            e.restore();                                                                 \
            return -1;                                                                   \
        } catch (const std::exception &e) {                                              \
            PyErr_SetString(PyExc_ImportError, e.what());                                \
            return -1;                                                                   \
        }                                                                                \
        ferrow::record_claim(ferrow_##name##_claim, m);                                  \
        return 0;                                                                        \
    }                                                                                    \
    static PyModuleDef_Slot ferrow_##name##_slots[] = {                                  \
        {Py_mod_exec, (void *)ferrow_##name##_exec},                                     \
        FERROW_GIL_SLOT FERROW_INTERP_SLOT{0, nullptr}};                                 \
    static PyModuleDef ferrow_##name##_def = {                                           \
        PyModuleDef_HEAD_INIT, #name, nullptr, 0, nullptr, ferrow_##name##_slots,        \
        nullptr, nullptr, nullptr};                                                      \
    extern "C" NB_EXPORT PyObject *PyInit_##name(void) {                                 \
        return PyModuleDef_Init(&ferrow_##name##_def);                                   \
    }                                                                                    \
    void ferrow_##name##_body(nanobind::module_ variable)
