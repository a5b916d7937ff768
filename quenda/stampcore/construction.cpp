// The host-facing construction protocol of every element class: creation,
// the constructor's index arguments, InitModel's slot positions and array
// binding, SetParameters and the refusal to pickle. Each class supplies only
// its description (ElementClass); the work is done here, once.
#include "kernel.hpp"

#include "../capi/args.hpp"
#include "../capi/convert.hpp"

#include <algorithm>
#include <climits>
#include <deque>
#include <string>
#include <utility>
#include <vector>

namespace quenda::stampcore {

uint64_t g_index_epoch = 0;

namespace {

using capi::Buffer;
using capi::Ref;

// The registered element types and their descriptions, for tp_new.
struct Registered {
    PyTypeObject* type;
    const ElementClass* cls;
};
std::vector<Registered> g_registered;

// The description of an object's class: its own type or the nearest
// registered base (Python subclasses of an element class inherit it).
const ElementClass* class_of(PyTypeObject* type) {
    for (PyTypeObject* t = type; t; t = t->tp_base)
        for (const Registered& r : g_registered)
            if (r.type == t) return r.cls;
    return &kElementModelClass;
}

// Argument specs per class, created when the type is registered.
struct Specs {
    capi::ArgSpec ctor;
    capi::ArgSpec init;
};
std::vector<std::pair<const ElementClass*, Specs*>> g_specs;

Specs& specs_of(const ElementClass* cls) {
    for (auto& [c, s] : g_specs)
        if (c == cls) return *s;
    auto* s = new Specs{};  // lives as long as the process, like the type
    s->ctor.func = "__init__";
    s->ctor.count = static_cast<int>(cls->ctor.size());
    for (int k = 0; k < s->ctor.count; ++k) s->ctor.names[k] = cls->ctor[k].name;
    s->init.func = "InitModel";
    s->init.count = static_cast<int>(cls->slots.size());
    for (int k = 0; k < s->init.count; ++k) s->init.names[k] = cls->slots[k].name;
    g_specs.emplace_back(cls, s);
    return *s;
}

ElementModel* model(PyObject* o) { return reinterpret_cast<ElementModel*>(o); }

void raise_where(PyObject* exc, const ElementClass& cls, Where where, const char* what) {
    if (where.list)
        PyErr_Format(exc, "%s[%zd].model (%s): %s", where.list, where.index, cls.name, what);
    else
        PyErr_Format(exc, "%s: %s", cls.name, what);
}

// Node numbers, branch rows and the element index, as the constructor got them.
bool check_indices(const ElementClass& cls, const int32_t* v, Py_ssize_t node_len,
                   Py_ssize_t elem_len, Where where) {
    char what[200];
    // The terminals in order; each two make a port (an element of two
    // terminals has one), and a port needs a terminal off ground.
    int32_t terminal[4];
    const char* terminal_name[4];
    int terminals = 0;
    for (size_t k = 0; k < cls.ctor.size(); ++k) {
        const IndexArg& a = cls.ctor[k];
        const int32_t n = v[k];
        switch (a.role) {
            case IndexRole::Terminal:
                if (terminals < 4) {
                    terminal[terminals] = n;
                    terminal_name[terminals] = a.name;
                    ++terminals;
                }
                if (n < 0) {
                    snprintf(what, sizeof what, "node number %s must not be negative (got %d)",
                             a.name, n);
                    raise_where(PyExc_ValueError, cls, where, what);
                    return false;
                }
                if (n > node_len) {
                    snprintf(what, sizeof what,
                             "node number %s = %d is beyond the node arrays (%zd entries)",
                             a.name, n, node_len);
                    raise_where(PyExc_IndexError, cls, where, what);
                    return false;
                }
                break;
            case IndexRole::Branch:
                if (n < 1) {
                    snprintf(what, sizeof what, "branch row %s must be at least 1 (got %d)",
                             a.name, n);
                    raise_where(PyExc_ValueError, cls, where, what);
                    return false;
                }
                if (n > node_len) {
                    snprintf(what, sizeof what,
                             "branch row %s = %d is beyond the node arrays (%zd entries)", a.name,
                             n, node_len);
                    raise_where(PyExc_IndexError, cls, where, what);
                    return false;
                }
                break;
            case IndexRole::Element:
                if (n < 0) {
                    snprintf(what, sizeof what, "%s must not be negative (got %d)", a.name, n);
                    raise_where(PyExc_ValueError, cls, where, what);
                    return false;
                }
                if (n >= elem_len) {
                    snprintf(what, sizeof what,
                             "%s = %d is beyond the element arrays (%zd entries)", a.name, n,
                             elem_len);
                    raise_where(PyExc_IndexError, cls, where, what);
                    return false;
                }
                break;
        }
    }
    for (int p = 0; p + 1 < terminals; p += 2) {
        if (terminal[p] != 0 || terminal[p + 1] != 0) continue;
        if (terminals == 2)
            snprintf(what, sizeof what, "both terminals are ground (%s = %s = 0)",
                     terminal_name[0], terminal_name[1]);
        else
            snprintf(what, sizeof what, "both terminals of port %d are ground (%s = %s = 0)",
                     p / 2 + 1, terminal_name[p], terminal_name[p + 1]);
        raise_where(PyExc_ValueError, cls, where, what);
        return false;
    }
    return true;
}

void read_indices(ElementModel* m, int32_t* v) {
    for (size_t k = 0; k < m->cls->ctor.size(); ++k) v[k] = field<int32_t>(m, m->cls->ctor[k].offset);
}

// Whether an operation reads a slot position, by the ground rule.
bool slot_read(const ElementClass& cls, const SlotArg& s, const int32_t* v) {
    if (s.use == kNeverRead) return false;
    static constexpr uint8_t kNeeds[4] = {kNeedsFirst, kNeedsSecond, kNeedsThird, kNeedsFourth};
    int32_t terminal[4] = {};  // a terminal the class does not have reads as ground
    int seen = 0;
    for (size_t k = 0; k < cls.ctor.size() && seen < 4; ++k)
        if (cls.ctor[k].role == IndexRole::Terminal) terminal[seen++] = v[k];
    for (int t = 0; t < 4; ++t)
        if ((s.use & kNeeds[t]) && terminal[t] == 0) return false;
    return true;
}

bool check_slots(ElementModel* m, const int32_t* v, Where where) {
    const ElementClass& cls = *m->cls;
    for (const SlotArg& s : cls.slots) {
        const int32_t pos = field<int32_t>(m, s.offset);
        if (pos >= 0 || !slot_read(cls, s, v)) continue;
        char what[200];
        snprintf(what, sizeof what, "slot position %s is negative (%d)", s.name, pos);
        raise_where(PyExc_IndexError, cls, where, what);
        return false;
    }
    return true;
}

// ---- the Python type -------------------------------------------------------

PyObject* element_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* o = type->tp_alloc(type, 0);  // zeroed: null addresses, positions 0
    if (o) model(o)->cls = class_of(type);
    return o;
}

int element_init(PyObject* self, PyObject* args, PyObject* kwds) {
    ElementModel* m = model(self);
    const ElementClass& cls = *m->cls;
    PyObject* given[capi::ArgSpec::kMaxArgs];
    if (!capi::parse_args(specs_of(&cls).ctor, args, kwds, given)) return -1;
    int32_t v[capi::ArgSpec::kMaxArgs];
    for (size_t k = 0; k < cls.ctor.size(); ++k)
        if (!capi::to_int32(given[k], &v[k])) return -1;
    if (!check_indices(cls, v, PY_SSIZE_T_MAX, PY_SSIZE_T_MAX, {})) return -1;
    for (size_t k = 0; k < cls.ctor.size(); ++k) field<int32_t>(m, cls.ctor[k].offset) = v[k];
    if (cls.defaults) cls.defaults(m);
    ++g_index_epoch;
    return 0;
}

// Drops a binding the model no longer holds. Dropping an array may run host
// code (a finaliser), even code that binds the model again: the model must
// be consistent before this is called.
void release(Binding* b) {
    if (!b) return;
    for (PyObject*& a : b->held) Py_CLEAR(a);
    PyMem_Free(b);
}

// Forgets the bound arrays; the model's addresses may dangle from here on,
// so no driver may use it until it is bound again.
void unbind(ElementModel* m) {
    Binding* b = std::exchange(binding_of(m), nullptr);
    if (!b) return;
    ++g_index_epoch;
    release(b);
}

int element_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    if (Binding* b = binding_of(model(self)))
        for (PyObject* a : b->held) Py_VISIT(a);
    return 0;
}

int element_clear(PyObject* self) {
    unbind(model(self));
    return 0;
}

void element_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    unbind(model(self));
    if (model(self)->cls->free_owned) model(self)->cls->free_owned(model(self));
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef kElementMethods[] = {QUENDA_ELEMENT_METHODS, {nullptr, nullptr, 0, nullptr}};

// Reads item p.item of params as the class's parameter p.
bool read_param(PyObject* params, const Param& p, double* value) {
    Ref item = capi::item(params, p.item);
    if (!item) return false;
    if (!p.reciprocal) return capi::to_double(item.get(), value);
    if (PyFloat_CheckExact(item.get()) || PyLong_CheckExact(item.get())) {
        double l;
        if (!capi::to_double(item.get(), &l)) return false;
        *value = 1.0 / l;  // a zero inductance gives an infinite admittance, as asked
        return true;
    }
    Ref one = Ref::steal(PyFloat_FromDouble(1.0));
    if (!one) return false;
    Ref q = Ref::steal(PyNumber_TrueDivide(one.get(), item.get()));
    return q && capi::to_double(q.get(), value);
}

// The most parameters a class that takes them together reads.
constexpr size_t kMaxJointParams = 8;

}  // namespace

PyObject* g_module_dict = nullptr;
PyTypeObject* g_element_model_type = nullptr;

Ref module_global(PyObject* name) {
    PyObject* v = PyDict_GetItemWithError(g_module_dict, name);
    if (!v && !PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return Ref::borrow(v);
}

bool check_usable(ElementModel* m, Where where) {
    const ElementClass& cls = *m->cls;
    if (cls.arrays.empty()) return check_model(m, 0, 0, where);
    Binding* binding = binding_of(m);
    if (!binding) {
        raise_where(PyExc_ValueError, cls, where,
                    "not bound to the host arrays (its InitModel has not run)");
        return false;
    }
    return check_model(m, binding->node_len, binding->elem_len, where);
}

bool check_model(ElementModel* m, Py_ssize_t node_len, Py_ssize_t elem_len, Where where) {
    int32_t v[capi::ArgSpec::kMaxArgs];
    read_indices(m, v);
    return check_indices(*m->cls, v, node_len, elem_len, where) && check_slots(m, v, where);
}

Extent model_extent(const ElementModel* cm) {
    auto* m = const_cast<ElementModel*>(cm);
    const ElementClass& cls = *m->cls;
    int32_t v[capi::ArgSpec::kMaxArgs];
    read_indices(m, v);
    Py_ssize_t unknown = 0, slots = 0;
    for (size_t k = 0; k < cls.ctor.size(); ++k)
        if (cls.ctor[k].role != IndexRole::Element) unknown = std::max<Py_ssize_t>(unknown, v[k]);
    for (const SlotArg& s : cls.slots)
        if (slot_read(cls, s, v))
            slots = std::max<Py_ssize_t>(slots, Py_ssize_t{field<int32_t>(m, s.offset)} + 1);
    Extent e{};
    for (int k = 0; k < 3; ++k) e.matrix[k] = (cls.stamps >> k) & 1 ? slots : 0;
    e.rhs = unknown;
    e.solution = cls.reads_solution ? unknown : 0;
    return e;
}

PyObject* element_InitModel(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    ElementModel* m = model(self);
    const ElementClass& cls = *m->cls;
    PyObject* given[capi::ArgSpec::kMaxArgs];
    if (!capi::parse_args(specs_of(&cls).init, args, nargs, kwnames, given)) return nullptr;
    // Each position is stored as soon as it converts, and the epoch moves
    // with each store: a conversion or a lookup after it may run host code
    // that calls a driver, which must then check the positions stored so far.
    for (size_t k = 0; k < cls.slots.size(); ++k) {
        int32_t pos;
        if (!capi::to_int32(given[k], &pos)) return nullptr;
        field<int32_t>(m, cls.slots[k].offset) = pos;
        ++g_index_epoch;
    }
    // Take every array first; the addresses change only when all passed.
    Ref arrays[kMaxHostArrays];
    Buffer buffers[kMaxHostArrays];
    Py_ssize_t node_len = PY_SSIZE_T_MAX, elem_len = PY_SSIZE_T_MAX;
    for (size_t k = 0; k < cls.arrays.size(); ++k) {
        const HostArray& a = cls.arrays[k];
        Ref qdglobals = module_global(g_names.qdglobals);
        if (!qdglobals) return nullptr;
        arrays[k] = Ref::steal(PyObject_GetAttrString(qdglobals.get(), a.attr));
        if (!arrays[k]) return nullptr;
        if (!capi::check_convertible(arrays[k].get(), capi::ndarray_type)) return nullptr;
        // Element arrays take writes from Values: a read-only one is refused now.
        if (!capi::take_buffer(arrays[k].get(), *a.type, 1, !a.node, buffers[k])) return nullptr;
        Py_ssize_t& len = a.node ? node_len : elem_len;
        len = std::min(len, buffers[k].length());
    }
    if (!check_model(m, node_len, elem_len)) return nullptr;
    auto* binding = static_cast<Binding*>(PyMem_Calloc(1, sizeof(Binding)));
    if (!binding) return PyErr_NoMemory();
    for (size_t k = 0; k < cls.arrays.size(); ++k) {
        field<void*>(m, cls.arrays[k].offset) = buffers[k].data();
        binding->held[k] = arrays[k].release();
    }
    binding->node_len = node_len;
    binding->elem_len = elem_len;
    Binding* previous = std::exchange(binding_of(m), binding);
    ++g_index_epoch;
    release(previous);
    Py_RETURN_NONE;
}

PyObject* element_SetParameters(PyObject* self, PyObject* params) {
    ElementModel* m = model(self);
    const ElementClass& cls = *m->cls;
    if (!cls.accept_parameters) {
        // Each parameter is stored as soon as it converts.
        for (const Param& p : cls.params) {
            double value;
            if (!read_param(params, p, &value)) return nullptr;
            field<double>(m, p.offset) = value;
        }
        Py_RETURN_NONE;
    }
    // All or nothing: the class sees every value before any is stored.
    double values[kMaxJointParams] = {};
    const size_t n = std::min(cls.params.size(), kMaxJointParams);
    for (size_t k = 0; k < n; ++k)
        if (!read_param(params, cls.params[k], &values[k])) return nullptr;
    if (!cls.accept_parameters(m, values)) return nullptr;
    for (size_t k = 0; k < n; ++k) field<double>(m, cls.params[k].offset) = values[k];
    Py_RETURN_NONE;
}

PyObject* element_refuse_reduce(PyObject* self, PyObject*) {
    PyErr_SetString(PyExc_TypeError, model(self)->cls->pickle_message);
    return nullptr;
}

PyObject* element_refuse_setstate(PyObject* self, PyObject*) {
    return element_refuse_reduce(self, nullptr);
}

PyTypeObject* create_element_type(const ElementClass& cls, PyTypeObject* base) {
    // Python 3.11 keeps the type spec's name pointer as tp_name: it must outlive the type.
    static std::deque<std::string> names;
    const std::string& name = names.emplace_back(std::string("quenda.stampcore.") + cls.name);
    PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(element_new)},
        {Py_tp_init, reinterpret_cast<void*>(element_init)},
        {Py_tp_dealloc, reinterpret_cast<void*>(element_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(element_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(element_clear)},
        {Py_tp_methods, cls.methods ? cls.methods : kElementMethods},
        {Py_tp_doc, const_cast<char*>(cls.doc)},
        {0, nullptr},
    };
    PyType_Spec spec = {
        name.c_str(), static_cast<int>(cls.basicsize + sizeof(Binding*)), 0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, slots,
    };
    Ref bases;
    if (base) {
        bases = Ref::steal(PyTuple_Pack(1, reinterpret_cast<PyObject*>(base)));
        if (!bases) return nullptr;
    }
    auto* type = reinterpret_cast<PyTypeObject*>(PyType_FromSpecWithBases(&spec, bases.get()));
    if (!type) return nullptr;
    specs_of(&cls);
    g_registered.push_back({type, &cls});
    return type;
}

}  // namespace quenda::stampcore
