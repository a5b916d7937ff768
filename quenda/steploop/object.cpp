// The StepLoop class: one transient run, stepped in C++.
//
// The host (quenda/analysis/compiled.py) makes the models and the arrays
// they are bound to, as for its own loop, and hands them over in a plan: an
// object whose attributes name them. The constructor checks everything it
// will index (shapes, element types, index ranges, the models' needs) and
// takes what it keeps: a reference to each model and a buffer of each
// array, so that nothing it writes through can go away while it lives.
// run(outputs) then steps until the run is done, the output rows are full,
// the host asked for progress reports and one is due, or a step fails; it
// reports which, and keeps its state for the next call. An interrupt (or
// any exception a signal handler raises) leaves the run at its last
// accepted point, its rows stored so far counted in `stored`.
//
// The interpreter lock is held throughout: no other thread can touch the
// arrays or the models meanwhile, and the only host code that can run inside
// run() is a signal handler, after which the models are checked again.
#include "object.hpp"

#include "clock.hpp"

#include "kernel_link.hpp"
#include "loop.hpp"
#include "newton.hpp"
#include "stepping.hpp"
#include "waveforms.hpp"

#include "../capi/args.hpp"
#include "../capi/buffers.hpp"
#include "../capi/convert.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <new>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace quenda::steploop {
namespace {

using capi::Buffer;
using capi::Ref;

constexpr capi::ElementType kIndex{"int32", 'I', 4};

// The most steps of the largest step a run may take (transient.MAX_STEPS).
constexpr double kMaxSteps = 1e9;

// ---- reading the plan ---------------------------------------------------------

// The attributes of a plan, each read once and checked.
class Plan {
public:
    explicit Plan(PyObject* plan) : plan_(plan) {}

    Ref attr(const char* name) { return Ref::steal(PyObject_GetAttrString(plan_, name)); }

    bool number(const char* name, double* out) {
        Ref v = attr(name);
        return v && capi::to_double(v.get(), out);
    }

    // A number that must be positive and finite (or infinite, when allowed).
    bool positive(const char* name, double* out, bool allow_inf = false) {
        if (!number(name, out)) return false;
        if (*out > 0 && (allow_inf || std::isfinite(*out))) return true;
        Ref got = Ref::steal(PyFloat_FromDouble(*out));
        if (got)
            PyErr_Format(PyExc_ValueError, "plan.%s must be positive%s (got %R)", name,
                         allow_inf ? "" : " and finite", got.get());
        return false;
    }

    bool integer(const char* name, long* out) {
        Ref v = attr(name);
        return v && capi::to_long(v.get(), out);
    }

    bool flag(const char* name, bool* out) {
        Ref v = attr(name);
        if (!v) return false;
        const int truth = PyObject_IsTrue(v.get());
        if (truth < 0) return false;
        *out = truth;
        return true;
    }

    bool array(const char* name, const capi::ElementType& type, int ndim, bool writable,
               Buffer& out) {
        Ref v = attr(name);
        std::string what = std::string("plan.") + name;
        return v && capi::check_arg_type(v.get(), capi::ndarray_type, what.c_str()) &&
               capi::take_buffer(v.get(), type, ndim, writable, out);
    }

    // A 1-D int32 array whose every value lies in [low, high).
    bool indices(const char* name, int32_t low, Py_ssize_t high, std::vector<int32_t>& out) {
        Buffer b;
        if (!array(name, kIndex, 1, false, b)) return false;
        const auto* v = static_cast<const int32_t*>(b.data());
        try {
            out.assign(v, v + b.length());
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            return false;
        }
        for (int32_t k : out)
            if (k < low || k >= high) {
                PyErr_Format(PyExc_ValueError,
                             "plan.%s holds %d, outside the range [%d, %zd) of what it indexes",
                             name, k, low, high);
                return false;
            }
        return true;
    }

    // A 1-D float64 array as a vector.
    bool doubles(PyObject* o, const char* name, std::vector<double>& out) {
        Buffer b;
        if (!capi::check_arg_type(o, capi::ndarray_type, name) ||
            !capi::take_buffer(o, capi::FLOAT_t, 1, false, b))
            return false;
        const auto* v = static_cast<const double*>(b.data());
        try {
            out.assign(v, v + b.length());
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            return false;
        }
        return true;
    }

private:
    PyObject* plan_;
};

// ---- the object -----------------------------------------------------------------

// Everything one run holds, apart from the object head (its fields are
// constructed and destroyed by the type's new and dealloc).
struct Run {
    Models models;
    // The arrays the run writes through: the models' solution arrays and
    // the element arrays they write, held while the run lives.
    Buffer S, H, element_phase, element_voltage, element_current, element_n;
    int32_t n = 0;
    std::unique_ptr<Newton> newton;
    std::unique_ptr<TimeLoop> loop;
    std::unique_ptr<Steps> steps;
    std::vector<int32_t> record_nodes, record_elements;
    // Noise currents added to recorded ones: output column, element (its
    // noise source's kernel element) and sign, one triple per noisy element.
    std::vector<int32_t> noise_columns, noise_sources;
    std::vector<double> noise_signs;
    int64_t grid_count = 1, next_grid = 1;  // fixed steps: the grid points k * step
    bool started = false;       // the point at 0 is stored
    bool pending = false;       // an accepted point waits to be stored at pending_time
    double pending_time = 0.0;
    bool done = false;
    bool progress = false;
    double last_report = 0.0;
    int64_t stored = 0;
};

struct StepLoopObject {
    PyObject_HEAD
    Run* run;      // null once cleared
    bool running;  // run() is on the stack
};

StepLoopObject* as_loop(PyObject* o) { return reinterpret_cast<StepLoopObject*>(o); }

// The formula named by the plan.
bool read_method(Plan& plan, Formula* out) {
    Ref v = plan.attr("method");
    if (!v) return false;
    if (PyUnicode_Check(v.get())) {
        if (PyUnicode_CompareWithASCIIString(v.get(), "trap") == 0) {
            *out = Formula::trap;
            return true;
        }
        if (PyUnicode_CompareWithASCIIString(v.get(), "gear") == 0) {
            *out = Formula::gear;
            return true;
        }
    }
    PyErr_Format(PyExc_ValueError, "plan.method must be 'trap' or 'gear' (got %R)", v.get());
    return false;
}

// The sources of the plan: (model, kind, parameters, scale, until) each,
// every model one of the run's, and one whose value the loop can set.
bool read_sources(Plan& plan, const Models& models, std::vector<Source>& out) {
    Ref list = plan.attr("sources");
    if (!list) return false;
    // A tuple of its own: a conversion below may run host code that changes the list.
    Ref seq = Ref::steal(PySequence_Tuple(list.get()));
    if (!seq) return false;
    const Py_ssize_t count = PyTuple_GET_SIZE(seq.get());
    for (Py_ssize_t k = 0; k < count; ++k) {
        PyObject* item = PyTuple_GET_ITEM(seq.get(), k);
        if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 5) {
            PyErr_Format(PyExc_TypeError,
                         "plan.sources[%zd] must be a tuple (model, kind, parameters, scale, "
                         "until)", k);
            return false;
        }
        PyObject* model = PyTuple_GET_ITEM(item, 0);
        auto* m = reinterpret_cast<ElementModel*>(model);
        if (!models.holds(m)) {
            PyErr_Format(PyExc_ValueError,
                         "plan.sources[%zd]: its model is not one of the collected models", k);
            return false;
        }
        double* value = g_kernel->source_value(m);
        if (!value) {
            PyErr_Format(PyExc_ValueError, "plan.sources[%zd]: a %.200s takes no source value",
                         k, Py_TYPE(model)->tp_name);
            return false;
        }
        PyObject* kind = PyTuple_GET_ITEM(item, 1);
        const char* name = PyUnicode_Check(kind) ? PyUnicode_AsUTF8(kind) : nullptr;
        if (!name && PyErr_Occurred()) return false;
        const WaveKind* wave_kind = name ? find_wave_kind(name) : nullptr;
        if (!wave_kind) {
            PyErr_Format(PyExc_ValueError, "plan.sources[%zd]: no compiled waveform %R", k, kind);
            return false;
        }
        Source s{m, value, Wave{wave_kind, {}}, 0.0, 0.0};
        if (!plan.doubles(PyTuple_GET_ITEM(item, 2), "parameters", s.wave.p) ||
            !capi::to_double(PyTuple_GET_ITEM(item, 3), &s.scale) ||
            !capi::to_double(PyTuple_GET_ITEM(item, 4), &s.until))
            return false;
        if (const char* wrong = check_wave(wave_kind, s.wave.p)) {
            PyErr_Format(PyExc_ValueError, "plan.sources[%zd]: a %s waveform with %s", k, name,
                         wrong);
            return false;
        }
        try {
            out.push_back(std::move(s));
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            return false;
        }
    }
    return true;
}

bool read_plan(PyObject* plan_object, Run& run) {
    Plan plan(plan_object);
    if (!run.models.take()) return false;
    const Extent& need = run.models.need();

    // The solution arrays the models are bound to.
    if (!plan.array("S", capi::FLOAT_t, 2, true, run.S) ||
        !plan.array("H", capi::FLOAT_t, 2, true, run.H))
        return false;
    const Py_ssize_t* s_shape = run.S.view().shape;
    const Py_ssize_t* h_shape = run.H.view().shape;
    if (s_shape[0] != 3 || h_shape[0] != 6 || h_shape[1] != s_shape[1] ||
        s_shape[1] >= INT32_MAX) {
        PyErr_SetString(PyExc_ValueError, "plan.S must be 3 x n and plan.H 6 x n");
        return false;
    }
    const int32_t n = int32_t(s_shape[1]);
    run.n = n;
    if (need.solution > n || need.rhs > n) {
        PyErr_Format(PyExc_ValueError,
                     "the element models use unknown %zd, but plan.S has %d unknowns",
                     std::max(need.solution, need.rhs), n);
        return false;
    }

    // The pattern; KLU's analysis checks what it says.
    Buffer ap, ai;
    if (!plan.array("Ap", kIndex, 1, false, ap) || !plan.array("Ai", kIndex, 1, false, ai))
        return false;
    if (ap.length() != Py_ssize_t{n} + 1) {
        PyErr_Format(PyExc_ValueError, "plan.Ap has %zd entries, n + 1 = %d expected",
                     ap.length(), n + 1);
        return false;
    }
    const auto* ap_data = static_cast<const int32_t*>(ap.data());
    const int32_t nnz = ap_data[n];
    if (nnz < 0 || ai.length() != nnz) {
        PyErr_Format(PyExc_ValueError, "plan.Ai has %zd entries, Ap[n] = %d expected",
                     ai.length(), nnz);
        return false;
    }
    for (int k = 0; k < 3; ++k)
        if (need.matrix[k] > nnz) {
            PyErr_Format(PyExc_ValueError,
                         "the element models stamp slot position %zd, but the pattern has %d "
                         "entries",
                         need.matrix[k] - 1, nnz);
            return false;
        }

    // The element arrays the models write and the run records.
    if (!plan.array("element_phase", capi::FLOAT_t, 1, false, run.element_phase) ||
        !plan.array("element_voltage", capi::FLOAT_t, 1, false, run.element_voltage) ||
        !plan.array("element_current", capi::FLOAT_t, 1, false, run.element_current) ||
        !plan.array("element_n", capi::INT_t, 1, false, run.element_n))
        return false;
    const Py_ssize_t elements =
        std::min({run.element_phase.length(), run.element_voltage.length(),
                  run.element_current.length(), run.element_n.length()});
    if (!plan.indices("record_nodes", 0, n, run.record_nodes) ||
        !plan.indices("record_elements", 0, elements, run.record_elements) ||
        !plan.indices("noise_columns", 0, Py_ssize_t(run.record_elements.size()),
                      run.noise_columns) ||
        !plan.indices("noise_sources", 0, elements, run.noise_sources))
        return false;
    Ref signs = plan.attr("noise_signs");
    if (!signs || !plan.doubles(signs.get(), "plan.noise_signs", run.noise_signs)) return false;
    if (run.noise_sources.size() != run.noise_columns.size() ||
        run.noise_signs.size() != run.noise_columns.size()) {
        PyErr_SetString(PyExc_ValueError,
                        "plan.noise_columns, noise_sources and noise_signs differ in length");
        return false;
    }

    NewtonSettings ns{};
    long max_iter;
    if (!plan.positive("tol", &ns.tol) || !plan.integer("max_iter", &max_iter) ||
        !plan.flag("exact_jacobian", &ns.exact) || !plan.flag("linear", &ns.linear) ||
        !plan.flag("build_every_step", &ns.build_every_step) ||
        !plan.flag("lagging", &ns.lagging) || !plan.positive("slow_rate", &ns.slow_rate) ||
        !plan.positive("drift", &ns.drift) || !plan.flag("profile", &ns.profile))
        return false;
    if (max_iter < 1 || max_iter > INT32_MAX) {
        PyErr_Format(PyExc_ValueError, "plan.max_iter must be at least 1 (got %ld)", max_iter);
        return false;
    }
    ns.max_iter = int32_t(max_iter);

    double t_ramp, hysteresis, time_unit;
    std::vector<int32_t> bounded_i, bounded_j;
    std::vector<Source> sources;
    if (!plan.number("t_ramp", &t_ramp) || !plan.number("hysteresis", &hysteresis) ||
        !plan.positive("time_unit", &time_unit) ||
        !plan.indices("bounded_i", 0, Py_ssize_t{n} + 1, bounded_i) ||
        !plan.indices("bounded_j", 0, Py_ssize_t{n} + 1, bounded_j) ||
        !read_sources(plan, run.models, sources))
        return false;
    if (bounded_i.size() != bounded_j.size()) {
        PyErr_SetString(PyExc_ValueError, "plan.bounded_i and plan.bounded_j differ in length");
        return false;
    }

    StepSettings ss{};
    Ref breakpoints = plan.attr("breakpoints");
    if (!breakpoints || !read_method(plan, &ss.method) || !plan.positive("step", &ss.step) ||
        !plan.positive("min_step", &ss.min_step) || !plan.positive("max_step", &ss.max_step) ||
        !plan.positive("max_phase", &ss.max_phase, true) || !plan.positive("t_end", &ss.t_end) ||
        !plan.positive("restart_share", &ss.restart_share) ||
        !plan.flag("adaptive", &ss.adaptive) || !plan.positive("lte", &ss.lte, true) ||
        !plan.flag("progress", &run.progress) ||
        !plan.doubles(breakpoints.get(), "plan.breakpoints", ss.breakpoints))
        return false;
    for (size_t k = 0; k < ss.breakpoints.size(); ++k)
        if (!std::isfinite(ss.breakpoints[k]) ||
            (k && !(ss.breakpoints[k] > ss.breakpoints[k - 1]))) {
            PyErr_SetString(PyExc_ValueError, "plan.breakpoints must rise and be finite");
            return false;
        }
    // A run of the steps the host would take, which ends (the host's own
    // bounds: no more than kMaxSteps of the largest step, a smallest step
    // that the time resolves).
    const double largest = ss.adaptive ? ss.max_step : std::min(ss.step, ss.max_step);
    if (!(ss.min_step <= ss.step && ss.min_step <= ss.max_step &&
          ss.t_end / largest <= kMaxSteps && ss.min_step >= ss.t_end * 1e-12)) {
        PyErr_SetString(PyExc_ValueError,
                        "plan: the steps must satisfy min_step <= step, max_step; t_end / "
                        "(the largest step) <= 1e9; min_step >= t_end * 1e-12");
        return false;
    }
    // The grid k * step (stepping.grid_points).
    run.grid_count = std::max<int64_t>(1, int64_t(std::ceil(ss.t_end / ss.step - 1e-9)));

    try {
        run.newton = std::make_unique<Newton>();
        run.loop = std::make_unique<TimeLoop>(n, static_cast<double*>(run.S.data()),
                                              static_cast<double*>(run.H.data()), t_ramp,
                                              hysteresis, time_unit, ns.profile);
        run.steps = std::make_unique<Steps>(std::move(ss));
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
    // Reading the plan may have run host code (a conversion): the models
    // must still be as take() checked them. Nothing below runs any.
    if (!run.models.unchanged()) return false;
    // As the host's loop: the models' A0 and the analysis, then the values at 0.
    if (!run.newton->prepare(ns, run.models, n, ap_data, static_cast<const int32_t*>(ai.data())))
        return false;
    if (run.newton->status() != KLU_OK) return true;  // the host reads status and stops
    return run.loop->start(run.models, std::move(sources), std::move(bounded_i),
                           std::move(bounded_j));
}

// ---- the run ----------------------------------------------------------------------

// The output arrays of one run() call, checked against the run.
struct Outputs {
    Buffer time, node_phase, node_voltage, phase, voltage, current, quanta;
    Py_ssize_t rows = 0;

    bool take(PyObject* o, const Run& run) {
        if (!PyTuple_Check(o) || PyTuple_GET_SIZE(o) != 7) {
            PyErr_SetString(PyExc_TypeError,
                            "run() takes a tuple (time, node_phase, node_voltage, phase, voltage, "
                            "current, quanta) of arrays");
            return false;
        }
        if (!capi::check_arg_type(PyTuple_GET_ITEM(o, 0), capi::ndarray_type, "time") ||
            !capi::take_buffer(PyTuple_GET_ITEM(o, 0), capi::FLOAT_t, 1, true, time))
            return false;
        rows = time.length();
        const Py_ssize_t nodes = Py_ssize_t(run.record_nodes.size());
        const Py_ssize_t elements = Py_ssize_t(run.record_elements.size());
        const struct {
            Buffer* b;
            const char* name;
            const capi::ElementType* type;
            Py_ssize_t columns;
        } tables[] = {{&node_phase, "node_phase", &capi::FLOAT_t, nodes},
                      {&node_voltage, "node_voltage", &capi::FLOAT_t, nodes},
                      {&phase, "phase", &capi::FLOAT_t, elements},
                      {&voltage, "voltage", &capi::FLOAT_t, elements},
                      {&current, "current", &capi::FLOAT_t, elements},
                      {&quanta, "quanta", &capi::INT_t, elements}};
        for (size_t k = 0; k < std::size(tables); ++k) {
            PyObject* a = PyTuple_GET_ITEM(o, k + 1);
            if (!capi::check_arg_type(a, capi::ndarray_type, tables[k].name) ||
                !capi::take_buffer(a, *tables[k].type, 2, true, *tables[k].b))
                return false;
            const Py_ssize_t* shape = tables[k].b->view().shape;
            if (shape[0] != rows || shape[1] != tables[k].columns) {
                PyErr_Format(PyExc_ValueError, "the output %s is %zd x %zd, %zd x %zd expected",
                             tables[k].name, shape[0], shape[1], rows, tables[k].columns);
                return false;
            }
        }
        if (run.stored > rows) {
            PyErr_Format(PyExc_ValueError, "the outputs have %zd rows, but %lld are stored", rows,
                         static_cast<long long>(run.stored));
            return false;
        }
        return true;
    }

    // Appends the present state as the point at t (there is room).
    void store(Run& run, double t) const {
        const Py_ssize_t k = run.stored;
        const double* S = static_cast<const double*>(run.S.data());
        const size_t n = size_t(run.n);
        static_cast<double*>(time.data())[k] = t;
        const size_t nodes = run.record_nodes.size();
        double* np = static_cast<double*>(node_phase.data()) + k * nodes;
        double* nv = static_cast<double*>(node_voltage.data()) + k * nodes;
        for (size_t j = 0; j < nodes; ++j) {
            np[j] = S[run.record_nodes[j]];
            nv[j] = S[n + run.record_nodes[j]];
        }
        const size_t elements = run.record_elements.size();
        const auto* ep = static_cast<const double*>(run.element_phase.data());
        const auto* ev = static_cast<const double*>(run.element_voltage.data());
        const auto* ec = static_cast<const double*>(run.element_current.data());
        const auto* en = static_cast<const int32_t*>(run.element_n.data());
        double* p = static_cast<double*>(phase.data()) + k * elements;
        double* v = static_cast<double*>(voltage.data()) + k * elements;
        double* c = static_cast<double*>(current.data()) + k * elements;
        int32_t* q = static_cast<int32_t*>(quanta.data()) + k * elements;
        for (size_t j = 0; j < elements; ++j) {
            const int32_t e = run.record_elements[j];
            p[j] = ep[e];
            v[j] = ev[e];
            c[j] = ec[e];
            q[j] = en[e];
        }
        for (size_t m = 0; m < run.noise_columns.size(); ++m) {
            double& into = c[run.noise_columns[m]];
            into = into + run.noise_signs[m] * ec[run.noise_sources[m]];
        }
        run.stored = k + 1;
    }
};

const char* outcome_name(Outcome o) {
    switch (o) {
        case Outcome::singular: return "singular";
        case Outcome::diverged: return "diverged";
        case Outcome::nonfinite: return "nonfinite";
        case Outcome::phase: return "phase";
        case Outcome::error: return "error";
        default: return "ok";
    }
}

PyObject* report_failure(const Failure& f) {
    if (f.outcome == Outcome::source)
        return Py_BuildValue("(sidd)", "source", f.source.index, f.t_new, f.source.value);
    Ref worst = f.worst >= 0 ? Ref::steal(PyLong_FromLong(f.worst)) : Ref::borrow(Py_None);
    if (!worst) return nullptr;
    return Py_BuildValue("(ssOdd)", "failed", outcome_name(f.outcome), worst.get(), f.t_new, f.h);
}

// Between steps: an interrupt raises; a signal handler may have run host
// code, after which the models must be as they were.
bool between_steps(const Run& run) {
    return PyErr_CheckSignals() == 0 && run.models.unchanged();
}

// Steps until the run is done (None), the outputs are full (("full",)), a
// progress report is due (("progress", t)), the noise reached a boundary
// (("noise", t)) or a step fails (("failed", ...), ("source", ...)).
PyObject* step(Run& run, const Outputs& out) {
    TimeLoop& loop = *run.loop;
    Steps& steps = *run.steps;
    const StepSettings& s = steps.settings();
    if (!run.started) {
        if (run.stored >= out.rows) return Py_BuildValue("(s)", "full");
        out.store(run, 0.0);
        run.started = true;
    }
    while (true) {
        if (run.pending) {
            if (run.stored >= out.rows) return Py_BuildValue("(s)", "full");
            out.store(run, run.pending_time);
            run.pending = false;
            if (run.progress) {
                const double now = seconds_now();
                if (now - run.last_report >= 0.1) {
                    run.last_report = now;
                    return Py_BuildValue("(sd)", "progress", run.pending_time);
                }
            }
        }
        if (steps.landed) {  // the host draws the next interval's noise
            steps.landed = false;
            return Py_BuildValue("(sd)", "noise", loop.t);
        }
        if (run.done) Py_RETURN_NONE;
        Failure failed;
        if (s.adaptive) {
            if (!(loop.t < s.t_end)) {
                run.done = true;
                continue;
            }
            if (!steps.advance(run.models, loop, *run.newton, s.t_end, &failed))
                return report_failure(failed);
            run.pending = true;
            run.pending_time = loop.t;
        } else {
            if (run.next_grid > run.grid_count) {
                run.done = true;
                continue;
            }
            const double target =
                run.next_grid == run.grid_count ? s.t_end : double(run.next_grid) * s.step;
            if (loop.t < target) {
                if (!steps.advance(run.models, loop, *run.newton, target, &failed))
                    return report_failure(failed);
            }
            if (!(loop.t < target)) {
                run.pending = true;
                run.pending_time = target;
                ++run.next_grid;
            }
        }
        if (!between_steps(run)) return nullptr;
    }
}

// ---- the type ---------------------------------------------------------------------

PyObject* loop_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    static capi::ArgSpec spec{"StepLoop", {"plan"}, 1};
    PyObject* arg[1];
    if (!capi::parse_args(spec, args, kwds, arg)) return nullptr;
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    Run* run = new (std::nothrow) Run();
    if (!run) return PyErr_NoMemory();
    as_loop(self.get())->run = run;
    if (!read_plan(arg[0], *run)) return nullptr;  // dealloc frees the run
    run->last_report = seconds_now();
    return self.release();
}

bool check_usable(StepLoopObject* self, const char* method) {
    if (!self->run) {
        PyErr_Format(PyExc_RuntimeError, "%s(): this StepLoop was cleared", method);
        return false;
    }
    if (self->running) {
        PyErr_Format(PyExc_RuntimeError, "%s(): this StepLoop is running", method);
        return false;
    }
    return true;
}

PyObject* loop_run(PyObject* o, PyObject* outputs) {
    StepLoopObject* self = as_loop(o);
    if (!check_usable(self, "run")) return nullptr;
    Run& run = *self->run;
    if (run.newton->status() != KLU_OK) {
        PyErr_Format(PyExc_RuntimeError, "run(): the solver refused the pattern (status %d)",
                     run.newton->status());
        return nullptr;
    }
    Outputs out;
    if (!out.take(outputs, run) || !run.models.unchanged()) return nullptr;
    self->running = true;
    PyObject* result = step(run, out);
    self->running = false;
    return result;
}

PyObject* loop_land_at(PyObject* o, PyObject* arg) {
    StepLoopObject* self = as_loop(o);
    if (!check_usable(self, "land_at")) return nullptr;
    double t;
    if (!capi::to_double(arg, &t)) return nullptr;
    if (std::isnan(t)) {
        PyErr_SetString(PyExc_ValueError, "land_at(): the time of a landing is a number");
        return nullptr;
    }
    // A landing behind the loop would step it backwards in time.
    if (!(t > self->run->loop->t)) {
        char text[160];
        std::snprintf(text, sizeof text,
                      "land_at(): the landing (%.17g) lies not ahead of the loop's time (%.17g)",
                      t, self->run->loop->t);
        PyErr_SetString(PyExc_ValueError, text);
        return nullptr;
    }
    self->run->steps->landing = t;
    Py_RETURN_NONE;
}

PyObject* loop_matrix(PyObject* o, PyObject*) {
    StepLoopObject* self = as_loop(o);
    if (!check_usable(self, "matrix")) return nullptr;
    const std::vector<double>& ax = self->run->newton->matrix();
    Ref list = Ref::steal(PyList_New(Py_ssize_t(ax.size())));
    if (!list) return nullptr;
    for (size_t k = 0; k < ax.size(); ++k) {
        PyObject* v = PyFloat_FromDouble(ax[k]);
        if (!v) return nullptr;
        PyList_SET_ITEM(list.get(), Py_ssize_t(k), v);
    }
    return list.release();
}

int loop_traverse(PyObject* o, visitproc visit, void* arg) {
    StepLoopObject* self = as_loop(o);
    Py_VISIT(Py_TYPE(o));
    if (!self->run) return 0;
    Run& run = *self->run;
    for (Buffer* b : {&run.S, &run.H, &run.element_phase, &run.element_voltage,
                      &run.element_current, &run.element_n})
        if (b->held()) Py_VISIT(b->view().obj);
    return run.models.visit(visit, arg);
}

int loop_clear(PyObject* o) {
    StepLoopObject* self = as_loop(o);
    if (self->running) return 0;  // not while run() works on it
    delete std::exchange(self->run, nullptr);
    return 0;
}

void loop_dealloc(PyObject* o) {
    PyTypeObject* type = Py_TYPE(o);
    PyObject_GC_UnTrack(o);
    delete std::exchange(as_loop(o)->run, nullptr);
    type->tp_free(o);
    Py_DECREF(type);
}

// Read-only figures of the run.
template <class T>
PyObject* figure(PyObject* o, T (*get)(const Run&)) {
    StepLoopObject* self = as_loop(o);
    if (!self->run) {
        PyErr_SetString(PyExc_RuntimeError, "this StepLoop was cleared");
        return nullptr;
    }
    const T v = get(*self->run);
    if constexpr (std::is_floating_point_v<T>)
        return PyFloat_FromDouble(v);
    else
        return PyLong_FromLongLong(static_cast<long long>(v));
}

#define QUENDA_FIGURE(name, type, expr, doc)                                               \
    {name,                                                                               \
     [](PyObject* o, void*) -> PyObject* {                                               \
         return figure<type>(o, [](const Run& run) -> type { return expr; });            \
     },                                                                                  \
     nullptr, doc, nullptr}

PyGetSetDef kGetSet[] = {
    QUENDA_FIGURE("stored", int64_t, run.stored, "Rows of the outputs stored so far."),
    QUENDA_FIGURE("t", double, run.loop->t, "Kernel time of the last accepted point."),
    QUENDA_FIGURE("accepted", int64_t, int64_t(run.loop->accepted), "Steps accepted."),
    QUENDA_FIGURE("rejected", int64_t, int64_t(run.steps->rejected),
                  "Step attempts rejected (and taken again smaller)."),
    QUENDA_FIGURE("iterations", int64_t, int64_t(run.newton->iterations),
                  "Newton iterations (solves) of every attempt."),
    QUENDA_FIGURE("factorisations", int64_t, int64_t(run.newton->factorisations),
                  "Full numeric factorisations."),
    QUENDA_FIGURE("refactorisations", int64_t, int64_t(run.newton->refactorisations),
                  "Refactorisations with the kept pivot order (fallbacks included)."),
    QUENDA_FIGURE("kernel_seconds", double,
                  run.newton->kernel_seconds + run.loop->values_seconds,
                  "Time in the element models' operations (measured when plan.profile is true)."),
    QUENDA_FIGURE("solver_seconds", double, run.newton->solver_seconds,
                  "Time in factorising and solving, with the checks that decide to factorise "
                  "(measured when plan.profile is true)."),
    QUENDA_FIGURE("status", int64_t, int64_t(run.newton->status()),
                  "KLU's status of the pattern's analysis: 0 when it was accepted."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef kMethods[] = {
    QUENDA_ONEARG_METHOD(
        "run", loop_run,
        "run(outputs)\n\nSteps on. outputs = (time, node_phase, node_voltage, phase, voltage, "
        "current, quanta): arrays of one row per stored point (the rows stored so far kept). "
        "Returns None when the run is done, ('full',) when the rows are, ('progress', t) "
        "when a progress report is due, ('noise', t) when the noise reached a boundary (the "
        "host draws the next values and calls land_at), ('failed', outcome, unknown, t, h) "
        "or ('source', index, t, value) when a step failed (kernel time)."),
    QUENDA_ONEARG_METHOD(
        "land_at", loop_land_at,
        "land_at(t)\n\nThe next noise boundary (kernel time): the steps land on it, the "
        "step after it restarts, and run() reports ('noise', t) once a point reaches it."),
    QUENDA_NOARGS_METHOD("matrix", loop_matrix,
                         "matrix()\n\nThe values of the matrix last factorised, as a list."),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(loop_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(loop_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(loop_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(loop_clear)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {Py_tp_doc, const_cast<char*>(
                    "StepLoop(plan)\n\nOne transient run stepped in C++: the models the kernel "
                    "collected, driven through its C interface, with the arrays, sources and "
                    "settings the plan names (see quenda.analysis.compiled).")},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "quenda._steploop.StepLoop",
    sizeof(StepLoopObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    kSlots,
};

}  // namespace

PyObject* create_step_loop_type() { return PyType_FromSpec(&kSpec); }

}  // namespace quenda::steploop
