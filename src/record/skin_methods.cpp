// Skin's methods: _replace, the two hooks that refuse pickling and copying, and the start-up
// step that registers the type with them.
#include "skin_object.h"

namespace tonesift {
namespace {

// ---------------------------------------------------------------------------------------------
// _replace

constexpr Name replace_parameters[] = {Name::region};
constexpr Signature replace_signature{"_replace", replace_parameters};
constexpr FailureSite replace_site{"tonesift.Skin._replace", source_file, source_line::replace};

// ---------------------------------------------------------------------------------------------
// Pickling refusal

constexpr char refuse_reduce_name[] = "_refuse_reduce";
constexpr Name refuse_setstate_parameters[] = {Name::state};
constexpr Signature refuse_setstate_signature{"_refuse_setstate", refuse_setstate_parameters};

constexpr FailureSite refuse_reduce_site{"tonesift.Skin._refuse_reduce", string_source,
                                         source_line::refuse_reduce};
constexpr FailureSite refuse_setstate_arguments_site{"tonesift.Skin._refuse_setstate",
                                                     string_source, source_line::refuse_setstate};
constexpr FailureSite refuse_setstate_site{"tonesift.Skin._refuse_setstate", string_source,
                                           source_line::refuse_setstate_raise};

// Raises what `TypeError(message)` gives, with the TypeError that start-up found in builtins.
void raise_refusal() noexcept
{
    Ref exception = Ref::steal(PyObject_CallFunctionObjArgs(
        builtin_type_error(), constant(Name::refusal_message), nullptr));
    if (!exception) {
        return;
    }
    if (!PyExceptionInstance_Check(exception.get())) {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
        return;
    }
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exception.get())), exception.get());
}

}  // namespace

PyObject *skin_replace(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                       PyObject *kwnames) noexcept
{
    // Reached through the class, the receiver can be anything; only a record may be written.
    if (!PyObject_TypeCheck(self, &skin_type)) {
        PyErr_Format(PyExc_TypeError,
                     "descriptor '_replace' for 'tonesift.Skin' objects doesn't apply to a "
                     "'%.100s' object",
                     Py_TYPE(self)->tp_name);
        return fail<PyObject *>(replace_site);
    }
    PyObject *region;
    if (bind_vector_arguments(replace_signature, args, nargs, kwnames, &region) < 0) {
        return fail<PyObject *>(replace_site);
    }
    const std::int32_t value = to_int32(region);
    if (value == -1 && PyErr_Occurred()) {
        return fail<PyObject *>(replace_site);
    }
    compat::CriticalSection section(self);
    store_field(self, &SkinObject::region, value);
    return Ref::borrow(self).release();
}

PyObject *skin_refuse_reduce(PyObject *, PyObject *const *, Py_ssize_t nargs,
                             PyObject *kwnames) noexcept
{
    if (nargs > 0) {
        raise_argtuple_invalid(refuse_reduce_name, 0, nargs);
        return nullptr;
    }
    if (check_keyword_strings(kwnames, refuse_reduce_name) < 0) {
        return nullptr;
    }
    raise_refusal();
    return fail<PyObject *>(refuse_reduce_site);
}

PyObject *skin_refuse_setstate(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                               PyObject *kwnames) noexcept
{
    PyObject *state;
    if (bind_vector_arguments(refuse_setstate_signature, args, nargs, kwnames, &state) < 0) {
        return fail<PyObject *>(refuse_setstate_arguments_site);
    }
    raise_refusal();
    return fail<PyObject *>(refuse_setstate_site);
}

namespace {

// ---------------------------------------------------------------------------------------------
// Registration

constexpr FailureSite register_site{start_up_function, source_file, source_line::module_body};
constexpr FailureSite bind_replace_site{start_up_function, source_file, source_line::replace};
constexpr FailureSite bind_refuse_reduce_site{start_up_function, string_source,
                                              source_line::bind_refuse_reduce};
constexpr FailureSite bind_refuse_setstate_site{start_up_function, string_source,
                                                source_line::refuse_setstate};

PyObject *skin_type_object() noexcept { return reinterpret_cast<PyObject *>(&skin_type); }

// Reads an attribute; absence is not an error (nullptr with no exception).
Ref look_up_optional(PyObject *owner, Name name) noexcept
{
    Ref found = Ref::steal(PyObject_GetAttr(owner, constant(name)));
    if (!found && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
    }
    return found;
}

// 1 when `object` has a `__name__` equal to `name`, 0 when not, -1 on error.
int has_name(PyObject *object, Name name) noexcept
{
    Ref found = look_up_optional(object, Name::dunder_name);
    if (!found) {
        return PyErr_Occurred() ? -1 : 0;
    }
    return PyObject_RichCompareBool(found.get(), constant(name), Py_EQ);
}

// Moves the hook from its declared name to `exposed`. A second start-up in the same process finds
// it moved already, which is success.
int install_hook(Name declared, Name exposed) noexcept
{
    PyObject *type_dict = skin_type.tp_dict;
    PyObject *hook = PyDict_GetItemWithError(type_dict, constant(declared));
    if (hook == nullptr) {
        if (PyErr_Occurred()) {
            return -1;
        }
        PyObject *installed = PyDict_GetItemWithError(type_dict, constant(exposed));
        if (installed == nullptr) {
            return -1;
        }
        return has_name(installed, declared) > 0 ? 0 : -1;
    }
    Ref keep = Ref::borrow(hook);
    if (PyDict_SetItem(type_dict, constant(exposed), hook) < 0 ||
        PyDict_DelItem(type_dict, constant(declared)) < 0) {
        return -1;
    }
    return 0;
}

int install_reduce_hooks() noexcept
{
    PyObject *object_type = reinterpret_cast<PyObject *>(&PyBaseObject_Type);
    auto read = [](PyObject *owner, Name name) {
        return Ref::steal(PyObject_GetAttr(owner, constant(name)));
    };
    Ref object_reduce_ex = read(object_type, Name::dunder_reduce_ex);
    Ref object_reduce = read(object_type, Name::dunder_reduce);
    Ref reduce_ex = read(skin_type_object(), Name::dunder_reduce_ex);
    Ref reduce = read(skin_type_object(), Name::dunder_reduce);
    if (!object_reduce_ex || !object_reduce || !reduce_ex || !reduce) {
        return -1;
    }
    // A record type with a __getstate__ of its own pickles by it. From 3.11 on every object has
    // `object`'s, which does not count.
    Ref getstate = look_up_optional(skin_type_object(), Name::dunder_getstate);
    Ref inherited = getstate ? look_up_optional(object_type, Name::dunder_getstate) : Ref();
    if (PyErr_Occurred()) {
        return -1;
    }
    if (getstate && getstate.get() != inherited.get()) {
        return 0;
    }
    if (reduce_ex.get() != object_reduce_ex.get()) {
        return 0;
    }
    if (reduce.get() != object_reduce.get()) {
        const int ours = has_name(reduce.get(), Name::refuse_reduce);
        if (ours <= 0) {
            return ours;
        }
    }
    if (install_hook(Name::refuse_reduce, Name::dunder_reduce) < 0) {
        return -1;
    }
    Ref setstate = look_up_optional(skin_type_object(), Name::dunder_setstate);
    if (!setstate && PyErr_Occurred()) {
        return -1;
    }
    if (setstate) {
        const int ours = has_name(setstate.get(), Name::refuse_setstate);
        if (ours < 0) {
            return -1;
        }
        if (ours == 0) {
            return 0;
        }
    }
    return install_hook(Name::refuse_setstate, Name::dunder_setstate);
}

int setup_reduce() noexcept
{
    const int installed = install_reduce_hooks();
    PyType_Modified(&skin_type);
    if (installed < 0) {
        if (!PyErr_Occurred()) {
            PyErr_Format(PyExc_RuntimeError, "Unable to initialize pickling for %.200s",
                         skin_type.tp_name);
        }
        return -1;
    }
    return 0;
}

int bind_replace() noexcept
{
    Ref function = make_function(skin_method(SkinMethod::replace), true, Name::replace,
                                 Name::qualified_replace, code_record(CodeRecord::replace));
    if (!function ||
        PyDict_SetItem(skin_type.tp_dict, constant(Name::replace), function.get()) < 0) {
        return -1;
    }
    PyType_Modified(&skin_type);
    return 0;
}

int bind_hook_function(SkinMethod method, Name declared, Name qualified, CodeRecord code) noexcept
{
    Ref function = make_function(skin_method(method), true, declared, qualified, code_record(code));
    return function ? PyDict_SetItem(module_namespace(), constant(declared), function.get()) : -1;
}

}  // namespace

int register_skin_type(PyObject *module) noexcept
{
    if (ready_skin_type() < 0 ||
        PyObject_SetAttr(module, constant(Name::skin_class), skin_type_object()) < 0 ||
        setup_reduce() < 0) {
        return fail<int>(register_site);
    }
    if (bind_replace() < 0) {
        return fail<int>(bind_replace_site);
    }
    if (bind_hook_function(SkinMethod::refuse_reduce, Name::refuse_reduce,
                           Name::qualified_refuse_reduce, CodeRecord::refuse_reduce) < 0) {
        return fail<int>(bind_refuse_reduce_site);
    }
    if (bind_hook_function(SkinMethod::refuse_setstate, Name::refuse_setstate,
                           Name::qualified_refuse_setstate, CodeRecord::refuse_setstate) < 0) {
        return fail<int>(bind_refuse_setstate_site);
    }
    return 0;
}

}  // namespace tonesift
