// Mean elements of the SGP4/SDP4 theory from the two lines of an element set.
#include <cmath>
#include <cstring>

#include "propagators/analytical/sgp4/sgp4_kernel.hpp"
#include "propagators/analytical/sgp4/tle_fields.hpp"

namespace astrovia::sgp4 {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kDeg = kPi / 180.0;
constexpr double kMinutesPerDay = 1440.0;
constexpr double kJd1950 = 2433281.5;  // 1949 December 31 00:00, the theory's day zero
// Revolutions per day per radian per minute, 1440 / (2 pi): the mean motion is
// divided by it, as in the published reading of the lines.
constexpr double kRevPerDayPerRadPerMin = kMinutesPerDay / (2.0 * kPi);

// The field of `width` columns at `offset`, as a zero-terminated copy in `scratch`.
template <std::size_t N>
const char* field_text(const char* line, std::size_t offset, std::size_t width, char (&scratch)[N]) {
    const std::size_t w = width < N - 1 ? width : N - 1;
    std::memcpy(scratch, line + offset, w);
    scratch[w] = '\0';
    return scratch;
}

// Columns 21-32 hold the day of the year with its fraction: the digits after
// the point, read as "0.ddddddddd". Without a point the fraction is that of the
// value read.
double epoch_day_fraction(const char* line1, double day_of_year) {
    char text[16] = {'0'};
    std::size_t k = 0;
    while (k < 12 && line1[20 + k] != '.' && line1[20 + k] != '\0') ++k;
    if (k == 12 || line1[20 + k] != '.') return day_of_year - std::floor(day_of_year);
    std::size_t n = 1;
    for (std::size_t c = 20 + k; c < 32 && line1[c] != '\0' && n < sizeof text - 1; ++c) text[n++] = line1[c];
    text[n] = '\0';
    const double f = fields::read_double(text);
    return f >= 0.0 && f < 1.0 ? f : day_of_year - std::floor(day_of_year);
}

}  // namespace

ElementSet elements_from_lines(const char* line1, const char* line2) {
    ElementSet s{};
    const fields::Line1Fields f1 = fields::parse_line1(line1);
    const fields::Line2Fields f2 = fields::parse_line2(line2);
    char scratch[16];
    s.year = f1.year;
    s.day_of_year = f1.day_of_year;
    // Columns 34-43: first derivative of the mean motion / 2 [rev/day^2].
    const double ndot = fields::read_double(field_text(line1, 33, 10, scratch));
    // Columns 45-52 and 54-61: second derivative / 6 and the drag term, with an
    // implied decimal point and an exponent.
    const double nddot = fields::read_implied_decimal(line1, 44, 8);
    s.mean.bstar = fields::read_implied_decimal(line1, 53, 8);
    s.element_number = fields::read_int(field_text(line1, 64, 4, scratch));
    s.revolution_number = fields::read_int(field_text(line2, 63, 5, scratch));

    s.day_fraction = epoch_day_fraction(line1, f1.day_of_year);
    // The Julian date of the epoch as midnight plus fraction, then from the theory's day zero.
    const double midnight = jd_january_first(f1.year) - 1.0 + std::floor(f1.day_of_year);
    s.mean.epoch_days_1950 = (midnight + s.day_fraction) - kJd1950;
    s.mean.ecc = f2.ecc;
    s.mean.inc = f2.inc_deg * kDeg;
    s.mean.raan = f2.raa_deg * kDeg;
    s.mean.argp = f2.arp_deg * kDeg;
    s.mean.mean_anomaly = f2.mea_deg * kDeg;
    s.mean.mean_motion = f2.mnm_rev_per_day / kRevPerDayPerRadPerMin;
    s.mean.ndot = ndot / (kRevPerDayPerRadPerMin * kMinutesPerDay);
    s.mean.nddot = nddot / (kRevPerDayPerRadPerMin * kMinutesPerDay * kMinutesPerDay);
    return s;
}

}  // namespace astrovia::sgp4
