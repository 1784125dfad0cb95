// What every entry point of tonesift shares: the owning reference, the process-wide constants that
// start-up builds, argument binding for both calling flavours, the float and integer conversions,
// failure sites with their traceback entries, and the few hooks start-up takes from each folder.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "ref.h"

#include "compat.h"
#include "source_lines.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>
#include <utility>

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

// ---------------------------------------------------------------------------------------------
// Constants made once by start-up

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

// ---------------------------------------------------------------------------------------------
// Failure sites and traceback entries

inline constexpr char source_file[] = "tonesift.cpp";
inline constexpr char string_source[] = "<stringsource>";
inline constexpr char start_up_function[] = "init tonesift";

struct FailureSite {
    const char *function;  // qualified name, as tracebacks print it
    const char *file;
    int line;
};

// Adds the site's entry to the pending exception. The code record of each site is made on its
// first failure and reused after that.
void add_traceback_entry(const FailureSite &site) noexcept;

template <class Result> Result failure_marker() noexcept
{
    if constexpr (std::is_pointer_v<Result>) {
        return nullptr;
    } else {
        return -1;
    }
}

template <class Result> Result fail(const FailureSite &site) noexcept
{
    add_traceback_entry(site);
    return failure_marker<Result>();
}

// ---------------------------------------------------------------------------------------------
// Conversions

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

// ---------------------------------------------------------------------------------------------
// Binding

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

// ---------------------------------------------------------------------------------------------
// The module's function objects

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

// ---------------------------------------------------------------------------------------------
// What start-up takes from the other folders. Each adds its own "init tonesift" entry on failure.

int publish_tonesift(PyObject *module) noexcept;      // the classifier function
int register_skin_type(PyObject *module) noexcept;    // the record type and its helpers

}  // namespace tonesift
