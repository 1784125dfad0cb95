// The Skin type: its six field accessors, construction and release, its tables, and the readying
// of the static type object at start-up.
#include "skin_object.h"

#include <array>

namespace tonesift {
namespace {

// ---------------------------------------------------------------------------------------------
// Fields

struct FieldRow {
    const char *name;
    Field member;
    FailureSite getter_site;
    FailureSite setter_site;
};

// Each field's accessors fail on the field's own line.
constexpr int line_of(int field) noexcept { return source_line::first_field + field; }

constexpr std::array<FieldRow, 6> field_rows = {{
    {"id", &SkinObject::id, {"tonesift.Skin.id.__get__", source_file, line_of(0)},
     {"tonesift.Skin.id.__set__", source_file, line_of(0)}},
    {"skin", &SkinObject::skin, {"tonesift.Skin.skin.__get__", source_file, line_of(1)},
     {"tonesift.Skin.skin.__set__", source_file, line_of(1)}},
    {"region", &SkinObject::region, {"tonesift.Skin.region.__get__", source_file, line_of(2)},
     {"tonesift.Skin.region.__set__", source_file, line_of(2)}},
    {"x", &SkinObject::x, {"tonesift.Skin.x.__get__", source_file, line_of(3)},
     {"tonesift.Skin.x.__set__", source_file, line_of(3)}},
    {"y", &SkinObject::y, {"tonesift.Skin.y.__get__", source_file, line_of(4)},
     {"tonesift.Skin.y.__set__", source_file, line_of(4)}},
    {"checked", &SkinObject::checked, {"tonesift.Skin.checked.__get__", source_file, line_of(5)},
     {"tonesift.Skin.checked.__set__", source_file, line_of(5)}},
}};

template <std::size_t field> PyObject *skin_get_field(PyObject *self, void *) noexcept
{
    const FieldRow &row = field_rows[field];
    Ref value = Ref::steal(PyLong_FromLong(load_field(self, row.member)));
    if (!value) {
        return fail<PyObject *>(row.getter_site);
    }
    return value.release();
}

template <std::size_t field> int skin_set_field(PyObject *self, PyObject *value, void *) noexcept
{
    const FieldRow &row = field_rows[field];
    if (value == nullptr) {
        PyErr_SetString(PyExc_NotImplementedError, "__del__");
        return -1;
    }
    // One store after the conversion: an __int__ that runs Python code never sees a half-write.
    const std::int32_t converted = to_int32(value);
    if (converted == -1 && PyErr_Occurred()) {
        return fail<int>(row.setter_site);
    }
    compat::CriticalSection section(self);
    store_field(self, row.member, converted);
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Construction and release

constexpr Name field_parameters[] = {Name::skin_id, Name::skin, Name::region,
                                     Name::x,       Name::y,    Name::checked};

struct Initialiser {
    Signature signature;
    FailureSite arguments_site;  // binding, and the fields before `checked`
    FailureSite checked_site;
    bool record_is_new;  // made by this call, so no other thread can see it yet
};

constexpr Initialiser cinit{
    {"__cinit__", field_parameters},
    {"tonesift.Skin.__cinit__", source_file, source_line::cinit_arguments},
    {"tonesift.Skin.__cinit__", source_file, source_line::cinit_checked},
    true};
constexpr Initialiser init{
    {"__init__", field_parameters},
    {"tonesift.Skin.__init__", source_file, source_line::init_arguments},
    {"tonesift.Skin.__init__", source_file, source_line::init_checked},
    false};

// All six are converted before any is written, so a failure leaves the record as it was; they
// are written in one critical section, so that no thread sees half of one call's values.
int assign_fields(PyObject *self, PyObject *args, PyObject *kwargs,
                  const Initialiser &initialiser) noexcept
{
    Ref bound[field_rows.size()];
    if (bind_dict_arguments(initialiser.signature, args, kwargs, bound) < 0) {
        return fail<int>(initialiser.arguments_site);
    }
    std::int32_t values[field_rows.size()];
    for (std::size_t i = 0; i < field_rows.size(); ++i) {
        values[i] = to_int32(bound[i].get());
        if (values[i] == -1 && PyErr_Occurred()) {
            return fail<int>(i + 1 == field_rows.size() ? initialiser.checked_site
                                                        : initialiser.arguments_site);
        }
    }
    const auto store_all = [&] {
        for (std::size_t i = 0; i < field_rows.size(); ++i) {
            store_field(self, field_rows[i].member, values[i]);
        }
    };
    if (initialiser.record_is_new) {
        store_all();
    } else {
        compat::CriticalSection section(self);
        store_all();
    }
    return 0;
}

PyObject *skin_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) noexcept
{
    // The base creation slot is the one that refuses abstract classes.
    Ref record = Ref::steal((type->tp_flags & Py_TPFLAGS_IS_ABSTRACT)
                                ? PyBaseObject_Type.tp_new(type, empty_tuple(), nullptr)
                                : type->tp_alloc(type, 0));
    if (!record || assign_fields(record.get(), args, kwargs, cinit) < 0) {
        return nullptr;
    }
    return record.release();
}

int skin_init(PyObject *self, PyObject *args, PyObject *kwargs) noexcept
{
    return assign_fields(self, args, kwargs, init);
}

// Subclass instances arrive here after the host has run their finaliser; their storage has a
// collector header, so it goes back through the instance's own tp_free.
void skin_dealloc(PyObject *self) noexcept
{
    PyTypeObject *type = Py_TYPE(self);
    if (type->tp_finalize != nullptr && (!PyType_IS_GC(type) || !compat::gc_finalized(self)) &&
        type->tp_dealloc == skin_dealloc) {
        if (PyObject_CallFinalizerFromDealloc(self) != 0) {
            return;
        }
    }
    type->tp_free(self);
}

// ---------------------------------------------------------------------------------------------
// Tables

template <std::size_t field> constexpr PyGetSetDef field_entry() noexcept
{
    return {field_rows[field].name, skin_get_field<field>, skin_set_field<field>, nullptr, nullptr};
}

PyGetSetDef skin_getset[] = {
    field_entry<0>(), field_entry<1>(), field_entry<2>(),
    field_entry<3>(), field_entry<4>(), field_entry<5>(),
    {}  // sentinel
};

PyMethodDef skin_methods[] = {
    {"_replace", as_method_table_entry<skin_replace>(), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"_refuse_reduce", as_method_table_entry<skin_refuse_reduce>(), METH_FASTCALL | METH_KEYWORDS,
     nullptr},
    {"_refuse_setstate", as_method_table_entry<skin_refuse_setstate>(),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {}  // sentinel
};

// Sets the heap-type flag for its lifetime. Readying a static type under that flag keeps the
// method-descriptor and vectorcall flags of `object` from being inherited.
class HeapTypeFlag {
public:
    explicit HeapTypeFlag(PyTypeObject &type) noexcept : type_(type)
    {
        type_.tp_flags |= Py_TPFLAGS_HEAPTYPE;
    }
    ~HeapTypeFlag() { type_.tp_flags &= ~Py_TPFLAGS_HEAPTYPE; }
    HeapTypeFlag(const HeapTypeFlag &) = delete;
    HeapTypeFlag &operator=(const HeapTypeFlag &) = delete;

private:
    PyTypeObject &type_;
};

Ref call_collector(PyObject *gc, Name method) noexcept
{
    return Ref::steal(PyObject_CallMethodObjArgs(gc, constant(method), nullptr));
}

}  // namespace

PyTypeObject skin_type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "tonesift.Skin",
    .tp_basicsize = sizeof(SkinObject),
    .tp_itemsize = 0,
    .tp_dealloc = skin_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .tp_methods = skin_methods,
    .tp_getset = skin_getset,
    .tp_init = skin_init,
    .tp_new = skin_new,
};

const PyMethodDef &skin_method(SkinMethod method) noexcept
{
    return skin_methods[static_cast<std::size_t>(method)];
}

// While the heap-type flag is set the collector takes the static type for a collected object
// and would read a header that is not there, so automatic collection is paused around it.
int ready_skin_type() noexcept
{
    Ref gc = Ref::steal(PyImport_Import(constant(Name::gc)));
    if (!gc) {
        return -1;
    }
    Ref answer = call_collector(gc.get(), Name::isenabled);
    if (!answer) {
        return -1;
    }
    PyObject *reply = answer.get();
    const int enabled = reply == Py_True                       ? 1
                        : reply == Py_False || reply == Py_None ? 0
                                                                : PyObject_IsTrue(reply);
    if (enabled < 0 || (enabled && !call_collector(gc.get(), Name::disable))) {
        return -1;
    }
    int readied;
    {
        HeapTypeFlag flag(skin_type);
        readied = PyType_Ready(&skin_type);
    }
    if (readied == 0) {
        compat::mark_immutable(skin_type);
    }
    if (!enabled) {
        return readied;
    }
    if (readied < 0) {
        // The readying error is the one to report, even if re-enabling fails as well.
        ErrorScope readying_error;
        if (!call_collector(gc.get(), Name::enable)) {
            PyErr_Clear();
        }
        return -1;
    }
    return call_collector(gc.get(), Name::enable) ? 0 : -1;
}

}  // namespace tonesift
