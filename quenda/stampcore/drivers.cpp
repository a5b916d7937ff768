// The model array and the drivers that walk it.
//
// InitElementModels collects the host's models; BuildStaticMatrix and
// BuildMatrix prepare a run; UpdateMatrix, UpdateRHS and UpdateValues run in
// the time loop. Every driver does all of its interpreter work and every
// check first (argument types and layouts, host state, the lengths the
// models need), then one tight loop of table calls that cannot fail. The
// loops skip the table's empty entries: a compare costs less than a call.
#include "kernel.hpp"

#include "../capi/args.hpp"
#include "../capi/convert.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <new>
#include <vector>

namespace quenda::stampcore {
namespace {

using capi::Buffer;
using capi::Ref;

// all_emodels and source_emodels. They own their references, so a host that
// drops an element object cannot leave the drivers with a freed model.
struct ModelArray {
    std::vector<ElementModel*> models;
    std::vector<ElementModel*> sources;
    // need[e]: the array lengths that models 0..e require together.
    std::vector<Extent> need;
    // g_index_epoch when `need` was derived; a model re-bound since then
    // makes the next driver derive it again. So does a model array that no
    // longer has the size `need` was derived for: a driver called from host
    // code while InitElementModels collects sees the models collected so far.
    uint64_t epoch = 0;
    // Whether a collected model's class reads the context's time: only then
    // do the drivers read qdglobals.CurrentTime.
    bool reads_time = false;

    // Empties the arrays before it releases the models: releasing one may run
    // host code (a finaliser) that calls back into the kernel, which must
    // then find nothing it could release, or walk, a second time.
    void clear() {
        std::vector<ElementModel*> old_models, old_sources;
        old_models.swap(models);
        old_sources.swap(sources);
        need.clear();
        reads_time = false;
        for (ElementModel* m : old_models) Py_DECREF(m);
        for (ElementModel* m : old_sources) Py_DECREF(m);
    }

    bool derive_needs() {
        try {
            need.resize(models.size());
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            return false;
        }
        Extent acc{};
        for (size_t e = 0; e < models.size(); ++e) {
            ElementModel* m = models[e];
            if (!check_usable(m, {"ElementList", Py_ssize_t(e)})) return false;
            const Extent x = model_extent(m);
            for (int k = 0; k < 3; ++k) acc.matrix[k] = std::max(acc.matrix[k], x.matrix[k]);
            acc.rhs = std::max(acc.rhs, x.rhs);
            acc.solution = std::max(acc.solution, x.solution);
            need[e] = acc;
        }
        epoch = g_index_epoch;
        return true;
    }

    // The lengths the first nelem models need, or null with an error set
    // when the drivers may not walk them.
    const Extent* ready(int32_t nelem) {
        static const Extent none{};
        if (nelem <= 0) return &none;
        if (size_t(nelem) > models.size()) {
            PyErr_Format(PyExc_IndexError,
                         "TotalElements is %d, but the last successful InitElementModels "
                         "collected %zd element models",
                         nelem, Py_ssize_t(models.size()));
            return nullptr;
        }
        if ((epoch != g_index_epoch || need.size() != models.size()) && !derive_needs())
            return nullptr;
        return &need[nelem - 1];
    }
};

ModelArray g_models;

// An attribute of the host module bound to `name` in this module's globals.
Ref host_attr(PyObject* module_name, PyObject* attr) {
    Ref host = module_global(module_name);
    if (!host) return {};
    return Ref::steal(PyObject_GetAttr(host.get(), attr));
}

bool host_int32(PyObject* module_name, PyObject* attr, int32_t* out) {
    Ref v = host_attr(module_name, attr);
    return v && capi::to_int32(v.get(), out);
}

// A model of a host list, collected with a strong reference.
bool collect(PyObject* list_name, const char* list, Py_ssize_t k,
             std::vector<ElementModel*>& into) {
    Ref seq = host_attr(g_names.qdglobals, list_name);
    if (!seq) return false;
    Ref element = capi::item(seq.get(), k);
    if (!element) return false;
    Ref m = Ref::steal(PyObject_GetAttr(element.get(), g_names.model));
    if (!m) return false;
    if (!PyObject_TypeCheck(m.get(), g_element_model_type)) {
        PyErr_Format(PyExc_TypeError, "%s[%zd].model is not an element model (got %.200s)",
                     list, k, Py_TYPE(m.get())->tp_name);
        return false;
    }
    if (!check_usable(reinterpret_cast<ElementModel*>(m.get()), {list, k})) return false;
    try {
        into.push_back(reinterpret_cast<ElementModel*>(m.get()));
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
    m.release();
    // Set with each model, so that a driver called back during the
    // collection reads the time for the models collected so far.
    g_models.reads_time |= into.back()->cls->reads_time;
    return true;
}

// An array argument of a driver: an ndarray (not None), 1-D C-contiguous float64.
bool take_argument(PyObject* o, const char* name, Buffer& b) {
    return capi::check_arg_type(o, capi::ndarray_type, name) &&
           capi::take_buffer(o, capi::FLOAT_t, 1, false, b);
}

// A solution array of the host (a new reference in `o`).
bool take_solution(Ref o, Buffer& b) {
    return o && capi::check_convertible(o.get(), capi::ndarray_type) &&
           capi::take_buffer(o.get(), capi::FLOAT_t, 1, false, b);
}

bool sp_double(PyObject* attr, double* out) {
    Ref v = host_attr(g_names.SP, attr);
    return v && capi::to_double(v.get(), out);
}

bool sp_item0(PyObject* attr, double* out) {
    Ref v = host_attr(g_names.SP, attr);
    return v && capi::item_as_double(v.get(), 0, out);
}

// The host's solution arrays handed to the models through the context.
struct Solution {
    Buffer phases, phases_prev, voltages, voltages_deriv, voltages_prev;

    bool bind(bool with_prev_voltages);
    void fill(ModelContext& ctx) const;
    bool check(Py_ssize_t need) const;
};

bool check_vector(const Buffer& b, Py_ssize_t need, const char* name);

bool Solution::bind(bool with_prev_voltages) {
    Ref x = host_attr(g_names.SP, g_names.X);
    Ref xind = x ? host_attr(g_names.SP, g_names.Xind) : Ref{};
    if (!xind || !take_solution(Ref::steal(PyObject_GetItem(x.get(), xind.get())), phases))
        return false;
    x = host_attr(g_names.SP, g_names.X);
    xind = x ? host_attr(g_names.SP, g_names.Xind) : Ref{};
    if (!xind) return false;
    Ref one = Ref::steal(PyLong_FromLong(1));
    Ref prev = one ? Ref::steal(PyNumber_Subtract(xind.get(), one.get())) : Ref{};
    if (!prev || !take_solution(Ref::steal(PyObject_GetItem(x.get(), prev.get())), phases_prev))
        return false;
    if (!take_solution(host_attr(g_names.SP, g_names.DX), voltages) ||
        !take_solution(host_attr(g_names.SP, g_names.DDX), voltages_deriv))
        return false;
    return !with_prev_voltages ||
           take_solution(host_attr(g_names.SP, g_names.DXprev), voltages_prev);
}

void Solution::fill(ModelContext& ctx) const {
    ctx.phases = static_cast<const double*>(phases.data());
    ctx.phases_prev = static_cast<const double*>(phases_prev.data());
    ctx.voltages = static_cast<const double*>(voltages.data());
    ctx.voltages_deriv = static_cast<const double*>(voltages_deriv.data());
    ctx.voltages_prev =
        voltages_prev.held() ? static_cast<const double*>(voltages_prev.data()) : nullptr;
}

bool Solution::check(Py_ssize_t need) const {
    const std::pair<const Buffer*, const char*> arrays[] = {
        {&phases, "SP.X[SP.Xind]"}, {&phases_prev, "SP.X[SP.Xind - 1]"},
        {&voltages, "SP.DX"}, {&voltages_deriv, "SP.DDX"}, {&voltages_prev, "SP.DXprev"}};
    for (auto [b, name] : arrays)
        if (b->held() && !check_vector(*b, need, name)) return false;
    return true;
}

bool check_vector(const Buffer& b, Py_ssize_t need, const char* name) {
    if (b.length() >= need) return true;
    PyErr_Format(PyExc_ValueError, "%s has %zd values, but the element models use unknown %zd",
                 name, b.length(), need);
    return false;
}

bool check_matrix(const Buffer& b, Py_ssize_t need, const char* name) {
    if (b.length() >= need) return true;
    PyErr_Format(PyExc_ValueError,
                 "%s has %zd values, but the element models stamp slot position %zd", name,
                 b.length(), need - 1);
    return false;
}

bool check_writable(const Buffer& b) {
    if (!b.view().readonly) return true;
    capi::raise_read_only();
    return false;
}

bool read_coefficients(ModelContext& ctx) {
    return sp_item0(g_names.InterpCoeffDt, &ctx.coeff_dt) &&
           sp_item0(g_names.InterpCoeffDDt, &ctx.coeff_ddt) &&
           sp_double(g_names.InitialSmoothFactor, &ctx.smooth_factor) &&
           sp_item0(g_names.TimeSteps, &ctx.time_step);
}

// The time of the point, when a collected model reads it; NaN otherwise.
bool read_time(ModelContext& ctx) {
    ctx.time = std::numeric_limits<double>::quiet_NaN();
    if (!g_models.reads_time) return true;
    Ref t = host_attr(g_names.qdglobals, g_names.CurrentTime);
    return t && capi::to_double(t.get(), &ctx.time);
}

bool total_elements(int32_t* nelem) {
    return host_int32(g_names.qdglobals, g_names.TotalElements, nelem);
}

const Extent* models_ready(int32_t nelem) { return g_models.ready(nelem); }

ElementModel* const* model_array() { return g_models.models.data(); }

}  // namespace

bool collected_models(ElementModel* const** models, int32_t* count, Extent* need) {
    const size_t size = g_models.models.size();
    if (size > size_t(INT32_MAX)) {
        PyErr_SetString(PyExc_OverflowError, "more element models than a loop can count");
        return false;
    }
    const Extent* ready = g_models.ready(static_cast<int32_t>(size));
    if (!ready) return false;
    *models = g_models.models.data();
    *count = static_cast<int32_t>(size);
    *need = *ready;
    return true;
}

PyObject* InitElementModels(PyObject*, PyObject*) {
    int32_t nsource, nelem, nthreads;
    if (!host_int32(g_names.qdglobals, g_names.TotalSourceElements, &nsource) ||
        !host_int32(g_names.qdglobals, g_names.TotalElements, &nelem))
        return nullptr;
    Ref nth = module_global(g_names.NTHREADS);
    if (!nth || !capi::to_int32(nth.get(), &nthreads)) return nullptr;
    if (nsource < 0 || nelem < 0) {
        PyErr_Format(PyExc_ValueError,
                     "TotalElements and TotalSourceElements must not be negative (got %d, %d)",
                     nelem, nsource);
        return nullptr;
    }

    // The previous arrays are gone from here on: no driver runs on a half
    // collected array (ready() refuses until a later call succeeds).
    // The counts are the host's word, not yet backed by elements: the arrays
    // grow with the models actually collected, never by a reservation.
    g_models.clear();

    // Held, and each step only after the last succeeded: an attribute
    // lookup may run host code that rebinds the module's np, and none may
    // start with an exception pending.
    Ref np = module_global(g_names.np);
    if (!np) return nullptr;
    Ref nodes = host_attr(g_names.qdglobals, g_names.TotalNodes);
    if (!nodes) return nullptr;
    Ref shape = Ref::steal(Py_BuildValue("(iO)", nthreads, nodes.get()));
    if (!shape) return nullptr;
    Ref dtype = Ref::steal(PyObject_GetAttr(np.get(), g_names.float64));
    if (!dtype) return nullptr;
    Ref zeros = Ref::steal(PyObject_GetAttr(np.get(), g_names.zeros));
    if (!zeros) return nullptr;
    Ref kwargs = Ref::steal(PyDict_New());
    if (!kwargs || PyDict_SetItem(kwargs.get(), g_names.dtype, dtype.get()) < 0) return nullptr;
    Ref args = Ref::steal(PyTuple_Pack(1, shape.get()));
    Ref helper = args ? Ref::steal(PyObject_Call(zeros.get(), args.get(), kwargs.get())) : Ref{};
    if (!helper || PyDict_SetItem(g_module_dict, g_names.RHSHelper, helper.get()) < 0)
        return nullptr;

    for (int32_t s = 0; s < nsource; ++s)
        if (!collect(g_names.SourceElementList, "SourceElementList", s, g_models.sources)) {
            g_models.clear();
            return nullptr;
        }
    for (int32_t e = 0; e < nelem; ++e)
        if (!collect(g_names.ElementList, "ElementList", e, g_models.models)) {
            g_models.clear();
            return nullptr;
        }
    if (!g_models.derive_needs()) {
        g_models.clear();
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* BuildStaticMatrix(PyObject*, PyObject* a0_arg) {
    Buffer a0;
    int32_t nelem;
    if (!take_argument(a0_arg, "A0", a0) || !total_elements(&nelem)) return nullptr;

    // Parameter refresh: every element before the ramp ends or when the host
    // does not optimise, only the sources after it.
    Ref optimize = host_attr(g_names.qdglobals, g_names.OptimizeSimulation);
    if (!optimize) return nullptr;
    int only_sources = PyObject_IsTrue(optimize.get());
    if (only_sources < 0) return nullptr;
    if (only_sources) {
        Ref now = host_attr(g_names.qdglobals, g_names.CurrentTime);
        Ref ramp = now ? host_attr(g_names.SP, g_names.INITIAL_RAMP) : Ref{};
        Ref after = ramp ? Ref::steal(PyObject_RichCompare(now.get(), ramp.get(), Py_GT)) : Ref{};
        if (!after || (only_sources = PyObject_IsTrue(after.get())) < 0) return nullptr;
    }
    Ref list = host_attr(g_names.qdglobals,
                         only_sources ? g_names.SourceElementList : g_names.ElementList);
    Ref it = list ? Ref::steal(PyObject_GetIter(list.get())) : Ref{};
    if (!it) return nullptr;
    while (Ref element = Ref::steal(PyIter_Next(it.get()))) {
        if (!Ref::steal(PyObject_CallMethodNoArgs(element.get(), g_names.UpdateParameters)))
            return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;

    // UpdateParameters may re-bind models: the checks come after it.
    const Extent* need = models_ready(nelem);
    if (!need) return nullptr;
    if (nelem > 0 && (!check_writable(a0) || !check_matrix(a0, need->matrix[0], "A0")))
        return nullptr;

    double* m = static_cast<double*>(a0.data());
    ElementModel* const* models = model_array();
    for (int32_t e = 0; e < nelem; ++e) {
        const ElementOps& ops = models[e]->cls->ops;
        if (ops.Admitance0 != no_admitance0) ops.Admitance0(models[e], m);
    }
    Py_RETURN_NONE;
}

PyObject* BuildMatrix(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static capi::ArgSpec spec{"BuildMatrix", {"A1", "A2", "B"}, 3};
    PyObject* a[3];
    if (!capi::parse_args(spec, args, nargs, kwnames, a)) return nullptr;
    if (!capi::check_arg_type(a[0], capi::ndarray_type, "A1") ||
        !capi::check_arg_type(a[1], capi::ndarray_type, "A2") ||
        !capi::check_arg_type(a[2], capi::ndarray_type, "B"))
        return nullptr;
    Buffer a1, a2, b;
    if (!take_argument(a[0], "A1", a1) || !take_argument(a[1], "A2", a2) ||
        !take_argument(a[2], "B", b))
        return nullptr;
    Solution sol;
    int32_t nelem;
    ModelContext ctx{};
    if (!sol.bind(true) || !total_elements(&nelem) || !read_coefficients(ctx) || !read_time(ctx))
        return nullptr;
    sol.fill(ctx);

    const Extent* need = models_ready(nelem);
    if (!need) return nullptr;
    if (nelem > 0 &&
        (!check_writable(a1) || !check_writable(a2) || !check_writable(b) ||
         !check_matrix(a1, need->matrix[1], "A1") || !check_matrix(a2, need->matrix[2], "A2") ||
         !check_vector(b, need->rhs, "B") || !sol.check(need->solution)))
        return nullptr;

    double* m1 = static_cast<double*>(a1.data());
    double* m2 = static_cast<double*>(a2.data());
    double* vec = static_cast<double*>(b.data());
    ElementModel* const* models = model_array();
    for (int32_t e = 0; e < nelem; ++e) {
        ElementModel* m = models[e];
        const ElementOps& ops = m->cls->ops;
        if (ops.Admitance1 != no_admitance) ops.Admitance1(m, m1, &ctx);
        if (ops.Admitance2 != no_admitance) ops.Admitance2(m, m2, &ctx);
        ops.RHSCurrent(m, vec, &ctx);
    }
    Py_RETURN_NONE;
}

PyObject* UpdateMatrix(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static capi::ArgSpec spec{"UpdateMatrix", {"A2", "B"}, 2};
    PyObject* a[2];
    if (!capi::parse_args(spec, args, nargs, kwnames, a)) return nullptr;
    if (!capi::check_arg_type(a[0], capi::ndarray_type, "A2") ||
        !capi::check_arg_type(a[1], capi::ndarray_type, "B"))
        return nullptr;
    Buffer a2, b;
    if (!take_argument(a[0], "A2", a2) || !take_argument(a[1], "B", b)) return nullptr;
    Solution sol;
    int32_t nelem;
    ModelContext ctx{};
    if (!sol.bind(true) || !total_elements(&nelem) || !read_coefficients(ctx) || !read_time(ctx))
        return nullptr;
    sol.fill(ctx);

    const Extent* need = models_ready(nelem);
    if (!need) return nullptr;
    if (nelem > 0 && (!check_writable(a2) || !check_writable(b) ||
                      !check_matrix(a2, need->matrix[2], "A2") ||
                      !check_vector(b, need->rhs, "B") || !sol.check(need->solution)))
        return nullptr;

    double* m2 = static_cast<double*>(a2.data());
    double* vec = static_cast<double*>(b.data());
    ElementModel* const* models = model_array();
    for (int32_t e = 0; e < nelem; ++e) {
        ElementModel* m = models[e];
        const ElementOps& ops = m->cls->ops;
        if (ops.Admitance2 != no_admitance) ops.Admitance2(m, m2, &ctx);
        ops.RHSCurrent(m, vec, &ctx);
    }
    Py_RETURN_NONE;
}

PyObject* UpdateRHS(PyObject*, PyObject* b_arg) {
    Buffer b;
    if (!take_argument(b_arg, "B", b)) return nullptr;
    Solution sol;
    int32_t nelem;
    ModelContext ctx{};
    if (!sol.bind(false) || !total_elements(&nelem) || !read_coefficients(ctx) || !read_time(ctx))
        return nullptr;
    sol.fill(ctx);

    const Extent* need = models_ready(nelem);
    if (!need) return nullptr;
    if (nelem > 0 && (!check_writable(b) || !check_vector(b, need->rhs, "B") ||
                      !sol.check(need->solution)))
        return nullptr;

    double* vec = static_cast<double*>(b.data());
    ElementModel* const* models = model_array();
    for (int32_t e = 0; e < nelem; ++e) models[e]->cls->ops.RHSCurrent(models[e], vec, &ctx);
    Py_RETURN_NONE;
}

PyObject* UpdateValues(PyObject*, PyObject*) {
    int32_t nelem;
    ModelContext ctx{};
    if (!total_elements(&nelem) || !sp_double(g_names.InitialSmoothFactor, &ctx.smooth_factor) ||
        !sp_item0(g_names.TimeSteps, &ctx.time_step) ||
        !sp_double(g_names.PHASE_HISTERESIS, &ctx.histeresis) || !read_time(ctx))
        return nullptr;
    if (!models_ready(nelem)) return nullptr;

    ElementModel* const* models = model_array();
    for (int32_t e = 0; e < nelem; ++e) models[e]->cls->ops.Values(models[e], &ctx);
    Py_RETURN_NONE;
}

}  // namespace quenda::stampcore
