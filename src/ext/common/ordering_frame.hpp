// What the ordering modules (AMD/CAMD, COLAMD/CCOLAMD) keep of NumPy, and their start.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>

#include "buffers.hpp"
#include "pyobj.hpp"
#include "threads.hpp"

namespace ferrow {

namespace nb = nanobind;

// The NumPy callables and dtypes an ordering module uses, bound when it loads.
struct OrderingNumpy {
    Held empty, zeros, asarray, ascontiguousarray, float64, int32, int64;

    // The dtype of the index variant of a call (int32 or int64).
    nb::handle index_dtype(Elem index) const {
        return index == Elem::i32 ? int32.get() : int64.get();
    }
};

// The start of an ordering module: the frame every extension shares (docstring, `np`,
// `dataclass`, `validate_csc_input`, `__all__` of `n_all` names), its NumPy objects in
// `np`, and the thread switch.
inline void init_ordering_module(nb::module_ &m, const char *doc, OrderingNumpy &np,
                                 Held &validate_csc_input, const char *const *all, size_t n_all) {
    init_module_frame(m, doc,
                      {{&np.empty, "empty"},
                       {&np.zeros, "zeros"},
                       {&np.asarray, "asarray"},
                       {&np.ascontiguousarray, "ascontiguousarray"},
                       {&np.float64, "float64"},
                       {&np.int32, "int32"},
                       {&np.int64, "int64"}},
                      true, validate_csc_input, all, n_all);
    bind_thread_switch();
}

}  // namespace ferrow
