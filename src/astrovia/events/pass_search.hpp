// Passes of satellites over ground stations and their eclipses: plain C++, no
// Python. The satellites are SGP4 element sets (an ELSET's members switch at
// their epochs, as piecewise propagation does); the frame chain, the UTC clock
// of SGP4 and the Sun come from one epoch window for the whole call.
//
// Passes. The elevation of a satellite seen from a station has one maximum and
// one minimum per revolution relative to the station, half a revolution
// apart, so its rate, sampled on a step of an 8th of the orbital period
// (shortened for an eccentric orbit to its rate at perigee), changes sign at
// most once between samples. The maxima are those sign changes, refined;
// between two consecutive extrema the elevation is monotonic, so each such
// stretch holds at most one crossing of the mask, bracketed exactly and
// refined. No pass is missed however low its peak, and a pass whose elevation
// dips without going below the mask stays one pass. Samples are only
// propagated where the satellite might reach the station's cone of
// visibility (two bounds on how soon it can: its angular rate, and the
// station's distance from its orbital plane). Each root is found first on a
// quintic interpolant of the samples (positions, velocities, J2
// accelerations) and then polished by Newton steps on SGP4 itself, so a pass
// costs a few evaluations of the model.
//
// Eclipses. The penumbra and umbra functions of the conical shadow
// (shadow.hpp) are sampled on a 16th of the period and their sign changes
// refined. An eclipse shorter than the step whose shadow function never goes
// negative at a sample (a graze of the penumbra's edge lasting seconds) can be
// missed.
//
// Every result depends on its satellite (and station) alone: the loop over
// satellites may run on any number of threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "frames/epoch_window.hpp"
#include "groundstation/topocentric.hpp"
#include "propagators/analytical/sgp4/sgp4_batch.hpp"

namespace astrovia::events {

// A ground station (its ITRF position and local axes) and its mask.
struct Site {
    groundstation::Site at;
    double mask;  // minimum elevation [rad]
};

// One satellite: its element sets sorted by epoch; member i is used from
// member_start[i] (window seconds) until the next member's start, the first
// also before its own epoch.
struct Track {
    const sgp4::BatchRecord* members;
    const double* member_start;
    std::size_t n;
};

struct Pass {
    std::uint32_t track, site;
    double rise, culmination, set;  // window seconds
    double rise_azimuth, culmination_azimuth, set_azimuth, max_elevation;  // [rad]
    bool cut_rise, cut_set;  // rise (set) stands at the window's edge or where SGP4 stops
    bool sunlit, visible;
};

struct Eclipse {
    std::uint32_t track;
    bool umbra;        // else the partial shadow (penumbra)
    double start, end;  // window seconds
};

struct SearchSettings {
    double tolerance = 1e-6;         // of every refined time [s]
    double sun_limit = -0.10471975511965977;  // the Sun's elevation for a visible pass: at most this [rad]
    double earth_radius = 6378137.0;  // the shadow's sphere [m]
    double metres_per_km = 1000.0;
    double steps_per_period = 16.0;       // samples per orbital period of the eclipse search
    double pass_steps_per_period = 8.0;   // and of the pass search
};

// The passes of every track over every site inside [t0, t1] (window seconds),
// ordered by track, then site, then rise. Runs on all OpenMP threads.
std::vector<Pass> search_passes(const frames::EpochWindow& window, double t0, double t1, const Track* tracks,
                                std::size_t m, const Site* sites, std::size_t k, const SearchSettings& settings);

// The penumbra and umbra intervals of every track inside [t0, t1], ordered by
// track, then start. Runs on all OpenMP threads.
std::vector<Eclipse> search_eclipses(const frames::EpochWindow& window, double t0, double t1, const Track* tracks,
                                     std::size_t m, const SearchSettings& settings);

}  // namespace astrovia::events
