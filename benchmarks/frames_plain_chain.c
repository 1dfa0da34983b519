/* Reference timings for benchmarks/frames.py: the celestial chains as plain C loops
 * over ERFA, without Python around them. Prints ns per epoch:
 *   pnm00a <ns>   (eraPnm00a alone)
 *   gcrf <ns>     (the whole GCRF-to-ITRF chain and state transform)
 *   teme <ns>     (the whole TEME-to-ITRF chain and state transform)
 * usage: frames_plain_chain N_GCRF N_TEME */
#include <erfa.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

static double now(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + 1e-9 * ts.tv_nsec;
}

static void mv(double m[3][3], const double p[3], double o[3]) {
    for (int i = 0; i < 3; ++i) o[i] = m[i][0] * p[0] + m[i][1] * p[1] + m[i][2] * p[2];
}

int main(int argc, char** argv) {
    int ng = argc > 1 ? atoi(argv[1]) : 20000, nt = argc > 2 ? atoi(argv[2]) : 1000000;
    const double om = 7.292115146706798e-5;
    double sink = 0.0, r[3] = {7e6, 1e5, 2e5}, v[3] = {10.0, 7.5e3, 1.0}, ro[3], vo[3], p[3], q[3], u[3];
    double m[3][3], c[3][3], rc[3][3], w[3][3], qq[3][3], x, y;

    double t0 = now();
    for (int i = 0; i < ng; ++i) {
        eraPnm00a(2451545.0, 8000.0 * i / ng, m);
        sink += m[2][0];
    }
    printf("pnm00a %.1f\n", (now() - t0) / ng * 1e9);

    t0 = now();
    for (int i = 0; i < ng; ++i) {
        double d = 8000.0 * i / ng;
        eraPnm00a(2451545.0, d, m);
        eraBpn2xy(m, &x, &y);
        double s = eraS00(2451545.0, d, x, y);
        eraC2ixys(x + 1e-10, y - 1e-10, s, c);
        eraCr(c, rc);
        eraRz(eraEra00(2451545.0, d - 8e-4), rc);
        eraPom00(1e-6, 2e-6, eraSp00(2451545.0, d), w);
        eraRxr(w, rc, qq);
        mv(qq, r, ro);
        mv(rc, r, p);
        double op[3] = {-om * p[1], om * p[0], 0.0};
        mv(qq, v, q);
        mv(w, op, u);
        for (int k = 0; k < 3; ++k) vo[k] = q[k] - u[k];
        sink += ro[0] + vo[1];
    }
    printf("gcrf %.1f\n", (now() - t0) / ng * 1e9);

    t0 = now();
    for (int i = 0; i < nt; ++i) {
        double d = 8000.0 * i / nt;
        eraIr(m);
        eraRz(eraGmst82(2451545.0, d), m);
        eraPom00(1e-6 + 1e-12 * i, 2e-6, 0.0, w);
        mv(m, r, p);
        mv(w, p, ro);
        mv(m, v, q);
        u[0] = q[0] + om * p[1];
        u[1] = q[1] - om * p[0];
        u[2] = q[2];
        mv(w, u, vo);
        sink += ro[0] + vo[1];
    }
    printf("teme %.1f\n", (now() - t0) / nt * 1e9);
    return sink == 12345.0;
}
