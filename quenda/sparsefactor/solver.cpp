// The SparseFactor class: the symbolic analysis of one compressed-column
// pattern, kept across calls; a fresh numeric factorisation in every solve
// call, which overwrites the right-hand side with the solution; and a numeric
// factorisation kept between calls (factor, refactor, solveFactored) for
// hosts that solve many systems with one matrix, or with slowly moving ones.
//
// Each method validates all it is given first (types, element types,
// lengths) and only then hands raw pointers to KLU. KLU's own failures (a
// singular matrix, a pattern it refuses) raise nothing, because hosts rely on
// solving on regardless; they leave B as it was and show in `status`.
//
// The kept-factor methods run KLU without the interpreter lock. While they do,
// the object is marked busy and every method called on it from another
// thread raises instead of sharing `common`, the analysis or the factors.
#include "solver.hpp"

#include "kept_factors.hpp"
#include "klu_owner.hpp"

#include "../capi/args.hpp"
#include "../capi/buffers.hpp"
#include "../capi/convert.hpp"

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <new>
#include <vector>

namespace quenda::sparsefactor {

PyTypeObject* g_array_type = nullptr;

namespace {

using capi::Buffer;
using capi::Ref;

static_assert(sizeof(int) == sizeof(int32_t), "KLU's int interface must be the 32-bit one");

// One analysed pattern. KLU only ever reads this copy of the host's Ap and Ai,
// taken by analyze: a host that edits or resizes its arrays afterwards cannot
// lead the factorisation, or the gather of solveMatrix, outside its arrays.
// An edited pattern takes effect with the next analyze, as it must, since the
// analysis describes the pattern it was computed from.
// The factors kept belong to the analysis they were made with and go with it.
struct Analysis {
    std::vector<int32_t> ap;  // n + 1 column starts
    std::vector<int32_t> ai;  // nnz row indices
    Symbolic symbolic;        // null: nothing to solve with
    KeptFactors kept;
};

struct SparseFactorObject {
    PyObject_HEAD
    // The host's pattern arrays and solveMatrix's scratch values; None when unset.
    PyObject* Ai;
    PyObject* Ap;
    PyObject* Asparse;
    int32_t n;
    int32_t nnz;
    int status;  // outcome of the last analysis, factorisation or solve, in KLU's codes
    bool busy;   // KLU works for one call without the interpreter lock
    unsigned long long factor_count;    // klu_factor calls, in every method
    unsigned long long refactor_count;  // klu_refactor calls
    klu_common common;
    Analysis analysis;  // constructed in place by tp_new, destroyed by tp_dealloc
};

SparseFactorObject* as_solver(PyObject* o) { return reinterpret_cast<SparseFactorObject*>(o); }

// ---- argument checks -----------------------------------------------------

// What an array.array argument must hold.
struct TypeCode {
    char code;
    const char* holds;
};
constexpr TypeCode kInts{'i', "32-bit signed integers"};
constexpr TypeCode kDoubles{'d', "doubles"};

// float64 NumPy arrays, named in messages as the C type they hold.
constexpr capi::ElementType kDouble{"double", 'R', 8};

// Acquires an array.array argument (its type already checked) that must hold `want`.
bool take_array(PyObject* o, const char* name, const TypeCode& want, bool writable,
                Buffer& out) {
    const int flags = PyBUF_FORMAT | PyBUF_C_CONTIGUOUS | (writable ? PyBUF_WRITABLE : 0);
    if (!out.acquire(o, flags)) return false;
    const char* f = out.view().format;
    if (f && f[0] == want.code && f[1] == '\0') return true;
    out.release();
    // The buffer format is not always the type code ('u'): ask the array.
    Ref got = Ref::steal(PyObject_GetAttrString(o, "typecode"));
    if (!got) return false;
    PyErr_Format(PyExc_TypeError, "Argument '%s' must hold %s (type code '%c'), got type code %R",
                 name, want.holds, want.code, got.get());
    return false;
}

// The extent an array falls short of, as messages name it.
struct Extent {
    const char* whole;
    const char* count;
    const char* unit;
};
constexpr Extent kStored{"pattern", "nnz", "stored entries"};
constexpr Extent kUnknowns{"matrix", "n", "unknowns"};

bool check_length(const char* name, Py_ssize_t have, int32_t need, const Extent& e) {
    if (have >= need) return true;
    PyErr_Format(PyExc_ValueError, "%s has %zd entr%s, but the %s has %s = %d %s", name, have,
                 have == 1 ? "y" : "ies", e.whole, e.count, need, e.unit);
    return false;
}

// Refuses a call while another thread's call works on the object.
bool check_idle(SparseFactorObject* self, const char* method) {
    if (!self->busy) return true;
    PyErr_Format(PyExc_RuntimeError,
                 "%s(): this SparseFactor is in use by another thread; give each thread a "
                 "SparseFactor of its own",
                 method);
    return false;
}

// Parses (Ax, B) and checks that both are of `type`.
bool parse_operands(capi::ArgSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyTypeObject* type, PyObject** arg) {
    return capi::parse_args(spec, args, nargs, kwnames, arg) &&
           capi::check_arg_type(arg[0], type, "Ax") && capi::check_arg_type(arg[1], type, "B");
}

// ---- the work --------------------------------------------------------------

// A zeroed array('d') of `count` entries.
Ref new_scratch(int32_t count) {
    const Py_ssize_t bytes = Py_ssize_t{count} * Py_ssize_t{sizeof(double)};
    Ref zeros = Ref::steal(PyBytes_FromStringAndSize(nullptr, bytes));
    if (!zeros) return {};
    std::memset(PyBytes_AS_STRING(zeros.get()), 0, bytes);
    return Ref::steal(PyObject_CallFunction(reinterpret_cast<PyObject*>(g_array_type), "sO",
                                            "d", zeros.get()));
}

// Swaps a new reference into a field and hands back the old one, to be
// dropped once the object is consistent again (dropping may run any code).
Ref replace(PyObject*& field, Ref value) {
    return Ref::steal(std::exchange(field, value.release()));
}

// Factorises the analysed pattern with `values` and overwrites b with the solution.
void factor_and_solve(SparseFactorObject* self, double* values, double* b) {
    Analysis& a = self->analysis;
    klu_common* common = &self->common;
    Numeric numeric(klu_factor(a.ap.data(), a.ai.data(), values, a.symbolic.get(), common),
                    common);
    ++self->factor_count;
    self->status = common->status;
    // Without a factorisation B stays as it was, and so does the status that
    // says why: KLU's solve would overwrite it with "invalid".
    if (numeric && !klu_solve(a.symbolic.get(), numeric.get(), self->n, 1, b, common))
        self->status = common->status;
}

// The tail of solve and solveSparseMatrix.
PyObject* solve_values(SparseFactorObject* self, const char* method, const Buffer& ax,
                       const Buffer& b) {
    if (!check_idle(self, method)) return nullptr;
    if (!self->analysis.symbolic) Py_RETURN_NONE;  // nothing analysed: B stays
    if (!check_length("Ax", ax.length(), self->nnz, kStored) ||
        !check_length("B", b.length(), self->n, kUnknowns))
        return nullptr;
    factor_and_solve(self, static_cast<double*>(ax.data()), static_cast<double*>(b.data()));
    Py_RETURN_NONE;
}

// ---- methods ---------------------------------------------------------------

PyObject* analyze(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static capi::ArgSpec spec{"analyze", {"n", "Ap", "Ai"}, 3};
    PyObject* arg[3];
    int32_t n;
    if (!capi::parse_args(spec, args, nargs, kwnames, arg) || !capi::to_int32(arg[0], &n) ||
        !capi::check_arg_type(arg[1], g_array_type, "Ap") ||
        !capi::check_arg_type(arg[2], g_array_type, "Ai"))
        return nullptr;
    if (n < 0) {
        PyErr_Format(PyExc_ValueError, "n must not be negative (got %d)", n);
        return nullptr;
    }
    Buffer ap, ai;
    if (!take_array(arg[1], "Ap", kInts, false, ap) || !take_array(arg[2], "Ai", kInts, false, ai))
        return nullptr;
    if (ap.length() <= n) {
        PyErr_Format(PyExc_IndexError,
                     "Ap has %zd entries, but n = %d needs n + 1 of them (Ap[n] is nnz)",
                     ap.length(), n);
        return nullptr;
    }
    const auto* ap_data = static_cast<const int32_t*>(ap.data());
    const auto* ai_data = static_cast<const int32_t*>(ai.data());
    const int32_t nnz = ap_data[n];
    if (nnz < 0) {
        PyErr_Format(PyExc_ValueError, "nnz = Ap[n] must not be negative (got %d)", nnz);
        return nullptr;
    }
    if (!check_length("Ai", ai.length(), nnz, kStored)) return nullptr;
    Ref scratch = new_scratch(nnz);
    if (!scratch) return nullptr;
    SparseFactorObject* self = as_solver(o);
    if (!check_idle(self, spec.func)) return nullptr;

    // Nothing changes before every check and allocation has passed: a call
    // that raises leaves the object serving its previous analysis.
    Analysis fresh;
    try {
        fresh.ap.assign(ap_data, ap_data + n + 1);
        fresh.ai.assign(ai_data, ai_data + nnz);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    fresh.symbolic =
        Symbolic(klu_analyze(n, fresh.ap.data(), fresh.ai.data(), &self->common), &self->common);
    self->status = self->common.status;
    if (!fresh.symbolic) fresh = Analysis{};  // the copy is of no use then
    self->analysis = std::move(fresh);       // frees the previous analysis
    self->n = n;
    self->nnz = nnz;
    Ref old[] = {replace(self->Ai, Ref::borrow(arg[2])), replace(self->Ap, Ref::borrow(arg[1])),
                 replace(self->Asparse, std::move(scratch))};
    Py_RETURN_NONE;
}

PyObject* solve(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static capi::ArgSpec spec{"solve", {"Ax", "B"}, 2};
    PyObject* arg[2];
    Buffer ax, b;
    if (!parse_operands(spec, args, nargs, kwnames, g_array_type, arg) ||
        !take_array(arg[0], "Ax", kDoubles, false, ax) ||
        !take_array(arg[1], "B", kDoubles, true, b))
        return nullptr;
    return solve_values(as_solver(o), spec.func, ax, b);
}

PyObject* solveSparseMatrix(PyObject* o, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    static capi::ArgSpec spec{"solveSparseMatrix", {"Ax", "B"}, 2};
    PyObject* arg[2];
    Buffer ax, b;
    if (!parse_operands(spec, args, nargs, kwnames, capi::ndarray_type, arg) ||
        !capi::take_buffer(arg[0], kDouble, 1, false, ax) ||
        !capi::take_buffer(arg[1], kDouble, 1, true, b))
        return nullptr;
    return solve_values(as_solver(o), spec.func, ax, b);
}

PyObject* solveMatrix(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static capi::ArgSpec spec{"solveMatrix", {"Ax", "B"}, 2};
    PyObject* arg[2];
    Buffer ax, b;
    if (!parse_operands(spec, args, nargs, kwnames, capi::ndarray_type, arg) ||
        !capi::take_buffer(arg[0], kDouble, 2, false, ax) ||
        !capi::take_buffer(arg[1], kDouble, 1, true, b))
        return nullptr;
    SparseFactorObject* self = as_solver(o);
    if (!check_idle(self, spec.func)) return nullptr;
    if (!self->analysis.symbolic) Py_RETURN_NONE;
    const int32_t n = self->n;
    const Py_ssize_t* shape = ax.view().shape;
    if (shape[0] < n || shape[1] < n) {
        PyErr_Format(PyExc_ValueError,
                     "Ax is %zd x %zd, but the matrix has n = %d unknowns: at least %d x %d "
                     "expected",
                     shape[0], shape[1], n, n, n);
        return nullptr;
    }
    Buffer scratch;
    if (!check_length("B", b.length(), n, kUnknowns) ||
        !take_array(self->Asparse, "Asparse", kDoubles, true, scratch) ||
        !check_length("Asparse", scratch.length(), self->nnz, kStored))
        return nullptr;

    // KLU's analysis accepted this pattern, so every row index is below n and
    // the column starts rise from 0 to nnz: the gather stays inside both arrays.
    const int32_t* ap = self->analysis.ap.data();
    const int32_t* ai = self->analysis.ai.data();
    const auto* dense = static_cast<const double*>(ax.data());
    const Py_ssize_t stride = shape[1];
    auto* values = static_cast<double*>(scratch.data());
    for (int32_t col = 0; col < n; ++col)
        for (int32_t k = ap[col]; k < ap[col + 1]; ++k) values[k] = dense[ai[k] * stride + col];
    factor_and_solve(self, values, static_cast<double*>(b.data()));
    Py_RETURN_NONE;
}

// ---- kept factors ------------------------------------------------------------

Pattern pattern_of(SparseFactorObject* self) {
    Analysis& a = self->analysis;
    return {self->n, a.ap.data(), a.ai.data(), a.symbolic.get()};
}

// Runs factor or refactor on the kept factors without the interpreter lock.
// The factors are taken out of the object meanwhile: another thread reading
// its attributes sees no factors kept, and nothing half made.
PyObject* factor_values(PyObject* o, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames, capi::ArgSpec& spec,
                        FactorWork (*work)(KeptFactors&, const Pattern&, double*, klu_common*)) {
    PyObject* arg[1];
    Buffer ax;
    if (!capi::parse_args(spec, args, nargs, kwnames, arg) ||
        !capi::check_arg_type(arg[0], capi::ndarray_type, "Ax") ||
        !capi::take_buffer(arg[0], kDouble, 1, false, ax))
        return nullptr;
    SparseFactorObject* self = as_solver(o);
    if (!check_idle(self, spec.func)) return nullptr;
    if (!self->analysis.symbolic) Py_RETURN_NONE;
    if (!check_length("Ax", ax.length(), self->nnz, kStored)) return nullptr;

    KeptFactors kept = std::move(self->analysis.kept);
    const Pattern p = pattern_of(self);
    auto* values = static_cast<double*>(ax.data());
    FactorWork done;
    self->busy = true;
    Py_BEGIN_ALLOW_THREADS
    done = work(kept, p, values, &self->common);
    Py_END_ALLOW_THREADS
    self->busy = false;
    self->analysis.kept = std::move(kept);
    self->status = done.status;
    self->factor_count += done.factors;
    self->refactor_count += done.refactors;
    Py_RETURN_NONE;
}

PyObject* factor(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static capi::ArgSpec spec{"factor", {"Ax"}, 1};
    return factor_values(o, args, nargs, kwnames, spec, sparsefactor::factor);
}

PyObject* refactor(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static capi::ArgSpec spec{"refactor", {"Ax"}, 1};
    return factor_values(o, args, nargs, kwnames, spec, sparsefactor::refactor);
}

PyObject* solveFactored(PyObject* o, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    static capi::ArgSpec spec{"solveFactored", {"B"}, 1};
    PyObject* arg[1];
    Buffer b;
    if (!capi::parse_args(spec, args, nargs, kwnames, arg) ||
        !capi::check_arg_type(arg[0], capi::ndarray_type, "B") ||
        !capi::take_buffer(arg[0], kDouble, 1, true, b))
        return nullptr;
    SparseFactorObject* self = as_solver(o);
    if (!check_idle(self, spec.func)) return nullptr;
    if (!self->analysis.kept.numeric) {
        // B stays. The status keeps the failure that dropped the factors, or
        // else says there were none, so that a host checking it after each
        // solve cannot take an untouched B for a solution.
        if (self->status == KLU_OK) self->status = KLU_INVALID;
        Py_RETURN_NONE;
    }
    if (!check_length("B", b.length(), self->n, kUnknowns)) return nullptr;

    KeptFactors kept = std::move(self->analysis.kept);
    const Pattern p = pattern_of(self);
    auto* rhs = static_cast<double*>(b.data());
    int status;
    self->busy = true;
    Py_BEGIN_ALLOW_THREADS
    status = sparsefactor::solve(kept, p, rhs, &self->common);
    Py_END_ALLOW_THREADS
    self->busy = false;
    self->analysis.kept = std::move(kept);
    self->status = status;
    Py_RETURN_NONE;
}

PyObject* release_analysis(PyObject* o, PyObject*) {
    SparseFactorObject* self = as_solver(o);
    if (!check_idle(self, "__del__")) return nullptr;
    self->analysis = Analysis{};
    Py_RETURN_NONE;
}

PyObject* refuse_pickle(PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "no default __reduce__ due to non-trivial __cinit__");
    return nullptr;
}

PyObject* get_status(PyObject* o, void*) { return PyLong_FromLong(as_solver(o)->status); }

PyObject* get_factored(PyObject* o, void*) {
    return PyBool_FromLong(as_solver(o)->analysis.kept.numeric ? 1 : 0);
}

PyObject* get_factor_count(PyObject* o, void*) {
    return PyLong_FromUnsignedLongLong(as_solver(o)->factor_count);
}

PyObject* get_refactor_count(PyObject* o, void*) {
    return PyLong_FromUnsignedLongLong(as_solver(o)->refactor_count);
}

// ---- the type --------------------------------------------------------------

void set_refs(SparseFactorObject* self, PyObject* value) {
    for (PyObject** field : {&self->Ai, &self->Ap, &self->Asparse}) {
        PyObject* old = std::exchange(*field, Py_XNewRef(value));
        Py_XDECREF(old);
    }
}

PyObject* solver_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* o = type->tp_alloc(type, 0);  // zeroed: n, nnz, status, busy and the counts
    if (!o) return nullptr;
    SparseFactorObject* self = as_solver(o);
    new (&self->analysis) Analysis();
    set_refs(self, Py_None);
    klu_defaults(&self->common);
    return o;
}

int solver_traverse(PyObject* o, visitproc visit, void* arg) {
    SparseFactorObject* self = as_solver(o);
    Py_VISIT(Py_TYPE(o));
    Py_VISIT(self->Ai);
    Py_VISIT(self->Ap);
    Py_VISIT(self->Asparse);
    return 0;
}

int solver_clear(PyObject* o) {
    set_refs(as_solver(o), Py_None);
    return 0;
}

void solver_dealloc(PyObject* o) {
    PyTypeObject* type = Py_TYPE(o);
    PyObject_GC_UnTrack(o);
    SparseFactorObject* self = as_solver(o);
    set_refs(self, nullptr);
    self->analysis.~Analysis();  // frees an analysis that __del__ did not
    type->tp_free(o);
    Py_DECREF(type);
}

PyMethodDef kMethods[] = {
    {"analyze", capi::fastcall(analyze), METH_FASTCALL | METH_KEYWORDS,
     "analyze(n, Ap, Ai)\n\nAnalyses the n x n compressed-column pattern given by the "
     "array('i') objects Ap (n + 1 column starts) and Ai (row indices). The pattern is "
     "copied: later changes to Ap and Ai take effect with the next analyze."},
    {"solve", capi::fastcall(solve), METH_FASTCALL | METH_KEYWORDS,
     "solve(Ax, B)\n\nFactorises the matrix with the values Ax (array('d'), one per stored "
     "entry) and overwrites B (array('d')) with the solution. Does nothing without an "
     "analysis; a failed factorisation leaves B unchanged and sets status."},
    {"solveMatrix", capi::fastcall(solveMatrix), METH_FASTCALL | METH_KEYWORDS,
     "solveMatrix(Ax, B)\n\nAs solve, with the matrix given densely as a 2-D float64 array; "
     "entries outside the pattern are not read."},
    {"solveSparseMatrix", capi::fastcall(solveSparseMatrix), METH_FASTCALL | METH_KEYWORDS,
     "solveSparseMatrix(Ax, B)\n\nAs solve, with 1-D float64 NumPy arrays."},
    {"factor", capi::fastcall(factor), METH_FASTCALL | METH_KEYWORDS,
     "factor(Ax)\n\nFactorises the matrix with the values Ax (1-D float64 NumPy array, one "
     "per stored entry) and keeps the factors for solveFactored and refactor. Does nothing "
     "without an analysis; a failed factorisation keeps no factors and sets status."},
    {"refactor", capi::fastcall(refactor), METH_FASTCALL | METH_KEYWORDS,
     "refactor(Ax)\n\nAs factor, reusing the pivot order of the factors kept, which is "
     "cheaper. Factorises afresh (factorCount grows) when no factors are kept, when the "
     "kept order meets a zero pivot, or when its pivot growth exceeds the last full "
     "factorisation's by more than KLU's pivot tolerance allows."},
    {"solveFactored", capi::fastcall(solveFactored), METH_FASTCALL | METH_KEYWORDS,
     "solveFactored(B)\n\nOverwrites B (1-D float64 NumPy array) with the solution by the "
     "factors kept. Without kept factors B stays as it was and status stays non-zero: the "
     "failure that dropped them, or -3 (invalid)."},
    QUENDA_NOARGS_METHOD("__del__", release_analysis,
                         "__del__()\n\nReleases the analysis and any kept factors; solves do "
                         "nothing until the next analyze."),
    QUENDA_NOARGS_METHOD("__reduce__", refuse_pickle, nullptr),
    QUENDA_ONEARG_METHOD("__setstate__", refuse_pickle, nullptr),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"status", get_status, nullptr,
     "Outcome of the last analysis, factorisation or solve with kept factors: 0 ok, 1 "
     "singular, negative an error (KLU's status codes).",
     nullptr},
    {"factored", get_factored, nullptr,
     "True while factors made by factor or refactor are kept; analyze and __del__ drop "
     "them, and so does a failed factorisation.",
     nullptr},
    {"factorCount", get_factor_count, nullptr,
     "Full numeric factorisations run over the object's life: by factor, by refactor "
     "falling back, and one in every call of solve, solveMatrix and solveSparseMatrix.",
     nullptr},
    {"refactorCount", get_refactor_count, nullptr,
     "Refactorisations with a kept pivot order run over the object's life, including "
     "those that fell back to a full factorisation.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(solver_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(solver_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(solver_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(solver_clear)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {Py_tp_doc, const_cast<char*>(
                    "SparseFactor()\n\nSparse LU solver: analyse a pattern once, then factorise "
                    "and solve in place with new values at each call, or keep a "
                    "factorisation (factor, refactor) and solve with it (solveFactored).")},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "quenda.SparseFactor.SparseFactor",
    sizeof(SparseFactorObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    kSlots,
};

}  // namespace

PyObject* create_sparse_factor_type() { return PyType_FromSpec(&kSpec); }

}  // namespace quenda::sparsefactor
