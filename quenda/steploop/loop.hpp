// The state of one run and one time step at a time: quenda/analysis/loop.py,
// compiled (with the sources' values, which the host's elements compute
// there).
#pragma once

#include "integration.hpp"
#include "kernel_link.hpp"
#include "newton.hpp"
#include "waveforms.hpp"

#include <cstdint>
#include <vector>

namespace quenda::steploop {

// A source whose value the loop sets at each step while it changes.
struct Source {
    ElementModel* model;  // held by Models
    double* value;        // where SetParameters would store its value
    Wave wave;
    double scale;  // kernel value = waveform value (SI) * scale
    double until;  // kernel time from which it stays constant
};

// A source that gave a value that is not a finite number.
struct SourceFailure {
    int32_t index = -1;  // in the loop's sources
    double value = 0.0;  // the kernel value
};

class TimeLoop {
public:
    // S: (3, n) unknowns, voltages, derivatives at the point being solved;
    // H: (6, n) the same at the last two accepted points; both the arrays
    // the models are bound to.
    // profile: measure values_seconds.
    TimeLoop(int32_t n, double* S, double* H, double t_ramp, double hysteresis,
             double time_unit, bool profile)
        : n_(n), S_(S), H_(H), t_ramp_(t_ramp), hysteresis_(hysteresis), time_unit_(time_unit),
          profile_(profile) {}

    // Sets up what the first attempt needs: the varying sources (those
    // whose value changes after 0), the bounded terminals, and the
    // initial values of the models (UpdateValues at t = 0).
    bool start(const Models& models, std::vector<Source> sources, std::vector<int32_t> bounded_i,
               std::vector<int32_t> bounded_j);

    // Solves the step from the last accepted point to t_new.
    Outcome attempt(const Models& models, Newton& newton, double t_new, Formula formula,
                    int32_t* worst, SourceFailure* source);
    // Largest change over the solved step of the phase across a junction or phase source.
    double phase_step();
    // Largest difference between the solved and the predicted unknowns.
    double prediction_error();
    // Makes the solved point the last accepted one (restart: no derivatives carry over).
    void accept(const Models& models, double t_new, bool restart);

    double t = 0.0;          // time of the last accepted point (kernel time)
    bool have_h_prev = false;
    double h_prev = 0.0;     // step that led to it (when have_h_prev)
    uint64_t accepted = 0;
    double values_seconds = 0.0;
    const std::vector<Source>& sources() const { return sources_; }
    const double* S() const { return S_; }

private:
    int32_t n_;
    double* S_;
    double* H_;
    double t_ramp_, hysteresis_, time_unit_;
    bool profile_;
    std::vector<Source> sources_;
    std::vector<int32_t> varying_;  // indices of the sources still changing
    std::vector<int32_t> bounded_i_, bounded_j_;
    std::vector<double> x_predicted_, dx_, work_;
    ModelContext ctx_{};
};

}  // namespace quenda::steploop
