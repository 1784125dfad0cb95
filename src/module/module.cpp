// The module definition and its two-phase start-up: the create step makes the one module object
// of the process, the exec step builds the process-wide constants and fills the namespace.
#include "call_conventions.h"
#include "module_state.h"

#include <cstdio>

extern "C" [[gnu::visibility("default")]] PyObject *PyInit_tonesift();
// An embedding host sets this before the exec step to run the module as "__main__".
extern "C" [[gnu::visibility("default")]] std::int32_t module_is_main_tonesift;

std::int32_t module_is_main_tonesift = 0;

namespace tonesift {

PyObject *constant(Name name) noexcept { return interned(name); }

PyObject *code_record(CodeRecord record) noexcept
{
    return state().code_records[static_cast<std::size_t>(record)].get();
}

PyObject *module_namespace() noexcept { return state().namespace_dict.get(); }
PyObject *empty_tuple() noexcept { return state().empty_tuple.get(); }
PyObject *builtin_type_error() noexcept { return state().type_error.get(); }

namespace {

// The version this build is for; start-up compares its major and minor version with the host's.
constexpr unsigned long build_version = PY_VERSION_HEX;

// ---------------------------------------------------------------------------------------------
// Constant strings. Names used for lookups and binding are interned so that keyword matching
// can compare by identity; every string is hashed once so that lookups reuse the stored hash.

struct ConstantRow {
    Name name;
    const char *text;
    bool interned;
};

constexpr ConstantRow constant_rows[] = {
    {Name::r, "r", true},
    {Name::g, "g", true},
    {Name::b, "b", true},
    {Name::self, "self", true},
    {Name::skin_id, "skin_id", true},
    {Name::skin, "skin", true},
    {Name::region, "region", true},
    {Name::x, "x", true},
    {Name::y, "y", true},
    {Name::checked, "checked", true},
    {Name::state, "state", true},
    {Name::dunder_name, "__name__", true},
    {Name::dunder_main, "__main__", true},
    {Name::dunder_test, "__test__", true},
    {Name::dunder_reduce, "__reduce__", true},
    {Name::dunder_reduce_ex, "__reduce_ex__", true},
    {Name::dunder_getstate, "__getstate__", true},
    {Name::dunder_setstate, "__setstate__", true},
    {Name::replace, "_replace", true},
    {Name::skin_class, "Skin", true},
    {Name::type_error, "TypeError", true},
    {Name::tonesift, "tonesift", true},
    {Name::refuse_reduce, "_refuse_reduce", true},
    {Name::refuse_setstate, "_refuse_setstate", true},
    {Name::qualified_replace, "Skin._replace", true},
    {Name::qualified_refuse_reduce, "Skin._refuse_reduce", true},
    {Name::qualified_refuse_setstate, "Skin._refuse_setstate", true},
    {Name::gc, "gc", false},
    {Name::isenabled, "isenabled", false},
    {Name::disable, "disable", false},
    {Name::enable, "enable", false},
    {Name::source_file, source_file, false},
    {Name::string_source, string_source, false},
    {Name::refusal_message, "no default __reduce__ due to non-trivial __cinit__", false},
};

constexpr bool rows_follow_names()
{
    int index = 0;
    for (const ConstantRow &row : constant_rows) {
        if (static_cast<int>(row.name) != index++) {
            return false;
        }
    }
    return index == static_cast<int>(Name::count);
}
static_assert(rows_follow_names(), "one row per name, in the order of the enumeration");

int build_constant_table() noexcept
{
    for (const ConstantRow &row : constant_rows) {
        Ref text = Ref::steal(row.interned ? PyUnicode_InternFromString(row.text)
                                           : PyUnicode_FromString(row.text));
        if (!text || PyObject_Hash(text.get()) == -1) {
            return -1;
        }
        state().constants[static_cast<std::size_t>(row.name)] = std::move(text);
    }
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Code records: code objects without byte code that give each function object its parameter
// names for introspection, and its file and first line.

struct CodeRow {
    CodeRecord record;
    Name function_name;
    std::span<const Name> parameters;
    Name file;
    int first_line;
};

constexpr Name replace_parameters[] = {Name::self, Name::region};
constexpr Name refuse_reduce_parameters[] = {Name::self};
constexpr Name refuse_setstate_parameters[] = {Name::self, Name::state};
constexpr Name tonesift_parameters[] = {Name::r, Name::g, Name::b};

// In the order start-up makes them.
constexpr CodeRow code_rows[] = {
    {CodeRecord::replace, Name::replace, replace_parameters, Name::source_file,
     source_line::replace},
    {CodeRecord::refuse_reduce, Name::refuse_reduce, refuse_reduce_parameters,
     Name::string_source, source_line::bind_refuse_reduce},
    {CodeRecord::refuse_setstate, Name::refuse_setstate, refuse_setstate_parameters,
     Name::string_source, source_line::refuse_setstate},
    {CodeRecord::tonesift, Name::tonesift, tonesift_parameters, Name::source_file,
     source_line::tonesift},
};

Ref make_code_record(const CodeRow &row) noexcept
{
    const auto count = static_cast<int>(row.parameters.size());
    Ref names = Ref::steal(PyTuple_New(count));
    if (!names) {
        return names;
    }
    for (int i = 0; i < count; ++i) {
        PyTuple_SET_ITEM(names.get(), i, Ref::borrow(interned(row.parameters[i])).release());
    }
    ModuleState &s = state();
    PyObject *nothing = s.empty_tuple.get();
    return Ref::steal(reinterpret_cast<PyObject *>(compat::new_code(
        count, CO_OPTIMIZED | CO_NEWLOCALS, s.empty_bytes.get(), nothing, names.get(),
        interned(row.file), interned(row.function_name), row.first_line, s.empty_bytes.get())));
}

// ---------------------------------------------------------------------------------------------
// Host version

unsigned long get_runtime_version() noexcept
{
    const char *text = Py_GetVersion();
    unsigned long version = 0;
    unsigned long factor = 0x1000000;
    for (int part = 0; part < 4; ++part) {
        unsigned long number = 0;
        while (*text >= '0' && *text <= '9') {
            number = number * 10 + static_cast<unsigned long>(*text++ - '0');
        }
        version += number * factor;
        if (*text != '.') {
            break;
        }
        ++text;
        factor >>= 8;
    }
    return version;
}

int check_host_version() noexcept
{
    const unsigned long runtime = get_runtime_version();
    if ((runtime & 0xFFFF0000UL) == (build_version & 0xFFFF0000UL)) {
        return 0;
    }
    char message[200];
    std::snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  PY_MAJOR_VERSION, PY_MINOR_VERSION, "tonesift", "does not match",
                  static_cast<int>(runtime >> 24), static_cast<int>((runtime >> 16) & 0xFF));
    return PyErr_WarnEx(nullptr, message, 1);
}

// ---------------------------------------------------------------------------------------------
// Create step

// Two threads may import at once (under two names, or where no global lock orders them): each
// look at the start-up state and the change it decides on happen under this lock together.
compat::ProcessLock start_up_lock;

int check_single_interpreter() noexcept
{
    const std::int64_t current = PyInterpreterState_GetID(PyThreadState_Get()->interp);
    ModuleState &s = state();
    std::lock_guard guard(start_up_lock);
    if (s.main_interpreter_id == -1) {
        s.main_interpreter_id = current;
        return current == -1 ? -1 : 0;
    }
    if (current != s.main_interpreter_id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return -1;
    }
    return 0;
}

struct SpecCopy {
    const char *spec_attribute;
    const char *module_name;
    bool copies_none;
};

constexpr SpecCopy spec_copies[] = {
    {"loader", "__loader__", true},
    {"origin", "__file__", true},
    {"parent", "__package__", true},
    {"submodule_search_locations", "__path__", false},
};

int copy_spec_to_module(PyObject *spec, PyObject *module_dict, const SpecCopy &copy) noexcept
{
    Ref value = Ref::steal(PyObject_GetAttrString(spec, copy.spec_attribute));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return -1;
        }
        PyErr_Clear();
        return 0;
    }
    if (value.get() == Py_None && !copy.copies_none) {
        return 0;
    }
    return PyDict_SetItemString(module_dict, copy.module_name, value.get());
}

PyObject *module_create(PyObject *spec, PyModuleDef *) noexcept
{
    if (check_single_interpreter() < 0) {
        return nullptr;
    }
    {
        std::lock_guard guard(start_up_lock);
        if (state().current_module) {
            return Ref::borrow(state().current_module.get()).release();
        }
    }
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) {
        return nullptr;
    }
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) {
        return nullptr;
    }
    PyObject *module_dict = PyModule_GetDict(module.get());
    for (const SpecCopy &copy : spec_copies) {
        if (copy_spec_to_module(spec, module_dict, copy) < 0) {
            return nullptr;
        }
    }
    return module.release();
}

// ---------------------------------------------------------------------------------------------
// Exec step

constexpr FailureSite start_up_site{start_up_function, source_file, source_line::module_body};

int raise_builtin_missing(PyObject *name) noexcept
{
    if (!PyErr_Occurred()) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return -1;
}

int look_up_type_error() noexcept
{
    ModuleState &s = state();
    PyObject *name = interned(Name::type_error);
    Ref found = Ref::steal(PyObject_GetAttr(s.builtins.get(), name));
    if (!found && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
    }
    if (!found) {
        return raise_builtin_missing(name);
    }
    s.type_error = std::move(found);
    return 0;
}

int make_code_records() noexcept
{
    for (const CodeRow &row : code_rows) {
        Ref code = make_code_record(row);
        if (!code) {
            return -1;
        }
        state().code_records[static_cast<std::size_t>(row.record)] = std::move(code);
    }
    return 0;
}

// Sets `inserted` when it put the module under the bare name itself.
int register_in_module_table(PyObject *module, bool &inserted) noexcept
{
    PyObject *modules = PyImport_GetModuleDict();
    PyObject *name = interned(Name::tonesift);
    if (PyDict_GetItemWithError(modules, name) != nullptr) {
        return 0;
    }
    if (PyErr_Occurred() || PyDict_SetItem(modules, name, module) < 0) {
        return -1;
    }
    inserted = true;
    return 0;
}

// A failed start-up takes back the bare-name entry that it made itself, if the entry still holds
// the failed module: a later, successful import of the module as a submodule leaves an existing
// entry alone, so `import tonesift` would otherwise get the half-built module for good.
void take_back_module_table_entry(PyObject *module) noexcept
{
    ErrorScope failure;  // the start-up's own exception is the one reported
    PyObject *modules = PyImport_GetModuleDict();
    PyObject *name = interned(Name::tonesift);
    if (PyDict_GetItemWithError(modules, name) == module) {
        PyDict_DelItem(modules, name);
    }
    PyErr_Clear();  // nothing here may replace the start-up's exception
}

// Steps 1 to 15 of the exec step; failures from step 9 on add their start-up entry.
int fill_module(PyObject *module, bool &inserted) noexcept
{
    ModuleState &s = state();
    s.namespace_dict = Ref::borrow(PyModule_GetDict(module));
    s.builtins = Ref::borrow(PyImport_AddModule("builtins"));
    if (!s.builtins) {
        return -1;
    }
    // Failure entries need no support module of their own: their frames take the module
    // namespace as globals, and its "__builtins__" spares each frame a fresh builtins dict.
    if (PyObject_SetAttrString(module, "__builtins__", s.builtins.get()) < 0 ||
        check_host_version() < 0) {
        return -1;
    }
    s.empty_tuple = Ref::steal(PyTuple_New(0));
    s.empty_bytes = Ref::steal(PyBytes_FromStringAndSize("", 0));
    s.empty_unicode = Ref::steal(PyUnicode_FromStringAndSize("", 0));
    if (!s.empty_tuple || !s.empty_bytes || !s.empty_unicode || ready_function_type() < 0 ||
        build_constant_table() < 0) {
        return -1;
    }
    if (module_is_main_tonesift != 0 &&
        PyObject_SetAttr(module, interned(Name::dunder_name), interned(Name::dunder_main)) < 0) {
        return fail<int>(start_up_site);
    }
    if (register_in_module_table(module, inserted) < 0 || look_up_type_error() < 0 ||
        make_code_records() < 0) {
        return fail<int>(start_up_site);
    }
    if (register_skin_type(module) < 0 || publish_tonesift(module) < 0) {
        return -1;
    }
    Ref test_dict = Ref::steal(PyDict_New());
    if (!test_dict || PyObject_SetAttr(module, interned(Name::dunder_test), test_dict.get()) < 0) {
        return fail<int>(start_up_site);
    }
    return 0;
}

// 1 when `module` becomes the process's module, 0 when it already is, -1 when another one is.
int claim_module(PyObject *module) noexcept
{
    ModuleState &s = state();
    std::lock_guard guard(start_up_lock);
    if (s.current_module) {
        return s.current_module.get() == module ? 0 : -1;
    }
    s.current_module = Ref::borrow(module);
    return 1;
}

int module_exec(PyObject *module) noexcept
{
    const int claimed = claim_module(module);
    if (claimed <= 0) {
        if (claimed < 0) {
            PyErr_SetString(PyExc_RuntimeError, "Module 'tonesift' has already been imported. "
                                                "Re-initialisation is not supported.");
        }
        return claimed;
    }
    bool inserted = false;
    if (fill_module(module, inserted) < 0) {
        if (inserted) {
            take_back_module_table_entry(module);
        }
        Ref failed;  // dropped after the lock: dropping it may run Python code
        std::lock_guard guard(start_up_lock);
        failed = std::move(state().current_module);
        return -1;
    }
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Tables

PyMethodDef module_methods[] = {
    {}  // sentinel
};

PyModuleDef_Slot module_slots[] = {
    {compat::create_slot, reinterpret_cast<void *>(module_create)},
    {compat::exec_slot, reinterpret_cast<void *>(module_exec)},
    TONESIFT_RUNS_WITHOUT_GIL_SLOT
    {}  // sentinel
};

PyModuleDef module_definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "tonesift",
    .m_doc = nullptr,
    .m_size = 0,
    .m_methods = module_methods,
    .m_slots = module_slots,
};

}  // namespace
}  // namespace tonesift

PyObject *PyInit_tonesift() { return PyModuleDef_Init(&tonesift::module_definition); }
