// ferrow.camd: constrained approximate minimum degree ordering (SuiteSparse CAMD).
// The module is the template of amd/amd_twin.hpp; this file says what is CAMD's own.
#include <nanobind/nanobind.h>

#include <camd.h>

#include <utility>

#include "amd/amd_twin.hpp"
#include "common/module_def.hpp"

namespace {

FERROW_AMD_TWIN_CHECK(CAMD);

struct CAMDLibrary {
    static constexpr bool constrained = true;
    static constexpr const char *library = "CAMD", *lib = "camd", *article = "a";

    static void defaults(double *ctrl) { camd_defaults(ctrl); }
    static constexpr auto order = std::make_pair(&camd_order, &camd_l_order);

    // The ordering's docstring is the template's (amd/amd_twin.hpp) with these parts.
    static constexpr ferrow::amd_twin::OrderingDoc doc = {
        R"(Constrained approximate)",
        R"(An optional constraint vector assigns each node
a group number: all nodes of group 0 come first in `p`, then group 1, and so on.)",
        R"(constraints : (N,) array_like of int, optional
    Group number of every node, each in ``0 .. N-1``. None (default) puts every
    node in the same group.
)",
        R"(a negative threshold sets none aside; 16 or fewer off-diagonal entries never
    count as dense.)",
        R"(Statistics of the ordering, when `return_info` is true. A matrix without
    entries is answered without the library: its nodes in the order of their
    constraint sets (natural order within a set) and the statistics the library
    reports for such a matrix.)",
        R"(ValueError
    If `A` is not square or cannot be converted, or `constraints` has the
    wrong length.
TypeError
    If `constraints` is not an array of integers.
CAMDInvalidMatrixError
    If the library finds the matrix or the constraints invalid.
)",
        R"(ferrow.amd.amd, ferrow.colamd.colamd, ferrow.ccolamd.ccolamd)",
        R"(>>> sorted(camd(A, constraints=[1, 1, 0, 0]).tolist()[:2])  # group 0 first
[2, 3]
)"};
    static constexpr const char *module_title = "Constrained Approximate", *interface_note = ", with constraints";
};

}  // namespace

FERROW_MODULE(camd, m) { ferrow::amd_twin::Twin<CAMDLibrary>::init(m); }
