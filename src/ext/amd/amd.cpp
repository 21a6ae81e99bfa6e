// ferrow.amd: approximate minimum degree ordering (SuiteSparse AMD).
// The module is the template of amd/amd_twin.hpp; this file says what is AMD's own.
#include <nanobind/nanobind.h>

#include <amd.h>

#include <utility>

#include "amd/amd_twin.hpp"
#include "common/module_def.hpp"

namespace {

FERROW_AMD_TWIN_CHECK(AMD);

struct AMDLibrary {
    static constexpr bool constrained = false;
    static constexpr const char *library = "AMD", *lib = "amd", *article = "an";

    static void defaults(double *ctrl) { amd_defaults(ctrl); }
    static constexpr auto order = std::make_pair(&amd_order, &amd_l_order);

    // The ordering's docstring is the template's (amd/amd_twin.hpp) with these parts.
    static constexpr ferrow::amd_twin::OrderingDoc doc = {
        R"(Approximate)",
        R"(This is the ordering of `ferrow.camd.camd`
without constraints, computed by the AMD library.)",
        R"()",
        R"(a negative threshold sets aside only completely dense ones (N - 1 entries
    off the diagonal); 16 or fewer off-diagonal entries never count as dense.)",
        R"(Statistics of the ordering, when `return_info` is true.)",
        R"(ValueError
    If `A` is not square or cannot be converted.
AMDInvalidMatrixError
    If the library finds the matrix invalid.
)",
        R"(ferrow.camd.camd, ferrow.colamd.symamd, ferrow.colamd.colamd)",
        R"()"};

    static constexpr const char *module_title = "Approximate", *interface_note = "";
};

}  // namespace

FERROW_MODULE(amd, m) { ferrow::amd_twin::Twin<AMDLibrary>::init(m); }
