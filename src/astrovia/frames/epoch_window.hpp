// Time scales and Earth orientation along a window of time, evaluated at any
// instant without Python: the searches for rises, sets, eclipses and closest
// approaches, and the numerical propagator's geopotential, need the frame
// chain at instants nobody knows in advance.
//
// The window is built once per call from nodes whose values come from the
// package's own Time and EOP (see epoch_window_binding.hpp): every UTC
// midnight inside the window is a node, so the daily Earth-orientation series
// (linear between 0h UTC values) and UTC (a straight line in TT within each UTC
// day, leap-second days and the drifting pre-1972 days included) are
// reproduced exactly by linear interpolation between nodes. UT1 - TT is taken
// linear between nodes too (exact for the daily series). The model CIP (X, Y)
// and CIO locator s of IAU 2000A are computed at the nodes with ERFA and
// interpolated by cubic Lagrange polynomials: at a node spacing of an hour that
// is within 1e-14 rad of ERFA's own value, and the chain built from it
// (eraC2ixys, eraEra00, eraSp00, eraPom00) is the celestial chain's own.
//
// Instants are TT seconds counted from the window's origin (a TT two-part
// Julian date), so a double resolves them to well under a nanosecond over a
// year.
#pragma once

#include <cstddef>
#include <vector>

#include "frames/celestial_chain.hpp"

namespace astrovia::frames {

// The inputs of one node, as the package's Time and EOP give them.
struct EpochNodeInputs {
    double t;             // TT seconds from the origin; nodes strictly increasing
    double ut1_1, ut1_2;  // UT1 two-part Julian date
    double utc_1, utc_2;  // UTC quasi Julian date (ERFA's, as Time.utc.jd12 gives it)
    double pm_x, pm_y, dX, dY;  // [rad]
    double lod;                 // [s]
};

// Everything the frame chains and SGP4's clock need at one instant.
struct Instant {
    double tt1, tt2;      // TT two-part Julian date
    double ut1_1, ut1_2;  // UT1
    double utc_1, utc_2;  // UTC quasi Julian date (date1 is the node's; date2 may exceed 1 at a day's end)
    double pm_x, pm_y, dX, dY, lod;
    double x, y, s;       // IAU 2000A model CIP and CIO locator (without dX, dY)
};

class EpochWindow {
public:
    EpochWindow() = default;
    // origin: TT two-part Julian date of t = 0. Nodes sorted by t, at least two
    // unless the window is a single instant. Computes the IAU 2000A model at each
    // node (about 50 us each).
    EpochWindow(double origin_tt1, double origin_tt2, std::vector<EpochNodeInputs> nodes);

    double origin_tt1() const { return tt1_; }
    double origin_tt2() const { return tt2_; }
    double start() const { return nodes_.empty() ? 0.0 : nodes_.front().t; }
    double stop() const { return nodes_.empty() ? 0.0 : nodes_.back().t; }
    std::size_t size() const { return nodes_.size(); }

    // The instant t [s from the origin]; outside [start, stop] the end intervals
    // are extended. Thread-safe (read only).
    void at(double t, Instant& out) const;

    // The chains of the celestial_chain kernel at an instant.
    static void gcrf_chain(const Instant& in, GcrfChain& out);
    static void teme_chain(const Instant& in, bool transposed_g, TemeChain& out);
    static double rotation_rate(const Instant& in) { return earth_rotation_rate(in.lod); }

private:
    std::size_t interval(double t) const;  // k with nodes_[k].t <= t < nodes_[k+1].t (clamped)
    double tt1_ = 0.0, tt2_ = 0.0;
    std::vector<EpochNodeInputs> nodes_;
    std::vector<double> x_, y_, s_;  // the model at each node
};

}  // namespace astrovia::frames
