// The module-level function tonesift(r, g, b): binds and converts its arguments, applies the
// colour rules and turns a failed division into ZeroDivisionError with the rule's entry. Whole
// 8-bit levels, by far the commonest call, are answered from the verdict table instead: the same
// verdicts, which none of those colours can fail.
#include "module/call_conventions.h"
#include "colour_rules.h"
#include "verdict_table.h"

namespace tonesift {
namespace {

using colour_rules::Verdict;

constexpr Name tonesift_parameters[] = {Name::r, Name::g, Name::b};
constexpr Signature tonesift_signature{"tonesift", tonesift_parameters};

constexpr FailureSite arguments_site{"tonesift.tonesift", source_file, source_line::tonesift};
constexpr FailureSite rule_call_site{"tonesift.tonesift", source_file, source_line::rule_call};
constexpr FailureSite normalising_site{"tonesift._norm_rgb_classifier", source_file,
                                       source_line::normalising};
constexpr FailureSite ratio_test_site{"tonesift._norm_rgb_classifier", source_file,
                                      source_line::ratio_test};
constexpr FailureSite publish_site{start_up_function, source_file, source_line::tonesift};

PyObject *tonesift_impl(double r, double g, double b) noexcept
{
    const Verdict answer = colour_rules::classify(r, g, b);
    if (answer == Verdict::failed_normalising || answer == Verdict::failed_ratio_test) {
        PyErr_SetString(PyExc_ZeroDivisionError, "float division");
        add_traceback_entry(answer == Verdict::failed_normalising ? normalising_site
                                                                  : ratio_test_site);
        return fail<PyObject *>(rule_call_site);
    }
    return Ref::borrow(answer == Verdict::accept ? Py_True : Py_False).release();
}

PyObject *verdict_object(bool accepted) noexcept
{
    // Picked by index, not by a branch: on a mix of colours the verdict is a coin toss.
    PyObject *const answers[2] = {Py_False, Py_True};
    return Ref::borrow(answers[accepted]).release();
}

// Every call that is not three whole levels by position: binding by keyword, the float rule.
[[gnu::noinline]] PyObject *tonesift_general(PyObject *const *args, Py_ssize_t nargs,
                                             PyObject *kwnames) noexcept
{
    if (kwnames != nullptr && !check_keyword_names(kwnames)) {
        return nullptr;
    }
    PyObject *bound[3];
    if (bind_vector_arguments(tonesift_signature, args, nargs, kwnames, bound) < 0) {
        return fail<PyObject *>(arguments_site);
    }
    const int r = whole_level(bound[0]), g = whole_level(bound[1]), b = whole_level(bound[2]);
    if ((r | g | b) >= 0) {
        return verdict_object(verdict_table::accepts(r, g, b));
    }
    // Each component converts once, in order; looking for levels ran no Python code.
    double components[3];
    for (int i = 0; i < 3; ++i) {
        components[i] = to_double(bound[i]);
        if (components[i] == -1.0 && PyErr_Occurred()) {
            return fail<PyObject *>(arguments_site);
        }
    }
    return tonesift_impl(components[0], components[1], components[2]);
}

// Kept out of line so that the table path above calls nothing.
[[gnu::noinline]] PyObject *tonesift_floats(PyObject *const *args) noexcept
{
    return tonesift_impl(PyFloat_AS_DOUBLE(args[0]), PyFloat_AS_DOUBLE(args[1]),
                         PyFloat_AS_DOUBLE(args[2]));
}

// The function's vectorcall. Three whole levels by position, by far the commonest call, stay in
// code that calls nothing and so needs no stack frame.
PyObject *tonesift_vectorcall(PyObject *, PyObject *const *args, std::size_t nargsf,
                              PyObject *kwnames) noexcept
{
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (kwnames == nullptr && nargs == 3) {
        // A first component that is no level rules the table out: the others are not looked at.
        if (const int r = exact_whole_level(args[0]); r >= 0) {
            const int g = exact_whole_level(args[1]), b = exact_whole_level(args[2]);
            if ((g | b) >= 0) {
                return verdict_object(verdict_table::accepts(r, g, b));
            }
        }
        // Three exact floats, the rest of the commonest calls, cannot fail to convert.
        if (PyFloat_CheckExact(args[0]) && PyFloat_CheckExact(args[1]) &&
            PyFloat_CheckExact(args[2])) {
            return tonesift_floats(args);
        }
    }
    return tonesift_general(args, nargs, kwnames);
}

PyObject *tonesift_entry(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                         PyObject *kwnames) noexcept
{
    return tonesift_vectorcall(nullptr, args, static_cast<std::size_t>(nargs), kwnames);
}

const PyMethodDef tonesift_definition = {
    "tonesift", as_method_table_entry<tonesift_entry>(), METH_FASTCALL | METH_KEYWORDS, nullptr};

}  // namespace

int publish_tonesift(PyObject *) noexcept
{
    Ref function = make_function(tonesift_definition, false, Name::tonesift, Name::tonesift,
                                 code_record(CodeRecord::tonesift),
                                 tonesift_vectorcall);
    if (!function ||
        PyDict_SetItem(module_namespace(), constant(Name::tonesift), function.get()) < 0) {
        return fail<int>(publish_site);
    }
    return 0;
}

}  // namespace tonesift
