// Binding, conversion and failure reporting shared by every entry point: the slow paths behind
// the inline fast paths of call_conventions.h.
#include "call_conventions.h"
#include "module_state.h"

#include <frameobject.h>

#include <cstring>
#include <new>
#include <unordered_map>

namespace tonesift {

// ---------------------------------------------------------------------------------------------
// Failure reports

ErrorScope::~ErrorScope() { taken_.restore(); }

void ErrorScope::discard() noexcept { taken_.discard(); }

namespace {

using CodeCache = std::unordered_map<const FailureSite *, Ref>;
CodeCache *code_cache = nullptr;  // made on the first failure, kept for the process
compat::ProcessLock code_cache_lock;

PyObject *cached_site_code(const FailureSite &site) noexcept
{
    std::lock_guard guard(code_cache_lock);
    if (code_cache == nullptr) {
        return nullptr;
    }
    auto found = code_cache->find(&site);
    return found != code_cache->end() ? found->second.get() : nullptr;
}

// A traceback shows the first line of the entry's code object, whatever the frame says, so each
// site gets a code object of its own. Threads failing at one site at once may each make one; the
// first stored is kept and the others are dropped, outside the lock.
PyObject *site_code(const FailureSite &site) noexcept
{
    if (PyObject *code = cached_site_code(site)) {
        return code;
    }
    Ref code = Ref::steal(reinterpret_cast<PyObject *>(
        PyCode_NewEmpty(site.file, site.function, site.line)));
    if (!code) {
        return nullptr;
    }
    std::lock_guard guard(code_cache_lock);
    if (code_cache == nullptr) {
        code_cache = new (std::nothrow) CodeCache();
        if (code_cache == nullptr) {
            PyErr_NoMemory();
            return nullptr;
        }
    }
    try {
        // A stored code object is never dropped, so the pointer stays good after the lock.
        return code_cache->try_emplace(&site, std::move(code)).first->second.get();
    } catch (...) {
        PyErr_NoMemory();
        return nullptr;
    }
}

}  // namespace

void add_traceback_entry(const FailureSite &site) noexcept
{
    PyObject *globals = state().namespace_dict.get();
    if (globals == nullptr || !PyErr_Occurred()) {
        return;
    }
    Ref frame;
    {
        // The frame constructor mistakes a pending exception for its own failure.
        ErrorScope pending;
        PyObject *code = site_code(site);
        if (code != nullptr) {
            frame = Ref::steal(reinterpret_cast<PyObject *>(PyFrame_New(
                PyThreadState_Get(), reinterpret_cast<PyCodeObject *>(code), globals, nullptr)));
        }
        if (!frame) {
            pending.discard();
            return;
        }
        compat::set_frame_line(reinterpret_cast<PyFrameObject *>(frame.get()), site.line);
    }
    PyTraceBack_Here(reinterpret_cast<PyFrameObject *>(frame.get()));
}

// ---------------------------------------------------------------------------------------------
// Conversions

namespace detail {

double to_double_generic(PyObject *object) noexcept { return PyFloat_AsDouble(object); }

std::int32_t raise_int32_overflow() noexcept
{
    PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
    return -1;
}

std::int32_t to_int32_wide(PyObject *object) noexcept
{
    const long value = PyLong_AsLong(object);
    if (value == -1 && PyErr_Occurred()) {
        return -1;
    }
    if (value < INT32_MIN || value > INT32_MAX) {
        return raise_int32_overflow();
    }
    return static_cast<std::int32_t>(value);
}

std::int32_t to_int32_generic(PyObject *object) noexcept
{
    PyNumberMethods *number = Py_TYPE(object)->tp_as_number;
    Ref result;
    if (number != nullptr && number->nb_int != nullptr) {
        result = Ref::steal(number->nb_int(object));
        if (!result && PyErr_Occurred()) {
            return -1;
        }
    }
    if (!result) {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        return -1;
    }
    PyObject *value = result.get();
    if (!PyLong_CheckExact(value)) {
        if (!PyLong_Check(value)) {
            PyErr_Format(PyExc_TypeError, "__%.4s__ returned non-%.4s (type %.200s)", "int", "int",
                         Py_TYPE(value)->tp_name);
            return -1;
        }
        if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                             "__int__ returned non-int (type %.200s).  The ability to return an "
                             "instance of a strict subclass of int is deprecated, and may be "
                             "removed in a future version of Python.",
                             Py_TYPE(value)->tp_name) < 0) {
            return -1;
        }
    }
    return to_int32(value);
}

}  // namespace detail

// ---------------------------------------------------------------------------------------------
// Argument messages

void raise_argtuple_invalid(const char *function_name, Py_ssize_t expected,
                            Py_ssize_t given) noexcept
{
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 function_name, "exactly", expected, expected == 1 ? "" : "s", given);
}

namespace {

int raise_keywords_not_strings(const char *function_name) noexcept
{
    PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", function_name);
    return -1;
}

int raise_unexpected_keyword(const char *function_name, PyObject *keyword) noexcept
{
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function_name,
                 keyword);
    return -1;
}

}  // namespace

int check_keyword_strings(PyObject *kwnames, const char *function_name) noexcept
{
    if (kwnames == nullptr || PyTuple_GET_SIZE(kwnames) == 0) {
        return 0;
    }
    // '%U' would read a non-str name as a str, and `**{1: 2}` delivers such names unchecked.
    PyObject *first = PyTuple_GET_ITEM(kwnames, 0);
    if (!PyUnicode_Check(first)) {
        return raise_keywords_not_strings(function_name);
    }
    return raise_unexpected_keyword(function_name, first);
}

// ---------------------------------------------------------------------------------------------
// Keyword matching

namespace {

// 1 when equal, 0 when not, -1 with an exception pending.
int keyword_equals(PyObject *keyword, PyObject *name) noexcept
{
    if (keyword == name) {
        return 1;
    }
    const bool keyword_exact = PyUnicode_CheckExact(keyword);
    const bool name_exact = PyUnicode_CheckExact(name);
    if (keyword_exact && name_exact) {
        if (PyUnicode_READY(keyword) < 0 || PyUnicode_READY(name) < 0) {
            return -1;
        }
        const Py_ssize_t length = PyUnicode_GET_LENGTH(keyword);
        if (length != PyUnicode_GET_LENGTH(name)) {
            return 0;
        }
        const Py_hash_t keyword_hash = reinterpret_cast<PyASCIIObject *>(keyword)->hash;
        const Py_hash_t name_hash = reinterpret_cast<PyASCIIObject *>(name)->hash;
        if (keyword_hash != -1 && name_hash != -1 && keyword_hash != name_hash) {
            return 0;
        }
        const int kind = PyUnicode_KIND(keyword);
        if (kind != PyUnicode_KIND(name)) {
            return 0;
        }
        if (length == 0) {
            return 1;
        }
        const void *keyword_data = PyUnicode_DATA(keyword);
        const void *name_data = PyUnicode_DATA(name);
        if (PyUnicode_READ(kind, keyword_data, 0) != PyUnicode_READ(kind, name_data, 0)) {
            return 0;
        }
        return std::memcmp(keyword_data, name_data, static_cast<std::size_t>(length) *
                                                        static_cast<std::size_t>(kind)) == 0;
    }
    if ((keyword == Py_None && name_exact) || (name == Py_None && keyword_exact)) {
        return 0;
    }
    Ref result = Ref::steal(PyObject_RichCompare(keyword, name, Py_EQ));
    if (!result) {
        return -1;
    }
    return PyObject_IsTrue(result.get());
}

// The value passed under `name`, or nullptr; an exception is pending if a comparison failed.
PyObject *find_keyword(PyObject *kwnames, PyObject *const *kwvalues, PyObject *name) noexcept
{
    const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (PyTuple_GET_ITEM(kwnames, i) == name) {
            return kwvalues[i];
        }
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        const int equal = keyword_equals(PyTuple_GET_ITEM(kwnames, i), name);
        if (equal != 0) {
            return equal > 0 ? kwvalues[i] : nullptr;
        }
    }
    return nullptr;
}

PyObject *find_keyword(PyObject *kwargs, PyObject *name) noexcept
{
    // The names are exact, interned str whose hash is cached: the public lookup reads it, as the
    // known-hash one would have been told it.
    return PyDict_GetItemWithError(kwargs, name);
}

void bind(PyObject *&slot, PyObject *value) noexcept { slot = value; }
void bind(Ref &slot, PyObject *value) noexcept { slot = Ref::borrow(value); }

// Walks (name, value) pairs of a keyword tuple and its values.
class VectorKeywords {
public:
    VectorKeywords(PyObject *kwnames, PyObject *const *kwvalues) noexcept
        : kwnames_(kwnames), kwvalues_(kwvalues)
    {
    }
    bool next(PyObject *&name, PyObject *&value) noexcept
    {
        if (index_ >= PyTuple_GET_SIZE(kwnames_)) {
            return false;
        }
        name = PyTuple_GET_ITEM(kwnames_, index_);
        value = kwvalues_[index_++];
        return true;
    }

private:
    PyObject *kwnames_;
    PyObject *const *kwvalues_;
    Py_ssize_t index_ = 0;
};

// Walks the items of a keyword dictionary in its iteration order.
class DictKeywords {
public:
    explicit DictKeywords(PyObject *kwargs) noexcept : kwargs_(kwargs) {}
    bool next(PyObject *&name, PyObject *&value) noexcept
    {
        return PyDict_Next(kwargs_, &position_, &name, &value) != 0;
    }

private:
    PyObject *kwargs_;
    Py_ssize_t position_ = 0;
};

// 1 when `keyword` names the same parameter as `name` by text, 0 when not, -1 on error.
int same_text(PyObject *keyword, PyObject *name) noexcept
{
    if (PyUnicode_READY(keyword) < 0) {
        return -1;
    }
    if (PyUnicode_GET_LENGTH(keyword) != PyUnicode_GET_LENGTH(name)) {
        return 0;
    }
    const int order = PyUnicode_Compare(keyword, name);
    if (order == -1 && PyErr_Occurred()) {
        return -1;
    }
    return order == 0;
}

// The general keyword scan: every keyword must name a parameter not bound by position. The first
// offending keyword, in the order passed, decides the message.
template <class Keywords, class Slot>
int parse_optional_keywords(Keywords keywords, const Signature &signature, Slot *bound,
                            Py_ssize_t positional_count) noexcept
{
    const auto count = static_cast<Py_ssize_t>(signature.parameters.size());
    PyObject *keyword;
    PyObject *value;
    while (keywords.next(keyword, value)) {
        Py_ssize_t match = -1;
        for (Py_ssize_t i = positional_count; i < count && match < 0; ++i) {
            if (keyword == interned(signature.parameters[i])) {
                match = i;
            }
        }
        if (match < 0 && !PyUnicode_Check(keyword)) {
            return raise_keywords_not_strings(signature.function_name);
        }
        for (Py_ssize_t i = positional_count; i < count && match < 0; ++i) {
            const int equal = same_text(keyword, interned(signature.parameters[i]));
            if (equal < 0) {
                return -1;
            }
            if (equal > 0) {
                match = i;
            }
        }
        if (match >= 0) {
            bind(bound[match], value);
            continue;
        }
        for (Py_ssize_t i = 0; i < positional_count; ++i) {
            PyObject *name = interned(signature.parameters[i]);
            const int equal = keyword == name ? 1 : same_text(keyword, name);
            if (equal < 0) {
                return -1;
            }
            if (equal > 0) {
                PyErr_Format(PyExc_TypeError,
                             "%s() got multiple values for keyword argument '%U'",
                             signature.function_name, keyword);
                return -1;
            }
        }
        return raise_unexpected_keyword(signature.function_name, keyword);
    }
    return 0;
}

// Steps shared by both flavours once keywords are present: positionals first, then each later
// parameter from the keywords, then the scan over whatever keywords are left over.
template <class Keywords, class Slot, class Lookup>
int bind_with_keywords(const Signature &signature, Py_ssize_t nargs, Py_ssize_t keyword_count,
                       Keywords keywords, Slot *bound, Lookup look_up) noexcept
{
    const auto count = static_cast<Py_ssize_t>(signature.parameters.size());
    if (nargs > count) {
        raise_argtuple_invalid(signature.function_name, count, nargs);
        return -1;
    }
    Py_ssize_t remaining = keyword_count;
    for (Py_ssize_t i = nargs; i < count; ++i) {
        PyObject *value = look_up(interned(signature.parameters[i]));
        if (value == nullptr) {
            if (!PyErr_Occurred()) {
                raise_argtuple_invalid(signature.function_name, count, i);
            }
            return -1;
        }
        bind(bound[i], value);
        --remaining;
    }
    if (remaining > 0) {
        return parse_optional_keywords(keywords, signature, bound, nargs);
    }
    return 0;
}

}  // namespace

namespace detail {

int bind_vector_keywords(const Signature &signature, PyObject *const *args, Py_ssize_t nargs,
                         PyObject *kwnames, PyObject **bound) noexcept
{
    const auto count = static_cast<Py_ssize_t>(signature.parameters.size());
    for (Py_ssize_t i = 0; i < nargs && i < count; ++i) {
        bound[i] = args[i];
    }
    PyObject *const *kwvalues = args + nargs;
    return bind_with_keywords(
        signature, nargs, PyTuple_GET_SIZE(kwnames), VectorKeywords(kwnames, kwvalues), bound,
        [=](PyObject *name) { return find_keyword(kwnames, kwvalues, name); });
}

int bind_dict_keywords(const Signature &signature, PyObject *args, PyObject *kwargs,
                       Ref *bound) noexcept
{
    if (!PyDict_Check(kwargs)) {
        PyErr_BadInternalCall();
        return -1;
    }
    const auto count = static_cast<Py_ssize_t>(signature.parameters.size());
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    for (Py_ssize_t i = 0; i < nargs && i < count; ++i) {
        bound[i] = Ref::borrow(PyTuple_GET_ITEM(args, i));
    }
    return bind_with_keywords(signature, nargs, PyDict_GET_SIZE(kwargs), DictKeywords(kwargs),
                              bound, [=](PyObject *name) { return find_keyword(kwargs, name); });
}

}  // namespace detail
}  // namespace tonesift
