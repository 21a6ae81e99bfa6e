// When a library call is worth running without the interpreter lock.
//
// Releasing the lock costs little by itself, but a thread that gives it up must win it
// back, and while another thread runs Python code that can take up to the interpreter's
// switch interval (5 ms by default). For small problems, whose library work takes a few
// microseconds, that wait would be all the call costs; they keep the lock even with the
// switch on. The measure of work is what the call's routine reads: entries plus columns
// (plus rows, where the routine walks them) of its pattern.
#pragma once

#include <cstdint>

#include "threads.hpp"

namespace ferrow {

// Work below which a call keeps the interpreter lock although the switch is on.
inline constexpr int64_t kReleaseGilMinWork = 2000;

// Whether a library call of `work` should run without the interpreter lock now.
inline bool release_gil_for(int64_t work) {
    return work >= kReleaseGilMinWork && release_gil_enabled();
}

}  // namespace ferrow
