// The owning reference that every native file of the project holds Python objects in.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace tonesift {

class Ref {  // move-only owner of one reference
public:
    constexpr Ref() noexcept = default;
    static Ref steal(PyObject *pointer) noexcept { return Ref(pointer); }
    static Ref borrow(PyObject *pointer) noexcept
    {
        Py_XINCREF(pointer);
        return Ref(pointer);
    }

    Ref(Ref &&other) noexcept : pointer_(std::exchange(other.pointer_, nullptr)) {}
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;

    // The new pointer is stored before the old one is dropped: dropping can run Python code
    // that looks at this very slot.
    Ref &operator=(Ref &&other) noexcept
    {
        if (this != &other) {
            PyObject *old = std::exchange(pointer_, std::exchange(other.pointer_, nullptr));
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(pointer_); }

    PyObject *get() const noexcept { return pointer_; }
    [[nodiscard]] PyObject *release() noexcept { return std::exchange(pointer_, nullptr); }
    explicit operator bool() const noexcept { return pointer_ != nullptr; }

private:
    explicit Ref(PyObject *pointer) noexcept : pointer_(pointer) {}
    PyObject *pointer_ = nullptr;
};

}  // namespace tonesift
