// The layout of a Skin record and what the files of the record share about it.
#pragma once

#include "module/call_conventions.h"

#include <atomic>
#include <version>

namespace tonesift {

// The host's object header and six 32-bit fields, nothing else: no dict, no weak references,
// no references held, so the collector never needs to see a record.
struct SkinObject {
    PyObject_HEAD
    std::int32_t id;
    std::int32_t skin;
    std::int32_t region;
    std::int32_t x;
    std::int32_t y;
    std::int32_t checked;
};

// The header is larger where there is no global lock; the fields follow it unpadded either way.
static_assert(offsetof(SkinObject, id) == sizeof(PyObject) &&
                  sizeof(SkinObject) == sizeof(PyObject) + 6 * sizeof(std::int32_t),
              "header and six fields");

inline SkinObject *as_skin(PyObject *object) noexcept
{
    return reinterpret_cast<SkinObject *>(object);
}

using Field = std::int32_t SkinObject::*;

// A field is read without the record's critical section, so that a read costs what a plain load
// does, and may meet a write on another thread: both are atomic, which is a plain move on x86-64
// and aarch64. libc++ has std::atomic_ref only from version 19; before it, the compilers' own
// atomic built-ins (GCC's and clang's alike) make the same relaxed load and store.
inline std::int32_t load_field(PyObject *record, Field field) noexcept
{
#if defined(__cpp_lib_atomic_ref)
    return std::atomic_ref<std::int32_t>(as_skin(record)->*field).load(std::memory_order_relaxed);
#else
    return __atomic_load_n(&(as_skin(record)->*field), __ATOMIC_RELAXED);
#endif
}

// Writers hold the record's critical section (compat::CriticalSection) around all their stores.
inline void store_field(PyObject *record, Field field, std::int32_t value) noexcept
{
#if defined(__cpp_lib_atomic_ref)
    std::atomic_ref<std::int32_t>(as_skin(record)->*field).store(value, std::memory_order_relaxed);
#else
    __atomic_store_n(&(as_skin(record)->*field), value, __ATOMIC_RELAXED);
#endif
}

extern PyTypeObject skin_type;

int ready_skin_type() noexcept;

PyObject *skin_replace(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                       PyObject *kwnames) noexcept;
PyObject *skin_refuse_reduce(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                             PyObject *kwnames) noexcept;
PyObject *skin_refuse_setstate(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                               PyObject *kwnames) noexcept;

// The type's method table, in this order.
enum class SkinMethod { replace, refuse_reduce, refuse_setstate };
const PyMethodDef &skin_method(SkinMethod method) noexcept;

}  // namespace tonesift
