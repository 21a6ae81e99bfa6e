// The process-wide switch that lets library work run without the interpreter lock.
//
// The switch lives in ferrow._structure, which every module loads through ferrow.utils,
// and is published to the other modules as a capsule holding a pointer to its state:
// every extension is a separate shared object, and a static in this header would give
// each module a switch of its own. Calls read it with two relaxed atomic loads.
//
// Off (the default), every call holds the lock through the library call. On, the binding
// layer converts and checks every Python object first, keeps references to every array
// the library reads or writes (held Py_buffer views, so NumPy refuses to resize them),
// releases the lock around the worker only, and takes it back before building results
// or raising.
#pragma once

#include <nanobind/nanobind.h>

#include <atomic>
#include <cstdint>
#include <optional>

#include "errors.hpp"

namespace ferrow {

namespace nb = nanobind;

struct ThreadSwitch {
    uint32_t version;          // kThreadSwitchVersion
    uint32_t size;             // sizeof(ThreadSwitch)
    std::atomic<int> enabled;  // release_gil(True/False)
    std::atomic<int> scoped;   // open `with releasing_gil():` blocks, all threads together
};

constexpr uint32_t kThreadSwitchVersion = 1;
constexpr const char *kThreadSwitchCapsule = "ferrow._structure._thread_switch";

// This module's pointer to the switch, bound by bind_thread_switch() when it loads.
inline const ThreadSwitch *thread_switch = nullptr;

inline void bind_thread_switch() {
    nb::module_ structure = nb::module_::import_("ferrow._structure");
    nb::object capsule = structure.attr("_thread_switch");
    void *p = PyCapsule_GetPointer(capsule.ptr(), kThreadSwitchCapsule);
    check_python(p != nullptr);
    auto *s = static_cast<const ThreadSwitch *>(p);
    if (s->version != kThreadSwitchVersion || s->size != sizeof(ThreadSwitch))
        raise(PyExc_TypeError, "ferrow._structure has another thread switch version (%u, %u bytes)",
              s->version, s->size);
    thread_switch = s;
}

// Whether library work should run without the interpreter lock now.
inline bool release_gil_enabled() {
    const ThreadSwitch *s = thread_switch;
    return s != nullptr && (s->enabled.load(std::memory_order_relaxed) != 0 ||
                            s->scoped.load(std::memory_order_relaxed) > 0);
}

// Scope around a worker call: releases the interpreter lock for its duration when the
// switch is on (or when `release` says so), and takes it back on every exit, exceptions
// included. Nothing inside the scope may touch a Python object.
class LibraryCall {
public:
    explicit LibraryCall(bool release = release_gil_enabled()) {
        if (release)
            state_ = PyEval_SaveThread();
    }
    ~LibraryCall() {
        if (state_ != nullptr)
            PyEval_RestoreThread(state_);
    }
    LibraryCall(const LibraryCall &) = delete;
    LibraryCall &operator=(const LibraryCall &) = delete;
    bool released() const { return state_ != nullptr; }

private:
    PyThreadState *state_ = nullptr;
};

// Runs f() inside a LibraryCall and returns its result.
template <class F> decltype(auto) run_worker(F &&f) {
    LibraryCall scope;
    return f();
}

}  // namespace ferrow
