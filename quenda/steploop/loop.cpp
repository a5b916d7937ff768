// One run's state, step by step (loop.hpp), as quenda/analysis/loop.py keeps it.
#include "loop.hpp"

#include "clock.hpp"

#include <algorithm>
#include <cmath>
#include <new>

namespace quenda::steploop {

bool TimeLoop::start(const Models& models, std::vector<Source> sources,
                     std::vector<int32_t> bounded_i, std::vector<int32_t> bounded_j) {
    const size_t n = size_t(n_);
    try {
        x_predicted_.assign(n, 0.0);
        dx_.assign(n + 1, 0.0);
        work_.assign(3 * n, 0.0);
        varying_.resize(sources.size());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
    for (size_t k = 0; k < sources.size(); ++k) varying_[k] = int32_t(k);
    sources_ = std::move(sources);
    bounded_i_ = std::move(bounded_i);
    bounded_j_ = std::move(bounded_j);
    ctx_.phases = S_;
    ctx_.voltages = S_ + n;
    ctx_.voltages_deriv = S_ + 2 * n;
    ctx_.phases_prev = H_;
    ctx_.voltages_prev = H_ + n;
    ctx_.histeresis = hysteresis_;
    ctx_.smooth_factor = smooth(0.0, t_ramp_);
    ctx_.time_step = 0.0;
    ctx_.time = 0.0;
    models.values(ctx_);
    return true;
}

Outcome TimeLoop::attempt(const Models& models, Newton& newton, double t_new, Formula formula,
                          int32_t* worst, SourceFailure* failed) {
    const double h = t_new - t;
    ctx_.time = t_new;
    ctx_.smooth_factor = smooth(t_new, t_ramp_);
    for (int32_t k : varying_) {
        const Source& s = sources_[k];
        const double v = s.wave(t_new * time_unit_) * s.scale;
        if (!(v - v == 0.0)) {  // NaN or infinite
            failed->index = k;
            failed->value = v;
            *worst = -1;
            return Outcome::source;
        }
        *s.value = v;
    }
    const StepMap map = step_map(formula, h, h_prev);
    const double c0 = map.c0;
    ctx_.coeff_dt = c0;
    ctx_.coeff_ddt = c0 * c0;
    ctx_.time_step = h;
    // The predictor: S = T @ H, summed over the columns of T in order.
    const size_t n = size_t(n_);
    for (int r = 0; r < 3; ++r) {
        double* row = S_ + r * n;
        const double t0 = map.T[r][0];
        for (size_t i = 0; i < n; ++i) row[i] = t0 * H_[i];
        for (int k = 1; k < map.columns; ++k) {
            const double tk = map.T[r][k];
            const double* hk = H_ + k * n;
            for (size_t i = 0; i < n; ++i) row[i] = row[i] + tk * hk[i];
        }
    }
    std::copy(S_, S_ + n, x_predicted_.begin());
    return newton.solve(models, Point{S_, &ctx_}, c0, worst);
}

double TimeLoop::phase_step() {
    if (bounded_i_.empty()) return 0.0;
    const size_t n = size_t(n_);
    for (size_t i = 0; i < n; ++i) dx_[i + 1] = S_[i] - H_[i];
    double largest = 0.0;
    for (size_t k = 0; k < bounded_i_.size(); ++k) {
        const double turned = std::fabs(dx_[bounded_i_[k]] - dx_[bounded_j_[k]]);
        if (std::isnan(turned)) return turned;
        largest = std::max(largest, turned);
    }
    return largest;
}

double TimeLoop::prediction_error() {
    const size_t n = size_t(n_);
    double largest = 0.0;
    for (size_t i = 0; i < n; ++i) {
        const double e = std::fabs(S_[i] - x_predicted_[i]);
        if (std::isnan(e)) return e;
        largest = std::max(largest, e);
    }
    return largest;
}

void TimeLoop::accept(const Models& models, double t_new, bool restart) {
    const size_t n = size_t(n_);
    std::copy(H_, H_ + 3 * n, H_ + 3 * n);
    std::copy(S_, S_ + 3 * n, H_);
    have_h_prev = !restart;
    h_prev = restart ? 0.0 : t_new - t;
    t = t_new;
    ++accepted;
    if (profile_) {
        const double started = seconds_now();
        models.values(ctx_);
        values_seconds += seconds_now() - started;
    } else {
        models.values(ctx_);
    }
    if (!varying_.empty()) {
        double first = sources_[varying_[0]].until;
        for (int32_t k : varying_) first = std::min(first, sources_[k].until);
        if (first < t)
            varying_.erase(std::remove_if(varying_.begin(), varying_.end(),
                                          [&](int32_t k) { return !(sources_[k].until >= t); }),
                           varying_.end());
    }
}

}  // namespace quenda::steploop
