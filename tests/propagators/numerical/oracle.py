"""Equations of motion assembled from independent parts, for scipy's DOP853.

Gravity: heyoka's EGM2008 (``heyoka.model.egm2008_acc`` compiled with
``heyoka.cfunc``) in the ITRF; the GCRF->ITRF chain from pyerfa (IAU 2000A X, Y,
s from ``erfa.xys00a`` at 10-minute nodes, splined; Earth rotation angle, TIO
locator and polar motion evaluated exactly at every call) with the package's
Earth-orientation series as data; the Sun and the Moon from pyerfa's series:
geometric for their attraction, the light-time corrected Sun for the shadow and
the radiation pressure; exponential drag with pyerfa's geodetic height; the
conical shadow written here from its geometry.
"""

from __future__ import annotations

import math

import erfa
import numpy as np
from scipy.integrate import solve_ivp
from scipy.interpolate import CubicSpline

AU = 1.495978707e11
C_LIGHT = 299792458.0
OMEGA = 7.292115146706798e-5
SUN_RADIUS = 6.957e8
EARTH_RADIUS = 6378137.0
P_SUN = 4.56e-6


class Oracle:
    def __init__(self, t0, span, *, degree=20, sun=False, moon=False, drag=None, srp=None, gm_sun=1.32712440018e20,
                 gm_moon=4.9028e12):
        import heyoka as hy

        from astrovia.iers import EOP
        from astrovia.time.time import Time

        x, y, z = hy.make_vars("x", "y", "z")
        self.gravity = hy.cfunc(hy.model.egm2008_acc([x, y, z], degree, degree), [x, y, z])
        self.sun, self.moon, self.drag, self.srp = sun, moon, drag, srp
        self.gm_sun, self.gm_moon = gm_sun, gm_moon
        step = 600.0
        grid = np.arange(-2 * step, span + 3 * step, step)
        times = Time(np.int64(t0.int64) + (grid * 1e9).astype(np.int64))
        tt = times.tt.jd12.reshape(-1, 2)
        self.tt1 = float(tt[0, 0])
        self.tt2_0 = float(tt[0, 1]) - grid[0] / 86400.0  # TT at t = 0 is tt1 + tt2_0
        ut1 = times.ut1.jd12.reshape(-1, 2)
        self.ut1_minus_tt = CubicSpline(grid, ((ut1[:, 0] - tt[:, 0]) + (ut1[:, 1] - tt[:, 1])) * 86400.0)
        eop = EOP(times.utc.mjd)
        self.grid = grid
        self.eop = {k: np.asarray(getattr(eop, k)) for k in ("pm_x", "pm_y", "dX", "dY", "lod")}
        xys = np.array([erfa.xys00a(a, b) for a, b in tt])
        self.xys = [CubicSpline(grid, xys[:, k]) for k in range(3)]
        moon = np.array([erfa.moon98(a, b)["p"] for a, b in tt]) * AU
        pvh, pvb = erfa.epv00(tt[:, 0], tt[:, 1])
        sun_geo = -pvh["p"] * AU
        sun_app = np.array([self._sun_apparent(a, b) for a, b in tt])
        self.moon_pos = CubicSpline(grid, moon)
        self.sun_pos = CubicSpline(grid, sun_geo)
        self.sun_app = CubicSpline(grid, sun_app)

    @staticmethod
    def _sun_apparent(tt1, tt2):
        pvh, pvb = erfa.epv00(tt1, tt2)
        sun_b, sun_v = pvb["p"] - pvh["p"], pvb["v"] - pvh["v"]
        tau = 0.0
        for _ in range(4):
            p = sun_b - sun_v * tau - pvb["p"]
            tau = np.linalg.norm(p) * AU / C_LIGHT / 86400.0
        return (sun_b - sun_v * tau - pvb["p"]) * AU

    def rotation(self, t):
        """GCRF->ITRF matrix and the Earth's rotation rate at t [s of TT from the start]."""
        e = {k: np.interp(t, self.grid, v) for k, v in self.eop.items()}
        x, y, s = (f(t) for f in self.xys)
        c = erfa.c2ixys(x + e["dX"], y + e["dY"], s)
        tt2 = self.tt2_0 + t / 86400.0
        ut2 = tt2 + float(self.ut1_minus_tt(t)) / 86400.0
        era = erfa.era00(self.tt1, ut2)
        w = erfa.pom00(e["pm_x"], e["pm_y"], erfa.sp00(self.tt1, tt2))
        return w @ erfa.rz(era, c), OMEGA * (1.0 - e["lod"] / 86400.0)

    @staticmethod
    def visible_fraction(r, s):
        d = s - r
        a = math.asin(SUN_RADIUS / np.linalg.norm(d))
        b = math.asin(EARTH_RADIUS / np.linalg.norm(r))
        c = math.acos(np.clip(-np.dot(r, d) / (np.linalg.norm(r) * np.linalg.norm(d)), -1.0, 1.0))
        if c >= a + b:
            return 1.0
        if c <= b - a:
            return 0.0
        x = (c * c + a * a - b * b) / (2 * c)
        yy = math.sqrt(max(a * a - x * x, 0.0))
        area = a * a * math.acos(x / a) + b * b * math.acos((c - x) / b) - c * yy
        return 1.0 - area / (math.pi * a * a)

    def acceleration(self, t, r, v):
        q, omega = self.rotation(t)
        ri = q @ r
        a = q.T @ np.asarray(self.gravity(ri), dtype=float)
        for on, gm, body in ((self.sun, self.gm_sun, self.sun_pos), (self.moon, self.gm_moon, self.moon_pos)):
            if on:
                s = body(t)
                d = s - r
                a += gm * (d / np.linalg.norm(d) ** 3 - s / np.linalg.norm(s) ** 3)
        if self.drag is not None:
            cd_am, rho0, h0, scale = self.drag
            w = q.T @ np.array([0.0, 0.0, omega])
            u = v - np.cross(w, r)
            h = erfa.gc2gd(1, ri)[2]
            rho = rho0 * math.exp(-(h - h0) / scale)
            a += -0.5 * cd_am * rho * np.linalg.norm(u) * u
        if self.srp is not None:
            s = self.sun_app(t)
            nu = self.visible_fraction(r, s)
            d = r - s
            dn = np.linalg.norm(d)
            a += nu * P_SUN * self.srp * (AU / dn) ** 2 * d / dn
        return a

    def shadow_angles(self, t, r):
        """(sun, earth, separation): the apparent radii of the discs and the angle between their centres."""
        d = self.sun_app(t) - r
        a = math.asin(SUN_RADIUS / np.linalg.norm(d))
        b = math.asin(EARTH_RADIUS / np.linalg.norm(r))
        c = math.acos(np.clip(-np.dot(r, d) / (np.linalg.norm(r) * np.linalg.norm(d)), -1.0, 1.0))
        return a, b, c

    def integrate(self, r0, v0, t_eval, rtol=1e-13):
        """DOP853 to the times t_eval; with radiation pressure, restarted at every shadow boundary (where the
        force has a kink that an integrator stepping over it resolves poorly)."""
        def f(t, y):
            return np.concatenate([y[3:], self.acceleration(t, y[:3], y[3:])])

        t_end = float(t_eval[-1])
        y0 = np.concatenate([r0, v0])
        cuts = [0.0, t_end]
        if self.srp is not None:
            # A first pass finds the boundaries; the second integrates from one to the next, each stretch
            # ending on a boundary exactly (the dense output of a step across one would not be exact).
            def penumbra(t, y):
                a, b, c = self.shadow_angles(t, y[:3])
                return c - (a + b)

            def umbra(t, y):
                a, b, c = self.shadow_angles(t, y[:3])
                return c - (b - a)

            first = solve_ivp(f, (0.0, t_end), y0, method="DOP853", rtol=rtol, atol=1e-9, events=[penumbra, umbra])
            assert first.success, first.message
            cuts = sorted({0.0, t_end, *[float(t) for ev in first.t_events for t in ev if 0.0 < t < t_end]})
        out = np.full((len(t_eval), 6), np.nan)
        y = y0
        for a, b in zip(cuts[:-1], cuts[1:]):
            sol = solve_ivp(f, (a, b), y, method="DOP853", rtol=rtol, atol=1e-9, dense_output=True)
            assert sol.success, sol.message
            sel = (t_eval >= a) & (t_eval <= b)
            if sel.any():
                out[sel] = sol.sol(t_eval[sel]).T
            y = sol.y[:, -1]
        return out[:, :3], out[:, 3:]
