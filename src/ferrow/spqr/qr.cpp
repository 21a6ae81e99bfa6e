#include "spqr/frame.hpp"

namespace ferrow::spqr {

void register_qr(nb::module_ &m) {}

}  // namespace ferrow::spqr
