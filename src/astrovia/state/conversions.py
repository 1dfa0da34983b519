"""Vectorised conversions between Cartesian states, classical elements and
geodetic coordinates. Every function takes and returns float64 arrays with one
epoch per row (or per element); scalars are arrays of one.

Element conventions, so that circular and equatorial orbits convert both ways
without loss: the node line is the x axis when the orbit is equatorial
(``raa`` = 0), and the perigee is the node when the orbit is circular
(``arp`` = 0); ``tra`` is then measured from there (argument of latitude, true
longitude). Angles are in [0, 2 pi), ``inc`` in [0, pi].
"""

import numpy as np
import numpy.typing as npt

_F64 = npt.NDArray[np.float64]

_TWO_PI = 2.0 * np.pi
# below these the node line or the perigee is undefined (relative to |h| and to e = 1)
_NODE_TINY = 1e-15
_ECC_TINY = 1e-15


def _angle(a: _F64) -> _F64:
    a = np.mod(a, _TWO_PI)
    return np.where(a >= _TWO_PI, 0.0, a)


def coe_from_sv(r: npt.ArrayLike, v: npt.ArrayLike, GM: float) -> dict[str, _F64]:
    """Classical elements of (N, 3) positions [m] and velocities [m/s].

    Returns a dict of (N,) arrays: sma, ecc, inc, raa, arp, tra, slr.
    """
    r = np.asarray(r, dtype=np.float64).reshape(-1, 3)
    v = np.asarray(v, dtype=np.float64).reshape(-1, 3)
    rn = np.linalg.norm(r, axis=1)
    v2 = np.einsum("ij,ij->i", v, v)
    rv = np.einsum("ij,ij->i", r, v)
    h = np.cross(r, v)
    hn = np.linalg.norm(h, axis=1)
    if np.any(hn == 0.0):
        raise ValueError("the state has no angular momentum (r and v are parallel): no orbit plane")
    w = h / hn[:, None]
    inc = np.arctan2(np.hypot(h[:, 0], h[:, 1]), h[:, 2])
    node = np.hypot(h[:, 0], h[:, 1]) > _NODE_TINY * hn
    raa = np.where(node, _angle(np.arctan2(h[:, 0], -h[:, 1])), 0.0)
    n_hat = np.stack([np.cos(raa), np.sin(raa), np.zeros_like(raa)], axis=1)
    q_hat = np.cross(w, n_hat)
    e_vec = ((v2 - GM / rn)[:, None] * r - rv[:, None] * v) / GM
    e_p = np.einsum("ij,ij->i", e_vec, n_hat)
    e_q = np.einsum("ij,ij->i", e_vec, q_hat)
    ecc = np.hypot(e_p, e_q)
    arp = np.where(ecc > _ECC_TINY, _angle(np.arctan2(e_q, e_p)), 0.0)
    u = np.arctan2(np.einsum("ij,ij->i", r, q_hat), np.einsum("ij,ij->i", r, n_hat))
    tra = _angle(u - arp)
    slr = hn * hn / GM
    sma = 1.0 / (2.0 / rn - v2 / GM)
    return {"sma": sma, "ecc": ecc, "inc": inc, "raa": raa, "arp": arp, "tra": tra, "slr": slr}


def sv_from_coe(slr: npt.ArrayLike, ecc: npt.ArrayLike, inc: npt.ArrayLike, raa: npt.ArrayLike,
                arp: npt.ArrayLike, tra: npt.ArrayLike, GM: float) -> tuple[_F64, _F64]:
    """(N, 3) positions [m] and velocities [m/s] from elements (arrays or floats).

    The semi-latus rectum ``slr`` is used rather than ``sma`` so that the conversion
    holds for every eccentricity.
    """
    slr, ecc, inc, raa, arp, tra = (np.atleast_1d(np.asarray(x, dtype=np.float64)) for x in (slr, ecc, inc, raa, arp, tra))
    u = arp + tra
    cu, su = np.cos(u), np.sin(u)
    co, so = np.cos(raa), np.sin(raa)
    ci, si = np.cos(inc), np.sin(inc)
    # node direction N and its in-plane normal Q = W x N
    n_hat = np.stack([co, so, np.zeros_like(co)], axis=-1)
    q_hat = np.stack([-ci * so, ci * co, si], axis=-1)
    rad = slr / (1.0 + ecc * np.cos(tra))
    k = np.sqrt(GM / slr)
    r = rad[:, None] * (cu[:, None] * n_hat + su[:, None] * q_hat)
    a_n = -k * (su + ecc * np.sin(arp))
    a_q = k * (cu + ecc * np.cos(arp))
    v = a_n[:, None] * n_hat + a_q[:, None] * q_hat
    return r, v


def ecef_from_geodetic(lat: npt.ArrayLike, lon: npt.ArrayLike, alt: npt.ArrayLike, a: float, f: float) -> _F64:
    """(N, 3) Earth-fixed positions [m] of geodetic latitude, longitude [rad], altitude [m]
    (the geodetic module's native kernel)."""
    from astrovia.frames import _geodetic

    lat, lon, alt = np.broadcast_arrays(*(np.atleast_1d(np.asarray(x, dtype=np.float64)) for x in (lat, lon, alt)))
    rows = np.stack([lat.reshape(-1), lon.reshape(-1), alt.reshape(-1)], axis=1)
    return _geodetic.itrf_rows(rows, float(a), float(f)).reshape(lat.shape + (3,))
