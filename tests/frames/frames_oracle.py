"""Helpers of the frame-conversion tests: epochs, states, Earth-orientation overrides, and the
celestial-to-terrestrial chains rebuilt from pyerfa calls as the oracle."""

from types import SimpleNamespace

import erfa
import numpy as np

from astrovia.iers import EOP
from astrovia.time.time import Time

OMEGA0 = 7.292115146706798e-5  # rad/s


def epochs(n, start=51544.0, stop=61000.0):
    """A Time of n UTC epochs spread over 2000..2025 (inside the IERS series)."""
    return Time(np.linspace(start, stop, n) + 0.123456789, format="mjd")


def states(n, seed=0, radius=7.0e6, speed=7.5e3):
    """n positions of length `radius` and velocities of length `speed`, random directions."""
    rng = np.random.default_rng(seed)
    r = rng.normal(size=(n, 3))
    v = rng.normal(size=(n, 3))
    r *= radius / np.linalg.norm(r, axis=1, keepdims=True)
    v *= speed / np.linalg.norm(v, axis=1, keepdims=True)
    return r, v


class EOPOverride:
    """Stands in for the module's EOP: counts calls, returns the real values with some fields
    replaced (a field given as a float or an array, or a callable of the real array)."""

    def __init__(self, **fields):
        self.fields = fields
        self.calls = 0

    def __call__(self, mjd):
        self.calls += 1
        real = EOP(mjd)
        out = SimpleNamespace(**{k: getattr(real, k) for k in ("pm_x", "pm_y", "dX", "dY", "lod", "dut1")})
        for k, val in self.fields.items():
            base = getattr(real, k)
            val = val(base) if callable(val) else val
            setattr(out, k, np.array(np.broadcast_to(val, base.shape) if np.ndim(val) == 0 else val, dtype=float))
        return out


def inputs(time, eop=None):
    """The per-epoch inputs as the modules must gather them."""
    e = (eop or EOP)(time.utc.mjd)
    tt = time.tt.jd12.reshape(-1, 2)
    ut1 = time.ut1.jd12.reshape(-1, 2)
    return SimpleNamespace(tt1=tt[:, 0], tt2=tt[:, 1], ut1a=ut1[:, 0], ut1b=ut1[:, 1], xp=e.pm_x, yp=e.pm_y,
                           dX=e.dX, dY=e.dY, lod=e.lod)


def gcrf_chain(p, s_with_offsets=False):
    """(RC, W, Q) per epoch through pyerfa: IAU 2000A, CIO locator of the model pole, offsets in C."""
    rbpn = erfa.pnm00a(p.tt1, p.tt2)
    x, y = erfa.bpn2xy(rbpn)
    s = erfa.s00(p.tt1, p.tt2, x + p.dX, y + p.dY) if s_with_offsets else erfa.s00(p.tt1, p.tt2, x, y)
    c = erfa.c2ixys(x + p.dX, y + p.dY, s)
    rc = erfa.rz(erfa.era00(p.ut1a, p.ut1b), c)
    w = erfa.pom00(p.xp, p.yp, erfa.sp00(p.tt1, p.tt2))
    return rc, w, erfa.rxr(w, rc)


def teme_chain(p):
    """(G, W0) per epoch through pyerfa: GMST 1982 and polar motion without s'."""
    g = erfa.rz(erfa.gmst82(p.ut1a, p.ut1b), np.broadcast_to(np.eye(3), (p.ut1a.size, 3, 3)))
    return g, erfa.pom00(p.xp, p.yp, np.zeros_like(p.xp))


def matrices_of(convert, time, n):
    """The per-epoch matrix M with r_out = M r_in, read from a conversion of unit vectors
    (products with 1 and 0 are exact, so the columns come out unrounded)."""
    cols = []
    for k in range(3):
        r = np.zeros((n, 3))
        r[:, k] = 1.0
        cols.append(convert(time, r, np.zeros((n, 3)))[0])
    return np.stack(cols, axis=2)


def mv(m, x):
    return np.einsum("nij,nj->ni", m, x)


def cross_z(omega, p):
    """(0, 0, omega) x p, per row."""
    return np.stack([-omega * p[:, 1], omega * p[:, 0], np.zeros(len(p))], axis=1)
