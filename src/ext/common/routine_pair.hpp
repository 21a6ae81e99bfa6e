// A library's pair of routines for 32-bit and 64-bit indices (colamd/colamd_l,
// camd_order/camd_l_order, ...), as a traits struct names it: std::make_pair(&f, &f_l).
#pragma once

#include <cstdint>
#include <type_traits>

namespace ferrow {

// The routine of `pair` for the index type I (int32_t: first, int64_t: second).
template <class I, class Pair> constexpr auto routine(const Pair &pair) {
    static_assert(std::is_same_v<I, int32_t> || std::is_same_v<I, int64_t>,
                  "the libraries have routines for int32 and int64 indices");
    if constexpr (std::is_same_v<I, int32_t>)
        return pair.first;
    else
        return pair.second;
}

}  // namespace ferrow
