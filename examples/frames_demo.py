"""Earth frame conversions: a GCRF state to ITRF and back, and a TEME state to ITRF."""

import numpy as np
import numpy.typing as npt

from astrovia.frames import geocentric
from astrovia.time.time import Time


def show(label: str, r: npt.NDArray[np.float64], v: npt.NDArray[np.float64]) -> None:
    print(f"  {label:<14} r = [{r[0, 0] / 1e3:13.6f} {r[0, 1] / 1e3:13.6f} {r[0, 2] / 1e3:13.6f}] km"
          f"   v = [{v[0, 0]:10.6f} {v[0, 1]:10.6f} {v[0, 2]:10.6f}] m/s")


def main() -> None:
    t = Time("2024-03-20T03:06:00")
    print(f"Frame conversions at {t.utc!r}")

    r_gcrf = np.array([[6524834.0, 6862875.0, 6448296.0]])
    v_gcrf = np.array([[4901.327, 5533.756, -1976.341]])
    r_itrf, v_itrf = geocentric.ITRF_from_GCRF(t, r_gcrf, v_gcrf)
    r_back, v_back = geocentric.GCRF_from_ITRF(t, r_itrf, v_itrf)
    show("GCRF", r_gcrf, v_gcrf)
    show("-> ITRF", r_itrf, v_itrf)
    show("-> GCRF again", r_back, v_back)
    print(f"  round trip: |dr| = {np.linalg.norm(r_back - r_gcrf):.1e} m, |dv| = {np.linalg.norm(v_back - v_gcrf):.1e} m/s")

    # A TEME state as SGP4 gives it (ISS-like orbit).
    r_teme = np.array([[-4231318.0, 3461247.0, 3945522.0]])
    v_teme = np.array([[-2897.219, -6446.613, 2511.893]])
    r_itrf, v_itrf = geocentric.ITRF_from_TEME(t, r_teme, v_teme)
    show("TEME", r_teme, v_teme)
    show("-> ITRF", r_itrf, v_itrf)


if __name__ == "__main__":
    main()
