// The module's function objects: method-table entries and the function type that calls them.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "constants.h"
#include "ref.h"

namespace tonesift {

// Entries receive (receiver or nullptr, positional arguments, their count, keyword names), the
// host's fast calling convention with keywords.
using FastEntry = PyObject *(*)(PyObject *, PyObject *const *, Py_ssize_t, PyObject *) noexcept;

template <FastEntry entry> PyCFunction as_method_table_entry() noexcept
{
    // The method table stores every calling convention behind one pointer type.
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry));
}

int ready_function_type() noexcept;

// Sets TypeError and returns false when a keyword name is not a str: the host hands a `**mapping`
// to vectorcall with its keys unchecked, so every vectorcall checks them itself.
bool check_keyword_names(PyObject *kwnames) noexcept;

// A function object that calls `definition` by vectorcall, or calls `direct` as its vectorcall
// instead (which then checks keyword names itself). One that takes a receiver binds as a method
// when stored in a type and treats its first positional argument as the receiver.
Ref make_function(const PyMethodDef &definition, bool takes_receiver, Name name,
                  Name qualified_name, PyObject *code, vectorcallfunc direct = nullptr) noexcept;

}  // namespace tonesift
