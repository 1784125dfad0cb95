// The process-wide constants that start-up builds once: interned names and code records.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tonesift {

enum class Name : int {
    r, g, b, self, skin_id, skin, region, x, y, checked, state,
    dunder_name, dunder_main, dunder_test, dunder_reduce, dunder_reduce_ex, dunder_getstate,
    dunder_setstate, replace, skin_class, type_error, tonesift, refuse_reduce, refuse_setstate,
    qualified_replace, qualified_refuse_reduce, qualified_refuse_setstate,
    gc, isenabled, disable, enable, source_file, string_source, refusal_message,
    count  // end of the table
};

enum class CodeRecord : int { replace, refuse_reduce, refuse_setstate, tonesift, count };

PyObject *constant(Name name) noexcept;
PyObject *code_record(CodeRecord record) noexcept;
PyObject *module_namespace() noexcept;
PyObject *empty_tuple() noexcept;
PyObject *builtin_type_error() noexcept;

}  // namespace tonesift
