// The callable type of the module's function objects: called by vectorcall, bound as a method
// when stored in a type, and introspected like a Python function.
#include "call_conventions.h"

#include <new>

namespace tonesift {
namespace {

struct FunctionFields {
    vectorcallfunc vectorcall;  // first, so that its offset is the fields' offset
    const PyMethodDef *definition;
    bool takes_receiver;
    Ref name;
    Ref qualified_name;
    Ref module_name;
    Ref globals;
    Ref code;
};

struct FunctionObject {
    PyObject_HEAD
    FunctionFields fields;
};

FunctionFields &fields_of(PyObject *self) noexcept
{
    return reinterpret_cast<FunctionObject *>(self)->fields;
}

PyObject *function_vectorcall(PyObject *self, PyObject *const *args, std::size_t nargsf,
                              PyObject *kwnames) noexcept
{
    const FunctionFields &function = fields_of(self);
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (kwnames != nullptr && !check_keyword_names(kwnames)) {
        return nullptr;
    }
    auto entry = reinterpret_cast<compat::FastWithKeywords>(
        reinterpret_cast<void (*)()>(function.definition->ml_meth));
    if (!function.takes_receiver) {
        return entry(nullptr, args, nargs, kwnames);
    }
    if (nargs == 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() needs an argument", function.definition->ml_name);
        return nullptr;
    }
    return entry(args[0], args + 1, nargs - 1, kwnames);
}

void function_dealloc(PyObject *self) noexcept
{
    PyObject_GC_UnTrack(self);
    fields_of(self).~FunctionFields();
    PyObject_GC_Del(self);
}

PyObject *function_repr(PyObject *self) noexcept
{
    return PyUnicode_FromFormat("<function %S at %p>", fields_of(self).qualified_name.get(), self);
}

int function_traverse(PyObject *self, visitproc visit, void *arg) noexcept
{
    FunctionFields &function = fields_of(self);
    Py_VISIT(function.name.get());
    Py_VISIT(function.qualified_name.get());
    Py_VISIT(function.module_name.get());
    Py_VISIT(function.globals.get());
    Py_VISIT(function.code.get());
    return 0;
}

int function_clear(PyObject *self) noexcept
{
    // Only the globals can close a cycle (namespace -> function -> namespace).
    fields_of(self).globals = Ref();
    return 0;
}

PyObject *function_descr_get(PyObject *self, PyObject *instance, PyObject *) noexcept
{
    if (instance == nullptr || instance == Py_None) {
        return Ref::borrow(self).release();
    }
    return PyMethod_New(self, instance);
}

template <Ref FunctionFields::*field> PyObject *function_get_field(PyObject *self, void *) noexcept
{
    PyObject *value = (fields_of(self).*field).get();
    return Ref::borrow(value != nullptr ? value : Py_None).release();
}

PyObject *function_get_none(PyObject *, void *) noexcept { return Ref::borrow(Py_None).release(); }

PyObject *function_get_annotations(PyObject *, void *) noexcept { return PyDict_New(); }

// Pickled by reference, as the host pickles its own functions.
PyObject *function_reduce(PyObject *self, PyObject *) noexcept
{
    return Ref::borrow(fields_of(self).qualified_name.get()).release();
}

// ---------------------------------------------------------------------------------------------
// Tables

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {}  // sentinel
};

PyGetSetDef function_getset[] = {
    {"__name__", function_get_field<&FunctionFields::name>, nullptr, nullptr, nullptr},
    {"__qualname__", function_get_field<&FunctionFields::qualified_name>, nullptr, nullptr,
     nullptr},
    {"__module__", function_get_field<&FunctionFields::module_name>, nullptr, nullptr, nullptr},
    {"__globals__", function_get_field<&FunctionFields::globals>, nullptr, nullptr, nullptr},
    {"__code__", function_get_field<&FunctionFields::code>, nullptr, nullptr, nullptr},
    {"__defaults__", function_get_none, nullptr, nullptr, nullptr},
    {"__kwdefaults__", function_get_none, nullptr, nullptr, nullptr},
    {"__annotations__", function_get_annotations, nullptr, nullptr, nullptr},
    {}  // sentinel
};

PyTypeObject function_type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "tonesift.function",
    .tp_basicsize = sizeof(FunctionObject),
    .tp_itemsize = 0,
    .tp_dealloc = function_dealloc,
    .tp_vectorcall_offset = offsetof(FunctionObject, fields),
    .tp_repr = function_repr,
    .tp_call = PyVectorcall_Call,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | compat::have_vectorcall |
                Py_TPFLAGS_METHOD_DESCRIPTOR,
    .tp_traverse = function_traverse,
    .tp_clear = function_clear,
    .tp_methods = function_methods,
    .tp_getset = function_getset,
    .tp_descr_get = function_descr_get,
};

}  // namespace

int ready_function_type() noexcept { return PyType_Ready(&function_type); }

bool check_keyword_names(PyObject *kwnames) noexcept
{
    const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (!PyUnicode_Check(PyTuple_GET_ITEM(kwnames, i))) {
            PyErr_SetString(PyExc_TypeError, "keywords must be strings");
            return false;
        }
    }
    return true;
}

Ref make_function(const PyMethodDef &definition, bool takes_receiver, Name name,
                  Name qualified_name, PyObject *code, vectorcallfunc direct) noexcept
{
    auto *function = PyObject_GC_New(FunctionObject, &function_type);
    if (function == nullptr) {
        return Ref();
    }
    new (&function->fields) FunctionFields{
        .vectorcall = direct != nullptr ? direct : function_vectorcall,
        .definition = &definition,
        .takes_receiver = takes_receiver,
        .name = Ref::borrow(constant(name)),
        .qualified_name = Ref::borrow(constant(qualified_name)),
        .module_name = Ref::borrow(constant(Name::tonesift)),
        .globals = Ref::borrow(module_namespace()),
        .code = Ref::borrow(code),
    };
    PyObject_GC_Track(function);
    compat::stop_counting_references(reinterpret_cast<PyObject *>(function));
    return Ref::steal(reinterpret_cast<PyObject *>(function));
}

}  // namespace tonesift
