// The SGP4/SDP4 theory (see sgp4_kernel.hpp for the sources and conventions).
#include "propagators/analytical/sgp4/sgp4_kernel.hpp"

#include <cmath>
#include <limits>

namespace astrovia::sgp4 {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kTwoPi = 2.0 * kPi;
constexpr double kTwoThirds = 2.0 / 3.0;
constexpr double kDeg = kPi / 180.0;
// Julian date of the theory's day zero, 1949 December 31 00:00 UT.
constexpr double kJd1950 = 2433281.5;
// Guard against division by zero at an inclination of 180 degrees.
constexpr double kSmallOnePlusCos = 1.5e-12;
// Earth rotation [rad/min] used by the resonance terms.
constexpr double kEarthRotationPerMinute = 4.37526908801129966e-3;

// Greenwich mean sidereal time (IAU 1982) [rad] of a UT1 Julian date.
double gmst1982(double jdut1) {
    const double tut1 = (jdut1 - 2451545.0) / 36525.0;
    double temp = -6.2e-6 * tut1 * tut1 * tut1 + 0.093104 * tut1 * tut1 +
                  (876600.0 * 3600 + 8640184.812866) * tut1 + 67310.54841;  // seconds of time
    temp = std::fmod(temp * kDeg / 240.0, kTwoPi);
    if (temp < 0.0) temp += kTwoPi;
    return temp;
}

// Lunar-solar terms common to the secular and periodic parts (Hoots and
// Roehrich's DSCOM), for the elements at epoch.
struct LunarSolar {
    double snodm, cnodm, sinomm, cosomm, sinim, cosim, emsq, betasq, rtemsq;
    double s1, s2, s3, s4, s5, s6, s7, ss1, ss2, ss3, ss4, ss5, ss6, ss7;
    double sz1, sz2, sz3, sz11, sz12, sz13, sz21, sz22, sz23, sz31, sz32, sz33;
    double z1, z2, z3, z11, z12, z13, z21, z22, z23, z31, z32, z33;
};

void lunar_solar_common(double epoch, double ep, double argpp, double tc, double inclp, double nodep, double np,
                        Record& rec, LunarSolar& o) {
    const double zes = 0.01675, zel = 0.05490;
    const double c1ss = 2.9864797e-6, c1l = 4.7968065e-7;
    const double zsinis = 0.39785416, zcosis = 0.91744867;
    const double zcosgs = 0.1945905, zsings = -0.98088458;

    const double nm = np, em = ep;
    o.snodm = std::sin(nodep);
    o.cnodm = std::cos(nodep);
    o.sinomm = std::sin(argpp);
    o.cosomm = std::cos(argpp);
    o.sinim = std::sin(inclp);
    o.cosim = std::cos(inclp);
    o.emsq = em * em;
    o.betasq = 1.0 - o.emsq;
    o.rtemsq = std::sqrt(o.betasq);

    // Lunar orbit at epoch: node, inclination to the equator, mean longitude.
    const double day = epoch + 18261.5 + tc / 1440.0;
    const double xnodce = std::fmod(4.5236020 - 9.2422029e-4 * day, kTwoPi);
    const double stem = std::sin(xnodce), ctem = std::cos(xnodce);
    const double zcosil = 0.91375164 - 0.03568096 * ctem;
    const double zsinil = std::sqrt(1.0 - zcosil * zcosil);
    const double zsinhl = 0.089683511 * stem / zsinil;
    const double zcoshl = std::sqrt(1.0 - zsinhl * zsinhl);
    const double gam = 5.8351514 + 0.0019443680 * day;
    double zx = 0.39785416 * stem / zsinil;
    const double zy = zcoshl * ctem + 0.91744867 * zsinhl * stem;
    zx = std::atan2(zx, zy);
    zx = gam + zx - xnodce;
    const double zcosgl = std::cos(zx), zsingl = std::sin(zx);

    // First the Sun, then the Moon.
    double zcosg = zcosgs, zsing = zsings, zcosi = zcosis, zsini = zsinis;
    double zcosh = o.cnodm, zsinh = o.snodm, cc = c1ss;
    const double xnoi = 1.0 / nm;
    for (int body = 0; body < 2; ++body) {
        const double a1 = zcosg * zcosh + zsing * zcosi * zsinh;
        const double a3 = -zsing * zcosh + zcosg * zcosi * zsinh;
        const double a7 = -zcosg * zsinh + zsing * zcosi * zcosh;
        const double a8 = zsing * zsini;
        const double a9 = zsing * zsinh + zcosg * zcosi * zcosh;
        const double a10 = zcosg * zsini;
        const double a2 = o.cosim * a7 + o.sinim * a8;
        const double a4 = o.cosim * a9 + o.sinim * a10;
        const double a5 = -o.sinim * a7 + o.cosim * a8;
        const double a6 = -o.sinim * a9 + o.cosim * a10;

        const double x1 = a1 * o.cosomm + a2 * o.sinomm;
        const double x2 = a3 * o.cosomm + a4 * o.sinomm;
        const double x3 = -a1 * o.sinomm + a2 * o.cosomm;
        const double x4 = -a3 * o.sinomm + a4 * o.cosomm;
        const double x5 = a5 * o.sinomm;
        const double x6 = a6 * o.sinomm;
        const double x7 = a5 * o.cosomm;
        const double x8 = a6 * o.cosomm;

        const double emsq = o.emsq;
        o.z31 = 12.0 * x1 * x1 - 3.0 * x3 * x3;
        o.z32 = 24.0 * x1 * x2 - 6.0 * x3 * x4;
        o.z33 = 12.0 * x2 * x2 - 3.0 * x4 * x4;
        o.z1 = 3.0 * (a1 * a1 + a2 * a2) + o.z31 * emsq;
        o.z2 = 6.0 * (a1 * a3 + a2 * a4) + o.z32 * emsq;
        o.z3 = 3.0 * (a3 * a3 + a4 * a4) + o.z33 * emsq;
        o.z11 = -6.0 * a1 * a5 + emsq * (-24.0 * x1 * x7 - 6.0 * x3 * x5);
        o.z12 = -6.0 * (a1 * a6 + a3 * a5) + emsq * (-24.0 * (x2 * x7 + x1 * x8) - 6.0 * (x3 * x6 + x4 * x5));
        o.z13 = -6.0 * a3 * a6 + emsq * (-24.0 * x2 * x8 - 6.0 * x4 * x6);
        o.z21 = 6.0 * a2 * a5 + emsq * (24.0 * x1 * x5 - 6.0 * x3 * x7);
        o.z22 = 6.0 * (a4 * a5 + a2 * a6) + emsq * (24.0 * (x2 * x5 + x1 * x6) - 6.0 * (x4 * x7 + x3 * x8));
        o.z23 = 6.0 * a4 * a6 + emsq * (24.0 * x2 * x6 - 6.0 * x4 * x8);
        o.z1 = o.z1 + o.z1 + o.betasq * o.z31;
        o.z2 = o.z2 + o.z2 + o.betasq * o.z32;
        o.z3 = o.z3 + o.z3 + o.betasq * o.z33;
        o.s3 = cc * xnoi;
        o.s2 = -0.5 * o.s3 / o.rtemsq;
        o.s4 = o.s3 * o.rtemsq;
        o.s1 = -15.0 * em * o.s4;
        o.s5 = x1 * x3 + x2 * x4;
        o.s6 = x2 * x3 + x1 * x4;
        o.s7 = x2 * x4 - x1 * x3;

        // This body's periodic coefficients: the Sun's, then the Moon's.
        double* const solar[] = {&rec.se2,  &rec.se3,  &rec.si2,  &rec.si3, &rec.sl2, &rec.sl3,
                                 &rec.sl4,  &rec.sgh2, &rec.sgh3, &rec.sgh4, &rec.sh2, &rec.sh3};
        double* const lunar[] = {&rec.ee2,  &rec.e3,   &rec.xi2,  &rec.xi3, &rec.xl2, &rec.xl3,
                                 &rec.xl4,  &rec.xgh2, &rec.xgh3, &rec.xgh4, &rec.xh2, &rec.xh3};
        double* const* c = body == 0 ? solar : lunar;
        const double ze = body == 0 ? zes : zel;
        *c[0] = 2.0 * o.s1 * o.s6;
        *c[1] = 2.0 * o.s1 * o.s7;
        *c[2] = 2.0 * o.s2 * o.z12;
        *c[3] = 2.0 * o.s2 * (o.z13 - o.z11);
        *c[4] = -2.0 * o.s3 * o.z2;
        *c[5] = -2.0 * o.s3 * (o.z3 - o.z1);
        *c[6] = -2.0 * o.s3 * (-21.0 - 9.0 * o.emsq) * ze;
        *c[7] = 2.0 * o.s4 * o.z32;
        *c[8] = 2.0 * o.s4 * (o.z33 - o.z31);
        *c[9] = -18.0 * o.s4 * ze;
        *c[10] = -2.0 * o.s2 * o.z22;
        *c[11] = -2.0 * o.s2 * (o.z23 - o.z21);

        if (body == 0) {
            o.ss1 = o.s1, o.ss2 = o.s2, o.ss3 = o.s3, o.ss4 = o.s4, o.ss5 = o.s5, o.ss6 = o.s6, o.ss7 = o.s7;
            o.sz1 = o.z1, o.sz2 = o.z2, o.sz3 = o.z3;
            o.sz11 = o.z11, o.sz12 = o.z12, o.sz13 = o.z13;
            o.sz21 = o.z21, o.sz22 = o.z22, o.sz23 = o.z23;
            o.sz31 = o.z31, o.sz32 = o.z32, o.sz33 = o.z33;
            zcosg = zcosgl;
            zsing = zsingl;
            zcosi = zcosil;
            zsini = zsinil;
            zcosh = zcoshl * o.cnodm + zsinhl * o.snodm;
            zsinh = o.snodm * zcoshl - o.cnodm * zsinhl;
            cc = c1l;
        }
    }

    rec.zmol = std::fmod(4.7199672 + 0.22997150 * day - gam, kTwoPi);
    rec.zmos = std::fmod(6.2565837 + 0.017201977 * day, kTwoPi);

}

constexpr double kZns = 1.19459e-5;  // solar mean motion [rad/min]
constexpr double kZnl = 1.5835218e-4;  // lunar mean motion [rad/min]

// Lunar-solar secular rates and the resonance set-up (DSINIT) at epoch.
void deep_space_init(const LunarSolar& c, double eccsq, Record& rec) {
    const double q22 = 1.7891679e-6, q31 = 2.1460748e-6, q33 = 2.2123015e-7;
    const double root22 = 1.7891679e-6, root44 = 7.3636953e-9, root54 = 2.1765803e-9;
    const double root32 = 3.7393792e-7, root52 = 1.1428639e-7;
    const double nm = rec.no_unkozai;
    double em = rec.ecco;
    const double inclm = rec.inclo;
    const double sinim = c.sinim, cosim = c.cosim;
    double emsq = c.emsq;

    rec.resonance = 0;
    if (nm < 0.0052359877 && nm > 0.0034906585) rec.resonance = 1;
    if (nm >= 8.26e-3 && nm <= 9.24e-3 && em >= 0.5) rec.resonance = 2;

    // Secular rates: the Sun's part, then the Moon's.
    const double ses = c.ss1 * kZns * c.ss5;
    const double sis = c.ss2 * kZns * (c.sz11 + c.sz13);
    const double sls = -kZns * c.ss3 * (c.sz1 + c.sz3 - 14.0 - 6.0 * emsq);
    const double sghs = c.ss4 * kZns * (c.sz31 + c.sz33 - 6.0);
    double shs = -kZns * c.ss2 * (c.sz21 + c.sz23);
    // No node rate near the equator (inclinations within 3 degrees of 0 or 180).
    const bool equatorial = inclm < 5.2359877e-2 || inclm > kPi - 5.2359877e-2;
    if (equatorial) shs = 0.0;
    if (sinim != 0.0) shs = shs / sinim;
    const double sgs = sghs - cosim * shs;

    rec.dedt = ses + c.s1 * kZnl * c.s5;
    rec.didt = sis + c.s2 * kZnl * (c.z11 + c.z13);
    rec.dmdt = sls - kZnl * c.s3 * (c.z1 + c.z3 - 14.0 - 6.0 * emsq);
    const double sghl = c.s4 * kZnl * (c.z31 + c.z33 - 6.0);
    double shll = -kZnl * c.s2 * (c.z21 + c.z23);
    if (equatorial) shll = 0.0;
    rec.domdt = sgs + sghl;
    rec.dnodt = shs;
    if (sinim != 0.0) {
        rec.domdt = rec.domdt - cosim / sinim * shll;
        rec.dnodt = rec.dnodt + shll / sinim;
    }

    const double theta = std::fmod(rec.gsto, kTwoPi);
    rec.d2201 = rec.d2211 = rec.d3210 = rec.d3222 = rec.d4410 = rec.d4422 = 0.0;
    rec.d5220 = rec.d5232 = rec.d5421 = rec.d5433 = 0.0;
    rec.del1 = rec.del2 = rec.del3 = rec.xfact = rec.xlamo = 0.0;
    if (rec.resonance == 0) return;

    const double aonv = std::pow(nm / rec.gc.xke, kTwoThirds);
    if (rec.resonance == 2) {
        // Half-day resonance: eccentricity functions G and inclination functions F.
        const double cosisq = cosim * cosim;
        em = rec.ecco;
        emsq = eccsq;
        const double eoc = em * emsq;
        const double g201 = -0.306 - (em - 0.64) * 0.440;
        double g211, g310, g322, g410, g422, g520, g521, g532, g533;
        if (em <= 0.65) {
            g211 = 3.616 - 13.2470 * em + 16.2900 * emsq;
            g310 = -19.302 + 117.3900 * em - 228.4190 * emsq + 156.5910 * eoc;
            g322 = -18.9068 + 109.7927 * em - 214.6334 * emsq + 146.5816 * eoc;
            g410 = -41.122 + 242.6940 * em - 471.0940 * emsq + 313.9530 * eoc;
            g422 = -146.407 + 841.8800 * em - 1629.014 * emsq + 1083.4350 * eoc;
            g520 = -532.114 + 3017.977 * em - 5740.032 * emsq + 3708.2760 * eoc;
        } else {
            g211 = -72.099 + 331.819 * em - 508.738 * emsq + 266.724 * eoc;
            g310 = -346.844 + 1582.851 * em - 2415.925 * emsq + 1246.113 * eoc;
            g322 = -342.585 + 1554.908 * em - 2366.899 * emsq + 1215.972 * eoc;
            g410 = -1052.797 + 4758.686 * em - 7193.992 * emsq + 3651.957 * eoc;
            g422 = -3581.690 + 16178.110 * em - 24462.770 * emsq + 12422.520 * eoc;
            if (em > 0.715)
                g520 = -5149.66 + 29936.92 * em - 54087.36 * emsq + 31324.56 * eoc;
            else
                g520 = 1464.74 - 4664.75 * em + 3763.64 * emsq;
        }
        if (em < 0.7) {
            g533 = -919.22770 + 4988.6100 * em - 9064.7700 * emsq + 5542.21 * eoc;
            g521 = -822.71072 + 4568.6173 * em - 8491.4146 * emsq + 5337.524 * eoc;
            g532 = -853.66600 + 4690.2500 * em - 8624.7700 * emsq + 5341.4 * eoc;
        } else {
            g533 = -37995.780 + 161616.52 * em - 229838.20 * emsq + 109377.94 * eoc;
            g521 = -51752.104 + 218913.95 * em - 309468.16 * emsq + 146349.42 * eoc;
            g532 = -40023.880 + 170470.89 * em - 242699.48 * emsq + 115605.82 * eoc;
        }
        const double sini2 = sinim * sinim;
        const double f220 = 0.75 * (1.0 + 2.0 * cosim + cosisq);
        const double f221 = 1.5 * sini2;
        const double f321 = 1.875 * sinim * (1.0 - 2.0 * cosim - 3.0 * cosisq);
        const double f322 = -1.875 * sinim * (1.0 + 2.0 * cosim - 3.0 * cosisq);
        const double f441 = 35.0 * sini2 * f220;
        const double f442 = 39.3750 * sini2 * sini2;
        const double f522 = 9.84375 * sinim *
                            (sini2 * (1.0 - 2.0 * cosim - 5.0 * cosisq) +
                             0.33333333 * (-2.0 + 4.0 * cosim + 6.0 * cosisq));
        const double f523 = sinim * (4.92187512 * sini2 * (-2.0 - 4.0 * cosim + 10.0 * cosisq) +
                                     6.56250012 * (1.0 + 2.0 * cosim - 3.0 * cosisq));
        const double f542 = 29.53125 * sinim * (2.0 - 8.0 * cosim + cosisq * (-12.0 + 8.0 * cosim + 10.0 * cosisq));
        const double f543 = 29.53125 * sinim * (-2.0 - 8.0 * cosim + cosisq * (12.0 + 8.0 * cosim - 10.0 * cosisq));
        const double xno2 = nm * nm;
        const double ainv2 = aonv * aonv;
        double temp1 = 3.0 * xno2 * ainv2;
        double temp = temp1 * root22;
        rec.d2201 = temp * f220 * g201;
        rec.d2211 = temp * f221 * g211;
        temp1 = temp1 * aonv;
        temp = temp1 * root32;
        rec.d3210 = temp * f321 * g310;
        rec.d3222 = temp * f322 * g322;
        temp1 = temp1 * aonv;
        temp = 2.0 * temp1 * root44;
        rec.d4410 = temp * f441 * g410;
        rec.d4422 = temp * f442 * g422;
        temp1 = temp1 * aonv;
        temp = temp1 * root52;
        rec.d5220 = temp * f522 * g520;
        rec.d5232 = temp * f523 * g532;
        temp = 2.0 * temp1 * root54;
        rec.d5421 = temp * f542 * g521;
        rec.d5433 = temp * f543 * g533;
        rec.xlamo = std::fmod(rec.mo + rec.nodeo + rec.nodeo - theta - theta, kTwoPi);
        rec.xfact = rec.mdot + rec.dmdt + 2.0 * (rec.nodedot + rec.dnodt - kEarthRotationPerMinute) - nm;
    } else {
        // Synchronous resonance.
        const double g200 = 1.0 + emsq * (-2.5 + 0.8125 * emsq);
        const double g310 = 1.0 + 2.0 * emsq;
        const double g300 = 1.0 + emsq * (-6.0 + 6.60937 * emsq);
        const double f220 = 0.75 * (1.0 + cosim) * (1.0 + cosim);
        const double f311 = 0.9375 * sinim * sinim * (1.0 + 3.0 * cosim) - 0.75 * (1.0 + cosim);
        double f330 = 1.0 + cosim;
        f330 = 1.875 * f330 * f330 * f330;
        double del1 = 3.0 * nm * nm * aonv * aonv;
        rec.del2 = 2.0 * del1 * f220 * g200 * q22;
        rec.del3 = 3.0 * del1 * f330 * g300 * q33 * aonv;
        rec.del1 = del1 * f311 * g310 * q31 * aonv;
        rec.xlamo = std::fmod(rec.mo + rec.nodeo + rec.argpo - theta, kTwoPi);
        const double xpidot = rec.argpdot + rec.nodedot;
        rec.xfact = rec.mdot + xpidot - kEarthRotationPerMinute + rec.dmdt + rec.domdt + rec.dnodt - nm;
    }
}

}  // namespace

// The resonance integration to time t (the second half of DSPACE), from the
// secular node and argument of perigee at t.
void resonance_secular(const Record& rec, double t, double argpm, double nodem, double& mm, double& nm,
                       ResonanceState* cache) {
    const double fasx2 = 0.13130908, fasx4 = 2.8843198, fasx6 = 0.37448087;
    const double g22 = 5.7686396, g32 = 0.95240898, g44 = 1.8014998, g52 = 1.0508330, g54 = 4.4108898;
    const double stepp = 720.0, stepn = -720.0, step2 = 259200.0;

    const double theta = std::fmod(rec.gsto + t * kEarthRotationPerMinute, kTwoPi);
    const double no = rec.no_unkozai;
    if (!(std::fabs(t) <= 1.0e10)) {  // NaN, infinite, or beyond any calendar: no end to the steps
        nm = mm = std::numeric_limits<double>::quiet_NaN();
        return;
    }
    double atime = 0.0, xni = no, xli = rec.xlamo;
    if (cache != nullptr && cache->atime != 0.0 && t * cache->atime > 0.0 && std::fabs(t) >= std::fabs(cache->atime)) {
        atime = cache->atime;
        xni = cache->xni;
        xli = cache->xli;
    }
    const double delt = t > 0.0 ? stepp : stepn;
    double xndt, xldot, xnddt, ft;
    for (;;) {
        if (rec.resonance != 2) {
            xndt = rec.del1 * std::sin(xli - fasx2) + rec.del2 * std::sin(2.0 * (xli - fasx4)) +
                   rec.del3 * std::sin(3.0 * (xli - fasx6));
            xldot = xni + rec.xfact;
            xnddt = rec.del1 * std::cos(xli - fasx2) + 2.0 * rec.del2 * std::cos(2.0 * (xli - fasx4)) +
                    3.0 * rec.del3 * std::cos(3.0 * (xli - fasx6));
            xnddt = xnddt * xldot;
        } else {
            const double xomi = rec.argpo + rec.argpdot * atime;
            const double x2omi = xomi + xomi;
            const double x2li = xli + xli;
            xndt = rec.d2201 * std::sin(x2omi + xli - g22) + rec.d2211 * std::sin(xli - g22) +
                   rec.d3210 * std::sin(xomi + xli - g32) + rec.d3222 * std::sin(-xomi + xli - g32) +
                   rec.d4410 * std::sin(x2omi + x2li - g44) + rec.d4422 * std::sin(x2li - g44) +
                   rec.d5220 * std::sin(xomi + xli - g52) + rec.d5232 * std::sin(-xomi + xli - g52) +
                   rec.d5421 * std::sin(xomi + x2li - g54) + rec.d5433 * std::sin(-xomi + x2li - g54);
            xldot = xni + rec.xfact;
            xnddt = rec.d2201 * std::cos(x2omi + xli - g22) + rec.d2211 * std::cos(xli - g22) +
                    rec.d3210 * std::cos(xomi + xli - g32) + rec.d3222 * std::cos(-xomi + xli - g32) +
                    rec.d5220 * std::cos(xomi + xli - g52) + rec.d5232 * std::cos(-xomi + xli - g52) +
                    2.0 * (rec.d4410 * std::cos(x2omi + x2li - g44) + rec.d4422 * std::cos(x2li - g44) +
                           rec.d5421 * std::cos(xomi + x2li - g54) + rec.d5433 * std::cos(-xomi + x2li - g54));
            xnddt = xnddt * xldot;
        }
        if (std::fabs(t - atime) >= stepp) {
            // Euler-Maclaurin step of half a day.
            xli = xli + xldot * delt + xndt * step2;
            xni = xni + xndt * delt + xnddt * step2;
            atime = atime + delt;
        } else {
            ft = t - atime;
            break;
        }
    }
    if (cache != nullptr) *cache = ResonanceState{atime, xli, xni};
    nm = xni + xndt * ft + xnddt * ft * ft * 0.5;
    const double xl = xli + xldot * ft + xndt * ft * ft * 0.5;
    if (rec.resonance != 1)
        mm = xl - 2.0 * nodem + 2.0 * theta;
    else
        mm = xl - nodem - argpm + theta;
    nm = no + (nm - no);
}

namespace {

// Lunar-solar secular terms and the resonance integration to time t (DSPACE).
// Updates the mean elements in place; the integrator starts from the epoch.
void deep_space_secular(const Record& rec, double t, double& em, double& argpm, double& inclm, double& mm,
                        double& nodem, double& nm, ResonanceState* cache) {
    em = em + rec.dedt * t;
    inclm = inclm + rec.didt * t;
    argpm = argpm + rec.domdt * t;
    nodem = nodem + rec.dnodt * t;
    mm = mm + rec.dmdt * t;
    if (rec.resonance != 0) resonance_secular(rec, t, argpm, nodem, mm, nm, cache);
}

// Lunar-solar periodics applied to the elements at time t (DPPER).
void lunar_solar_periodics(const Record& rec, double t, double& ep, double& inclp, double& nodep, double& argpp,
                           double& mp) {
    const double zes = 0.01675, zel = 0.05490;
    double zm = rec.zmos + kZns * t;
    double zf = zm + 2.0 * zes * std::sin(zm);
    double sinzf = std::sin(zf);
    double f2 = 0.5 * sinzf * sinzf - 0.25;
    double f3 = -0.5 * sinzf * std::cos(zf);
    const double ses = rec.se2 * f2 + rec.se3 * f3;
    const double sis = rec.si2 * f2 + rec.si3 * f3;
    const double sls = rec.sl2 * f2 + rec.sl3 * f3 + rec.sl4 * sinzf;
    const double sghs = rec.sgh2 * f2 + rec.sgh3 * f3 + rec.sgh4 * sinzf;
    const double shs = rec.sh2 * f2 + rec.sh3 * f3;
    zm = rec.zmol + kZnl * t;
    zf = zm + 2.0 * zel * std::sin(zm);
    sinzf = std::sin(zf);
    f2 = 0.5 * sinzf * sinzf - 0.25;
    f3 = -0.5 * sinzf * std::cos(zf);
    const double sel = rec.ee2 * f2 + rec.e3 * f3;
    const double sil = rec.xi2 * f2 + rec.xi3 * f3;
    const double sll = rec.xl2 * f2 + rec.xl3 * f3 + rec.xl4 * sinzf;
    const double sghl = rec.xgh2 * f2 + rec.xgh3 * f3 + rec.xgh4 * sinzf;
    const double shll = rec.xh2 * f2 + rec.xh3 * f3;
    // The periodics at epoch are not subtracted (revised model).
    const double pe = ses + sel;
    const double pinc = sis + sil;
    const double pl = sls + sll;
    double pgh = sghs + sghl;
    double ph = shs + shll;

    inclp = inclp + pinc;
    ep = ep + pe;
    const double sinip = std::sin(inclp);
    const double cosip = std::cos(inclp);
    if (inclp >= 0.2) {
        ph = ph / sinip;
        pgh = pgh - cosip * ph;
        argpp = argpp + pgh;
        nodep = nodep + ph;
        mp = mp + pl;
    } else {
        // Lyddane's form for low inclinations, on the perturbed inclination.
        const double sinop = std::sin(nodep);
        const double cosop = std::cos(nodep);
        double alfdp = sinip * sinop;
        double betdp = sinip * cosop;
        const double dalf = ph * cosop + pinc * cosip * sinop;
        const double dbet = -ph * sinop + pinc * cosip * cosop;
        alfdp = alfdp + dalf;
        betdp = betdp + dbet;
        nodep = std::fmod(nodep, kTwoPi);
        if (nodep < 0.0 && rec.mode == Mode::afspc) nodep = nodep + kTwoPi;
        double xls = mp + argpp + cosip * nodep;
        const double dls = pl + pgh - pinc * nodep * sinip;
        xls = xls + dls;
        const double xnoh = nodep;
        nodep = std::atan2(alfdp, betdp);
        if (nodep < 0.0 && rec.mode == Mode::afspc) nodep = nodep + kTwoPi;
        if (std::fabs(xnoh - nodep) > kPi) {
            if (nodep < xnoh)
                nodep = nodep + kTwoPi;
            else
                nodep = nodep - kTwoPi;
        }
        mp = mp + pl;
        argpp = xls - mp - cosip * nodep;
    }
}

inline int fail(int code, double r[3], double v[3]) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (int k = 0; k < 3; ++k) r[k] = v[k] = nan;
    return code;
}

}  // namespace

GravityConstants gravity_constants(Gravity g) {
    // mu [km^3/s^2], equatorial radius [km], J2, J3, J4; WGS-72 as first published
    // keeps its rounded xke, the others derive it from mu and the radius.
    struct Model {
        double mu, radius_km, j2, j3, j4;
    };
    constexpr Model kWgs72{398600.8, 6378.135, 0.001082616, -0.00000253881, -0.00000165597};
    constexpr Model kWgs84{398600.5, 6378.137, 0.00108262998905, -0.00000253215306, -0.00000161098761};
    constexpr Model kWgs72Old{398600.79964, 6378.135, 0.001082616, -0.00000253881, -0.00000165597};
    const Model& model = g == Gravity::wgs84 ? kWgs84 : g == Gravity::wgs72 ? kWgs72 : kWgs72Old;
    GravityConstants c{};
    c.mu = model.mu;
    c.radius_km = model.radius_km;
    c.j2 = model.j2;
    c.j3 = model.j3;
    c.j4 = model.j4;
    c.xke = g == Gravity::wgs72old ? 0.0743669161
                                    : 60.0 / std::sqrt(c.radius_km * c.radius_km * c.radius_km / c.mu);
    c.tumin = 1.0 / c.xke;
    c.j3oj2 = c.j3 / c.j2;
    return c;
}

const char* error_text(int code) {
    switch (code) {
        case kOk: return "no error";
        case kMeanEccentricity: return "mean eccentricity out of range (error 1)";
        case kMeanMotion: return "mean motion not positive (error 2)";
        case kPerturbedEccentricity: return "perturbed eccentricity out of range (error 3)";
        case kSemiLatusRectum: return "semi-latus rectum negative (error 4)";
        case kDecayed: return "satellite has decayed (error 6)";
        default: return "unknown error";
    }
}

double jd_january_first(int year) {
    // Days from 2000 January 1 (JD 2451544.5) to January 1 of `year`.
    const long y = year - 1;
    const long days_before = 365L * y + y / 4 - y / 100 + y / 400;  // days from 0001-01-01, y >= 0
    const long y2000 = 1999;
    const long days_2000 = 365L * y2000 + y2000 / 4 - y2000 / 100 + y2000 / 400;
    return 2451544.5 + static_cast<double>(days_before - days_2000);
}

double epoch_days_1950(int year, double day_of_year) {
    const double jd = jd_january_first(year) - 1.0 + day_of_year;
    return jd - kJd1950;
}

int initialise(const MeanElements& el, Gravity g, Mode mode, Record& rec) {
    rec = Record{};
    rec.gc = gravity_constants(g);
    rec.mode = mode;
    const GravityConstants& gc = rec.gc;
    const double re = gc.radius_km, j2 = gc.j2, j4 = gc.j4, j3oj2 = gc.j3oj2;

    rec.bstar = el.bstar;
    rec.ecco = el.ecc;
    rec.inclo = el.inc;
    rec.nodeo = el.raan;
    rec.argpo = el.argp;
    rec.mo = el.mean_anomaly;
    rec.epoch_days_1950 = el.epoch_days_1950;

    // Drag model density constants: s = 78 km, q0 = 120 km above the surface.
    const double ss = 78.0 / re + 1.0;
    const double qzms2ttemp = (120.0 - 78.0) / re;
    const double qzms2t = qzms2ttemp * qzms2ttemp * qzms2ttemp * qzms2ttemp;

    // Recover the original (Brouwer) mean motion and semi-major axis from the
    // Kozai mean motion of the element set.
    const double ecco = rec.ecco;
    const double eccsq = ecco * ecco;
    const double omeosq = 1.0 - eccsq;
    const double rteosq = std::sqrt(omeosq);
    const double cosio = std::cos(rec.inclo);
    const double cosio2 = cosio * cosio;
    const double ak = std::pow(gc.xke / el.mean_motion, kTwoThirds);
    const double d1 = 0.75 * j2 * (3.0 * cosio2 - 1.0) / (rteosq * omeosq);
    double del = d1 / (ak * ak);
    const double adel = ak * (1.0 - del * del - del * (1.0 / 3.0 + 134.0 * del * del / 81.0));
    del = d1 / (adel * adel);
    rec.no_unkozai = el.mean_motion / (1.0 + del);
    const double no = rec.no_unkozai;
    const double ao = std::pow(gc.xke / no, kTwoThirds);
    rec.ao_unkozai = ao;
    const double sinio = std::sin(rec.inclo);
    rec.sinio = sinio;
    rec.cosio = cosio;
    const double po = ao * omeosq;
    const double con42 = 1.0 - 5.0 * cosio2;
    rec.con41 = -con42 - cosio2 - cosio2;
    const double posq = po * po;
    const double rp = ao * (1.0 - ecco);

    // Both modes take the sidereal time at epoch from the IAU 1982 expression, as
    // the revised model does (the 1970-based series of the old code is retired).
    rec.gsto = gmst1982(el.epoch_days_1950 + kJd1950);

    rec.simplified = rp < 220.0 / re + 1.0;
    double sfour = ss;
    double qzms24 = qzms2t;
    const double perige = (rp - 1.0) * re;
    // Perigees below 156 km: the density parameter s follows the perigee.
    if (perige < 156.0) {
        sfour = perige - 78.0;
        if (perige < 98.0) sfour = 20.0;
        const double qzms24temp = (120.0 - sfour) / re;
        qzms24 = qzms24temp * qzms24temp * qzms24temp * qzms24temp;
        sfour = sfour / re + 1.0;
    }
    const double pinvsq = 1.0 / posq;
    const double tsi = 1.0 / (ao - sfour);
    rec.eta = ao * ecco * tsi;
    const double eta = rec.eta;
    const double etasq = eta * eta;
    const double eeta = ecco * eta;
    const double psisq = std::fabs(1.0 - etasq);
    const double coef = qzms24 * std::pow(tsi, 4.0);
    const double coef1 = coef / std::pow(psisq, 3.5);
    const double cc2 = coef1 * no *
                       (ao * (1.0 + 1.5 * etasq + eeta * (4.0 + etasq)) +
                        0.375 * j2 * tsi / psisq * rec.con41 * (8.0 + 3.0 * etasq * (8.0 + etasq)));
    rec.cc1 = rec.bstar * cc2;
    double cc3 = 0.0;
    if (ecco > 1.0e-4) cc3 = -2.0 * coef * tsi * j3oj2 * no * sinio / ecco;
    rec.x1mth2 = 1.0 - cosio2;
    rec.cc4 = 2.0 * no * coef1 * ao * omeosq *
              (eta * (2.0 + 0.5 * etasq) + ecco * (0.5 + 2.0 * etasq) -
               j2 * tsi / (ao * psisq) *
                   (-3.0 * rec.con41 * (1.0 - 2.0 * eeta + etasq * (1.5 - 0.5 * eeta)) +
                    0.75 * rec.x1mth2 * (2.0 * etasq - eeta * (1.0 + etasq)) * std::cos(2.0 * rec.argpo)));
    rec.cc5 = 2.0 * coef1 * ao * omeosq * (1.0 + 2.75 * (etasq + eeta) + eeta * etasq);
    const double cosio4 = cosio2 * cosio2;
    const double temp1 = 1.5 * j2 * pinvsq * no;
    const double temp2 = 0.5 * temp1 * j2 * pinvsq;
    const double temp3 = -0.46875 * j4 * pinvsq * pinvsq * no;
    rec.mdot = no + 0.5 * temp1 * rteosq * rec.con41 + 0.0625 * temp2 * rteosq * (13.0 - 78.0 * cosio2 + 137.0 * cosio4);
    rec.argpdot = -0.5 * temp1 * con42 + 0.0625 * temp2 * (7.0 - 114.0 * cosio2 + 395.0 * cosio4) +
                  temp3 * (3.0 - 36.0 * cosio2 + 49.0 * cosio4);
    const double xhdot1 = -temp1 * cosio;
    rec.nodedot = xhdot1 + (0.5 * temp2 * (4.0 - 19.0 * cosio2) + 2.0 * temp3 * (3.0 - 7.0 * cosio2)) * cosio;
    rec.omgcof = rec.bstar * cc3 * std::cos(rec.argpo);
    rec.xmcof = 0.0;
    if (ecco > 1.0e-4) rec.xmcof = -kTwoThirds * coef * rec.bstar / eeta;
    rec.nodecf = 3.5 * omeosq * xhdot1 * rec.cc1;
    rec.t2cof = 1.5 * rec.cc1;
    if (std::fabs(cosio + 1.0) > kSmallOnePlusCos)
        rec.xlcof = -0.25 * j3oj2 * sinio * (3.0 + 5.0 * cosio) / (1.0 + cosio);
    else
        rec.xlcof = -0.25 * j3oj2 * sinio * (3.0 + 5.0 * cosio) / kSmallOnePlusCos;
    rec.aycof = -0.5 * j3oj2 * sinio;
    const double delmotemp = 1.0 + eta * std::cos(rec.mo);
    rec.delmo = delmotemp * delmotemp * delmotemp;
    rec.sinmao = std::sin(rec.mo);
    rec.x7thm1 = 7.0 * cosio2 - 1.0;

    rec.deep_space = (kTwoPi / no) >= 225.0;
    if (rec.deep_space) {
        rec.simplified = true;
        LunarSolar c;
        lunar_solar_common(el.epoch_days_1950, ecco, rec.argpo, 0.0, rec.inclo, rec.nodeo, no, rec, c);
        deep_space_init(c, eccsq, rec);
    }

    if (!rec.simplified) {
        const double cc1sq = rec.cc1 * rec.cc1;
        rec.d2 = 4.0 * ao * tsi * cc1sq;
        const double temp = rec.d2 * tsi * rec.cc1 / 3.0;
        rec.d3 = (17.0 * ao + sfour) * temp;
        rec.d4 = 0.5 * temp * ao * tsi * (221.0 * ao + 31.0 * sfour) * rec.cc1;
        rec.t3cof = rec.d2 + 2.0 * cc1sq;
        rec.t4cof = 0.25 * (3.0 * rec.d3 + rec.cc1 * (12.0 * rec.d2 + 10.0 * cc1sq));
        rec.t5cof = 0.2 * (3.0 * rec.d4 + 12.0 * rec.cc1 * rec.d3 + 6.0 * rec.d2 * rec.d2 +
                           15.0 * cc1sq * (2.0 * rec.d2 + cc1sq));
    }

    double r[3], v[3];
    return propagate(rec, 0.0, r, v);
}

int propagate(const Record& rec, double tsince, double r[3], double v[3], ResonanceState* cache) {
    const GravityConstants& gc = rec.gc;
    const double j2 = gc.j2, xke = gc.xke;
    const double vkmpersec = gc.radius_km * xke / 60.0;
    const double t = tsince;

    // Secular gravity and atmospheric drag.
    const double xmdf = rec.mo + rec.mdot * t;
    const double argpdf = rec.argpo + rec.argpdot * t;
    const double nodedf = rec.nodeo + rec.nodedot * t;
    double argpm = argpdf;
    double mm = xmdf;
    const double t2 = t * t;
    double nodem = nodedf + rec.nodecf * t2;
    double tempa = 1.0 - rec.cc1 * t;
    double tempe = rec.bstar * rec.cc4 * t;
    double templ = rec.t2cof * t2;
    if (!rec.simplified) {
        const double delomg = rec.omgcof * t;
        const double delmtemp = 1.0 + rec.eta * std::cos(xmdf);
        const double delm = rec.xmcof * (delmtemp * delmtemp * delmtemp - rec.delmo);
        const double temp = delomg + delm;
        mm = xmdf + temp;
        argpm = argpdf - temp;
        const double t3 = t2 * t;
        const double t4 = t3 * t;
        tempa = tempa - rec.d2 * t2 - rec.d3 * t3 - rec.d4 * t4;
        tempe = tempe + rec.bstar * rec.cc5 * (std::sin(mm) - rec.sinmao);
        templ = templ + rec.t3cof * t3 + t4 * (rec.t4cof + t * rec.t5cof);
    }

    double nm = rec.no_unkozai;
    double em = rec.ecco;
    double inclm = rec.inclo;
    if (rec.deep_space) deep_space_secular(rec, t, em, argpm, inclm, mm, nodem, nm, cache);

    if (nm <= 0.0) return fail(kMeanMotion, r, v);
    // Without resonance nm is the epoch value, whose power is kept in the record.
    const double am = (nm == rec.no_unkozai ? rec.ao_unkozai : std::pow(xke / nm, kTwoThirds)) * tempa * tempa;
    nm = xke / std::pow(am, 1.5);
    em = em - tempe;
    if (em >= 1.0 || em < -0.001) return fail(kMeanEccentricity, r, v);
    if (em < 1.0e-6) em = 1.0e-6;
    mm = mm + rec.no_unkozai * templ;
    double xlm = mm + argpm + nodem;

    nodem = std::fmod(nodem, kTwoPi);
    argpm = std::fmod(argpm, kTwoPi);
    xlm = std::fmod(xlm, kTwoPi);
    mm = std::fmod(xlm - argpm - nodem, kTwoPi);

    // The near-Earth inclination is the epoch value.
    const double sinim = rec.deep_space ? std::sin(inclm) : rec.sinio;
    const double cosim = rec.deep_space ? std::cos(inclm) : rec.cosio;

    // Lunar-solar periodics.
    double ep = em, xincp = inclm, argpp = argpm, nodep = nodem, mp = mm;
    double sinip = sinim, cosip = cosim;
    double aycof = rec.aycof, xlcof = rec.xlcof;
    double con41 = rec.con41, x1mth2 = rec.x1mth2, x7thm1 = rec.x7thm1;
    if (rec.deep_space) {
        lunar_solar_periodics(rec, t, ep, xincp, nodep, argpp, mp);
        if (xincp < 0.0) {
            xincp = -xincp;
            nodep = nodep + kPi;
            argpp = argpp - kPi;
        }
        if (ep < 0.0 || ep > 1.0) return fail(kPerturbedEccentricity, r, v);
        sinip = std::sin(xincp);
        cosip = std::cos(xincp);
        aycof = -0.5 * gc.j3oj2 * sinip;
        if (std::fabs(cosip + 1.0) > kSmallOnePlusCos)
            xlcof = -0.25 * gc.j3oj2 * sinip * (3.0 + 5.0 * cosip) / (1.0 + cosip);
        else
            xlcof = -0.25 * gc.j3oj2 * sinip * (3.0 + 5.0 * cosip) / kSmallOnePlusCos;
    }

    // Long-period periodics.
    const double axnl = ep * std::cos(argpp);
    double temp = 1.0 / (am * (1.0 - ep * ep));
    const double aynl = ep * std::sin(argpp) + temp * aycof;
    const double xl = mp + argpp + nodep + temp * xlcof * axnl;

    // Kepler's equation for E + omega, Newton steps limited to 0.95 rad.
    const double u = std::fmod(xl - nodep, kTwoPi);
    double eo1 = u, tem5 = 9999.9, sineo1 = 0.0, coseo1 = 0.0;
    for (int ktr = 1; std::fabs(tem5) >= 1.0e-12 && ktr <= 10; ++ktr) {
        sineo1 = std::sin(eo1);
        coseo1 = std::cos(eo1);
        tem5 = 1.0 - coseo1 * axnl - sineo1 * aynl;
        tem5 = (u - aynl * coseo1 + axnl * sineo1 - eo1) / tem5;
        if (std::fabs(tem5) >= 0.95) tem5 = tem5 > 0.0 ? 0.95 : -0.95;
        eo1 = eo1 + tem5;
    }

    // Short-period preliminaries.
    const double ecose = axnl * coseo1 + aynl * sineo1;
    const double esine = axnl * sineo1 - aynl * coseo1;
    const double el2 = axnl * axnl + aynl * aynl;
    const double pl = am * (1.0 - el2);
    if (pl < 0.0) return fail(kSemiLatusRectum, r, v);
    const double rl = am * (1.0 - ecose);
    const double rdotl = std::sqrt(am) * esine / rl;
    const double rvdotl = std::sqrt(pl) / rl;
    const double betal = std::sqrt(1.0 - el2);
    temp = esine / (1.0 + betal);
    const double sinu = am / rl * (sineo1 - aynl - axnl * temp);
    const double cosu = am / rl * (coseo1 - axnl + aynl * temp);
    double su = std::atan2(sinu, cosu);
    const double sin2u = (cosu + cosu) * sinu;
    const double cos2u = 1.0 - 2.0 * sinu * sinu;
    temp = 1.0 / pl;
    const double temp1 = 0.5 * j2 * temp;
    const double temp2 = temp1 * temp;

    // Short-period periodics.
    if (rec.deep_space) {
        const double cosisq = cosip * cosip;
        con41 = 3.0 * cosisq - 1.0;
        x1mth2 = 1.0 - cosisq;
        x7thm1 = 7.0 * cosisq - 1.0;
    }
    const double mrt = rl * (1.0 - 1.5 * temp2 * betal * con41) + 0.5 * temp1 * x1mth2 * cos2u;
    su = su - 0.25 * temp2 * x7thm1 * sin2u;
    const double xnode = nodep + 1.5 * temp2 * cosip * sin2u;
    const double xinc = xincp + 1.5 * temp2 * cosip * sinip * cos2u;
    const double mvt = rdotl - nm * temp1 * x1mth2 * sin2u / xke;
    const double rvdot = rvdotl + nm * temp1 * (x1mth2 * cos2u + 1.5 * con41) / xke;

    // Orientation vectors.
    const double sinsu = std::sin(su), cossu = std::cos(su);
    const double snod = std::sin(xnode), cnod = std::cos(xnode);
    const double sini = std::sin(xinc), cosi = std::cos(xinc);
    const double xmx = -snod * cosi;
    const double xmy = cnod * cosi;
    const double ux = xmx * sinsu + cnod * cossu;
    const double uy = xmy * sinsu + snod * cossu;
    const double uz = sini * sinsu;
    const double vx = xmx * cossu - cnod * sinsu;
    const double vy = xmy * cossu - snod * sinsu;
    const double vz = sini * cossu;

    if (mrt < 1.0) return fail(kDecayed, r, v);
    r[0] = (mrt * ux) * gc.radius_km;
    r[1] = (mrt * uy) * gc.radius_km;
    r[2] = (mrt * uz) * gc.radius_km;
    v[0] = (mvt * ux + rvdot * vx) * vkmpersec;
    v[1] = (mvt * uy + rvdot * vy) * vkmpersec;
    v[2] = (mvt * uz + rvdot * vz) * vkmpersec;
    return kOk;
}

void j2_acceleration(double mu, double radius, double j2, const double r[3], double a[3]) {
    const double r2 = r[0] * r[0] + r[1] * r[1] + r[2] * r[2];
    const double rn = std::sqrt(r2);
    const double r3 = r2 * rn, r5 = r3 * r2;
    const double zz = r[2] * r[2] / r2;
    const double k = -1.5 * j2 * mu * radius * radius / r5;
    a[0] = -mu * r[0] / r3 + k * r[0] * (1.0 - 5.0 * zz);
    a[1] = -mu * r[1] / r3 + k * r[1] * (1.0 - 5.0 * zz);
    a[2] = -mu * r[2] / r3 + k * r[2] * (3.0 - 5.0 * zz);
}

void j2_gravity_gradient(double mu, double radius, double j2, const double r[3], double out[9]) {
    const double r2 = r[0] * r[0] + r[1] * r[1] + r[2] * r[2];
    const double rn = std::sqrt(r2);
    const double r3 = r2 * rn, r5 = r3 * r2, r7 = r5 * r2, r9 = r7 * r2;
    const double z = r[2], z2 = z * z;
    // Point mass: mu (3 r r^T - r^2 I) / r^5.
    // J2: a_i = k (c_i x_i / r^5 - 5 z^2 x_i / r^7), k = -3/2 J2 mu R^2, c = (1, 1, 3).
    const double k = -1.5 * j2 * mu * radius * radius;
    const double c[3] = {1.0, 1.0, 3.0};
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            const double dij = i == j ? 1.0 : 0.0;
            const double djz = j == 2 ? 1.0 : 0.0;
            const double point = mu * (3.0 * r[i] * r[j] - r2 * dij) / r5;
            const double zonal = k * (c[i] * dij / r5 - 5.0 * c[i] * r[i] * r[j] / r7 - 10.0 * z * djz * r[i] / r7 -
                                      5.0 * z2 * dij / r7 + 35.0 * z2 * r[i] * r[j] / r9);
            out[3 * i + j] = point + zonal;
        }
    }
}

}  // namespace astrovia::sgp4
