"""Two-body propagation and its Jacobian against NumPy-vectorised equivalents.

    python benchmarks/propagation.py [N]

Times, in one process, median of 7 repeats:
- Keplerian().propagate_state over N epochs (default 1e6), end to end, against a
  NumPy two-body propagator (mean anomaly, vectorised Newton iterations, perifocal
  rotation);
- the native true-anomaly loop alone (Keplerian._propagate_tra);
- Keplerian().jacobian of an N-epoch ephemeris against an einsum construction.
Prints one line per figure with the ratio (project / baseline time).
"""

import sys

from _common import timings

import numpy as np

from astrovia.propagators.analytical.keplerian.keplerian import Keplerian
from astrovia.state.ephemeris import StateVectorEphemeris
from astrovia.state.state import COE
from astrovia.time.time import Time

REPEATS = 7


def median_time(fn):
    return timings(fn, repeats=REPEATS).wall[0]


def numpy_two_body(dt, gm, sma, ecc, inc, raa, arp, tra0):
    """Positions and velocities (N, 3) of a two-body orbit, NumPy only."""
    n = np.sqrt(gm / sma**3)
    e0 = 2.0 * np.arctan(np.sqrt((1.0 - ecc) / (1.0 + ecc)) * np.tan(tra0 / 2.0))
    m = n * dt + (e0 - ecc * np.sin(e0))
    e = m + ecc * np.sin(m)  # a good start for moderate eccentricities
    for _ in range(20):
        de = (e - ecc * np.sin(e) - m) / (1.0 - ecc * np.cos(e))
        e -= de
        if np.max(np.abs(de)) < 1e-13:
            break
    c, s = np.cos(e), np.sin(e)
    beta = np.sqrt(1.0 - ecc * ecc)
    rdot = np.sqrt(gm * sma) / (sma * (1.0 - ecc * c))
    xp, yp = sma * (c - ecc), sma * beta * s
    vxp, vyp = -rdot * s, rdot * beta * c
    co, so, ci, si, cw, sw = np.cos(raa), np.sin(raa), np.cos(inc), np.sin(inc), np.cos(arp), np.sin(arp)
    p_hat = np.array([co * cw - so * ci * sw, so * cw + co * ci * sw, si * sw])
    q_hat = np.array([-co * sw - so * ci * cw, -so * sw + co * ci * cw, si * cw])
    r = xp[:, None] * p_hat + yp[:, None] * q_hat
    v = vxp[:, None] * p_hat + vyp[:, None] * q_hat
    return r, v


def numpy_jacobian(r, gm):
    rho2 = np.einsum("ij,ij->i", r, r)
    f = gm / (np.sqrt(rho2) * rho2 * rho2)
    g = 3.0 * np.einsum("ni,nj->nij", r, r)
    g[:, [0, 1, 2], [0, 1, 2]] -= rho2[:, None]
    g *= f[:, None, None]
    jac = np.zeros((len(r), 6, 6))
    jac[:, [0, 1, 2], [3, 4, 5]] = 1.0
    jac[:, 3:, :3] = g
    return jac


def main():
    n = int(float(sys.argv[1])) if len(sys.argv) > 1 else 1_000_000
    k = Keplerian()
    t0 = Time("2024-01-01T00:00:00")
    elements = dict(sma=7.2e6, ecc=0.1, inc=0.9, raa=0.4, arp=1.1, tra=0.3)
    state = COE(t0, **elements)
    dt = np.linspace(0.0, 10 * 86400.0, n)
    times = t0 + dt
    dt_seconds = times - t0

    # the two routes agree before they are timed
    eph = k.propagate_state(times, state)
    r_np, v_np = numpy_two_body(dt_seconds, k.GM, **{"tra0" if key == "tra" else key: v for key, v in elements.items()})
    err = np.max(np.linalg.norm(eph.r - r_np, axis=1))
    assert err < 1e-3, f"Keplerian and the NumPy propagator differ by {err} m"

    t_kep = median_time(lambda: k.propagate_state(times, state))
    t_np = median_time(lambda: numpy_two_body(dt_seconds, k.GM, elements["sma"], elements["ecc"], elements["inc"],
                                              elements["raa"], elements["arp"], elements["tra"]))
    print(f"propagate_state, {n} epochs: Keplerian {t_kep * 1e9 / n:.1f} ns/epoch, NumPy {t_np * 1e9 / n:.1f} "
          f"ns/epoch, ratio {t_kep / t_np:.3f} (at most 1.0 wanted)")

    mean_motion = np.sqrt(k.GM / elements["sma"] ** 3)
    t_loop = median_time(lambda: k._propagate_tra(dt_seconds, elements["tra"], elements["ecc"], mean_motion))
    print(f"native true-anomaly loop alone, {n} epochs: {t_loop * 1e9 / n:.1f} ns/epoch")

    t_jac = median_time(lambda: k.jacobian(eph))
    t_jnp = median_time(lambda: numpy_jacobian(eph.r, k.GM))
    jac_np = numpy_jacobian(eph.r, k.GM)
    assert np.allclose(k.jacobian(eph), jac_np, rtol=0.0, atol=1e-12 * np.max(np.abs(jac_np[:, 3:, :3])))
    print(f"jacobian, {n} epochs: Keplerian {t_jac * 1e3:.1f} ms, NumPy einsum {t_jnp * 1e3:.1f} ms, "
          f"speed-up {t_jnp / t_jac:.2f} (at least 5 wanted)")
    print(f"numpy {np.__version__}")


if __name__ == "__main__":
    main()
