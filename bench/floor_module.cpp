// The interpreter's floor for each benchmarked path: the least an extension can do for the same
// call. Built for the benchmark only, never installed; written in the plain C API on purpose, as the
// cheapest extension would be.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <structmember.h>

#include <cstdint>

extern "C" [[gnu::visibility("default")]] PyObject *PyInit_tonesift_floor();

namespace {

PyObject *always_true(PyObject *, PyObject *const *, Py_ssize_t) noexcept { Py_RETURN_TRUE; }

// Exact floats and ints are read directly, anything else goes through float().
double as_double(PyObject *object) noexcept
{
    if (PyFloat_CheckExact(object)) {
        return PyFloat_AS_DOUBLE(object);
    }
    if (PyLong_CheckExact(object)) {
        return PyLong_AsDouble(object);
    }
    return PyFloat_AsDouble(object);
}

PyObject *to_doubles(PyObject *, PyObject *const *args, Py_ssize_t nargs) noexcept
{
    if (nargs != 3) {
        PyErr_SetString(PyExc_TypeError, "to_doubles() takes 3 arguments");
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < 3; ++i) {
        const double value = as_double(args[i]);
        if (value == -1.0 && PyErr_Occurred()) {
            return nullptr;
        }
    }
    Py_RETURN_TRUE;
}

struct Record {
    PyObject_HEAD
    int id, skin, region, x, y, checked;
};

PyObject *record_allocate(PyTypeObject *type, PyObject *, PyObject *) noexcept
{
    return type->tp_alloc(type, 0);
}

PyObject *record_parse(PyTypeObject *type, PyObject *args, PyObject *) noexcept
{
    int values[6];
    if (!PyArg_ParseTuple(args, "iiiiii", &values[0], &values[1], &values[2], &values[3],
                          &values[4], &values[5])) {
        return nullptr;
    }
    PyObject *self = type->tp_alloc(type, 0);
    if (self != nullptr) {
        Record *record = reinterpret_cast<Record *>(self);
        record->id = values[0];
        record->skin = values[1];
        record->region = values[2];
        record->x = values[3];
        record->y = values[4];
        record->checked = values[5];
    }
    return self;
}

PyObject *record_set_region(PyObject *self, PyObject *value) noexcept
{
    const long region = PyLong_AsLong(value);
    if (region == -1 && PyErr_Occurred()) {
        return nullptr;
    }
    reinterpret_cast<Record *>(self)->region = static_cast<int>(region);
    Py_INCREF(self);
    return self;
}

PyMemberDef record_members[] = {
    {"id", T_INT, offsetof(Record, id), 0, nullptr},
    {"skin", T_INT, offsetof(Record, skin), 0, nullptr},
    {"region", T_INT, offsetof(Record, region), 0, nullptr},
    {"x", T_INT, offsetof(Record, x), 0, nullptr},
    {"y", T_INT, offsetof(Record, y), 0, nullptr},
    {"checked", T_INT, offsetof(Record, checked), 0, nullptr},
    {}  // sentinel
};

PyMethodDef record_methods[] = {
    {"set_region", record_set_region, METH_O, nullptr},
    {}  // sentinel
};

PyTypeObject allocating_type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "tonesift_floor.AllocatingRecord",
    .tp_basicsize = sizeof(Record),
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_methods = record_methods,
    .tp_members = record_members,
    .tp_new = record_allocate,
};

PyTypeObject parsing_type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "tonesift_floor.ParsingRecord",
    .tp_basicsize = sizeof(Record),
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_methods = record_methods,
    .tp_members = record_members,
    .tp_new = record_parse,
};

PyMethodDef floor_functions[] = {
    {"always_true", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(always_true)),
     METH_FASTCALL, nullptr},
    {"to_doubles", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(to_doubles)),
     METH_FASTCALL, nullptr},
    {}  // sentinel
};

PyModuleDef floor_module = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "tonesift_floor",
    .m_size = -1,
    .m_methods = floor_functions,
};

}  // namespace

PyObject *PyInit_tonesift_floor()
{
    if (PyType_Ready(&allocating_type) < 0 || PyType_Ready(&parsing_type) < 0) {
        return nullptr;
    }
    PyObject *module = PyModule_Create(&floor_module);
    if (module == nullptr) {
        return nullptr;
    }
#ifdef Py_GIL_DISABLED
    // Measured beside tonesift on a free-threaded interpreter, the floor must not turn the GIL on.
    PyUnstable_Module_SetGIL(module, Py_MOD_GIL_NOT_USED);
#endif
    Py_INCREF(&allocating_type);
    Py_INCREF(&parsing_type);
    if (PyModule_AddObject(module, "AllocatingRecord",
                           reinterpret_cast<PyObject *>(&allocating_type)) < 0 ||
        PyModule_AddObject(module, "ParsingRecord", reinterpret_cast<PyObject *>(&parsing_type)) <
            0) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
