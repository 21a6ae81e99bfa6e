// Pieces of docstrings that several modules share word for word.
#pragma once

namespace ferrow::doc_parts {

// The parameter `A` of a function that reads only the pattern of a square matrix.
inline constexpr const char *square_pattern_A = R"(A : (N, N) array_like or sparse matrix
    Square matrix; only its pattern is read. Any SciPy sparse format or dense
    array-like is accepted (non-CSC input is converted with a
    ``SparseEfficiencyWarning``).
)";

}  // namespace ferrow::doc_parts
