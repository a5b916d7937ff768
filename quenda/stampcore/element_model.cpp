// The base class ElementModel: five operations that do nothing, no
// constructor arguments, and pickling by reduction (it has no fields that
// would need saving, so the pickle carries the type, a fixed signature and
// the instance dictionary of a Python subclass, if any).
#include "kernel.hpp"

#include "../capi/args.hpp"
#include "../capi/convert.hpp"

namespace quenda::stampcore {
namespace {

using capi::Ref;

// Signature of a class without pickled fields; a pickle that carries another
// one was written for a class of another shape.
constexpr long kChecksum = 222419149;  // 0xd41d8cd

// Applies a pickled state: (instance dict,) or the empty tuple.
bool apply_state(PyObject* self, PyObject* state) {
    if (state != Py_None && !PyTuple_Check(state)) {
        PyErr_Format(PyExc_TypeError, "Expected %.16s, got %.200s", "tuple",
                     Py_TYPE(state)->tp_name);
        return false;
    }
    if (state == Py_None) {
        PyErr_SetString(PyExc_TypeError, "object of type 'NoneType' has no len()");
        return false;
    }
    if (PyTuple_GET_SIZE(state) == 0) return true;
    int has_dict = PyObject_HasAttrString(self, "__dict__");
    if (!has_dict) return true;
    Ref dict = Ref::steal(PyObject_GetAttrString(self, "__dict__"));
    if (!dict) return false;
    Ref r = Ref::steal(PyObject_CallMethod(dict.get(), "update", "O", PyTuple_GET_ITEM(state, 0)));
    return static_cast<bool>(r);
}

PyObject* base_reduce(PyObject* self, PyObject*) {
    Ref rebuild = module_global(g_names._rebuild_ElementModel);
    if (!rebuild) return nullptr;
    Ref dict = Ref::steal(PyObject_GetAttrString(self, "__dict__"));
    if (!dict) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
        PyErr_Clear();
    }
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(self));
    if (dict && dict.get() != Py_None)
        return Py_BuildValue("(O(OlO)(O))", rebuild.get(), type, kChecksum, Py_None, dict.get());
    return Py_BuildValue("(O(Ol()))", rebuild.get(), type, kChecksum);
}

PyObject* base_setstate(PyObject* self, PyObject* state) {
    if (!apply_state(self, state)) return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef kBaseMethods[] = {
    QUENDA_NOARGS_METHOD("__reduce__", base_reduce, nullptr),
    QUENDA_ONEARG_METHOD("__setstate__", base_setstate, nullptr),
    {nullptr, nullptr, 0, nullptr},
};

capi::ArgSpec g_rebuild_spec{"_rebuild_ElementModel", {"type", "checksum", "state"}, 3};

}  // namespace

PyObject* rebuild_element_model(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    PyObject* a[3];
    if (!capi::parse_args(g_rebuild_spec, args, nargs, kwnames, a)) return nullptr;
    long checksum;
    if (!capi::to_long(a[1], &checksum)) return nullptr;
    if (checksum != kChecksum) {
        Ref pickle = Ref::steal(PyImport_ImportModule("pickle"));
        if (!pickle) return nullptr;
        Ref error = Ref::steal(PyObject_GetAttrString(pickle.get(), "PickleError"));
        if (!error) return nullptr;
        PyErr_Format(error.get(), "Incompatible checksums (%ld vs 0xd41d8cd = ())", checksum);
        return nullptr;
    }
    Ref result = Ref::steal(PyObject_CallMethod(
        reinterpret_cast<PyObject*>(g_element_model_type), "__new__", "O", a[0]));
    if (!result) return nullptr;
    if (a[2] != Py_None && !apply_state(result.get(), a[2])) return nullptr;
    return result.release();
}

const ElementClass kElementModelClass = {
    .name = "ElementModel",
    .ops = {no_admitance0, no_admitance, no_admitance, no_admitance, no_values},
    .stamps = 0,
    .reads_solution = false,
    .ctor = {},
    .slots = {},
    .arrays = {},
    .params = {},
    .defaults = nullptr,
    .pickle_message = nullptr,
    .methods = kBaseMethods,
    .basicsize = sizeof(ElementModel),
    .doc = "ElementModel()\n\nBase class of every element model: its operations add nothing.",
};

}  // namespace quenda::stampcore
