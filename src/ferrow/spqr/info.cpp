#include "spqr/frame.hpp"

namespace ferrow::spqr {

void register_info(nb::module_ &m) {}

}  // namespace ferrow::spqr
