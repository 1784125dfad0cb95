// The few places where the interpreter's C API differs between the CPython versions tonesift
// builds for (3.8 to 3.15, and 3.13 built without the GIL). Each difference is one small
// function or guard here, so that the rest of the code reads the same on every version.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if PY_VERSION_HEX < 0x030B0000
#include <frameobject.h>
#include <longintrepr.h>  // 3.11 and later include it from Python.h
#endif

#include "ref.h"

#include <cstddef>
#include <cstdint>
#include <mutex>

static_assert(PY_MAJOR_VERSION == 3 && PY_MINOR_VERSION >= 8 && PY_MINOR_VERSION <= 15,
              "tonesift builds for CPython 3.8 to 3.15");

namespace tonesift::compat {

// The flag and the entry type of vectorcall under their public names, which 3.9 and 3.13 gave
// them; 3.8's underscored ones before that.
#if PY_VERSION_HEX >= 0x03090000
constexpr unsigned long have_vectorcall = Py_TPFLAGS_HAVE_VECTORCALL;
#else
constexpr unsigned long have_vectorcall = _Py_TPFLAGS_HAVE_VECTORCALL;
#endif
#if PY_VERSION_HEX >= 0x030D0000
using FastWithKeywords = PyCFunctionFastWithKeywords;
#else
using FastWithKeywords = _PyCFunctionFastWithKeywords;
#endif

// The module slots' numbers. 3.15 numbered slots anew, and its own names give numbers that an
// older host refuses ("unknown slot ID") before the module's version check could say what is
// wrong; the numbers of every earlier version, which 3.15 still takes, keep that check reachable.
#if PY_VERSION_HEX >= 0x030F0000
constexpr int create_slot = 1;
constexpr int exec_slot = 2;
#else
constexpr int create_slot = Py_mod_create;
constexpr int exec_slot = Py_mod_exec;
#endif

// The pending exception, taken out whole and put back: one object from 3.12 on, where the
// (type, value, traceback) triple of PyErr_Fetch and PyErr_Restore is deprecated.
class TakenError {
public:
    TakenError() noexcept
    {
#if PY_VERSION_HEX >= 0x030C0000
        exception_ = Ref::steal(PyErr_GetRaisedException());
#else
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        type_ = Ref::steal(type);
        value_ = Ref::steal(value);
        traceback_ = Ref::steal(traceback);
#endif
    }
    // Makes it the pending exception again, if there was one.
    void restore() noexcept
    {
#if PY_VERSION_HEX >= 0x030C0000
        if (exception_) {
            PyErr_SetRaisedException(exception_.release());
        }
#else
        if (type_) {
            PyErr_Restore(type_.release(), value_.release(), traceback_.release());
        }
#endif
    }
    void discard() noexcept { *this = TakenError(Empty{}); }

private:
    struct Empty {};
    explicit TakenError(Empty) noexcept {}
#if PY_VERSION_HEX >= 0x030C0000
    Ref exception_;
#else
    Ref type_, value_, traceback_;
#endif
};

// An int's value read straight from the object when it is small enough for that: below 2**60
// in magnitude up to 3.11 (two 30-bit digits), below 2**30 from 3.12 on, where only the
// interpreter's supported accessors for compact ints say what the object holds. Returns false,
// reading nothing, for a larger int.
inline bool read_small_long(PyObject *object, std::int64_t &value) noexcept
{
#if PY_VERSION_HEX >= 0x030C0000
    auto *number = reinterpret_cast<PyLongObject *>(object);
    if (!PyUnstable_Long_IsCompact(number)) {
        return false;
    }
    value = PyUnstable_Long_CompactValue(number);
    return true;
#else
    static_assert(PyLong_SHIFT == 30, "the direct path reads 30-bit digits");
    const digit *digits = reinterpret_cast<PyLongObject *>(object)->ob_digit;
    switch (Py_SIZE(object)) {
    case 0:
        value = 0;
        return true;
    case 1:
        value = digits[0];
        return true;
    case -1:
        value = -static_cast<std::int64_t>(digits[0]);
        return true;
    case 2:
        value = static_cast<std::int64_t>(digits[1]) << PyLong_SHIFT | digits[0];
        return true;
    case -2:
        value = -(static_cast<std::int64_t>(digits[1]) << PyLong_SHIFT | digits[0]);
        return true;
    default:
        return false;
    }
#endif
}

// An exact int's value if it is a level 0..255, else -1. Calls nothing.
inline int long_level(PyObject *object) noexcept
{
    std::int64_t value;
    return read_small_long(object, value) && value >= 0 && value <= 255 ? static_cast<int>(value)
                                                                         : -1;
}

// A frame made for a traceback entry shows `line`. Up to 3.10 the frame carries its own line;
// from 3.11 on frames are opaque and a frame that never ran shows its code's first line, which
// the entry's code object already holds.
inline void set_frame_line([[maybe_unused]] PyFrameObject *frame,
                           [[maybe_unused]] int line) noexcept
{
#if PY_VERSION_HEX < 0x030B0000
    frame->f_lineno = line;
#endif
}

// A code object with `count` positional-or-keyword parameters and no body, for the signature
// and traceback entries of the module's functions.
inline PyCodeObject *new_code(int count, int flags, PyObject *code, PyObject *empty_tuple,
                              PyObject *names, PyObject *file, PyObject *function,
                              int first_line, PyObject *line_table) noexcept
{
#if PY_VERSION_HEX >= 0x030C0000
    return PyUnstable_Code_NewWithPosOnlyArgs(
        count, 0, 0, count, 0, flags, code, empty_tuple, empty_tuple, names, empty_tuple,
        empty_tuple, file, function, function, first_line, line_table, line_table);
#elif PY_VERSION_HEX >= 0x030B0000
    return PyCode_NewWithPosOnlyArgs(count, 0, 0, count, 0, flags, code, empty_tuple,
                                     empty_tuple, names, empty_tuple, empty_tuple, file,
                                     function, function, first_line, line_table, line_table);
#else
    return PyCode_NewWithPosOnlyArgs(count, 0, 0, count, 0, flags, code, empty_tuple,
                                     empty_tuple, names, empty_tuple, empty_tuple, file,
                                     function, first_line, line_table);
#endif
}

// Whether the collector has already run this object's finaliser.
inline bool gc_finalized(PyObject *object) noexcept
{
#if PY_VERSION_HEX >= 0x03090000
    return PyObject_GC_IsFinalized(object);
#else
    return _PyGC_FINALIZED(object);
#endif
}

// A static type readied with the heap-type flag set (see skin_type.cpp) misses the immutability
// that 3.10 and later give every static type; this gives it back.
inline void mark_immutable([[maybe_unused]] PyTypeObject &type) noexcept
{
#if PY_VERSION_HEX >= 0x030A0000
    type.tp_flags |= Py_TPFLAGS_IMMUTABLETYPE;
    PyType_Modified(&type);
#endif
}

// Makes a group of writes to one object indivisible for every other thread, as the host's own
// types do: the object's critical section where there is no global lock, nothing where the
// global lock already does it. Code inside must not call back into Python.
class CriticalSection {
public:
#ifdef Py_GIL_DISABLED
    explicit CriticalSection(PyObject *object) noexcept
    {
        PyCriticalSection_Begin(&section_, object);
    }
    ~CriticalSection() { PyCriticalSection_End(&section_); }
#else
    explicit CriticalSection(PyObject *) noexcept {}
#endif
    CriticalSection(const CriticalSection &) = delete;
    CriticalSection &operator=(const CriticalSection &) = delete;

#ifdef Py_GIL_DISABLED
private:
    PyCriticalSection section_;
#endif
};

// A lock for process-wide state that changes after start-up begins, for std::lock_guard. Without
// the global lock it is the host's own mutex, which detaches the waiting thread so that a
// collection that stops the world never waits on it; with the global lock, which every entry
// point holds and nothing inside these sections gives up, it is nothing. Hold it only around
// code that runs no Python.
class ProcessLock {
public:
#ifdef Py_GIL_DISABLED
    void lock() noexcept { PyMutex_Lock(&mutex_); }
    void unlock() noexcept { PyMutex_Unlock(&mutex_); }

private:
    PyMutex mutex_{};
#else
    void lock() noexcept {}
    void unlock() noexcept {}
#endif
};

// Once a second thread starts, a free-threaded interpreter stops counting references to its own
// functions, modules and types (it makes them immortal): two threads calling one function would
// otherwise contend for its count on every call. The module's function objects live as long as
// the process anyway and get the same treatment here, from the start. Nothing with the GIL.
inline void stop_counting_references([[maybe_unused]] PyObject *object) noexcept
{
#ifdef Py_GIL_DISABLED
    PyObject_GC_UnTrack(object);  // what is never freed needs no collecting
    object->ob_tid = _Py_UNOWNED_TID;
    object->ob_ref_local = _Py_IMMORTAL_REFCNT_LOCAL;
    object->ob_ref_shared = 0;
#endif
}

}  // namespace tonesift::compat

// A module slot that declares the module safe to run without the global lock, so that importing
// it leaves a free-threaded interpreter free-threaded. Only a free-threaded build carries it: a
// build with the GIL has no use for it, and an older host loading that build by mistake would
// refuse the unknown slot before the module's own version warning could say what is wrong.
#ifdef Py_GIL_DISABLED
#define TONESIFT_RUNS_WITHOUT_GIL_SLOT {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#else
#define TONESIFT_RUNS_WITHOUT_GIL_SLOT
#endif
