// records.cpp - the record classes QuoteItemLikeDict2, TickLikeDict2,
// BarLikeDict2 and ObjectLikeDict2: a one-slot view over a mapping.
//
// Each class is made by calling type() with the namespace a class statement
// would build, so it is an ordinary heap class.  Its methods and property
// functions are C++ callables that bind like functions.  After creation the
// type's attribute slots are pointed at C routing that behaves like its own
// __getattr__/__setattr__, so a missed read goes to the mapping without a
// raised-and-caught AttributeError; records are built for every tick and bar.
//
// A Python subclass gets the interpreter's slots back when type() creates it,
// and without __iter__ its iteration would fall back to reading items 0, 1,
// 2, ... that never fail.  No hook runs when a subclass is created (the
// classes' namespaces and metaclass are fixed), so the first call of any
// record function on an instance of such a subclass hands it the same C
// routing, slot by slot, wherever it still inherits our function.
#include <cstddef>

#include "module.hpp"
#include "record_class.hpp"
#include "signature.hpp"
#include "state.hpp"

#include <structmember.h>  // PyMemberDef: where the data slot lives

namespace csdk {
namespace {

// ---- the records' data slot ----------------------------------------------------

constexpr int kClassCount = 4;
RecordClass g_records[kClassCount];
// The classes alone, side by side: the one lookup every record read makes.
PyTypeObject *g_record_types[kClassCount];

#if PY_VERSION_HEX >= 0x030C0000
/// Marks a record class changed; the interpreter calls it for every change
/// of a watched class.
int on_class_changed(PyTypeObject *tp) noexcept {
    for (RecordClass &rc : g_records)
        if (rc.tp() == tp)
            __atomic_store_n(&rc.current, false, __ATOMIC_RELEASE);
    return 0;
}
int g_type_watcher = -1;  // -1: none (no caching)
#endif

/// The record class `tp` is exactly, or nullptr.
inline RecordClass *record_class_of(PyTypeObject *tp) noexcept {
    for (int i = 0; i < kClassCount; ++i)
        if (g_record_types[i] == tp)
            return &g_records[i];
    return nullptr;
}

/// Exactly one of our classes, as it was when last checked (checked again
/// after any change).
inline RecordClass *unchanged_record_class(PyTypeObject *tp) noexcept {
    RecordClass *rc = record_class_of(tp);
    return rc && (rc->unchanged() || rc->recheck()) ? rc : nullptr;
}

/// Names of the slot methods a subclass may inherit from us or override.
struct SlotNames {
    PyObject *getitem, *setitem, *delitem, *getattr, *getattribute;
};
SlotNames g_slot_names;

/// AttributeError for an unset data slot, with name and obj as the slot's own
/// error carries them.
void unset_data_error(PyObject *self) noexcept {
    Ref msg = Ref::steal(PyUnicode_FromFormat("'%.200s' object has no attribute 'data'", Py_TYPE(self)->tp_name));
    if (!msg)
        return;
    Ref exc = Ref::steal(PyObject_CallOneArg(PyExc_AttributeError, msg.get()));
    if (!exc)
        return;
    if (PyObject_SetAttrString(exc.get(), "name", g_names.data) < 0 ||
        PyObject_SetAttrString(exc.get(), "obj", self) < 0)
        return;
    PyErr_SetObject(PyExc_AttributeError, exc.get());
}

/// The `data` slot's value, owned.  Without the GIL another thread may
/// rebind `data` meanwhile and release the old value: the slot is read
/// inside the object's critical section, which the slot's own setter holds
/// while it swaps the value.
inline Ref read_slot(PyObject *self, Py_ssize_t offset) noexcept {
    PyObject **slot = reinterpret_cast<PyObject **>(reinterpret_cast<char *>(self) + offset);
#ifdef Py_GIL_DISABLED
    Ref value;
    Py_BEGIN_CRITICAL_SECTION(self);
    value = Ref::borrow(*slot);
    Py_END_CRITICAL_SECTION();
#else
    Ref value = Ref::borrow(*slot);
#endif
    if (!value)
        unset_data_error(self);
    return value;
}

/// `self.data`.  When ordinary lookup would reach one of our slots it is read
/// directly: an unset slot raises here instead of falling back to the
/// mapping, which would ask for `self.data` again without end.
Ref get_data(PyObject *self) noexcept {
    PyTypeObject *tp = Py_TYPE(self);
    if (const RecordClass *rc = unchanged_record_class(tp))
        return read_slot(self, rc->offset);
    PyObject *descr = _PyType_Lookup(tp, g_names.data);
    if (descr) {
        for (const RecordClass &rc : g_records) {
            if (descr != rc.slot)
                continue;
            if (!PyObject_TypeCheck(self, rc.tp()))
                break;  // the descriptor was copied onto a foreign class
            return read_slot(self, rc.offset);
        }
    }
    return Ref::steal(PyObject_GetAttr(self, g_names.data));
}

/// `data.get(key)`; an exact dict is read directly, with the same result.
PyObject *mapping_get(PyObject *data, PyObject *key) noexcept {
    if (PyDict_CheckExact(data)) {
        Ref v = dict_item(data, key);
        if (v)
            return v.release();
        if (PyErr_Occurred())
            return nullptr;
        Py_RETURN_NONE;
    }
    return PyObject_CallMethodOneArg(data, g_names.get, key);
}

/// `self.data.get(key)`
PyObject *lookup(PyObject *self, PyObject *key) noexcept {
    Ref data = get_data(self);  // owned: get() may rebind self.data
    return data ? mapping_get(data.get(), key) : nullptr;
}

/// `self.data[key] = value`
int store(PyObject *self, PyObject *key, PyObject *value) noexcept {
    Ref data = get_data(self);
    return data ? PyObject_SetItem(data.get(), key, value) : -1;
}

/// `item != "data"`, as truth; a str compares by value, anything else by its
/// own comparison.
int differs_from_data(PyObject *item) noexcept {
    if (item == g_names.data)
        return 0;
    if (PyUnicode_CheckExact(item))
        return PyUnicode_Compare(item, g_names.data) != 0;
    Ref r = Ref::steal(PyObject_RichCompare(item, g_names.data, Py_NE));
    return r ? PyObject_IsTrue(r.get()) : -1;
}

/// The `__setattr__` that super(cls, self) finds: the first one in the MRO of
/// self's type after cls.  Borrowed; nullptr when it cannot be told here (cls
/// not in that MRO, or a class whose dict is not at hand), so that the caller
/// asks super itself.
PyObject *next_setattr(PyTypeObject *tp, PyObject *cls) noexcept {
    PyObject *mro = tp->tp_mro;
    if (!mro)
        return nullptr;
    Py_ssize_t n = PyTuple_GET_SIZE(mro), i = 0;
    while (i < n && PyTuple_GET_ITEM(mro, i) != cls)
        ++i;
    for (++i; i < n; ++i) {
        PyTypeObject *base = reinterpret_cast<PyTypeObject *>(PyTuple_GET_ITEM(mro, i));
        if (base == &PyBaseObject_Type)
            return _PyType_Lookup(base, g_names.__setattr__);
        if (!base->tp_dict)  // a static built-in type on 3.12 and later
            return nullptr;
        if (PyObject *found = PyDict_GetItemWithError(base->tp_dict, g_names.__setattr__))
            return found;
    }
    return nullptr;
}

/// super(cls, self).__setattr__(item, value).  When the next class is
/// `object` (always so for a record of the class itself) that is the generic
/// store, done directly; a class in between (a mixin after the record class)
/// gets the call through super itself, with super's own checks and errors.
int super_setattr(PyObject *cls, PyObject *self, PyObject *item, PyObject *value) noexcept {
    PyTypeObject *tp = Py_TYPE(self);
    if (reinterpret_cast<PyObject *>(tp) == cls)
        return PyObject_GenericSetAttr(self, item, value);
    if (PyType_IsSubtype(tp, reinterpret_cast<PyTypeObject *>(cls))) {
        PyObject *next = next_setattr(tp, cls);
        if (PyErr_Occurred())
            return -1;
        if (next && next == _PyType_Lookup(&PyBaseObject_Type, g_names.__setattr__))
            return PyObject_GenericSetAttr(self, item, value);
    }
    PyObject *pair[] = {cls, self};
    Ref sup = Ref::steal(PyObject_Vectorcall(reinterpret_cast<PyObject *>(&PySuper_Type), pair, 2, nullptr));
    Ref r = sup ? Ref::steal(PyObject_CallMethodObjArgs(sup.get(), g_names.__setattr__, item, value, nullptr)) : Ref();
    return r ? 0 : -1;
}

/// The records' __setattr__: only "data" is an attribute, every other name
/// is a key of the mapping.  `cls` is the record class the method belongs to.
int set_attribute(PyObject *cls, PyObject *self, PyObject *item, PyObject *value) noexcept {
    int differs = differs_from_data(item);
    if (differs < 0)
        return -1;
    return differs ? store(self, item, value) : super_setattr(cls, self, item, value);
}

// ---- the methods and property functions -------------------------------------------

struct Function;
using Body = PyObject *(*)(Function *fn, PyObject *const *args) noexcept;
constexpr int kMaxParams = 3;

struct Signature {
    const char *name;  // NULL for property functions: they take the field's name
    Body body;
    int nparams;
    PyObject *Names::*params[kMaxParams];
};

struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const Signature *sig;
    PyObject *name;  // also the key of a property function
    // The class's name, static text: "<class>.<name>" is made when asked
    // (errors, repr, __qualname__), not for each of the ~90 functions at import.
    const char *class_name;
    // The class whose namespace holds the method, for super(<class>, self) as
    // a class statement names it; owned.  That makes a cycle the collector
    // does not see, which is harmless: record classes live for the process.
    PyObject *owner;
    PyObject *weakrefs;  // weak references accepted, as by a function
};

PyObject *none_or_null(int status) noexcept {
    if (status < 0)
        return nullptr;
    Py_RETURN_NONE;
}

PyObject *init_body(Function *, PyObject *const *a) noexcept {
    return none_or_null(PyObject_SetAttr(a[0], g_names.data, a[1]));
}
PyObject *lookup_body(Function *, PyObject *const *a) noexcept { return lookup(a[0], a[1]); }
PyObject *store_body(Function *, PyObject *const *a) noexcept { return none_or_null(store(a[0], a[1], a[2])); }
PyObject *setattr_body(Function *fn, PyObject *const *a) noexcept {
    if (!fn->owner) {
        PyErr_SetString(PyExc_SystemError, "record method without its class");
        return nullptr;
    }
    return none_or_null(set_attribute(fn->owner, a[0], a[1], a[2]));
}
PyObject *contains_body(Function *, PyObject *const *a) noexcept {
    Ref data = get_data(a[0]);
    int found = data ? PySequence_Contains(data.get(), a[1]) : -1;
    return found < 0 ? nullptr : PyBool_FromLong(found);
}
PyObject *call_data_method(PyObject *self, PyObject *name) noexcept {
    Ref data = get_data(self);
    return data ? PyObject_CallMethodObjArgs(data.get(), name, nullptr) : nullptr;
}
PyObject *str_body(Function *, PyObject *const *a) noexcept { return call_data_method(a[0], g_names.__str__); }
PyObject *repr_body(Function *, PyObject *const *a) noexcept { return call_data_method(a[0], g_names.__repr__); }
PyObject *getter_body(Function *fn, PyObject *const *a) noexcept { return lookup(a[0], fn->name); }
PyObject *setter_body(Function *fn, PyObject *const *a) noexcept {
    return none_or_null(store(a[0], fn->name, a[1]));
}

const Signature kInit{"__init__", init_body, 2, {&Names::self, &Names::data}};
const Signature kGetItem{"__getitem__", lookup_body, 2, {&Names::self, &Names::item}};
const Signature kSetItem{"__setitem__", store_body, 3, {&Names::self, &Names::item, &Names::value}};
const Signature kContains{"__contains__", contains_body, 2, {&Names::self, &Names::key}};
const Signature kGetAttr{"__getattr__", lookup_body, 2, {&Names::self, &Names::item}};
const Signature kSetAttr{"__setattr__", setattr_body, 3, {&Names::self, &Names::item, &Names::value}};
const Signature kStr{"__str__", str_body, 1, {&Names::self}};
const Signature kRepr{"__repr__", repr_body, 1, {&Names::self}};
const Signature kGetter{nullptr, getter_body, 1, {&Names::self}};
const Signature kSetter{nullptr, setter_body, 2, {&Names::self, &Names::value}};

/// "'a'", "'a' and 'b'", "'a', 'b', and 'c'": the interpreter's wording.
PyObject *missing_list(PyObject *const *names, int n) noexcept {
    switch (n) {
    case 1: return PyUnicode_FromFormat("'%U'", names[0]);
    case 2: return PyUnicode_FromFormat("'%U' and '%U'", names[0], names[1]);
    default: return PyUnicode_FromFormat("'%U', '%U', and '%U'", names[0], names[1], names[2]);
    }
}

/// Matches arguments to parameters like a Python function with the same
/// parameter list, with the same TypeErrors.
bool bind_arguments(const Function *fn, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                    PyObject **out) noexcept {
    const Signature &sig = *fn->sig;
    const int n = sig.nparams;
    if (nargs > n) {
        PyErr_Format(PyExc_TypeError, "%s.%U() takes %d positional argument%s but %zd %s given", fn->class_name, fn->name, n,
                     n == 1 ? "" : "s", nargs, nargs == 1 ? "was" : "were");
        return false;
    }
    for (int i = 0; i < n; ++i)
        out[i] = i < nargs ? args[i] : nullptr;
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject *kw = PyTuple_GET_ITEM(kwnames, k);
        int i = 0;
        while (i < n && kw != g_names.*sig.params[i] && PyUnicode_Compare(kw, g_names.*sig.params[i]) != 0)
            ++i;
        if (i == n) {
            PyErr_Format(PyExc_TypeError, "%s.%U() got an unexpected keyword argument '%U'", fn->class_name, fn->name, kw);
            return false;
        }
        if (out[i]) {
            PyErr_Format(PyExc_TypeError, "%s.%U() got multiple values for argument '%U'", fn->class_name, fn->name, kw);
            return false;
        }
        out[i] = args[nargs + k];
    }
    PyObject *missing[kMaxParams];
    int nmissing = 0;
    for (int i = 0; i < n; ++i)
        if (!out[i])
            missing[nmissing++] = g_names.*sig.params[i];
    if (nmissing) {
        Ref list = Ref::steal(missing_list(missing, nmissing));
        if (list)
            PyErr_Format(PyExc_TypeError, "%s.%U() missing %d required positional argument%s: %U", fn->class_name, fn->name,
                         nmissing, nmissing == 1 ? "" : "s", list.get());
        return false;
    }
    return true;
}

void adopt_subclass(PyTypeObject *tp) noexcept;
PyObject *refuse_iteration(PyObject *self) noexcept;
PyObject *record_getattro(PyObject *self, PyObject *name) noexcept;

/// Our classes and the subclasses already given our routing refuse iteration
/// or read through our routine; any other type seen as `self` may be a
/// subclass still without them (the check is then repeated for a subclass
/// that defines its own reads, at the cost of a few cached lookups).
inline void check_self_type(PyObject *self) noexcept {
    PyTypeObject *tp = Py_TYPE(self);
#ifdef Py_GIL_DISABLED
    getiterfunc iter = __atomic_load_n(&tp->tp_iter, __ATOMIC_ACQUIRE);
    getattrofunc getattro = __atomic_load_n(&tp->tp_getattro, __ATOMIC_ACQUIRE);
#else
    getiterfunc iter = tp->tp_iter;
    getattrofunc getattro = tp->tp_getattro;
#endif
    if (iter != refuse_iteration && (iter == nullptr || getattro != record_getattro))
        adopt_subclass(tp);
}

PyObject *function_call(PyObject *callable, PyObject *const *args, size_t nargsf, PyObject *kwnames) noexcept {
    Function *fn = reinterpret_cast<Function *>(callable);
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs == fn->sig->nparams && !kwnames) {
        check_self_type(args[0]);
        return fn->sig->body(fn, args);
    }
    PyObject *bound[kMaxParams];
    if (!bind_arguments(fn, args, nargs, kwnames, bound))
        return nullptr;
    check_self_type(bound[0]);
    return fn->sig->body(fn, bound);
}

void function_dealloc(PyObject *self) noexcept {
    Function *fn = reinterpret_cast<Function *>(self);
    if (fn->weakrefs)
        PyObject_ClearWeakRefs(self);
    Py_XDECREF(fn->name);
    Py_XDECREF(fn->owner);
    PyObject_Free(self);
}

/// Binds as a method, like a function stored on a class.
PyObject *function_get(PyObject *self, PyObject *obj, PyObject *) noexcept {
    if (obj == nullptr || obj == Py_None)
        return Ref::borrow(self).release();
    return PyMethod_New(self, obj);
}

PyObject *function_repr(PyObject *self) noexcept {
    Function *fn = reinterpret_cast<Function *>(self);
    return PyUnicode_FromFormat("<function %s.%U at %p>", fn->class_name, fn->name, self);
}

PyObject *get_name(PyObject *self, void *) noexcept {
    return Ref::borrow(reinterpret_cast<Function *>(self)->name).release();
}
PyObject *get_qualname(PyObject *self, void *) noexcept {
    Function *fn = reinterpret_cast<Function *>(self);
    return PyUnicode_FromFormat("%s.%U", fn->class_name, fn->name);
}
PyObject *get_module(PyObject *, void *) noexcept { return Ref::borrow(g_names.c_sdk).release(); }
PyObject *get_doc(PyObject *, void *) noexcept { Py_RETURN_NONE; }

/// The parameters a Python definition of the method would show, made when
/// asked: inspect.signature() takes it, and drops `self` for a bound method.
PyObject *get_signature(PyObject *self, void *) noexcept {
    const Signature &sig = *reinterpret_cast<Function *>(self)->sig;
    const char *names[kMaxParams + 1] = {};
    for (int i = 0; i < sig.nparams; ++i)
        if (!(names[i] = PyUnicode_AsUTF8(g_names.*sig.params[i])))
            return nullptr;
    return make_signature(names);
}

/// Copied and pickled as a function is: by reference, under its qualified
/// name; copy and deepcopy give the object itself.
PyObject *function_reduce(PyObject *self, PyObject *) noexcept { return get_qualname(self, nullptr); }

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"__module__", get_module, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject FunctionType = [] {
    PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
    t.tp_name = "c_sdk.record_function";
    t.tp_basicsize = sizeof(Function);
    t.tp_dealloc = function_dealloc;
    t.tp_vectorcall_offset = offsetof(Function, vectorcall);
    t.tp_repr = function_repr;
    t.tp_call = PyVectorcall_Call;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
    t.tp_getset = function_getset;
    t.tp_methods = function_methods;
    t.tp_weaklistoffset = offsetof(Function, weakrefs);
    t.tp_descr_get = function_get;
    return t;
}();

/// A method or property function named `name` of the class `class_name`
/// (static text).
Ref new_function(const Signature &sig, PyObject *name, const char *class_name) noexcept {
    Function *fn = PyObject_New(Function, &FunctionType);
    if (!fn)
        return Ref();
    fn->vectorcall = function_call;
    fn->sig = &sig;
    fn->name = Ref::borrow(name).release();
    fn->class_name = class_name;
    fn->owner = nullptr;
    fn->weakrefs = nullptr;
    return Ref::steal(reinterpret_cast<PyObject *>(fn));
}

// ---- C routing installed on each class ------------------------------------------

/// `self.data.get(name)` for a field of an unchanged record class; should
/// the mapping raise AttributeError, __getattr__ runs after the property, as
/// for a Python class: the same read once more.
/// Inlined: it is most of the read a strategy makes for every tick and bar.
__attribute__((always_inline)) inline PyObject *read_field(PyObject *self, const RecordClass &rc,
                                                           PyObject *name) noexcept {
    Ref data = read_slot(self, rc.offset);  // owned: get() may rebind self.data
    PyObject *res = data ? mapping_get(data.get(), name) : nullptr;
    if (res || !PyErr_ExceptionMatches(PyExc_AttributeError))
        return res;
    PyErr_Clear();
    return lookup(self, name);
}

/// What the interpreter does for a class with __getattr__: ordinary lookup,
/// with misses and descriptor AttributeErrors suppressed, then __getattr__.
/// Fields of an unchanged class and plain misses take a shortcut with the
/// same result.
__attribute__((noinline)) PyObject *record_getattro_full(PyObject *self, PyObject *name) noexcept {
    PyTypeObject *tp = Py_TYPE(self);
    if (PyUnicode_CheckExact(name)) {
        const RecordClass *rc = unchanged_record_class(tp);
        if (rc && rc->is_field(name))
            return read_field(self, *rc, name);
        if (tp->tp_dictoffset == 0 && !_PyType_Lookup(tp, name))
            return lookup(self, name);
    }
    PyObject *res = csdk_generic_getattr_or_null(self, name);
    if (res || PyErr_Occurred())
        return res;
    return lookup(self, name);
}

/// The read a strategy makes for every tick and bar, a field of an
/// unchanged class, in a function small enough to keep little on the stack;
/// anything else goes on to the full lookup above.
PyObject *record_getattro(PyObject *self, PyObject *name) noexcept {
    if (__builtin_expect(PyUnicode_CheckExact(name), 1)) {
        const RecordClass *rc = record_class_of(Py_TYPE(self));
        if (rc && rc->unchanged() && rc->is_field(name))
            return read_field(self, *rc, name);
    }
    return record_getattro_full(self, name);
}

/// rec[key], as __getitem__ does it.
PyObject *record_subscript(PyObject *self, PyObject *key) noexcept { return lookup(self, key); }

/// rec[key] = value, as __setitem__ does it; `del rec[key]` finds no
/// __delitem__, with the interpreter's own error.
int record_ass_subscript(PyObject *self, PyObject *key, PyObject *value) noexcept {
    if (value)
        return store(self, key, value);
    Ref name = Ref::steal(PyUnicode_FromString("__delitem__"));
    if (name)
        PyErr_SetObject(PyExc_AttributeError, name.get());
    return -1;
}

/// The class's __init__ without looking it up: one positional argument is
/// `self.data = data`; anything else goes through the function itself.
int record_init(PyObject *self, PyObject *args, PyObject *kwds) noexcept {
    if (PyTuple_GET_SIZE(args) == 1 && (!kwds || PyDict_GET_SIZE(kwds) == 0))
        return PyObject_SetAttr(self, g_names.data, PyTuple_GET_ITEM(args, 0));
    PyObject *init = _PyType_Lookup(Py_TYPE(self), g_names.__init__);
    if (!init) {
        PyErr_SetString(PyExc_SystemError, "record class without __init__");
        return -1;
    }
    Ref keep = Ref::borrow(init);
    Ref full = Ref::steal(PyTuple_New(PyTuple_GET_SIZE(args) + 1));
    if (!full)
        return -1;
    PyTuple_SET_ITEM(full.get(), 0, Ref::borrow(self).release());
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(args); ++i)
        PyTuple_SET_ITEM(full.get(), i + 1, Ref::borrow(PyTuple_GET_ITEM(args, i)).release());
    Ref r = Ref::steal(PyObject_Call(keep.get(), full.get(), kwds));
    if (!r)
        return -1;
    if (r.get() != Py_None) {
        PyErr_Format(PyExc_TypeError, "__init__() should return None, not '%.200s'", Py_TYPE(r.get())->tp_name);
        return -1;
    }
    return 0;
}

/// Item reads never fail, so the interpreter's fallback iteration over
/// indexes 0, 1, 2, ... would never end; `in` without __contains__ comes
/// here too and reports that the record is not iterable.
PyObject *refuse_iteration(PyObject *self) noexcept {
    return PyErr_Format(PyExc_TypeError, "'%.200s' object is not iterable", Py_TYPE(self)->tp_name);
}

// ---- subclasses --------------------------------------------------------------------

/// True when `name` resolves on tp to one of our functions with body `sig`,
/// i.e. the subclass inherits it rather than defining its own.
bool inherits(PyTypeObject *tp, PyObject *name, const Signature &sig) noexcept {
    PyObject *descr = _PyType_Lookup(tp, name);
    return descr && Py_TYPE(descr) == &FunctionType && reinterpret_cast<Function *>(descr)->sig == &sig;
}

/// Gives a subclass of a record class the C routing of its base for every
/// slot whose method it inherits: each C slot does what the interpreter's
/// generic slot would do through our function.  What the subclass defines
/// itself keeps the interpreter's slot and wins, as in Python.  Iteration is
/// refused only while item reads are ours (they never fail); a subclass with
/// its own __getitem__ keeps the interpreter's fallback.
void adopt_subclass(PyTypeObject *tp) noexcept {
    if (!(tp->tp_flags & Py_TPFLAGS_HEAPTYPE) || !tp->tp_as_mapping)
        return;
    bool is_record = false;
    for (const RecordClass &rc : g_records)
        if (rc.type && PyType_IsSubtype(tp, reinterpret_cast<PyTypeObject *>(rc.type)))
            is_record = true;
    if (!is_record)
        return;
    const SlotNames &n = g_slot_names;
    bool changed = false;
#ifdef Py_GIL_DISABLED
    // One thread at a time gives a subclass its routing; each slot is one
    // pointer-sized store, as the interpreter's own slot updates are.
    static PyMutex adopting;
    PyMutex_Lock(&adopting);
    auto install = [&changed](auto &slot, auto routine) {
        changed |= __atomic_load_n(&slot, __ATOMIC_RELAXED) != routine;
        __atomic_store_n(&slot, routine, __ATOMIC_RELEASE);
    };
#else
    auto install = [&changed](auto &slot, auto routine) {
        changed |= slot != routine;
        slot = routine;
    };
#endif
    if (inherits(tp, n.getitem, kGetItem)) {
        install(tp->tp_as_mapping->mp_subscript, record_subscript);
        if (!tp->tp_iter)  // no __iter__ anywhere in the MRO
            install(tp->tp_iter, refuse_iteration);
    }
    if (inherits(tp, n.setitem, kSetItem) && !_PyType_Lookup(tp, n.delitem))
        install(tp->tp_as_mapping->mp_ass_subscript, record_ass_subscript);
    if (inherits(tp, g_names.__init__, kInit))
        install(tp->tp_init, record_init);
    if (inherits(tp, n.getattr, kGetAttr) &&
        _PyType_Lookup(tp, n.getattribute) == _PyType_Lookup(&PyBaseObject_Type, n.getattribute))
        install(tp->tp_getattro, record_getattro);
#ifdef Py_GIL_DISABLED
    PyMutex_Unlock(&adopting);
#endif
    if (changed)
        PyType_Modified(tp);
}

/// The methods' names, interned once for the four classes (owned for the
/// process).
struct MethodName {
    const Signature *sig;
    PyObject *name;
};
MethodName g_method_names[] = {{&kInit, nullptr},    {&kGetItem, nullptr}, {&kSetItem, nullptr},
                               {&kContains, nullptr}, {&kGetAttr, nullptr}, {&kSetAttr, nullptr},
                               {&kStr, nullptr},      {&kRepr, nullptr}};

/// The interned name of a method (borrowed); nullptr with an exception.
PyObject *method_name(const Signature &sig) noexcept {
    for (MethodName &m : g_method_names)
        if (m.sig == &sig)
            return m.name ? m.name : (m.name = PyUnicode_InternFromString(sig.name));
    PyErr_SetString(PyExc_SystemError, "record method without a name");
    return nullptr;
}

int intern_slot_names() noexcept {
    if (g_slot_names.getattribute)
        return 0;
    if (!(g_slot_names.getitem = method_name(kGetItem)) || !(g_slot_names.setitem = method_name(kSetItem)) ||
        !(g_slot_names.getattr = method_name(kGetAttr)))
        return -1;
    return (g_slot_names.delitem = PyUnicode_InternFromString("__delitem__")) &&
                   (g_slot_names.getattribute = PyUnicode_InternFromString("__getattribute__"))
               ? 0
               : -1;
}

// ---- the classes -------------------------------------------------------------------

struct ClassDef {
    const char *name;
    const Signature *methods[10];  // namespace order, NULL-terminated
    const char *fields[16];        // NULL-terminated
    bool writable;
};

const ClassDef kClasses[kClassCount] = {
    {"QuoteItemLikeDict2",
     {&kInit, &kGetItem, &kSetItem, &kGetAttr, &kSetAttr, &kStr, &kRepr},
     {"bid_p", "bid_v", "ask_p", "ask_v"},
     false},
    {"TickLikeDict2",
     {&kInit, &kGetItem, &kSetItem, &kGetAttr, &kSetAttr, &kStr, &kRepr},
     {"quotes", "symbol", "created_at", "price", "open", "high", "low", "cum_volume", "cum_amount",
      "cum_position", "last_amount", "last_volume", "trade_type", "receive_local_time"},
     true},
    {"BarLikeDict2",
     {&kInit, &kGetItem, &kSetItem, &kContains, &kGetAttr, &kSetAttr, &kStr, &kRepr},
     {"symbol", "eob", "bob", "open", "close", "high", "low", "volume", "amount", "pre_close", "position",
      "frequency", "receive_local_time"},
     true},
    {"ObjectLikeDict2", {&kInit, &kGetItem, &kGetAttr, &kSetItem, &kSetAttr, &kStr, &kRepr}, {}, false},
};

/// property(getter), or for a writable field property(getter, setter): the
/// same object as property(getter).setter(setter) (no docstring to carry
/// over, no name yet), made in one call instead of two properties.
Ref new_property(PyObject *field, const char *class_name, bool writable) noexcept {
    PyObject *property = reinterpret_cast<PyObject *>(&PyProperty_Type);
    Ref getter = new_function(kGetter, field, class_name);
    if (!getter || !writable)
        return getter ? Ref::steal(PyObject_CallOneArg(property, getter.get())) : Ref();
    Ref setter = new_function(kSetter, field, class_name);
    if (!setter)
        return Ref();
    PyObject *pair[] = {getter.get(), setter.get()};
    return Ref::steal(PyObject_Vectorcall(property, pair, 2, nullptr));
}

/// The namespace a class statement would build, in its order; the fields'
/// interned names go to `made`, for its field table.
Ref class_namespace(const ClassDef &def, PyObject *class_name, RecordClass &made) noexcept {
    Ref ns = Ref::steal(PyDict_New());
    Ref slots = Ref::steal(PyList_New(1));
    if (!ns || !slots)
        return Ref();
    PyList_SET_ITEM(slots.get(), 0, Ref::borrow(g_names.data).release());
    if (PyDict_SetItem(ns.get(), g_names.__module__, g_names.c_sdk) < 0 ||
        PyDict_SetItem(ns.get(), g_names.__qualname__, class_name) < 0 ||
        PyDict_SetItem(ns.get(), g_names.__slots__, slots.get()) < 0)
        return Ref();
    for (const Signature *const *m = def.methods; *m; ++m) {
        PyObject *name = method_name(**m);
        Ref fn = name ? new_function(**m, name, def.name) : Ref();
        if (!fn || PyDict_SetItem(ns.get(), name, fn.get()) < 0)
            return Ref();
    }
    for (const char *const *f = def.fields; *f; ++f) {
        Ref field = Ref::steal(PyUnicode_InternFromString(*f));
        Ref prop = field ? new_property(field.get(), def.name, def.writable) : Ref();
        if (!prop || PyDict_SetItem(ns.get(), field.get(), prop.get()) < 0)
            return Ref();
        made.names[made.nfields++] = field.release();
    }
    return ns;
}

/// type(name, (object,), namespace), then the C routing and the record entry.
int make_class(const ClassDef &def, RecordClass &out, PyObject *dict) noexcept {
    RecordClass made{};
    Ref name = Ref::steal(PyUnicode_InternFromString(def.name));
    Ref ns = name ? class_namespace(def, name.get(), made) : Ref();
    Ref bases = ns ? Ref::steal(PyTuple_Pack(1, reinterpret_cast<PyObject *>(&PyBaseObject_Type))) : Ref();
    Ref targs = bases ? Ref::steal(PyTuple_Pack(3, name.get(), bases.get(), ns.get())) : Ref();
    Ref cls = targs ? Ref::steal(PyObject_Call(reinterpret_cast<PyObject *>(&PyType_Type), targs.get(), nullptr))
                    : Ref();
    if (!cls)
        return -1;
    PyTypeObject *tp = reinterpret_cast<PyTypeObject *>(cls.get());
    // Each method learns its class, as a class statement's cell would hold it.
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    Py_BEGIN_CRITICAL_SECTION(tp->tp_dict);
    while (PyDict_Next(tp->tp_dict, &pos, &key, &value))
        if (Py_TYPE(value) == &FunctionType)
            Py_XSETREF(reinterpret_cast<Function *>(value)->owner, Ref::borrow(cls.get()).release());
    Py_END_CRITICAL_SECTION();
    PyObject *slot = PyDict_GetItemWithError(tp->tp_dict, g_names.data);
    if (!slot || !PyObject_TypeCheck(slot, &PyMemberDescr_Type)) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_SystemError, "%s has no data slot", def.name);
        return -1;
    }
    // The namespace keeps its methods for explicit calls; rebinding one on the
    // class hands its slot back to the interpreter.  Writes keep the
    // interpreter's own slot, which calls our __setattr__: a C tp_setattro
    // would make object.__setattr__(rec, ...) refuse the record.
    tp->tp_getattro = record_getattro;
    tp->tp_as_mapping->mp_subscript = record_subscript;
    tp->tp_as_mapping->mp_ass_subscript = record_ass_subscript;
    tp->tp_init = record_init;
    tp->tp_iter = refuse_iteration;
    PyType_Modified(tp);
    made.type = Ref::borrow(cls.get()).release();
    made.slot = Ref::borrow(slot).release();
    made.offset = reinterpret_cast<PyMemberDescrObject *>(slot)->d_member->offset;
    for (int i = 0; i < made.nfields; ++i) {
        PyObject *prop = PyDict_GetItemWithError(tp->tp_dict, made.names[i]);
        if (!prop) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_SystemError, "%s has no property %U", def.name, made.names[i]);
            return -1;
        }
        made.props[i] = Ref::borrow(prop).release();
    }
#if PY_VERSION_HEX >= 0x030C0000
    if (g_type_watcher >= 0 && PyType_Watch(g_type_watcher, cls.get()) < 0)
        return -1;
#endif
    out = made;  // an earlier failed import's entry is kept alive: its objects may still be reachable
    // Filled here, before any other thread can see the class (on a
    // free-threaded build the only time it is).
    out.fill();
    return PyDict_SetItem(dict, name.get(), cls.get());
}

}  // namespace

bool RecordClass::recheck() noexcept {
#ifdef Py_GIL_DISABLED
    return false;  // other threads may be reading the table: the class's own path from now on
#else
    return fill();
#endif
}

bool RecordClass::fill() noexcept {
    current = false;
    PyTypeObject *t = tp();
    if (_PyType_Lookup(t, g_names.data) != slot)
        return false;  // `data` is no longer our slot: the full path, every time
    for (PyObject *&entry : table)
        entry = nullptr;
    for (int i = 0; i < nfields; ++i) {
        if (_PyType_Lookup(t, names[i]) != props[i])
            continue;  // replaced or deleted: read through the class from now on
        unsigned j = slot_of(names[i]);
        while (table[j])
            j = (j + 1) % kFieldSlots;
        table[j] = names[i];
    }
#if PY_VERSION_HEX >= 0x030C0000
    // The watcher hears of a change only while the class has a version tag.
    if (g_type_watcher < 0 || !PyUnstable_Type_AssignVersionTag(t))
        return false;
#else
    if (!(t->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG))
        return false;  // the lookups above give it a tag whenever the interpreter can
    tag = t->tp_version_tag;
#endif
    __atomic_store_n(&current, true, __ATOMIC_RELEASE);
    return true;
}

int add_record_classes(PyObject *dict) noexcept {
    if (!(FunctionType.tp_flags & Py_TPFLAGS_READY) && PyType_Ready(&FunctionType) < 0)
        return -1;
    if (intern_slot_names() < 0)
        return -1;
#if PY_VERSION_HEX >= 0x030C0000
    if (g_type_watcher < 0 && (g_type_watcher = PyType_AddWatcher(on_class_changed)) < 0) {
        PyErr_Clear();  // every watcher slot taken: the classes go without the short path
        g_type_watcher = -1;
    }
#endif
    for (int i = 0; i < kClassCount; ++i) {
        if (make_class(kClasses[i], g_records[i], dict) < 0)
            return -1;
        g_record_types[i] = g_records[i].tp();
    }
    return 0;
}

}  // namespace csdk
