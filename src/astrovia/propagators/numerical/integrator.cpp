// RK8(7)13M with dense output and shadow events (see integrator.hpp).
#include "propagators/numerical/integrator.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "events/event_search.hpp"
#include "propagators/numerical/rk87.hpp"

namespace astrovia::numerical {

namespace {

constexpr int kMaxDim = 42;  // the state and the six columns of the transition matrix
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The state derivative: blocks of six (position, velocity); block 0 is the
// state, blocks 1..6 the columns of the transition matrix, whose derivative is
// (dv, A dr + B dv) with A, B the partials of the acceleration.
struct System {
    const ForceModel& model;
    int dim;

    void operator()(double t, const double* y, double* dy) const {
        double a[3], A[9], B[9];
        const bool stm = dim > 6;
        model.acceleration(t, y, y + 3, a, stm ? A : nullptr, stm ? B : nullptr);
        dy[0] = y[3], dy[1] = y[4], dy[2] = y[5];
        dy[3] = a[0], dy[4] = a[1], dy[5] = a[2];
        for (int b = 6; b < dim; b += 6) {
            const double* dr = y + b;
            const double* dv = y + b + 3;
            dy[b] = dv[0], dy[b + 1] = dv[1], dy[b + 2] = dv[2];
            for (int i = 0; i < 3; ++i) {
                dy[b + 3 + i] = A[3 * i] * dr[0] + A[3 * i + 1] * dr[1] + A[3 * i + 2] * dr[2] + B[3 * i] * dv[0] +
                                B[3 * i + 1] * dv[1] + B[3 * i + 2] * dv[2];
            }
        }
    }
};

// Quintic Hermite interpolation of each block from the positions, velocities
// and accelerations at both ends of a step of length h, at s = (t - t0) / h.
void dense(const double* y0, const double* f0, const double* y1, const double* f1, double h, double s, int dim,
           double* out) {
    const double s2 = s * s, s3 = s2 * s, s4 = s3 * s, s5 = s4 * s;
    const double h0 = 1 - 10 * s3 + 15 * s4 - 6 * s5, h1 = s - 6 * s3 + 8 * s4 - 3 * s5,
                 h2 = 0.5 * (s2 - 3 * s3 + 3 * s4 - s5), h3 = 10 * s3 - 15 * s4 + 6 * s5,
                 h4 = -4 * s3 + 7 * s4 - 3 * s5, h5 = 0.5 * (s3 - 2 * s4 + s5);
    const double d0 = -30 * s2 + 60 * s3 - 30 * s4, d1 = 1 - 18 * s2 + 32 * s3 - 15 * s4,
                 d2 = 0.5 * (2 * s - 9 * s2 + 12 * s3 - 5 * s4), d3 = 30 * s2 - 60 * s3 + 30 * s4,
                 d4 = -12 * s2 + 28 * s3 - 15 * s4, d5 = 0.5 * (3 * s2 - 8 * s3 + 5 * s4);
    for (int b = 0; b < dim; b += 6) {
        for (int i = 0; i < 3; ++i) {
            const double p0 = y0[b + i], v0 = f0[b + i], a0 = f0[b + 3 + i];
            const double p1 = y1[b + i], v1 = f1[b + i], a1 = f1[b + 3 + i];
            out[b + i] = h0 * p0 + h1 * h * v0 + h2 * h * h * a0 + h3 * p1 + h4 * h * v1 + h5 * h * h * a1;
            out[b + 3 + i] = (d0 * p0 + d1 * h * v0 + d2 * h * h * a0 + d3 * p1 + d4 * h * v1 + d5 * h * h * a1) / h;
        }
    }
}

inline double norm3(const double* x) { return std::sqrt(x[0] * x[0] + x[1] * x[1] + x[2] * x[2]); }

void write_output(const double* y, int dim, std::size_t k, double* r_out, double* v_out, double* phi_out) {
    for (int i = 0; i < 3; ++i) {
        r_out[3 * k + i] = y[i];
        v_out[3 * k + i] = y[3 + i];
    }
    if (phi_out && dim > 6) {
        for (int c = 0; c < 6; ++c)
            for (int i = 0; i < 6; ++i) phi_out[36 * k + 6 * i + c] = y[6 + 6 * c + i];
    }
}

void fill_nan(std::size_t from, std::size_t n, double* r_out, double* v_out, double* phi_out) {
    for (std::size_t k = from; k < n; ++k) {
        for (int i = 0; i < 3; ++i) r_out[3 * k + i] = v_out[3 * k + i] = kNaN;
        if (phi_out) std::fill(phi_out + 36 * k, phi_out + 36 * (k + 1), kNaN);
    }
}

}  // namespace

int integrate(const ForceModel& model, double t0, const double r0[3], const double v0[3], const double* t_out,
              std::size_t n, double* r_out, double* v_out, double* phi_out, const IntegratorOptions& options) {
    if (n == 0) return kOk;
    const int dim = phi_out ? kMaxDim : 6;
    const System f{model, dim};
    double y[kMaxDim] = {}, ynew[kMaxDim], f0[kMaxDim], f1[kMaxDim], stage[kMaxDim], ys[kMaxDim];
    double k[rk87::kStages][kMaxDim];
    for (int i = 0; i < 3; ++i) y[i] = r0[i], y[3 + i] = v0[i];
    if (dim > 6) {
        for (int c = 0; c < 6; ++c) y[6 + 6 * c + c] = 1.0;
    }
    const double t_final = t_out[n - 1];
    const double dir = t_final >= t0 ? 1.0 : -1.0;
    std::size_t out = 0;
    while (out < n && t_out[out] == t0) write_output(y, dim, out++, r_out, v_out, phi_out);
    if (out == n) return kOk;

    double t = t0;
    f(t, y, f0);
    const double rtol = options.rtol;
    double h = dir * 0.03 * norm3(y) / std::max(norm3(y + 3), 1e-3);
    bool rejected = false;

    // Shadow boundaries: the sign of each function where the step starts.
    const bool events = model.srp;
    bool side[2] = {true, true};
    if (events) {
        for (int w = 0; w < 2; ++w) side[w] = model.shadow_function(w, t, y) > 0.0;
    }
    double event_time = kNaN;  // the boundary this step was shortened to reach
    double h_resume = 0.0;    // the step that was shortened

    for (long steps = 0; out < n; ++steps) {
        if (steps > options.max_steps) {
            fill_nan(out, n, r_out, v_out, phi_out);
            return kStepFailure;
        }
        if (options.interrupted && steps % 1000 == 999 && options.interrupted(options.interrupt_data)) {
            fill_nan(out, n, r_out, v_out, phi_out);
            return kInterrupted;
        }
        const double h_max = options.max_step_fraction * norm3(y) / std::max(norm3(y + 3), 1e-3);
        if (std::fabs(h) > h_max) h = dir * h_max;
        bool last = false;
        if (std::isnan(event_time) && (t + h - t_final) * dir >= 0.0) {
            h = t_final - t;
            last = true;
        }
        if (std::fabs(h) <= 1e-9 * std::max(1.0, std::fabs(t))) {
            fill_nan(out, n, r_out, v_out, phi_out);
            return kStepFailure;
        }
        // The stages.
        std::copy(f0, f0 + dim, k[0]);
        for (int s = 1; s < rk87::kStages; ++s) {
            for (int i = 0; i < dim; ++i) {
                double acc = 0.0;
                for (int j = 0; j < s; ++j) acc += rk87::a[s][j] * k[j][i];
                stage[i] = y[i] + h * acc;
            }
            f(t + rk87::c[s] * h, stage, k[s]);
        }
        double diff[6];  // the 8th-order step less the 7th-order one, state components
        for (int i = 0; i < dim; ++i) {
            double hi = 0.0, lo = 0.0;
            for (int s = 0; s < rk87::kStages; ++s) {
                hi += rk87::b[s] * k[s][i];
                lo += rk87::bhat[s] * k[s][i];
            }
            ynew[i] = y[i] + h * hi;
            if (i < 6) diff[i] = h * (hi - lo);
        }
        // Scale: the tolerance relative to the size of the position or the
        // velocity, at the step's start or its end (the whole new state is
        // known here: the scale must not read a component before it is made).
        double err2 = 0.0;
        for (int i = 0; i < 6; ++i) {
            const int at = i < 3 ? 0 : 3;
            const double scale = rtol * std::max(norm3(y + at), norm3(ynew + at));
            const double e = diff[i] / scale;
            err2 += e * e;
        }
        const double err = std::sqrt(err2 / 6.0);
        if (!std::isfinite(err)) {
            fill_nan(out, n, r_out, v_out, phi_out);
            return kNotFinite;
        }
        if (err > 1.0) {
            h *= std::max(0.2, 0.9 * std::pow(err, -1.0 / 8.0));
            rejected = true;
            event_time = kNaN;
            continue;
        }
        const double t_new = last ? t_final : (std::isnan(event_time) ? t + h : event_time);
        f(t_new, ynew, f1);

        if (events) {
            // The earliest boundary crossed inside the step, on the dense output.
            bool new_side[2];
            double t_root = kNaN;
            int which = -1;
            for (int w = 0; w < 2; ++w) {
                const double g_new = model.shadow_function(w, t_new, ynew);
                new_side[w] = g_new > 0.0;
                if (!std::isnan(event_time) || new_side[w] == side[w]) continue;
                const double g_old = model.shadow_function(w, t, y);
                if ((g_old > 0.0) == new_side[w]) continue;  // crossed at the step's start
                auto g = [&](double tau) {
                    double yy[kMaxDim];
                    dense(y, f0, ynew, f1, h, (tau - t) / h, 6, yy);
                    return model.shadow_function(w, tau, yy);
                };
                const double root = events::refine_root(g, t, g_old, t_new, g_new, 1e-7);
                if ((root - t) * dir > 1e-6 && (t_new - root) * dir > 1e-6 &&
                    (std::isnan(t_root) || (root - t_root) * dir < 0.0)) {
                    t_root = root;
                    which = w;
                }
            }
            if (which >= 0) {
                // Step again, onto the boundary.
                h_resume = h;
                event_time = t_root;
                h = t_root - t;
                continue;
            }
            for (int w = 0; w < 2; ++w) side[w] = new_side[w];
            if (!std::isnan(event_time)) {
                // On a boundary: its function's sign is the one beyond it.
                for (int w = 0; w < 2; ++w) {
                    double probe[kMaxDim];
                    const double tau = t_new + dir * 1e-3;
                    dense(y, f0, ynew, f1, h, (tau - t) / h, 6, probe);
                    side[w] = model.shadow_function(w, tau, probe) > 0.0;
                }
            }
        }

        if (model.below_surface(t_new, ynew)) {
            fill_nan(out, n, r_out, v_out, phi_out);
            return kHitEarth;
        }
        while (out < n && (t_out[out] - t_new) * dir <= 0.0) {
            const double s = t_out[out] == t_new ? 1.0 : (t_out[out] - t) / h;
            if (s == 1.0) {
                write_output(ynew, dim, out++, r_out, v_out, phi_out);
            } else {
                dense(y, f0, ynew, f1, h, s, dim, ys);
                write_output(ys, dim, out++, r_out, v_out, phi_out);
            }
        }
        const bool was_event = !std::isnan(event_time);
        t = t_new;
        std::copy(ynew, ynew + dim, y);
        std::copy(f1, f1 + dim, f0);
        double factor = err > 0.0 ? 0.9 * std::pow(err, -1.0 / 8.0) : 5.0;
        factor = std::min(rejected ? 1.0 : 5.0, std::max(0.2, factor));
        h = was_event ? h_resume : h * factor;
        event_time = kNaN;
        rejected = false;
    }
    return kOk;
}

}  // namespace astrovia::numerical
