// Lifetimes that start-up and the entry points rely on: state that outlives the interpreter,
// and a pending exception set aside while other code runs.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "compat.h"

namespace tonesift {

// Holds a value for the life of the process. Start-up state must outlive the interpreter's
// finalisation: a static destructor dropping references after it would touch freed memory.
template <class T> class NeverDestroyed {
public:
    constexpr NeverDestroyed() noexcept : value_() {}
    ~NeverDestroyed() {}
    T &get() noexcept { return value_; }

private:
    union {
        T value_;
    };
};

// Sets the pending exception aside for its lifetime and puts it back when it ends, unless the
// owner chose to let a newer error stand.
class ErrorScope {
public:
    ErrorScope() noexcept = default;
    ~ErrorScope();
    ErrorScope(const ErrorScope &) = delete;
    ErrorScope &operator=(const ErrorScope &) = delete;
    void discard() noexcept;

private:
    compat::TakenError taken_;
};

}  // namespace tonesift
