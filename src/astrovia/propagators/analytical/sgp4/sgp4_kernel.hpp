// The SGP4/SDP4 analytical theory of two-line element sets: plain C++, no Python.
//
// Near-Earth model (SGP4) and deep-space model (SDP4: lunar-solar secular and
// periodic terms, 12-hour and 24-hour geopotential resonances) after Hoots and
// Roehrich, "Spacetrack Report No. 3" (1980), with the corrections of Vallado,
// Crawford, Hujsak and Kelso, "Revisiting Spacetrack Report #3", AIAA 2006-6753
// (the "improved" mode); the "afspc" mode keeps the node wrapping of the
// operational code in the low-inclination lunar-solar periodics.
//
// Units inside the theory are those of the papers: Earth radii, minutes,
// radians; positions come out in km and velocities in km/s, in the TEME frame.
//
// An initialised Record is read-only during propagation: the resonance
// integrator restarts from the epoch at every call, so a Record may be shared by
// any number of threads and every result depends on (Record, tsince) alone.
#pragma once

#include <cstdint>

namespace astrovia::sgp4 {

enum class Gravity : std::uint8_t { wgs72old, wgs72, wgs84 };
enum class Mode : std::uint8_t { improved, afspc };

// Gravity model constants (Vallado et al. 2006, table of WGS-72 and WGS-84 values).
struct GravityConstants {
    double mu;          // km^3/s^2
    double radius_km;   // equatorial radius of the Earth
    double xke;         // sqrt(mu) in Earth radii^1.5 per minute
    double tumin;       // minutes per time unit, 1 / xke
    double j2, j3, j4;  // zonal harmonics
    double j3oj2;
};

GravityConstants gravity_constants(Gravity g);

// Error codes of the theory, one per failure condition (0: none).
enum ErrorCode : std::int8_t {
    kOk = 0,
    kMeanEccentricity = 1,      // mean eccentricity outside [-0.001, 1)
    kMeanMotion = 2,            // mean motion not positive
    kPerturbedEccentricity = 3, // eccentricity with the lunar-solar periodics outside [0, 1]
    kSemiLatusRectum = 4,       // semi-latus rectum negative
    kDecayed = 6,               // radius below one Earth radius: the satellite has decayed
};

// Text of an error code, for messages.
const char* error_text(int code);

// Mean elements of one element set in the units of the theory.
struct MeanElements {
    double epoch_days_1950;  // epoch as days since 1949 December 31 00:00 UT (JD 2433281.5)
    double bstar;            // drag term [1 / Earth radii]
    double ndot;             // first derivative of the mean motion / 2 [rad/min^2] (not used by the theory)
    double nddot;            // second derivative of the mean motion / 6 [rad/min^3] (not used by the theory)
    double ecc;              // eccentricity
    double inc, raan, argp, mean_anomaly;  // [rad]
    double mean_motion;      // Kozai mean motion [rad/min]
};

// Everything the propagation needs, computed once from the mean elements.
struct Record {
    GravityConstants gc;
    Mode mode;
    bool deep_space;  // period of 225 minutes or more
    bool simplified;  // perigee below 220 km (or deep space): drag terms truncated
    int resonance;    // 0 none, 1 synchronous (24 h), 2 half-day (12 h)

    // Epoch elements.
    double bstar, ecco, inclo, nodeo, argpo, mo, no_unkozai;
    double epoch_days_1950, gsto;
    double sinio, cosio;  // of the epoch inclination, which the near-Earth theory keeps
    double ao_unkozai;  // (xke / no_unkozai)^(2/3): the semi-major axis before drag [Earth radii]

    // Near-Earth secular and drag coefficients.
    double aycof, con41, cc1, cc4, cc5, d2, d3, d4, delmo, eta, argpdot, omgcof, sinmao, t2cof, t3cof, t4cof,
        t5cof, x1mth2, x7thm1, mdot, nodedot, xlcof, xmcof, nodecf;

    // Lunar-solar periodic coefficients.
    double e3, ee2, se2, se3, sgh2, sgh3, sgh4, sh2, sh3, si2, si3, sl2, sl3, sl4, xgh2, xgh3, xgh4, xh2, xh3, xi2,
        xi3, xl2, xl3, xl4, zmol, zmos;
    // Lunar-solar secular rates.
    double dedt, didt, dmdt, dnodt, domdt;
    // Resonance coefficients and the integrator's starting values.
    double d2201, d2211, d3210, d3222, d4410, d4422, d5220, d5232, d5421, d5433;
    double del1, del2, del3, xfact, xlamo;
};

// Sets up `rec` from the mean elements; returns the error code of the state at
// the epoch (0 when the element set can be propagated there).
int initialise(const MeanElements& el, Gravity g, Mode mode, Record& rec);

// Where the resonance integrator stopped last: its steps of half a day always
// start at the epoch, so the values at a step are the same however they were
// reached, and a later time of the same sign continues from there (results
// are bitwise those of a fresh start). A default-constructed value is empty.
struct ResonanceState {
    double atime = 0.0, xli = 0.0, xni = 0.0;
};

// The state `tsince` minutes after the epoch: position [km], velocity [km/s]
// in TEME. Returns an error code; on failure r and v are NaN. `cache` (one per
// record and thread, or null) lets successive times skip integrator steps.
int propagate(const Record& rec, double tsince, double r[3], double v[3], ResonanceState* cache = nullptr);

// The resonance integration of a resonant deep-space record to `tsince`: from
// the secular argument of perigee and node at that time, sets the mean
// anomaly `mm` and mean motion `nm`. Part of propagate; the vector kernel calls
// it per lane.
void resonance_secular(const Record& rec, double tsince, double argpm, double nodem, double& mm, double& nm,
                       ResonanceState* cache);

// Days since 1949 December 31 00:00 of day `day_of_year` (1.0 = 1 January
// 00:00) of `year`, taken as one floating-point Julian date.
double epoch_days_1950(int year, double day_of_year);

// Julian date of 1 January 00:00 of `year` (proleptic Gregorian calendar).
double jd_january_first(int year);

// An element set as its lines give it: the theory's mean elements, the epoch as
// year and day of year, and the bookkeeping fields.
struct ElementSet {
    MeanElements mean;
    int year;            // full year of the epoch
    double day_of_year;  // 1.0 = 1 January 00:00 UTC
    // The fraction of the epoch day as its digits give it (the digits after the
    // point read as a decimal fraction), not day_of_year less its whole part:
    // the difference of those two doubles carries the rounding of the whole
    // day count, which moves the epoch by up to a few nanoseconds.
    double day_fraction;
    int element_number;
    int revolution_number;
};

// Reads every field the theory needs from the two stored lines (69 bytes and a
// zero byte each) through the fixed-column field reader; lenient, never fails.
ElementSet elements_from_lines(const char* line1, const char* line2);

// Gravity gradient d(acceleration)/d(position) of the central body with its J2
// zonal term, 3x3 row-major [1/s^2], at the position r [m]; mu [m^3/s^2] and
// radius [m] of the body.
void j2_gravity_gradient(double mu, double radius, double j2, const double r[3], double out[9]);

// The J2 acceleration model itself [m/s^2] (point mass and J2 term).
void j2_acceleration(double mu, double radius, double j2, const double r[3], double a[3]);

}  // namespace astrovia::sgp4
