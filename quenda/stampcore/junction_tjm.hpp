// The tunnel junction with a memory kernel, shared by its evaluation
// (junction_tjm.cpp) and its set-up from the host's coefficient table
// (junction_tjm_setup.cpp).
#pragma once

#include "element_model.hpp"

#include <complex>

namespace quenda::stampcore {

// Complex products and quotients of this type lower to the runtime's C99
// routines (__muldc3, __divdc3) and std::exp to cexp, as long as the build
// never asks for -ffast-math or -fcx-limited-range. A division by a real r
// is written as one by cplx(r, 0), so that it too keeps the C99 meaning of
// infinities and NaNs rather than halving, say, each part on its own.
using cplx = std::complex<double>;

// Kernel terms a junction holds.
inline constexpr int kMaxTjmTerms = 20;

struct JunctionTJMModel {
    ElementModel base;
    int32_t narray;       // kernel terms in use
    double crit_current;  // scales every current and admittance
    double beta;          // weight of the voltage-derivative (capacitive) term
    double wvg, wvrat, wrrat;  // consumed by the set-up only
    double sgw;           // conductance factor of the linear term, 1 / (wvg * wvrat)
    double sinphi2, cosphi2;  // half angle of the phase at the last iterate
    // The small fields come first so that one call's scalars share a cache
    // line; the array addresses and the term arrays follow.
    TwoTerminal t;
    double* node_phases;
    double* node_voltages;
    double* node_dvoltages;
    double* elem_currents;
    double* elem_phases;
    double* elem_voltages;
    int32_t* elem_n;
    uint8_t* elem_inc;
    uint8_t* elem_dec;
    cplx A[kMaxTjmTerms];  // pair-current amplitudes (normalised: Sum Re(A/P) = 1)
    cplx B[kMaxTjmTerms];  // quasiparticle amplitudes
    cplx P[kMaxTjmTerms];  // exponents, Re P < 0 for a kernel that decays
    // Convolutions of cos(phi/2) and sin(phi/2) with exp(P t): at the present
    // iterate, their part fixed at the start of the step, at the last accepted step.
    cplx Fc[kMaxTjmTerms], Fs[kMaxTjmTerms];
    cplx Fcdt[kMaxTjmTerms], Fsdt[kMaxTjmTerms];
    cplx Fcprev[kMaxTjmTerms], Fsprev[kMaxTjmTerms];
    // Weights of one step's interpolation: start value, start slope, end value.
    cplx alpha0[kMaxTjmTerms], beta0[kMaxTjmTerms], alpha1[kMaxTjmTerms];
};

inline JunctionTJMModel* as_tjm(ElementModel* m) { return reinterpret_cast<JunctionTJMModel*>(m); }

// JunctionTJMModel.InitTJMModel(params): parameters and kernel terms from
// qdconfig.tjm_models[params[0]].
PyObject* InitTJMModel(PyObject* self, PyObject* params);

}  // namespace quenda::stampcore
