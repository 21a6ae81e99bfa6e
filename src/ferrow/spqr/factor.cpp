#include "spqr/frame.hpp"

namespace ferrow::spqr {

void register_factor(nb::module_ &m) {}

}  // namespace ferrow::spqr
