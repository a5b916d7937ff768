// The element-model interface of the kernel.
//
// Every circuit element is one Python object whose C part starts with
// ElementModel. The drivers walk the collected models and call one of five
// operations through the class's table; each operation adds the element's
// contribution to a matrix value array or the right-hand side, or writes the
// element's values back after a solved step. The operations make no checks:
// everything they index was validated when the model was built and bound,
// and again by the driver against the arrays of the call.
//
// An element class is described once, as data (ElementClass): its operations,
// the arguments of its constructor and of InitModel, the host arrays it binds
// and the parameters SetParameters reads. The construction protocol
// (construction.cpp) serves every class from that description.
#pragma once

#include "../capi/args.hpp"
#include "../capi/buffers.hpp"
#include "../capi/pyref.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>

namespace quenda::stampcore {

using FLOAT_t = double;
using INT_t = int32_t;
using UINT8_t = uint8_t;

// What a driver hands to the operations for one call. A driver fills only the
// fields that the operations it calls read (see drivers.cpp).
struct ModelContext {
    double coeff_dt;         // d(first derivative)/d(phase) of the integration formula
    double coeff_ddt;        // d(second derivative)/d(phase)
    double smooth_factor;    // start-up ramp applied to source values
    double histeresis;       // hold band of NQuanta, in quanta
    double time_step;
    const double* phases;          // unknowns at the current point, unknown k at [k-1]
    const double* phases_prev;     // unknowns at the previous point
    const double* voltages;        // first time derivatives
    const double* voltages_deriv;  // second time derivatives
    const double* voltages_prev;   // first derivatives at the previous point
    // Time of the point being solved (RHSCurrent) or accepted (Values). Read
    // from the host only when a collected model's class reads it (reads_time),
    // so a circuit without such elements costs the host nothing more.
    double time;
};

struct ElementModel;

// The five operations, in slot order. matrix and vec are the first value of
// a C-contiguous float64 array (a matrix value array addressed by slot
// position, or the right-hand side addressed by unknown number - 1).
struct ElementOps {
    void (*Admitance0)(ElementModel* m, double* matrix);
    void (*Admitance1)(ElementModel* m, double* matrix, const ModelContext* ctx);
    void (*Admitance2)(ElementModel* m, double* matrix, const ModelContext* ctx);
    void (*RHSCurrent)(ElementModel* m, double* vec, const ModelContext* ctx);
    void (*Values)(ElementModel* m, const ModelContext* ctx);
};

// An operation with nothing to do in its slot.
inline void no_admitance0(ElementModel*, double*) {}
inline void no_admitance(ElementModel*, double*, const ModelContext*) {}
inline void no_values(ElementModel*, const ModelContext*) {}

// The most host arrays one model binds (the junctions bind nine).
inline constexpr int kMaxHostArrays = 9;

struct ElementClass;

// What InitModel bound, kept apart from the fields the operations read so
// that a model's hot data stays within as few cache lines as possible.
struct Binding {
    // The host arrays, kept alive so that the addresses stored in the
    // class's fields stay valid.
    PyObject* held[kMaxHostArrays];
    // Shortest bound node array and element array: the limits the model's
    // node numbers and element index were checked against.
    Py_ssize_t node_len;
    Py_ssize_t elem_len;
};

// The C part shared by every model object; each class's struct starts with it.
//
// A class's struct puts the scalars its operations read (parameters,
// terminals, slot positions) right after this head and the array addresses
// after them, so that a stamp or a current touches one cache line of the
// model. What InitModel bound (binding_of) sits past the class's own fields.
struct ElementModel {
    PyObject_HEAD
    const ElementClass* cls;
};

// Which matrix value arrays a class stamps (drivers check their lengths).
enum StampMask : uint8_t { kStampsA0 = 1, kStampsA1 = 2, kStampsA2 = 4 };

// Role of a constructor argument.
enum class IndexRole : uint8_t {
    Terminal,  // node number, 0 is ground
    Branch,    // branch row, numbered like a node, never 0
    Element,   // eindex, 0-based
};

struct IndexArg {
    const char* name;
    Py_ssize_t offset;  // of an int32 field
    IndexRole role;
};

// When an operation reads a slot position: which terminals must be off
// ground (the first to fourth Terminal argument), or never.
enum SlotUse : uint8_t {
    kAlways = 0,
    kNeedsFirst = 1,
    kNeedsSecond = 2,
    kNeedsBoth = 3,
    kNeverRead = 4,
    kNeedsThird = 8,
    kNeedsFourth = 16,
    kNeedsThirdAndFourth = 24,
};

struct SlotArg {
    const char* name;
    Py_ssize_t offset;  // of an int32 field
    uint8_t use;
};

// A qdglobals array bound by InitModel into a pointer field.
struct HostArray {
    const char* attr;
    const capi::ElementType* type;
    Py_ssize_t offset;  // of the pointer field
    bool node;          // indexed by unknown number (else by eindex, and written)
};

// A parameter read by SetParameters: item `item` of params into a float64 field.
struct Param {
    Py_ssize_t item;
    Py_ssize_t offset;
    bool reciprocal;  // the field holds 1 / value (an inductor's admittance)
};

struct ElementClass {
    const char* name;  // the class's Python name
    ElementOps ops;
    uint8_t stamps;           // StampMask
    bool reads_solution;      // reads the context's solution arrays
    bool reads_time = false;  // reads the context's time
    // Filled by describe<Model>() from the class's tables.
    std::span<const IndexArg> ctor = {};
    std::span<const SlotArg> slots = {};
    std::span<const HostArray> arrays = {};
    std::span<const Param> params;
    void (*defaults)(ElementModel*);  // parameter values of a new object
    // Null, or a class whose parameters are taken together: SetParameters
    // converts them all, then this checks them and prepares what depends on
    // them; false (with an exception set) leaves the model as it was, true
    // lets SetParameters store them.
    bool (*accept_parameters)(ElementModel*, const double* values) = nullptr;
    // Null, or frees what the model allocated for itself (at deallocation).
    void (*free_owned)(ElementModel*) = nullptr;
    const char* pickle_message;       // why the class refuses pickling
    PyMethodDef* methods;             // null: the common element methods
    Py_ssize_t basicsize = 0;  // filled by describe<Model>()
    const char* doc;
};

// A class's description completed from its struct and its argument tables:
// the object size, and the tables, checked at compile time against what the
// construction protocol can hold, so that no class states them by hand.
template <class Model, size_t NC, size_t NS, size_t NA>
constexpr ElementClass describe(ElementClass cls, const IndexArg (&ctor)[NC],
                                const SlotArg (&slots)[NS], const HostArray (&arrays)[NA]) {
    static_assert(std::is_standard_layout_v<Model> && offsetof(Model, base) == 0,
                  "a model struct starts with its ElementModel head");
    static_assert(NC <= capi::ArgSpec::kMaxArgs, "more constructor arguments than parsed");
    static_assert(NS <= capi::ArgSpec::kMaxArgs, "more InitModel arguments than parsed");
    static_assert(NA <= kMaxHostArrays, "more host arrays than a Binding holds");
    cls.ctor = ctor;
    cls.slots = slots;
    cls.arrays = arrays;
    cls.basicsize = sizeof(Model);
    return cls;
}

// Why the element classes refuse pickling: the pointer fields they hold,
// which have no object form.
inline constexpr const char* kPickleBasic =
    "self.elem_currents,self.elem_phases,self.elem_voltages,self.node_phases,self.node_voltages "
    "cannot be converted to a Python object for pickling";
inline constexpr const char* kPickleWithDVoltage =
    "self.elem_currents,self.elem_phases,self.elem_voltages,self.node_dvoltages,self.node_phases,"
    "self.node_voltages cannot be converted to a Python object for pickling";
inline constexpr const char* kPickleCounting =
    "self.elem_currents,self.elem_n,self.elem_phases,self.elem_voltages,self.node_phases,"
    "self.node_voltages cannot be converted to a Python object for pickling";
inline constexpr const char* kPickleJunction =
    "self.elem_currents,self.elem_n,self.elem_phases,self.elem_voltages,self.node_dvoltages,"
    "self.node_phases,self.node_voltages cannot be converted to a Python object for pickling";

inline constexpr const char* kPickleLine =
    "self.elem_currents,self.elem_phases,self.elem_voltages,self.history,self.node_phases,"
    "self.node_voltages cannot be converted to a Python object for pickling";

// Field access by offset, for the construction protocol.
template <class T>
inline T& field(ElementModel* m, Py_ssize_t offset) {
    return *reinterpret_cast<T*>(reinterpret_cast<char*>(m) + offset);
}

// The value of a node-indexed array at node n (ground reads 0).
inline double at_node(const double* x, int32_t n) { return n ? x[n - 1] : 0.0; }

// Two terminals i and j with the four slot positions of their 2x2 block.
// Ground rule: i is tested first; with i = 0 only j is used.
struct TwoTerminal {
    int32_t i, j, eindex;
    int32_t ind_ii, ind_ij, ind_ji, ind_jj;

    //            col i   col j
    //   row i  [  +g      -g  ]
    //   row j  [  -g      +g  ]
    void stamp(double* matrix, double g) const {
        if (i != 0) {
            matrix[ind_ii] += g;
            if (j != 0) {
                matrix[ind_ij] -= g;
                matrix[ind_ji] -= g;
                matrix[ind_jj] += g;
            }
        } else {
            matrix[ind_jj] += g;
        }
    }
    // A current c leaving node i and entering node j: each row receives minus
    // the current that leaves its node.
    void inject(double* vec, double c) const {
        if (i != 0) vec[i - 1] -= c;
        if (j != 0) vec[j - 1] += c;
    }
    // Difference across the element of a node-indexed array.
    double across(const double* x) const { return at_node(x, i) - at_node(x, j); }
};

// Constructor arguments and the 2x2 slot arguments of a TwoTerminal field named `t`.
#define QUENDA_TWO_TERMINAL_CTOR(Model)                                        \
    {"i", offsetof(Model, t.i), ::quenda::stampcore::IndexRole::Terminal},     \
    {"j", offsetof(Model, t.j), ::quenda::stampcore::IndexRole::Terminal},     \
    {"eindex", offsetof(Model, t.eindex), ::quenda::stampcore::IndexRole::Element}
#define QUENDA_TWO_TERMINAL_SLOTS(Model)                                       \
    {"ind_ii", offsetof(Model, t.ind_ii), ::quenda::stampcore::kNeedsFirst},   \
    {"ind_ij", offsetof(Model, t.ind_ij), ::quenda::stampcore::kNeedsBoth},    \
    {"ind_ji", offsetof(Model, t.ind_ji), ::quenda::stampcore::kNeedsBoth},    \
    {"ind_jj", offsetof(Model, t.ind_jj), ::quenda::stampcore::kNeedsSecond}

// The host arrays of a class, in the order InitModel binds them, for
// structs that name their pointer fields as below.
#define QUENDA_ARRAY(attr, type, Model, field, node) \
    {attr, &::quenda::capi::type, offsetof(Model, field), node}
#define QUENDA_NODE_ARRAYS(Model)                                  \
    QUENDA_ARRAY("NodePhase", FLOAT_t, Model, node_phases, true),  \
    QUENDA_ARRAY("NodeVoltage", FLOAT_t, Model, node_voltages, true)
#define QUENDA_DVOLTAGE_ARRAY(Model) \
    QUENDA_ARRAY("NodeDVoltage", FLOAT_t, Model, node_dvoltages, true)
#define QUENDA_ELEMENT_ARRAYS(Model)                                     \
    QUENDA_ARRAY("ElementPhase", FLOAT_t, Model, elem_phases, false),     \
    QUENDA_ARRAY("ElementVoltage", FLOAT_t, Model, elem_voltages, false), \
    QUENDA_ARRAY("ElementCurrent", FLOAT_t, Model, elem_currents, false)
#define QUENDA_QUANTA_ARRAYS(Model)                             \
    QUENDA_ARRAY("ElementN", INT_t, Model, elem_n, false),       \
    QUENDA_ARRAY("ElementInc", UINT8_t, Model, elem_inc, false), \
    QUENDA_ARRAY("ElementDec", UINT8_t, Model, elem_dec, false)

// Phase-quanta counting with a hold band. The count follows the signed
// nearest whole number of quanta of |phase| / 2pi (ties away from zero),
// except while the fractional part lies above 0.5 + histeresis, where it
// holds. inc and dec flag a change at this call only.
inline void NQuanta(double phase, int32_t* n, uint8_t* inc, uint8_t* dec, double histeresis) {
    const int32_t oldn = *n;
    const double x = std::fabs(phase) / 6.283185307179586;
    if ((x - 0.5) - std::floor(x) > histeresis) {
        *inc = 0;
        *dec = 0;
        return;
    }
    // Counts beyond 32 bits, and the count of a NaN phase, read as INT32_MIN
    // (the hardware's "integer indefinite") instead of undefined behaviour.
    const double r = std::floor(x + 0.5);
    uint32_t nq = (r < 2147483648.0) ? static_cast<uint32_t>(static_cast<int32_t>(r))
                                     : 0x80000000u;
    if (phase < 0) nq = 0u - nq;
    const int32_t count = static_cast<int32_t>(nq);
    *n = count;
    *inc = count > oldn;
    *dec = count < oldn;
}

// The element classes, defined in one source each.
extern const ElementClass kElementModelClass;
extern const ElementClass kInductorClass;
extern const ElementClass kResistorClass;
extern const ElementClass kCapacitorClass;
extern const ElementClass kCurrentSourceClass;
extern const ElementClass kInductorImpedanceClass;
extern const ElementClass kMutualInductanceClass;
extern const ElementClass kPhaseSourceClass;
extern const ElementClass kVoltageSourceClass;
extern const ElementClass kJunctionClass;
extern const ElementClass kJunctionRSJNClass;
extern const ElementClass kJunctionTJMClass;
extern const ElementClass kJunctionPWLClass;
extern const ElementClass kTransmissionLineClass;

}  // namespace quenda::stampcore
