// Argument binding for both calling flavours (vector and tuple with dict), to a signature of
// required positional-or-keyword parameters.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "constants.h"
#include "ref.h"

#include <span>

namespace tonesift {

struct Signature {
    const char *function_name;        // the bare name that argument messages use
    std::span<const Name> parameters;  // all required, all positional-or-keyword
};

void raise_argtuple_invalid(const char *function_name, Py_ssize_t expected,
                            Py_ssize_t given) noexcept;

// For methods without parameters: fails on the first keyword of a non-empty keyword tuple.
int check_keyword_strings(PyObject *kwnames, const char *function_name) noexcept;

namespace detail {
int bind_vector_keywords(const Signature &signature, PyObject *const *args, Py_ssize_t nargs,
                         PyObject *kwnames, PyObject **bound) noexcept;
int bind_dict_keywords(const Signature &signature, PyObject *args, PyObject *kwargs,
                       Ref *bound) noexcept;
}  // namespace detail

// Vector flavour. The bound values borrow from the caller's argument array, which outlives the
// call and cannot be changed by Python code.
inline int bind_vector_arguments(const Signature &signature, PyObject *const *args,
                                 Py_ssize_t nargs, PyObject *kwnames, PyObject **bound) noexcept
{
    const auto count = static_cast<Py_ssize_t>(signature.parameters.size());
    if (kwnames == nullptr) {
        if (nargs != count) {
            raise_argtuple_invalid(signature.function_name, count, nargs);
            return -1;
        }
        for (Py_ssize_t i = 0; i < count; ++i) {
            bound[i] = args[i];
        }
        return 0;
    }
    return detail::bind_vector_keywords(signature, args, nargs, kwnames, bound);
}

// Dictionary flavour. The bound values hold references: a caller's `**mapping` arrives as the
// caller's own dict, which a conversion running Python code may empty.
inline int bind_dict_arguments(const Signature &signature, PyObject *args, PyObject *kwargs,
                               Ref *bound) noexcept
{
    const auto count = static_cast<Py_ssize_t>(signature.parameters.size());
    if (kwargs == nullptr) {
        const Py_ssize_t given = PyTuple_GET_SIZE(args);
        if (given != count) {
            raise_argtuple_invalid(signature.function_name, count, given);
            return -1;
        }
        for (Py_ssize_t i = 0; i < count; ++i) {
            bound[i] = Ref::borrow(PyTuple_GET_ITEM(args, i));
        }
        return 0;
    }
    return detail::bind_dict_keywords(signature, args, kwargs, bound);
}

}  // namespace tonesift
