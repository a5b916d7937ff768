// Elements whose branch current is an unknown of its own: row and column q of
// the system, numbered like a node and never 0 (the inductor with branch
// current and the phase and voltage sources).
//
// The node rows take the branch current I = X(q) as a current that leaves
// node i and enters node j; row q holds the element's own equation, in which
// the node phases enter with a sign the element chooses (`sign` at column i,
// -sign at column j):
//
//            col i     col j     col q
//   row i  [                      +1  ]
//   row j  [                      -1  ]
//   row q  [ +sign     -sign      ... ]
//
// Ground rule as for two terminals: i is tested first; with i = 0 only j is used.
#pragma once

#include "element_model.hpp"

namespace quenda::stampcore {

struct BranchRow {
    int32_t i, j, q, eindex;
    int32_t ind_iq, ind_jq, ind_qi, ind_qj;

    void couple(double* matrix, double sign) const {
        if (i != 0) {
            matrix[ind_iq] += 1.0;
            matrix[ind_qi] += sign;
            if (j != 0) {
                matrix[ind_jq] -= 1.0;
                matrix[ind_qj] -= sign;
            }
        } else {
            matrix[ind_jq] -= 1.0;
            matrix[ind_qj] -= sign;
        }
    }
    // The branch current in the node rows: each receives minus what leaves it.
    void inject(double* vec, double current) const {
        if (i != 0) vec[i - 1] -= current;
        if (j != 0) vec[j - 1] += current;
    }
    // Difference across the terminals of a node-indexed array; with i at
    // ground the value at j negated (so a +0.0 there reads -0.0).
    double across(const double* x) const {
        if (i == 0) return -x[j - 1];
        return j != 0 ? x[i - 1] - x[j - 1] : x[i - 1];
    }
    double current(const double* x) const { return x[q - 1]; }
};

// The element's phase and voltage across it and its solved branch current,
// from the arrays the model bound.
template <class Model>
void write_branch_values(Model* m) {
    const BranchRow& b = m->branch;
    m->elem_phases[b.eindex] = b.across(m->node_phases);
    m->elem_voltages[b.eindex] = b.across(m->node_voltages);
    m->elem_currents[b.eindex] = b.current(m->node_phases);
}

// Values of the phase and voltage sources: the branch values, then the count
// of phase quanta of the element phase.
template <class Model>
void source_values(ElementModel* em, const ModelContext* ctx) {
    auto* m = reinterpret_cast<Model*>(em);
    write_branch_values(m);
    const int32_t e = m->branch.eindex;
    NQuanta(m->elem_phases[e], &m->elem_n[e], &m->elem_inc[e], &m->elem_dec[e], ctx->histeresis);
}

// Constructor arguments and the four coupling slots of a BranchRow field named `branch`.
#define QUENDA_BRANCH_ROW_CTOR(Model)                                               \
    {"i", offsetof(Model, branch.i), ::quenda::stampcore::IndexRole::Terminal},      \
    {"j", offsetof(Model, branch.j), ::quenda::stampcore::IndexRole::Terminal},      \
    {"q", offsetof(Model, branch.q), ::quenda::stampcore::IndexRole::Branch},        \
    {"eindex", offsetof(Model, branch.eindex), ::quenda::stampcore::IndexRole::Element}
#define QUENDA_BRANCH_ROW_SLOTS(Model)                                              \
    {"ind_iq", offsetof(Model, branch.ind_iq), ::quenda::stampcore::kNeedsFirst},   \
    {"ind_jq", offsetof(Model, branch.ind_jq), ::quenda::stampcore::kNeedsSecond},  \
    {"ind_qi", offsetof(Model, branch.ind_qi), ::quenda::stampcore::kNeedsFirst},   \
    {"ind_qj", offsetof(Model, branch.ind_qj), ::quenda::stampcore::kNeedsSecond}

// What the two sources share besides their branch row.
#define QUENDA_SOURCE_ARRAYS(Model) \
    QUENDA_NODE_ARRAYS(Model), QUENDA_ELEMENT_ARRAYS(Model), QUENDA_QUANTA_ARRAYS(Model)


}  // namespace quenda::stampcore
