// The SGP4/SDP4 theory for blocks of satellites (see sgp4_simd.hpp). This file
// is compiled once per instruction set by Highway's foreach_target: the code
// between HWY_BEFORE_NAMESPACE and HWY_AFTER_NAMESPACE is the vector kernel of
// one target; the HWY_ONCE part lays out the records and dispatches.
//
// The kernel follows propagate() of sgp4_kernel.cpp operation by operation (the
// same formulas, in the same order); branches on a record's class become masks,
// and the parts no lane of a block needs are skipped.

#ifndef ASTROVIA_SGP4_SIMD_COMMON
#define ASTROVIA_SGP4_SIMD_COMMON

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "propagators/analytical/sgp4/sgp4_simd.hpp"

namespace astrovia::sgp4::simd {

// The widest block: 8 lanes of doubles (AVX-512); narrower targets fill fewer.
constexpr std::size_t kMaxLanes = 8;

// Record fields the near-Earth theory reads, then those of the deep-space one.
#define ASTROVIA_SGP4_NEAR_FIELDS(X)                                                                              \
    X(bstar) X(ecco) X(inclo) X(nodeo) X(argpo) X(mo) X(no_unkozai) X(ao_unkozai) X(sinio) X(cosio) X(aycof)       \
    X(con41) X(cc1) X(cc4) X(cc5) X(d2) X(d3) X(d4) X(delmo) X(eta) X(argpdot) X(omgcof) X(sinmao) X(t2cof)        \
    X(t3cof) X(t4cof) X(t5cof) X(x1mth2) X(x7thm1) X(mdot) X(nodedot) X(xlcof) X(xmcof) X(nodecf)
#define ASTROVIA_SGP4_DEEP_FIELDS(X)                                                                              \
    X(e3) X(ee2) X(se2) X(se3) X(sgh2) X(sgh3) X(sgh4) X(sh2) X(sh3) X(si2) X(si3) X(sl2) X(sl3) X(sl4) X(xgh2)   \
    X(xgh3) X(xgh4) X(xh2) X(xh3) X(xi2) X(xi3) X(xl2) X(xl3) X(xl4) X(zmol) X(zmos) X(dedt) X(didt) X(dmdt)      \
    X(dnodt) X(domdt)

// A block of records as structures of arrays; lanes past `count` repeat lane 0.
struct Block {
#define ASTROVIA_SGP4_DECLARE(f) alignas(64) double f[kMaxLanes];
    ASTROVIA_SGP4_NEAR_FIELDS(ASTROVIA_SGP4_DECLARE)
    ASTROVIA_SGP4_DEEP_FIELDS(ASTROVIA_SGP4_DECLARE)
    ASTROVIA_SGP4_DECLARE(radius_km) ASTROVIA_SGP4_DECLARE(xke) ASTROVIA_SGP4_DECLARE(j2)
    ASTROVIA_SGP4_DECLARE(j3oj2) ASTROVIA_SGP4_DECLARE(full_drag) ASTROVIA_SGP4_DECLARE(afspc)
    ASTROVIA_SGP4_DECLARE(epoch_day) ASTROVIA_SGP4_DECLARE(epoch_minute) ASTROVIA_SGP4_DECLARE(vkmpersec)
#undef ASTROVIA_SGP4_DECLARE
    const Record* rec[kMaxLanes];
    std::size_t index[kMaxLanes];  // the record's row in the outputs
    std::size_t count = 0;
    bool deep = false;       // every lane deep space (blocks do not mix the two theories)
    bool resonant = false;   // some lane with a resonance
    bool full_drag_any = false;
};

// Blocks of `lanes` records: near-Earth records first, then deep-space ones.
inline std::vector<Block> make_blocks(const BatchRecord* recs, std::size_t m, std::size_t lanes) {
    std::vector<std::size_t> order;
    order.reserve(m);
    for (std::size_t i = 0; i < m; ++i)
        if (!recs[i].rec.deep_space) order.push_back(i);
    const std::size_t near = order.size();
    for (std::size_t i = 0; i < m; ++i)
        if (recs[i].rec.deep_space) order.push_back(i);
    std::vector<Block> blocks;
    for (std::size_t start = 0; start < m;) {
        const std::size_t end_of_kind = start < near ? near : m;
        const std::size_t count = std::min(lanes, end_of_kind - start);
        Block& b = blocks.emplace_back();
        b.count = count;
        for (std::size_t l = 0; l < kMaxLanes; ++l) {
            const std::size_t i = order[start + (l < count ? l : 0)];
            const Record& r = recs[i].rec;
            b.rec[l] = &r;
            b.index[l] = i;
#define ASTROVIA_SGP4_COPY(f) b.f[l] = r.f;
            ASTROVIA_SGP4_NEAR_FIELDS(ASTROVIA_SGP4_COPY)
            ASTROVIA_SGP4_DEEP_FIELDS(ASTROVIA_SGP4_COPY)
#undef ASTROVIA_SGP4_COPY
            b.radius_km[l] = r.gc.radius_km;
            b.xke[l] = r.gc.xke;
            b.j2[l] = r.gc.j2;
            b.j3oj2[l] = r.gc.j3oj2;
            b.full_drag[l] = r.simplified ? 0.0 : 1.0;
            b.afspc[l] = r.mode == Mode::afspc ? 1.0 : 0.0;
            b.epoch_day[l] = recs[i].epoch_day;
            b.epoch_minute[l] = recs[i].epoch_minute;
            b.vkmpersec[l] = r.gc.radius_km * r.gc.xke / 60.0;
            b.deep = r.deep_space;
            b.resonant = b.resonant || r.resonance != 0;
            b.full_drag_any = b.full_drag_any || !r.simplified;
        }
        start += count;
    }
    return blocks;
}

// Epochs per task: a task is one block over one stretch of epochs.
constexpr std::size_t kEpochChunk = 256;
// Epochs whose Kepler solves run interleaved.
constexpr std::size_t kEpochGroup = 4;

struct Args {
    const Block* blocks;
    std::size_t nblocks;
    const ClockEpochs* epochs;  // or
    const double* minutes;      // (M, N) minutes since each epoch
    std::size_t n;
    OutputFrame frame;
    const FrameMap* maps;
    double metres_per_km;
    BatchOutput out;
};

// One compiled vector target: its entry points.
struct Target {
    std::int64_t bit;
    void (*run)(const Args&);
    std::size_t (*lanes)();
    void (*sincos)(const double*, std::size_t, double*, double*);
    void (*atan2)(const double*, const double*, std::size_t, double*);
};

// The targets compiled into this file; each adds itself at load time. Internal
// linkage: every extension that links this kernel keeps a table of its own (an
// inline function's static would be one object for the whole process, and a
// second module's targets would move the first one's entries under its feet).
static std::vector<Target>& registry() {
    static std::vector<Target> targets;
    return targets;
}

constexpr double kPi = 3.14159265358979323846;
constexpr double kTwoPi = 2.0 * kPi;
constexpr double kSmallOnePlusCos = 1.5e-12;
constexpr double kEarthRotationPerMinute = 4.37526908801129966e-3;
constexpr double kZns = 1.19459e-5, kZnl = 1.5835218e-4, kZes = 0.01675, kZel = 0.05490;
// Largest argument the vector sine and cosine reduce themselves (2^20 quarter turns).
constexpr double kReduceLimit = 1.0e6;

}  // namespace astrovia::sgp4::simd

#endif  // ASTROVIA_SGP4_SIMD_COMMON

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "propagators/analytical/sgp4/sgp4_simd.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace astrovia::sgp4::simd::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

using D = hn::CappedTag<double, kMaxLanes>;
using V = hn::Vec<D>;
using M = hn::Mask<D>;

// The targets of the dispatch table all fuse multiply-adds in hardware.
constexpr bool kHasFma = (HWY_TARGET & (HWY_AVX2 | HWY_AVX3 | HWY_AVX3_DL | HWY_NEON | HWY_SVE | HWY_SVE2 |
                                        HWY_SVE_256 | HWY_SVE2_128)) != 0;

HWY_INLINE V C(double x) { return hn::Set(D(), x); }

// Lane-wise fallback for arguments outside the vector reductions.
template <class F>
HWY_INLINE V per_lane(V x, M use_scalar, V vec, F f) {
    const D d;
    alignas(64) double xs[kMaxLanes], out[kMaxLanes];
    hn::Store(x, d, xs);
    hn::Store(vec, d, out);
    alignas(64) double flag[kMaxLanes];
    hn::Store(hn::IfThenElseZero(use_scalar, C(1.0)), d, flag);
    for (std::size_t l = 0; l < hn::Lanes(d); ++l)
        if (flag[l] != 0.0) out[l] = f(xs[l]);
    return hn::Load(d, out);
}

// x - 2 pi trunc(x / 2 pi), exactly as std::fmod(x, 2 pi) for |x| < 2^52: with
// a fused multiply-add the product-difference is exact once the quotient is
// right, and a quotient one off is put right by one exact step. NaN and
// infinities give NaN, as std::fmod does.
HWY_INLINE V fmod_2pi(V x) {
    const D d;
    const V twopi = C(kTwoPi);
    // The quotient from the reciprocal: at most one off, which the steps below mend.
    const V k = hn::Trunc(hn::Mul(x, C(1.0 / kTwoPi)));
    V r = hn::NegMulAdd(k, twopi, x);
    const M pos = hn::Ge(x, hn::Zero(d));
    r = hn::IfThenElse(hn::And(pos, hn::Lt(r, hn::Zero(d))), hn::Add(r, twopi), r);
    r = hn::IfThenElse(hn::And(pos, hn::Ge(r, twopi)), hn::Sub(r, twopi), r);
    const M neg = hn::Not(pos);
    r = hn::IfThenElse(hn::And(neg, hn::Gt(r, hn::Zero(d))), hn::Sub(r, twopi), r);
    r = hn::IfThenElse(hn::And(neg, hn::Le(r, hn::Neg(twopi))), hn::Add(r, twopi), r);
    if (!kHasFma) {
        return per_lane(x, hn::FirstN(d, kMaxLanes), r, [](double a) { return std::fmod(a, kTwoPi); });
    }
    return r;
}

// The polynomial with coefficients c (highest power first) at z, by Estrin's
// scheme: pairs, then pairs of pairs, so that the chain of dependent steps is
// log2(K) long rather than K.
template <std::size_t K>
HWY_INLINE V horner(V z, const double (&c)[K]) {
    static_assert(K >= 2 && K <= 16, "Estrin's scheme here takes 2 to 16 coefficients");
    V t[(K + 1) / 2];
    std::size_t m = 0;
    // Lowest power first: a_k = c[K-1-k]; level one pairs a_{2i} + a_{2i+1} z.
    for (std::size_t i = 0; 2 * i < K; ++i) {
        const double lo = c[K - 1 - 2 * i];
        t[m++] = 2 * i + 1 < K ? hn::MulAdd(C(c[K - 2 - 2 * i]), z, C(lo)) : C(lo);
    }
    V zp = hn::Mul(z, z);
    while (m > 1) {
        std::size_t k = 0;
        for (std::size_t i = 0; i < m; i += 2) t[k++] = i + 1 < m ? hn::MulAdd(t[i + 1], zp, t[i]) : t[i];
        m = k;
        if (m > 1) zp = hn::Mul(zp, zp);
    }
    return t[0];
}

// Sine and cosine together: x reduced by multiples of pi/2 (Cody and Waite's
// three-part constant, exact products for up to 2^20 quarter turns), then the
// Taylor series on [-pi/4, pi/4], to the 17th and 18th powers (truncation below
// 1e-19); the cosine's leading terms are summed with the rounding error of
// 1 - z/2 carried.
HWY_INLINE void sincos(V x, V& s, V& c) {
    const D d;
    const V k = hn::Round(hn::Mul(x, C(0.63661977236758134308)));
    V r = hn::NegMulAdd(k, C(1.5707963267341256), x);
    r = hn::NegMulAdd(k, C(6.077100506303966e-11), r);
    r = hn::NegMulAdd(k, C(2.0222662487959506e-21), r);
    const V z = hn::Mul(r, r);
    constexpr double kSin[] = {1.0 / 355687428096000.0, -1.0 / 1307674368000.0, 1.0 / 6227020800.0,
                               -1.0 / 39916800.0, 1.0 / 362880.0, -1.0 / 5040.0, 1.0 / 120.0, -1.0 / 6.0};
    const V ps = horner(z, kSin);
    const V sr = hn::MulAdd(hn::Mul(r, z), ps, r);
    constexpr double kCos[] = {-1.0 / 6402373705728000.0, 1.0 / 20922789888000.0, -1.0 / 87178291200.0,
                               1.0 / 479001600.0, -1.0 / 3628800.0, 1.0 / 40320.0, -1.0 / 720.0, 1.0 / 24.0};
    const V pc = horner(z, kCos);
    const V hz = hn::Mul(C(0.5), z);
    const V w = hn::Sub(C(1.0), hz);
    const V cr = hn::Add(w, hn::MulAdd(hn::Mul(z, z), pc, hn::Sub(hn::Sub(C(1.0), w), hz)));
    // Quadrant q = k mod 4.
    const V q = hn::Sub(k, hn::Mul(C(4.0), hn::Floor(hn::Mul(k, C(0.25)))));
    const M odd = hn::Or(hn::Eq(q, C(1.0)), hn::Eq(q, C(3.0)));
    const M sin_neg = hn::Ge(q, C(2.0));
    const M cos_neg = hn::Or(hn::Eq(q, C(1.0)), hn::Eq(q, C(2.0)));
    V sv = hn::IfThenElse(odd, cr, sr);
    V cv = hn::IfThenElse(odd, sr, cr);
    sv = hn::IfThenElse(sin_neg, hn::Neg(sv), sv);
    cv = hn::IfThenElse(cos_neg, hn::Neg(cv), cv);
    const M far = hn::Not(hn::Le(hn::Abs(x), C(kReduceLimit)));
    if (HWY_UNLIKELY(!hn::AllFalse(d, far))) {
        sv = per_lane(x, far, sv, [](double a) { return std::sin(a); });
        cv = per_lane(x, far, cv, [](double a) { return std::cos(a); });
    }
    s = sv;
    c = cv;
}

HWY_INLINE V vsin(V x) {
    V s, c;
    sincos(x, s, c);
    return s;
}
HWY_INLINE V vcos(V x) {
    V s, c;
    sincos(x, s, c);
    return c;
}

// atan2(y, x): t = min/max of |x|, |y| in [0, 1]; atan t = atan c + atan u with
// c the nearest quarter and u = (t - c) / (1 + t c), |u| <= 1/8, by its Taylor
// series to the 19th power; then the octant. atan c is carried in two parts.
HWY_INLINE V vatan2(V y, V x) {
    const D d;
    const V ax = hn::Abs(x), ay = hn::Abs(y);
    const M swap = hn::Gt(ay, ax);
    const V num = hn::IfThenElse(swap, ax, ay);
    const V den = hn::IfThenElse(swap, ay, ax);
    const V t = hn::IfThenElse(hn::Eq(den, hn::Zero(d)), hn::Zero(d), hn::Div(num, den));
    const V j = hn::Round(hn::Mul(t, C(4.0)));
    const V cq = hn::Mul(j, C(0.25));
    const V u = hn::Div(hn::Sub(t, cq), hn::MulAdd(t, cq, C(1.0)));
    const V z = hn::Mul(u, u);
    constexpr double kAtan[] = {-1.0 / 19.0, 1.0 / 17.0, -1.0 / 15.0, 1.0 / 13.0, -1.0 / 11.0,
                                1.0 / 9.0,   -1.0 / 7.0, 1.0 / 5.0,   -1.0 / 3.0};
    const V p = horner(z, kAtan);
    const V au = hn::MulAdd(hn::Mul(u, z), p, u);
    V hi = hn::Zero(d), lo = hn::Zero(d);
    const double his[4] = {0.24497866312686414, 0.4636476090008061, 0.6435011087932844, 0.7853981633974483};
    const double los[4] = {1.0698755618734451e-17, 2.2698777452961687e-17, 1.5834785051444286e-17,
                           3.061616997868383e-17};
    for (int q = 0; q < 4; ++q) {
        const M at = hn::Eq(j, C(q + 1.0));
        hi = hn::IfThenElse(at, C(his[q]), hi);
        lo = hn::IfThenElse(at, C(los[q]), lo);
    }
    V a = hn::Add(hi, hn::Add(lo, au));
    a = hn::IfThenElse(swap, hn::Sub(C(1.5707963267948966), hn::Sub(a, C(6.123233995736766e-17))), a);
    a = hn::IfThenElse(hn::Lt(x, hn::Zero(d)), hn::Sub(C(3.141592653589793), hn::Sub(a, C(1.2246467991473532e-16))), a);
    a = hn::CopySign(a, y);
    const M bad = hn::Or(hn::IsNaN(hn::Add(x, y)), hn::IsInf(hn::Add(ax, ay)));
    if (HWY_UNLIKELY(!hn::AllFalse(d, bad))) {
        alignas(64) double ys[kMaxLanes], xs[kMaxLanes], out[kMaxLanes], flag[kMaxLanes];
        hn::Store(y, d, ys);
        hn::Store(x, d, xs);
        hn::Store(a, d, out);
        hn::Store(hn::IfThenElseZero(bad, C(1.0)), d, flag);
        for (std::size_t l = 0; l < hn::Lanes(d); ++l)
            if (flag[l] != 0.0) out[l] = std::atan2(ys[l], xs[l]);
        a = hn::Load(d, out);
    }
    return a;
}

#define L(f) hn::Load(d, b.f)

// Lunar-solar periodics (DPPER) on a deep-space block.
HWY_INLINE void lunar_solar_periodics(const Block& b, V t, V& ep, V& inclp, V& nodep, V& argpp, V& mp) {
    const D d;
    V zm = hn::Add(L(zmos), hn::Mul(C(kZns), t));
    V zf = hn::Add(zm, hn::Mul(C(2.0 * kZes), vsin(zm)));
    V sinzf, coszf;
    sincos(zf, sinzf, coszf);
    V f2 = hn::Sub(hn::Mul(hn::Mul(C(0.5), sinzf), sinzf), C(0.25));
    V f3 = hn::Mul(hn::Mul(C(-0.5), sinzf), coszf);
    const V ses = hn::Add(hn::Mul(L(se2), f2), hn::Mul(L(se3), f3));
    const V sis = hn::Add(hn::Mul(L(si2), f2), hn::Mul(L(si3), f3));
    const V sls = hn::Add(hn::Add(hn::Mul(L(sl2), f2), hn::Mul(L(sl3), f3)), hn::Mul(L(sl4), sinzf));
    const V sghs = hn::Add(hn::Add(hn::Mul(L(sgh2), f2), hn::Mul(L(sgh3), f3)), hn::Mul(L(sgh4), sinzf));
    const V shs = hn::Add(hn::Mul(L(sh2), f2), hn::Mul(L(sh3), f3));
    zm = hn::Add(L(zmol), hn::Mul(C(kZnl), t));
    zf = hn::Add(zm, hn::Mul(C(2.0 * kZel), vsin(zm)));
    sincos(zf, sinzf, coszf);
    f2 = hn::Sub(hn::Mul(hn::Mul(C(0.5), sinzf), sinzf), C(0.25));
    f3 = hn::Mul(hn::Mul(C(-0.5), sinzf), coszf);
    const V sel = hn::Add(hn::Mul(L(ee2), f2), hn::Mul(L(e3), f3));
    const V sil = hn::Add(hn::Mul(L(xi2), f2), hn::Mul(L(xi3), f3));
    const V sll = hn::Add(hn::Add(hn::Mul(L(xl2), f2), hn::Mul(L(xl3), f3)), hn::Mul(L(xl4), sinzf));
    const V sghl = hn::Add(hn::Add(hn::Mul(L(xgh2), f2), hn::Mul(L(xgh3), f3)), hn::Mul(L(xgh4), sinzf));
    const V shll = hn::Add(hn::Mul(L(xh2), f2), hn::Mul(L(xh3), f3));
    const V pe = hn::Add(ses, sel), pinc = hn::Add(sis, sil), pl = hn::Add(sls, sll);
    const V pgh = hn::Add(sghs, sghl), ph = hn::Add(shs, shll);

    inclp = hn::Add(inclp, pinc);
    ep = hn::Add(ep, pe);
    V sinip, cosip;
    sincos(inclp, sinip, cosip);
    const M high = hn::Ge(inclp, C(0.2));
    // Inclinations of 0.2 rad and more.
    const V ph_h = hn::Div(ph, sinip);
    const V pgh_h = hn::Sub(pgh, hn::Mul(cosip, ph_h));
    const V argpp_h = hn::Add(argpp, pgh_h);
    const V nodep_h = hn::Add(nodep, ph_h);
    const V mp_new = hn::Add(mp, pl);
    if (hn::AllTrue(d, high)) {
        argpp = argpp_h;
        nodep = nodep_h;
        mp = mp_new;
        return;
    }
    // Lyddane's form for low inclinations.
    V sinop, cosop;
    sincos(nodep, sinop, cosop);
    const V dalf = hn::Add(hn::Mul(ph, cosop), hn::Mul(hn::Mul(pinc, cosip), sinop));
    const V dbet = hn::Add(hn::Mul(hn::Neg(ph), sinop), hn::Mul(hn::Mul(pinc, cosip), cosop));
    const V alfdp = hn::Add(hn::Mul(sinip, sinop), dalf);
    const V betdp = hn::Add(hn::Mul(sinip, cosop), dbet);
    const M afspc = hn::Ne(L(afspc), hn::Zero(d));
    V nodel = fmod_2pi(nodep);
    nodel = hn::IfThenElse(hn::And(afspc, hn::Lt(nodel, hn::Zero(d))), hn::Add(nodel, C(kTwoPi)), nodel);
    V xls = hn::Add(hn::Add(mp, argpp), hn::Mul(cosip, nodel));
    const V dls = hn::Sub(hn::Add(pl, pgh), hn::Mul(hn::Mul(pinc, nodel), sinip));
    xls = hn::Add(xls, dls);
    const V xnoh = nodel;
    nodel = vatan2(alfdp, betdp);
    nodel = hn::IfThenElse(hn::And(afspc, hn::Lt(nodel, hn::Zero(d))), hn::Add(nodel, C(kTwoPi)), nodel);
    const M wrap = hn::Gt(hn::Abs(hn::Sub(xnoh, nodel)), C(kPi));
    const V wrapped = hn::IfThenElse(hn::Lt(nodel, xnoh), hn::Add(nodel, C(kTwoPi)), hn::Sub(nodel, C(kTwoPi)));
    nodel = hn::IfThenElse(wrap, wrapped, nodel);
    const V argpl = hn::Sub(hn::Sub(xls, mp_new), hn::Mul(cosip, nodel));
    argpp = hn::IfThenElse(high, argpp_h, argpl);
    nodep = hn::IfThenElse(high, nodep_h, nodel);
    mp = mp_new;
}

// Sets the error code where none is set yet and `failed` holds.
HWY_INLINE void flag(V& err, M failed, double code) {
    const D d;
    err = hn::IfThenElse(hn::And(failed, hn::Eq(err, hn::Zero(d))), C(code), err);
}

// A block's elements at one time, from the secular and long-period terms up to
// Kepler's equation, and what the short-period terms take from them.
struct Osculating {
    V err, am, nm, xincp, nodep, sinip, cosip, con41, x1mth2, x7thm1;
    V axnl, aynl, u;  // Kepler's equation: E + omega - axnl sin + aynl cos = u
};

// The states of a block at times t (minutes since each lane's epoch), up to
// Kepler's equation.
HWY_INLINE void before_kepler(const Block& b, V t, ResonanceState* caches, Osculating& o) {
    const D d;
    const V one = C(1.0);
    V err = hn::Zero(d);
    const V xmdf = hn::Add(L(mo), hn::Mul(L(mdot), t));
    const V argpdf = hn::Add(L(argpo), hn::Mul(L(argpdot), t));
    const V nodedf = hn::Add(L(nodeo), hn::Mul(L(nodedot), t));
    V argpm = argpdf, mm = xmdf;
    const V t2 = hn::Mul(t, t);
    V nodem = hn::Add(nodedf, hn::Mul(L(nodecf), t2));
    V tempa = hn::Sub(one, hn::Mul(L(cc1), t));
    V tempe = hn::Mul(hn::Mul(L(bstar), L(cc4)), t);
    V templ = hn::Mul(L(t2cof), t2);
    if (b.full_drag_any) {
        const M full = hn::Ne(L(full_drag), hn::Zero(d));
        const V delomg = hn::Mul(L(omgcof), t);
        const V delmtemp = hn::Add(one, hn::Mul(L(eta), vcos(xmdf)));
        const V delm = hn::Mul(L(xmcof), hn::Sub(hn::Mul(hn::Mul(delmtemp, delmtemp), delmtemp), L(delmo)));
        const V temp = hn::Add(delomg, delm);
        const V mm_f = hn::Add(xmdf, temp);
        const V t3 = hn::Mul(t2, t), t4 = hn::Mul(t3, t);
        const V tempa_f = hn::Sub(hn::Sub(hn::Sub(tempa, hn::Mul(L(d2), t2)), hn::Mul(L(d3), t3)), hn::Mul(L(d4), t4));
        const V tempe_f = hn::Add(tempe, hn::Mul(hn::Mul(L(bstar), L(cc5)), hn::Sub(vsin(mm_f), L(sinmao))));
        const V templ_f = hn::Add(hn::Add(templ, hn::Mul(L(t3cof), t3)),
                                  hn::Mul(t4, hn::Add(L(t4cof), hn::Mul(t, L(t5cof)))));
        mm = hn::IfThenElse(full, mm_f, mm);
        argpm = hn::IfThenElse(full, hn::Sub(argpdf, temp), argpm);
        tempa = hn::IfThenElse(full, tempa_f, tempa);
        tempe = hn::IfThenElse(full, tempe_f, tempe);
        templ = hn::IfThenElse(full, templ_f, templ);
    }

    const V no = L(no_unkozai), xke = L(xke);
    V nm = no, em = L(ecco), inclm = L(inclo);
    V am0 = L(ao_unkozai);
    if (b.deep) {
        em = hn::Add(em, hn::Mul(L(dedt), t));
        inclm = hn::Add(inclm, hn::Mul(L(didt), t));
        argpm = hn::Add(argpm, hn::Mul(L(domdt), t));
        nodem = hn::Add(nodem, hn::Mul(L(dnodt), t));
        mm = hn::Add(mm, hn::Mul(L(dmdt), t));
        if (b.resonant) {
            // The resonance integration steps per lane.
            alignas(64) double ts[kMaxLanes], ap[kMaxLanes], nd[kMaxLanes], ms[kMaxLanes], ns[kMaxLanes],
                a0[kMaxLanes];
            hn::Store(t, d, ts);
            hn::Store(argpm, d, ap);
            hn::Store(nodem, d, nd);
            hn::Store(mm, d, ms);
            hn::Store(nm, d, ns);
            hn::Store(am0, d, a0);
            for (std::size_t l = 0; l < hn::Lanes(d); ++l) {
                const Record& rec = *b.rec[l];
                if (rec.resonance == 0) continue;
                resonance_secular(rec, ts[l], ap[l], nd[l], ms[l], ns[l], &caches[l]);
                if (ns[l] != rec.no_unkozai) a0[l] = std::pow(rec.gc.xke / ns[l], 2.0 / 3.0);
            }
            mm = hn::Load(d, ms);
            nm = hn::Load(d, ns);
            am0 = hn::Load(d, a0);
        }
    }
    flag(err, hn::Le(nm, hn::Zero(d)), kMeanMotion);
    const V am = hn::Mul(hn::Mul(am0, tempa), tempa);
    nm = hn::Div(xke, hn::Mul(am, hn::Sqrt(am)));
    em = hn::Sub(em, tempe);
    flag(err, hn::Or(hn::Ge(em, one), hn::Lt(em, C(-0.001))), kMeanEccentricity);
    em = hn::IfThenElse(hn::Lt(em, C(1.0e-6)), C(1.0e-6), em);
    mm = hn::Add(mm, hn::Mul(no, templ));
    V xlm = hn::Add(hn::Add(mm, argpm), nodem);
    nodem = fmod_2pi(nodem);
    argpm = fmod_2pi(argpm);
    xlm = fmod_2pi(xlm);
    mm = fmod_2pi(hn::Sub(hn::Sub(xlm, argpm), nodem));

    V ep = em, xincp = inclm, argpp = argpm, nodep = nodem, mp = mm;
    V sinip = L(sinio), cosip = L(cosio);
    V aycof = L(aycof), xlcof = L(xlcof), con41 = L(con41), x1mth2 = L(x1mth2), x7thm1 = L(x7thm1);
    const V j3oj2 = L(j3oj2);
    if (b.deep) {
        lunar_solar_periodics(b, t, ep, xincp, nodep, argpp, mp);
        const M negative = hn::Lt(xincp, hn::Zero(d));
        xincp = hn::IfThenElse(negative, hn::Neg(xincp), xincp);
        nodep = hn::IfThenElse(negative, hn::Add(nodep, C(kPi)), nodep);
        argpp = hn::IfThenElse(negative, hn::Sub(argpp, C(kPi)), argpp);
        flag(err, hn::Or(hn::Lt(ep, hn::Zero(d)), hn::Gt(ep, one)), kPerturbedEccentricity);
        sincos(xincp, sinip, cosip);
        aycof = hn::Mul(hn::Mul(C(-0.5), j3oj2), sinip);
        const V opc = hn::Add(cosip, one);
        const V den = hn::IfThenElse(hn::Gt(hn::Abs(opc), C(kSmallOnePlusCos)), opc, C(kSmallOnePlusCos));
        xlcof = hn::Div(hn::Mul(hn::Mul(hn::Mul(C(-0.25), j3oj2), sinip), hn::Add(C(3.0), hn::Mul(C(5.0), cosip))), den);
    }

    // Long-period periodics.
    V sinargp, cosargp;
    sincos(argpp, sinargp, cosargp);
    const V axnl = hn::Mul(ep, cosargp);
    V temp = hn::Div(one, hn::Mul(am, hn::Sub(one, hn::Mul(ep, ep))));
    const V aynl = hn::Add(hn::Mul(ep, sinargp), hn::Mul(temp, aycof));
    const V xl = hn::Add(hn::Add(hn::Add(mp, argpp), nodep), hn::Mul(hn::Mul(temp, xlcof), axnl));

    o.err = err, o.am = am, o.nm = nm, o.xincp = xincp, o.nodep = nodep, o.sinip = sinip, o.cosip = cosip;
    o.con41 = con41, o.x1mth2 = x1mth2, o.x7thm1 = x7thm1, o.axnl = axnl, o.aynl = aynl;
    o.u = fmod_2pi(hn::Sub(xl, nodep));
}

// Kepler's equation for E + omega of K blocks of elements at once, per lane
// until every lane of every one has converged (a lane that has is held: the
// steps of the others do not change it). The K solves are independent chains
// of dependent steps, interleaved so that the processor overlaps them.
template <int K>
HWY_INLINE void kepler(const Osculating* o, V* sineo1, V* coseo1) {
    const D d;
    const V one = C(1.0);
    V eo1[K], tem5[K];
    M active[K];
    for (int k = 0; k < K; ++k) {
        eo1[k] = o[k].u, tem5[k] = C(9999.9), sineo1[k] = hn::Zero(d), coseo1[k] = hn::Zero(d);
        active[k] = hn::FirstN(d, kMaxLanes);
    }
    for (int ktr = 1; ktr <= 10; ++ktr) {
        bool any = false;
        for (int k = 0; k < K; ++k) {
            active[k] = hn::And(active[k], hn::Ge(hn::Abs(tem5[k]), C(1.0e-12)));
            any = any || !hn::AllFalse(d, active[k]);
        }
        if (!any) break;
        for (int k = 0; k < K; ++k) {
            const V axnl = o[k].axnl, aynl = o[k].aynl;
            V s, c;
            sincos(eo1[k], s, c);
            V step = hn::Sub(hn::Sub(one, hn::Mul(c, axnl)), hn::Mul(s, aynl));
            step = hn::Div(hn::Sub(hn::Add(hn::Sub(o[k].u, hn::Mul(aynl, c)), hn::Mul(axnl, s)), eo1[k]), step);
            step = hn::IfThenElse(hn::Ge(hn::Abs(step), C(0.95)), hn::CopySign(C(0.95), step), step);
            sineo1[k] = hn::IfThenElse(active[k], s, sineo1[k]);
            coseo1[k] = hn::IfThenElse(active[k], c, coseo1[k]);
            tem5[k] = hn::IfThenElse(active[k], step, tem5[k]);
            eo1[k] = hn::IfThenElse(active[k], hn::Add(eo1[k], step), eo1[k]);
        }
    }
}

// The states from the solved Kepler's equation: TEME km, km/s and the error
// code (as a double), as propagate() gives them.
HWY_INLINE void after_kepler(const Block& b, const Osculating& o, V sineo1, V coseo1, V r[3], V v[3], V& err) {
    const D d;
    const V one = C(1.0);
    err = o.err;
    const V am = o.am, nm = o.nm, axnl = o.axnl, aynl = o.aynl, xincp = o.xincp, nodep = o.nodep;
    const V sinip = o.sinip, cosip = o.cosip, xke = L(xke);
    V con41 = o.con41, x1mth2 = o.x1mth2, x7thm1 = o.x7thm1;
    V temp;

    // Short-period preliminaries.
    const V ecose = hn::Add(hn::Mul(axnl, coseo1), hn::Mul(aynl, sineo1));
    const V esine = hn::Sub(hn::Mul(axnl, sineo1), hn::Mul(aynl, coseo1));
    const V el2 = hn::Add(hn::Mul(axnl, axnl), hn::Mul(aynl, aynl));
    const V pl = hn::Mul(am, hn::Sub(one, el2));
    flag(err, hn::Lt(pl, hn::Zero(d)), kSemiLatusRectum);
    const V rl = hn::Mul(am, hn::Sub(one, ecose));
    const V rdotl = hn::Div(hn::Mul(hn::Sqrt(am), esine), rl);
    const V rvdotl = hn::Div(hn::Sqrt(pl), rl);
    const V betal = hn::Sqrt(hn::Sub(one, el2));
    temp = hn::Div(esine, hn::Add(one, betal));
    const V amrl = hn::Div(am, rl);
    const V sinu = hn::Mul(amrl, hn::Sub(hn::Sub(sineo1, aynl), hn::Mul(axnl, temp)));
    const V cosu = hn::Mul(amrl, hn::Add(hn::Sub(coseo1, axnl), hn::Mul(aynl, temp)));
    V su = vatan2(sinu, cosu);
    const V sin2u = hn::Mul(hn::Add(cosu, cosu), sinu);
    const V cos2u = hn::Sub(one, hn::Mul(hn::Mul(C(2.0), sinu), sinu));
    temp = hn::Div(one, pl);
    const V temp1 = hn::Mul(hn::Mul(C(0.5), L(j2)), temp);
    const V temp2 = hn::Mul(temp1, temp);

    // Short-period periodics.
    if (b.deep) {
        const V cosisq = hn::Mul(cosip, cosip);
        con41 = hn::Sub(hn::Mul(C(3.0), cosisq), one);
        x1mth2 = hn::Sub(one, cosisq);
        x7thm1 = hn::Sub(hn::Mul(C(7.0), cosisq), one);
    }
    const V mrt = hn::Add(hn::Mul(rl, hn::Sub(one, hn::Mul(hn::Mul(hn::Mul(C(1.5), temp2), betal), con41))),
                          hn::Mul(hn::Mul(hn::Mul(C(0.5), temp1), x1mth2), cos2u));
    su = hn::Sub(su, hn::Mul(hn::Mul(hn::Mul(C(0.25), temp2), x7thm1), sin2u));
    const V xnode = hn::Add(nodep, hn::Mul(hn::Mul(hn::Mul(C(1.5), temp2), cosip), sin2u));
    const V xinc = hn::Add(xincp, hn::Mul(hn::Mul(hn::Mul(hn::Mul(C(1.5), temp2), cosip), sinip), cos2u));
    const V mvt = hn::Sub(rdotl, hn::Div(hn::Mul(hn::Mul(hn::Mul(nm, temp1), x1mth2), sin2u), xke));
    const V rvdot = hn::Add(rvdotl, hn::Div(hn::Mul(hn::Mul(nm, temp1),
                                                    hn::Add(hn::Mul(x1mth2, cos2u), hn::Mul(C(1.5), con41))),
                                            xke));

    // Orientation vectors.
    V sinsu, cossu, snod, cnod, sini, cosi;
    sincos(su, sinsu, cossu);
    sincos(xnode, snod, cnod);
    sincos(xinc, sini, cosi);
    const V xmx = hn::Mul(hn::Neg(snod), cosi);
    const V xmy = hn::Mul(cnod, cosi);
    const V ux = hn::Add(hn::Mul(xmx, sinsu), hn::Mul(cnod, cossu));
    const V uy = hn::Add(hn::Mul(xmy, sinsu), hn::Mul(snod, cossu));
    const V uz = hn::Mul(sini, sinsu);
    const V vx = hn::Sub(hn::Mul(xmx, cossu), hn::Mul(cnod, sinsu));
    const V vy = hn::Sub(hn::Mul(xmy, cossu), hn::Mul(snod, sinsu));
    const V vz = hn::Mul(sini, cossu);

    flag(err, hn::Lt(mrt, one), kDecayed);
    const V radius = L(radius_km);
    const V vkmpersec = L(vkmpersec);
    const M bad = hn::Ne(err, hn::Zero(d));
    const V nan = C(std::numeric_limits<double>::quiet_NaN());
    r[0] = hn::IfThenElse(bad, nan, hn::Mul(hn::Mul(mrt, ux), radius));
    r[1] = hn::IfThenElse(bad, nan, hn::Mul(hn::Mul(mrt, uy), radius));
    r[2] = hn::IfThenElse(bad, nan, hn::Mul(hn::Mul(mrt, uz), radius));
    v[0] = hn::IfThenElse(bad, nan, hn::Mul(hn::Add(hn::Mul(mvt, ux), hn::Mul(rvdot, vx)), vkmpersec));
    v[1] = hn::IfThenElse(bad, nan, hn::Mul(hn::Add(hn::Mul(mvt, uy), hn::Mul(rvdot, vy)), vkmpersec));
    v[2] = hn::IfThenElse(bad, nan, hn::Mul(hn::Add(hn::Mul(mvt, uz), hn::Mul(rvdot, vz)), vkmpersec));
}

#undef L

// The states of a block at epoch j, in the output frame, into the (M, N) outputs.
HWY_INLINE void store(const Args& a, const Block& b, std::size_t j, V r[3], V v[3], V err) {
    const D d;
    const V mpk = C(a.metres_per_km);
    alignas(64) double buf[7][kMaxLanes];
    for (int c = 0; c < 3; ++c) {
        r[c] = hn::Mul(r[c], mpk);
        v[c] = hn::Mul(v[c], mpk);
    }
    if (a.frame != OutputFrame::teme) {
        const FrameMap& f = a.maps[j];
        V ro[3], vo[3];
        for (int c = 0; c < 3; ++c) {
            ro[c] = hn::Add(hn::Add(hn::Mul(C(f.a[c][0]), r[0]), hn::Mul(C(f.a[c][1]), r[1])),
                            hn::Mul(C(f.a[c][2]), r[2]));
            const V av = hn::Add(hn::Add(hn::Mul(C(f.a[c][0]), v[0]), hn::Mul(C(f.a[c][1]), v[1])),
                                 hn::Mul(C(f.a[c][2]), v[2]));
            const V br = hn::Add(hn::Add(hn::Mul(C(f.b[c][0]), r[0]), hn::Mul(C(f.b[c][1]), r[1])),
                                 hn::Mul(C(f.b[c][2]), r[2]));
            vo[c] = hn::Add(av, br);
        }
        for (int c = 0; c < 3; ++c) r[c] = ro[c], v[c] = vo[c];
    }
    for (int c = 0; c < 3; ++c) {
        hn::Store(r[c], d, buf[c]);
        hn::Store(v[c], d, buf[3 + c]);
    }
    hn::Store(err, d, buf[6]);
    for (std::size_t l = 0; l < b.count; ++l) {
        const std::size_t k = b.index[l] * a.n + j;
        double* ro = a.out.r + 3 * k;
        double* vo = a.out.v + 3 * k;
        ro[0] = buf[0][l], ro[1] = buf[1][l], ro[2] = buf[2][l];
        vo[0] = buf[3][l], vo[1] = buf[4][l], vo[2] = buf[5][l];
        a.out.err[k] = static_cast<std::int8_t>(buf[6][l]);
    }
}

// One block over epochs [j0, j1).
HWY_INLINE void run_task(const Args& a, const Block& b, std::size_t j0, std::size_t j1) {
    const D d;
    const std::size_t lanes = hn::Lanes(d);
    ResonanceState caches[kMaxLanes];
    const V eday = hn::Load(d, b.epoch_day), emin = hn::Load(d, b.epoch_minute);
    const auto time_at = [&](std::size_t j) {
        if (a.minutes != nullptr) {
            alignas(64) double ts[kMaxLanes];
            for (std::size_t l = 0; l < lanes; ++l) ts[l] = a.minutes[b.index[l] * a.n + j];
            return hn::Load(d, ts);
        }
        return hn::Add(hn::Mul(hn::Sub(C(a.epochs->day[j]), eday), C(1440.0)), hn::Sub(C(a.epochs->minute[j]), emin));
    };
    // kEpochGroup epochs at a time: their Kepler solves interleaved.
    for (std::size_t j = j0; j < j1; j += kEpochGroup) {
        const std::size_t group = std::min(kEpochGroup, j1 - j);
        Osculating o[kEpochGroup];
        V sineo1[kEpochGroup], coseo1[kEpochGroup];
        for (std::size_t k = 0; k < group; ++k) before_kepler(b, time_at(j + k), caches, o[k]);
        if (group == kEpochGroup) {
            kepler<kEpochGroup>(o, sineo1, coseo1);
        } else {
            for (std::size_t k = 0; k < group; ++k) kepler<1>(o + k, sineo1 + k, coseo1 + k);
        }
        for (std::size_t k = 0; k < group; ++k) {
            V r[3], v[3], err;
            after_kepler(b, o[k], sineo1[k], coseo1[k], r, v, err);
            store(a, b, j + k, r, v, err);
        }
    }
}

std::size_t lanes() { return hn::Lanes(D()); }

void run(const Args& a) {
    const std::size_t chunks = (a.n + kEpochChunk - 1) / kEpochChunk;
    const long long tasks = static_cast<long long>(a.nblocks * chunks);
    const long long states = static_cast<long long>(a.nblocks * a.n);
#pragma omp parallel for schedule(dynamic, 1) if (states > 512)
    for (long long k = 0; k < tasks; ++k) {
        const std::size_t bi = static_cast<std::size_t>(k) / chunks, ci = static_cast<std::size_t>(k) % chunks;
        const std::size_t j0 = ci * kEpochChunk, j1 = std::min(a.n, j0 + kEpochChunk);
        run_task(a, a.blocks[bi], j0, j1);
    }
}

void sincos_array(const double* x, std::size_t n, double* s, double* c) {
    const D d;
    const std::size_t lanes = hn::Lanes(d);
    alignas(64) double xs[kMaxLanes], so[kMaxLanes], co[kMaxLanes];
    for (std::size_t i = 0; i < n; i += lanes) {
        const std::size_t k = std::min(lanes, n - i);
        for (std::size_t l = 0; l < lanes; ++l) xs[l] = x[i + (l < k ? l : 0)];
        V sv, cv;
        sincos(hn::Load(d, xs), sv, cv);
        hn::Store(sv, d, so);
        hn::Store(cv, d, co);
        for (std::size_t l = 0; l < k; ++l) s[i + l] = so[l], c[i + l] = co[l];
    }
}

void atan2_array(const double* y, const double* x, std::size_t n, double* out) {
    const D d;
    const std::size_t lanes = hn::Lanes(d);
    alignas(64) double ys[kMaxLanes], xs[kMaxLanes], o[kMaxLanes];
    for (std::size_t i = 0; i < n; i += lanes) {
        const std::size_t k = std::min(lanes, n - i);
        for (std::size_t l = 0; l < lanes; ++l) ys[l] = y[i + (l < k ? l : 0)], xs[l] = x[i + (l < k ? l : 0)];
        hn::Store(vatan2(hn::Load(d, ys), hn::Load(d, xs)), d, o);
        for (std::size_t l = 0; l < k; ++l) out[i + l] = o[l];
    }
}

}  // namespace astrovia::sgp4::simd::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

// Vector targets with fused multiply-add enter the table (the exact remainders
// need it). The registration runs at load time on any processor, so it stands
// outside the target's own code generation: compiled there, its few moves could
// use the target's instructions and fault on a processor without them.
namespace astrovia::sgp4::simd {
namespace {
const bool HWY_CONCAT(registered_, HWY_NAMESPACE) = [] {
    namespace t = HWY_NAMESPACE;
    if (t::kHasFma) registry().push_back(Target{HWY_TARGET, &t::run, &t::lanes, &t::sincos_array, &t::atan2_array});
    return true;
}();
}  // namespace
}  // namespace astrovia::sgp4::simd

#if HWY_ONCE
namespace astrovia::sgp4 {

namespace {

// The vector targets this processor runs, widest first.
const std::vector<const simd::Target*>& runnable() {
    static const std::vector<const simd::Target*> list = [] {
        std::vector<const simd::Target*> out;
        const std::int64_t supported = hwy::SupportedTargets();
        for (const simd::Target& t : simd::registry())
            if ((supported & t.bit) != 0) out.push_back(&t);
        std::stable_sort(out.begin(), out.end(),
                         [](const simd::Target* a, const simd::Target* b) { return a->lanes() > b->lanes(); });
        return out;
    }();
    return list;
}

const simd::Target& target_of(int path) {
    const auto& list = runnable();
    if (path == kAutoPath) path = best_path();
    return *list.at(static_cast<std::size_t>(path - 1));
}

}  // namespace

const std::vector<std::string>& path_names() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> out{"plain"};
        for (const simd::Target* t : runnable()) {
            // Highway's target names, lower case; its AVX3 is AVX-512.
            std::string name = hwy::TargetName(t->bit);
            for (char& ch : name) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
            out.push_back(name == "avx3" ? "avx512" : name);
        }
        return out;
    }();
    return names;
}

int best_path() { return runnable().empty() ? kPlainPath : 1; }

int path_index(const std::string& name) {
    if (name == "auto") return best_path();
    const auto& names = path_names();
    for (std::size_t i = 0; i < names.size(); ++i)
        if (names[i] == name) return static_cast<int>(i);
    return -1;
}

void propagate_vector(int path, const BatchRecord* recs, std::size_t m, const ClockEpochs* epochs,
                      const double* minutes, std::size_t n, OutputFrame frame, const EpochChains& chains,
                      double metres_per_km, const BatchOutput& out) {
    const simd::Target& t = target_of(path);
    const std::vector<simd::Block> blocks = simd::make_blocks(recs, m, std::min(t.lanes(), simd::kMaxLanes));
    const simd::Args a{blocks.data(), blocks.size(), epochs, minutes, n, frame, chains.maps, metres_per_km, out};
    t.run(a);
}

void vector_sincos(int path, const double* x, std::size_t n, double* s, double* c) {
    target_of(path).sincos(x, n, s, c);
}

void vector_atan2(int path, const double* y, const double* x, std::size_t n, double* out) {
    target_of(path).atan2(y, x, n, out);
}

}  // namespace astrovia::sgp4
#endif  // HWY_ONCE
