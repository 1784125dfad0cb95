// The layout of a Skin record and what the files of the record share about it.
#pragma once

#include "module/call_conventions.h"

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

static_assert(sizeof(SkinObject) == 40, "header and six fields");

inline SkinObject *as_skin(PyObject *object) noexcept
{
    return reinterpret_cast<SkinObject *>(object);
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
