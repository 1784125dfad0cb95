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

constexpr FailureSite arguments_site{"tonesift.tonesift", source_file, 34};
constexpr FailureSite rule_call_site{"tonesift.tonesift", source_file, 37};
constexpr FailureSite normalising_site{"tonesift._norm_rgb_classifier", source_file, 57};
constexpr FailureSite ratio_test_site{"tonesift._norm_rgb_classifier", source_file, 58};
constexpr FailureSite publish_site{start_up_function, source_file, 34};

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

PyObject *tonesift_entry(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                         PyObject *kwnames) noexcept
{
    PyObject *bound[3];
    if (bind_vector_arguments(tonesift_signature, args, nargs, kwnames, bound) < 0) {
        return fail<PyObject *>(arguments_site);
    }
    // Each component is converted once, in order: whole levels while they last, and from the
    // first one that is not, the float rule for it and the rest.
    double components[3];
    int levels[3];
    int i = 0;
    while (i < 3 && (levels[i] = to_level(bound[i], components[i])) >= 0) {
        ++i;
    }
    if (i == 3) {
        // Picked by index, not by a branch: on a mix of colours the verdict is a coin toss.
        PyObject *const answers[2] = {Py_False, Py_True};
        const bool accepted = verdict_table::accepts(levels[0], levels[1], levels[2]);
        return Ref::borrow(answers[accepted]).release();
    }
    for (; i < 3; ++i) {
        components[i] = to_double(bound[i]);
        if (components[i] == -1.0 && PyErr_Occurred()) {
            return fail<PyObject *>(arguments_site);
        }
    }
    return tonesift_impl(components[0], components[1], components[2]);
}

const PyMethodDef tonesift_definition = {
    "tonesift", as_method_table_entry<tonesift_entry>(), METH_FASTCALL | METH_KEYWORDS, nullptr};

}  // namespace

int publish_tonesift(PyObject *) noexcept
{
    Ref function = make_function(tonesift_definition, false, Name::tonesift, Name::tonesift,
                                 code_record(CodeRecord::tonesift),
                                 direct_vectorcall<tonesift_entry>);
    if (!function ||
        PyDict_SetItem(module_namespace(), constant(Name::tonesift), function.get()) < 0) {
        return fail<int>(publish_site);
    }
    return 0;
}

}  // namespace tonesift
