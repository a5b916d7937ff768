// The source waveforms the compiled loop evaluates itself.
//
// Each is the value function of its class in quenda/circuit/waveforms.py,
// written with the same operations in the same order, so that both loops
// give a source the same value to the last bit; the host computes
// everything else a waveform says (breakpoints, from when it is constant,
// its levels) and hands the loop the parameters below. A new kind is one
// entry in the table of waveforms.cpp and one encoder in the host
// (quenda/analysis/compiled.py).
#pragma once

#include <cstddef>
#include <vector>

namespace quenda::steploop {

struct WaveKind;

// One source's waveform: its kind and its parameters, in the encoder's order.
struct Wave {
    const WaveKind* kind = nullptr;
    std::vector<double> p;

    double operator()(double t) const;
};

// The kind named `name`, or null.
const WaveKind* find_wave_kind(const char* name);

// Null when `p` suits the kind, else why not (for a ValueError).
const char* check_wave(const WaveKind* kind, const std::vector<double>& p);

}  // namespace quenda::steploop
