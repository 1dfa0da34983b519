// Time scales and Earth orientation along a window (see epoch_window.hpp).
#include "frames/epoch_window.hpp"

#include <erfa.h>

#include <algorithm>
#include <utility>

namespace astrovia::frames {

namespace {

// Cubic Lagrange interpolation through four nodes (or fewer where the window
// has fewer): the value at t of the polynomial through (ts[i], vs[i]).
double lagrange(const double* ts, const double* vs, std::size_t n, double t) {
    double sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        double w = 1.0;
        for (std::size_t j = 0; j < n; ++j) {
            if (j != i) w *= (t - ts[j]) / (ts[i] - ts[j]);
        }
        sum += w * vs[i];
    }
    return sum;
}

}  // namespace

EpochWindow::EpochWindow(double origin_tt1, double origin_tt2, std::vector<EpochNodeInputs> nodes)
    : tt1_(origin_tt1), tt2_(origin_tt2), nodes_(std::move(nodes)) {
    x_.resize(nodes_.size());
    y_.resize(nodes_.size());
    s_.resize(nodes_.size());
    for (std::size_t k = 0; k < nodes_.size(); ++k) {
        const double t2 = tt2_ + nodes_[k].t / kSecondsPerDay;
        double rbpn[3][3];
        eraPnm00a(tt1_, t2, rbpn);
        eraBpn2xy(rbpn, &x_[k], &y_[k]);
        s_[k] = eraS00(tt1_, t2, x_[k], y_[k]);
    }
}

std::size_t EpochWindow::interval(double t) const {
    if (nodes_.size() < 2) return 0;
    auto it = std::upper_bound(nodes_.begin(), nodes_.end(), t,
                               [](double v, const EpochNodeInputs& n) { return v < n.t; });
    std::size_t k = it == nodes_.begin() ? 0 : static_cast<std::size_t>(it - nodes_.begin()) - 1;
    return std::min(k, nodes_.size() - 2);
}

void EpochWindow::at(double t, Instant& out) const {
    out.tt1 = tt1_;
    out.tt2 = tt2_ + t / kSecondsPerDay;
    if (nodes_.empty()) return;
    const std::size_t k = interval(t);
    const EpochNodeInputs& a = nodes_[k];
    if (nodes_.size() == 1) {
        out.ut1_1 = a.ut1_1, out.ut1_2 = a.ut1_2, out.utc_1 = a.utc_1, out.utc_2 = a.utc_2;
        out.pm_x = a.pm_x, out.pm_y = a.pm_y, out.dX = a.dX, out.dY = a.dY, out.lod = a.lod;
        out.x = x_[0], out.y = y_[0], out.s = s_[0];
        return;
    }
    const EpochNodeInputs& b = nodes_[k + 1];
    const double f = (t - a.t) / (b.t - a.t);
    auto lin = [f](double va, double vb) { return va + f * (vb - va); };
    // UT1 and UTC as offsets from the node's date, so that the two-part dates keep their digits.
    const double dut1_b = (b.ut1_1 - a.ut1_1) + (b.ut1_2 - a.ut1_2);
    out.ut1_1 = a.ut1_1;
    out.ut1_2 = a.ut1_2 + f * dut1_b;
    const double dutc_b = (b.utc_1 - a.utc_1) + (b.utc_2 - a.utc_2);
    out.utc_1 = a.utc_1;
    out.utc_2 = a.utc_2 + f * dutc_b;
    out.pm_x = lin(a.pm_x, b.pm_x);
    out.pm_y = lin(a.pm_y, b.pm_y);
    out.dX = lin(a.dX, b.dX);
    out.dY = lin(a.dY, b.dY);
    out.lod = lin(a.lod, b.lod);
    // The four nodes around the interval (three or two at the window's ends).
    const std::size_t lo = k == 0 ? 0 : k - 1;
    const std::size_t hi = std::min(nodes_.size(), k + 3);
    double ts[4];
    for (std::size_t i = lo; i < hi; ++i) ts[i - lo] = nodes_[i].t;
    out.x = lagrange(ts, &x_[lo], hi - lo, t);
    out.y = lagrange(ts, &y_[lo], hi - lo, t);
    out.s = lagrange(ts, &s_[lo], hi - lo, t);
}

void EpochWindow::gcrf_chain(const Instant& in, GcrfChain& out) {
    double c[3][3];
    eraC2ixys(in.x + in.dX, in.y + in.dY, in.s, c);
    const double era = eraEra00(in.ut1_1, in.ut1_2);
    eraCr(c, out.rc);
    eraRz(era, out.rc);
    const double sp = eraSp00(in.tt1, in.tt2);
    eraPom00(in.pm_x, in.pm_y, sp, out.w);
    eraRxr(out.w, out.rc, out.q);
}

void EpochWindow::teme_chain(const Instant& in, bool transposed_g, TemeChain& out) {
    teme_chain_one_epoch(in.ut1_1, in.ut1_2, in.pm_x, in.pm_y, transposed_g, out);
}

}  // namespace astrovia::frames
