// The compiled interface that ferrow.cholmod publishes in the capsule
// `ferrow.cholmod._C_API`, the way NumPy publishes its C API.
//
// A consumer checks `version` and `size` before using any member. Functions that
// take over a CHOLMOD result free it on every path, failures included.
#pragma once

#include <Python.h>
#include <cholmod.h>

#include <cstdint>

#define FERROW_CHOLMOD_API_VERSION 2
#define FERROW_CHOLMOD_CAPSULE "ferrow.cholmod._C_API"

extern "C" {

struct ferrow_cholmod_api {
    uint32_t version;  // FERROW_CHOLMOD_API_VERSION
    uint32_t size;     // sizeof(struct ferrow_cholmod_api)

    // A new scipy.sparse.csc_array of A's shape and entries; takes over A.
    PyObject *(*csc_from_cholmod_sparse)(cholmod_sparse *A, cholmod_common *cc);
    // A new 2-D ndarray (float64 or complex128 after X's xtype); takes over X.
    PyObject *(*ndarray_from_cholmod_dense)(cholmod_dense *X, int use_int32, cholmod_common *cc);
    // A new 1-D int32 (use_int32) or int64 array copying n integers; p stays the caller's.
    PyObject *(*ndarray_copy_from_intptr)(const void *p, Py_ssize_t n, int use_int32);
    // Copies src's settings and statistics into dest (both started, one family);
    // -1 with a Python exception set on failure.
    int (*copy_cholmod_common)(cholmod_common *dest, const cholmod_common *src);
    // Makes `header` a view of a 2-D array whose first axis is contiguous: variant 0
    // float32, 1 float64, 2 complex64, 3 complex128. -1 with TypeError set when the
    // array does not have that element type or layout.
    int (*dense_from_ndarray[4])(PyObject *array, cholmod_dense *header);
    // Fills `header` as a view of a CSC matrix's arrays (the C form of the Python
    // function _cholmod_sparse_from_csc); -1 with a Python exception set on failure.
    int (*sparse_from_csc)(PyObject *shape, PyObject *indptr, PyObject *indices, PyObject *data,
                           int stype, cholmod_sparse *header);
    // A new scipy.sparse.csc_array of shape (nrow, ncol) over exactly these arrays (no
    // check, no copy, no recast: the caller has checked them); nullptr with an exception
    // set on failure. The one builder of such arrays in ferrow (version 2).
    PyObject *(*csc_from_arrays)(Py_ssize_t nrow, Py_ssize_t ncol, PyObject *indptr,
                                 PyObject *indices, PyObject *data);
};

}  // extern "C"

// Imports ferrow.cholmod and returns its interface; nullptr with ImportError (module or
// capsule missing) or TypeError (another version or layout) set.
inline const ferrow_cholmod_api *ferrow_import_cholmod_api() {
    PyObject *mod = PyImport_ImportModule("ferrow.cholmod");
    if (mod == nullptr)
        return nullptr;
    PyObject *cap = PyObject_GetAttrString(mod, "_C_API");
    Py_DECREF(mod);
    if (cap == nullptr) {
        PyErr_SetString(PyExc_ImportError, "ferrow.cholmod does not publish _C_API");
        return nullptr;
    }
    void *p = PyCapsule_GetPointer(cap, FERROW_CHOLMOD_CAPSULE);
    Py_DECREF(cap);
    if (p == nullptr) {
        PyErr_Clear();
        PyErr_SetString(PyExc_ImportError, "ferrow.cholmod._C_API is not a " FERROW_CHOLMOD_CAPSULE " capsule");
        return nullptr;
    }
    auto *api = static_cast<const ferrow_cholmod_api *>(p);
    if (api->version != FERROW_CHOLMOD_API_VERSION || api->size != sizeof(ferrow_cholmod_api)) {
        PyErr_Format(PyExc_TypeError,
                     "ferrow.cholmod C API version %u (size %u) does not match the expected "
                     "version %d (size %zu); rebuild ferrow",
                     api->version, api->size, FERROW_CHOLMOD_API_VERSION, sizeof(ferrow_cholmod_api));
        return nullptr;
    }
    return api;
}
