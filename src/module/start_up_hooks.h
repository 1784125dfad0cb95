// What start-up takes from the other folders. Each adds its own "init tonesift" entry on failure.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tonesift {

int publish_tonesift(PyObject *module) noexcept;      // the classifier function
int register_skin_type(PyObject *module) noexcept;    // the record type and its helpers

}  // namespace tonesift
