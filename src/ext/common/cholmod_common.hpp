// The owner of a CHOLMOD common block, for the two index families (cholmod_start /
// cholmod_l_start): started in the constructor, finished on every exit. Plain C++: it
// may live inside a worker that runs without the interpreter lock.
#pragma once

#include <cholmod.h>

namespace ferrow {

inline bool start_cholmod_common(cholmod_common *cc, bool use_int32) {
    return (use_int32 ? cholmod_start(cc) : cholmod_l_start(cc)) != 0;
}

inline void finish_cholmod_common(cholmod_common *cc, bool use_int32) {
    if (use_int32) cholmod_finish(cc);
    else cholmod_l_finish(cc);
}

class CholmodCommon {
public:
    explicit CholmodCommon(bool use_int32) : int32_(use_int32) {
        started_ = start_cholmod_common(&cc_, int32_);
    }
    ~CholmodCommon() {
        if (started_) finish_cholmod_common(&cc_, int32_);
    }
    CholmodCommon(const CholmodCommon &) = delete;
    CholmodCommon &operator=(const CholmodCommon &) = delete;

    // False when cholmod_start failed (status() then says why).
    bool started() const { return started_; }
    int status() const { return cc_.status; }
    cholmod_common *get() { return &cc_; }
    bool use_int32() const { return int32_; }

private:
    cholmod_common cc_;
    bool int32_;
    bool started_ = false;
};

}  // namespace ferrow

namespace ferrow {

// cholmod_free_dense / cholmod_free_sparse of the index family I (null-safe).
template <class I> void free_dense(cholmod_dense **X, cholmod_common *cc) {
    if (*X == nullptr) return;
    if constexpr (sizeof(I) == 4) cholmod_free_dense(X, cc);
    else cholmod_l_free_dense(X, cc);
}

template <class I> void free_sparse(cholmod_sparse **A, cholmod_common *cc) {
    if (*A == nullptr) return;
    if constexpr (sizeof(I) == 4) cholmod_free_sparse(A, cc);
    else cholmod_l_free_sparse(A, cc);
}

}  // namespace ferrow
