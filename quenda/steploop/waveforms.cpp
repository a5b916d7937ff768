// The value functions of the source waveforms (waveforms.hpp). Parameters,
// as the host's encoders give them:
//
//   dc     value
//   pwl    t0, v0, t1, v1, ...     (times not decreasing)
//   pws    as pwl                  (half-cosine easing between the points)
//   pulse  v1, v2, td, tr, tf, pw, per     (pw and per may be infinite)
//   sin    vo, va, freq, td, theta, phase, stop   (stop: td + ncycles / freq, or inf)
//   exp    v1, v2, td1, tau1, td2, tau2    (td2 may be infinite)
#include "waveforms.hpp"

#include <cmath>
#include <cstring>

namespace quenda::steploop {

struct WaveKind {
    const char* name;
    size_t count;  // parameters; 0: time, value pairs, at least one
    double (*value)(const double* p, size_t count, double t);
};

namespace {

constexpr double kPi = 3.141592653589793;  // math.pi

double dc(const double* p, size_t, double) { return p[0]; }

// bisect.bisect_right over the times of the points: the first point after t.
size_t points_after(const double* p, size_t points, double t) {
    size_t lo = 0, hi = points;
    while (lo < hi) {
        const size_t mid = (lo + hi) / 2;
        if (t < p[2 * mid]) hi = mid;
        else lo = mid + 1;
    }
    return lo;
}

// Between two points, the fraction s of the time between them gives how far
// along the values it is: s itself (pwl) or eased (pws). The arithmetic is
// the host's (circuit/waveforms.py), so that both loops see the same values.
template <double (*ease)(double)>
double points_law(const double* p, size_t count, double t) {
    const size_t points = count / 2;
    const size_t k = points_after(p, points, t);
    if (k == 0) return p[1];
    if (k == points) return p[2 * points - 1];
    const double t0 = p[2 * k - 2], t1 = p[2 * k], v0 = p[2 * k - 1], v1 = p[2 * k + 1];
    return v0 + (v1 - v0) * ease((t - t0) / (t1 - t0));
}

double linear(double s) { return s; }
double half_cosine(double s) { return 0.5 * (1.0 - std::cos(kPi * s)); }

double pwl(const double* p, size_t count, double t) { return points_law<linear>(p, count, t); }
double pws(const double* p, size_t count, double t) { return points_law<half_cosine>(p, count, t); }

double pulse(const double* p, size_t, double t) {
    const double v1 = p[0], v2 = p[1], td = p[2], tr = p[3], tf = p[4], pw = p[5], per = p[6];
    if (t < td) return v1;
    double u = t - td;
    if (std::isfinite(per)) u = std::fmod(u, per);
    if (u < tr) return v1 + (v2 - v1) * u / tr;
    u -= tr;
    if (u < pw) return v2;
    u -= pw;
    if (u < tf) return v2 + (v1 - v2) * u / tf;
    return v1;
}

double sine(const double* p, size_t, double t) {
    const double vo = p[0], va = p[1], freq = p[2], td = p[3], theta = p[4], phase = p[5],
                 stop = p[6];
    if (t < td || t >= stop) return vo;
    const double u = t - td;
    return vo + va * std::exp(-theta * u) * std::sin(2 * kPi * freq * u + phase);
}

double exponential(const double* p, size_t, double t) {
    const double v1 = p[0], v2 = p[1], td1 = p[2], tau1 = p[3], td2 = p[4], tau2 = p[5];
    double v = v1;
    if (t > td1) v += (v2 - v1) * -std::expm1(-(t - td1) / tau1);
    if (t > td2) v -= (v2 - v1) * -std::expm1(-(t - td2) / tau2);
    return v;
}

const WaveKind kKinds[] = {
    {"dc", 1, dc},       {"pwl", 0, pwl}, {"pws", 0, pws},
    {"pulse", 7, pulse}, {"sin", 7, sine}, {"exp", 6, exponential},
};

}  // namespace

double Wave::operator()(double t) const { return kind->value(p.data(), p.size(), t); }

const WaveKind* find_wave_kind(const char* name) {
    for (const WaveKind& k : kKinds)
        if (std::strcmp(k.name, name) == 0) return &k;
    return nullptr;
}

const char* check_wave(const WaveKind* kind, const std::vector<double>& p) {
    if (kind->count != 0) return p.size() == kind->count ? nullptr : "the wrong number of parameters";
    if (p.empty() || p.size() % 2) return "points of a time and a value, at least one";
    for (size_t k = 2; k < p.size(); k += 2)
        if (!(p[k] >= p[k - 2])) return "times that decrease";
    return nullptr;
}

}  // namespace quenda::steploop
