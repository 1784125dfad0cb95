// The float and integer rules that turn arguments into C++ values.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "compat.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <climits>
#include <cstdint>

namespace tonesift {

namespace detail {
double to_double_generic(PyObject *object) noexcept;
std::int32_t to_int32_generic(PyObject *object) noexcept;
std::int32_t to_int32_wide(PyObject *object) noexcept;
std::int32_t raise_int32_overflow() noexcept;
}  // namespace detail

// The float rule. -1.0 with an exception pending is a failure.
inline double to_double(PyObject *object) noexcept
{
    if (PyFloat_CheckExact(object)) {
        return PyFloat_AS_DOUBLE(object);
    }
    // Same value and same OverflowError as the host's float(), without its temporary float.
    if (PyLong_CheckExact(object)) {
        return PyLong_AsDouble(object);
    }
    return detail::to_double_generic(object);
}

namespace detail {
// The double truncated toward zero, or INT_MIN where that is not an int (NaN, out of range):
// what the processor's conversion gives, without the undefined behaviour of a C++ cast.
inline int truncate_to_int(double value) noexcept
{
#if defined(__SSE2__)
    return _mm_cvttsd_si32(_mm_set_sd(value));
#else
    return value > -2147483649.0 && value < 2147483648.0 ? static_cast<int>(value) : INT_MIN;
#endif
}

inline int level_of_double(double component) noexcept
{
    const int level = truncate_to_int(component);
    return static_cast<unsigned>(level) <= 255 && level == component ? level : -1;
}
}  // namespace detail

// A colour component that is a whole 8-bit level: an exact int in 0..255, or an exact float
// holding a whole number in 0..255, -0.0 included. Returns the level, or -1 for anything else.
// Calls nothing, so that the commonest call needs no stack frame.
inline int exact_whole_level(PyObject *object) noexcept
{
    PyTypeObject *type = Py_TYPE(object);
    if (type == &PyLong_Type) {
        return compat::long_level(object);
    }
    return type == &PyFloat_Type ? detail::level_of_double(PyFloat_AS_DOUBLE(object)) : -1;
}

// The same, for floats of a subclass too: the float rule reads their value and never calls
// their own __float__. -1 sends the component through the float rule. Runs no Python code and
// cannot fail, so it may look at every component before any of them converts.
inline int whole_level(PyObject *object) noexcept
{
    const int level = exact_whole_level(object);
    if (level >= 0 || Py_TYPE(object) == &PyLong_Type || !PyFloat_Check(object)) {
        return level;
    }
    return detail::level_of_double(PyFloat_AS_DOUBLE(object));
}

// The integer rule, to a signed 32-bit value. -1 with an exception pending is a failure.
inline std::int32_t to_int32(PyObject *object) noexcept
{
    if (!PyLong_Check(object)) {
        return detail::to_int32_generic(object);
    }
    std::int64_t value;
    if (!compat::read_small_long(object, value)) {
        return detail::to_int32_wide(object);
    }
    if (value < INT32_MIN || value > INT32_MAX) {
        return detail::raise_int32_overflow();
    }
    return static_cast<std::int32_t>(value);
}

}  // namespace tonesift
