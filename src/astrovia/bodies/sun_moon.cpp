// Astrometric geocentric Sun and Moon (see sun_moon.hpp).
#include "bodies/sun_moon.hpp"

#include <erfa.h>

#include <cmath>

namespace astrovia::bodies {

namespace {

constexpr double kMetresPerAu = 149597870.7e3;         // IAU 2012
constexpr double kSpeedOfLight = 299792458.0;          // [m/s]
constexpr double kLightDaysPerAu = kMetresPerAu / kSpeedOfLight / 86400.0;  // light time of 1 au [day]
// Two light-time iterations leave under a millimetre for the Moon and under a
// metre for the Sun; the third removes even that.
constexpr int kLightTimeIterations = 3;

double norm(const double p[3]) { return std::sqrt(p[0] * p[0] + p[1] * p[1] + p[2] * p[2]); }

}  // namespace

void sun_position_gcrf(double tt1, double tt2, double out[3]) {
    double pvh[2][3], pvb[2][3];
    eraEpv00(tt1, tt2, pvh, pvb);
    // The Sun's barycentric state is the Earth's barycentric less its heliocentric one;
    // over the light time (about 500 s) it moves on a straight line to far below a metre.
    double sun_b[3], sun_v[3];
    for (int k = 0; k < 3; ++k) {
        sun_b[k] = pvb[0][k] - pvh[0][k];
        sun_v[k] = pvb[1][k] - pvh[1][k];
    }
    double p[3], tau = 0.0;  // [au], [day]
    for (int it = 0; it < kLightTimeIterations; ++it) {
        for (int k = 0; k < 3; ++k) p[k] = sun_b[k] - sun_v[k] * tau - pvb[0][k];
        tau = norm(p) * kLightDaysPerAu;
    }
    for (int k = 0; k < 3; ++k) out[k] = (sun_b[k] - sun_v[k] * tau - pvb[0][k]) * kMetresPerAu;
}

void moon_position_gcrf(double tt1, double tt2, double out[3]) {
    double pvh[2][3], pvb[2][3];
    eraEpv00(tt1, tt2, pvh, pvb);
    // The Moon's barycentric position at the emission time t - tau, less the
    // Earth's now: moon(t - tau) + earth_b(t - tau) - earth_b(t). Over 1.3 s
    // the Earth's barycentric motion is a straight line.
    double p[3], tau = 0.0;
    for (int it = 0; it < kLightTimeIterations; ++it) {
        double pv[2][3];
        eraMoon98(tt1, tt2 - tau, pv);
        for (int k = 0; k < 3; ++k) p[k] = pv[0][k] - pvb[1][k] * tau;
        tau = norm(p) * kLightDaysPerAu;
    }
    for (int k = 0; k < 3; ++k) out[k] = p[k] * kMetresPerAu;
}

}  // namespace astrovia::bodies
