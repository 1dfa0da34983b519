// Adaptive integration of the equations of motion (and, on request, of the
// variational equations) with the RK8(7)13M pair, with dense output between
// steps and the shadow boundaries stepped onto exactly. Plain C++, no Python.
#pragma once

#include <cstddef>

#include "propagators/numerical/force_model.hpp"

namespace astrovia::numerical {

enum Status : int {
    kOk = 0,
    kHitEarth = 1,      // the trajectory went under the surface; later outputs are NaN
    kStepFailure = 2,   // the step size fell below what the time axis resolves
    kNotFinite = 3,     // the state or the acceleration became NaN or infinite
    kInterrupted = 4,   // `interrupted` asked to stop
};

struct IntegratorOptions {
    double rtol = 1e-12;
    // Largest step as a fraction of |r| / |v| (about 1/60 of a circular orbit's
    // period): keeps the quintic Hermite dense output far below the tolerance.
    double max_step_fraction = 0.1;
    long max_steps = 10'000'000;
    // Asked every 1000 steps when set; true stops the integration (kInterrupted).
    bool (*interrupted)(void*) = nullptr;
    void* interrupt_data = nullptr;
};

// Integrates from (t0, r0, v0) to the output times t_out[0 .. n-1], which must
// be ordered in the direction of integration (all >= t0 ascending, or all <= t0
// descending). Writes r_out, v_out (n x 3) and, when phi_out is not null, the
// state transition matrices (n x 6 x 6, row-major, d x(t) / d x(t0)).
// Returns a Status; after a failure the remaining outputs are NaN.
int integrate(const ForceModel& model, double t0, const double r0[3], const double v0[3], const double* t_out,
              std::size_t n, double* r_out, double* v_out, double* phi_out, const IntegratorOptions& options);

}  // namespace astrovia::numerical
