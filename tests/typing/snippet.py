"""Uses every public class and function of the package with full annotations.

Checked with ``mypy --strict`` by tests/typing/test_mypy.py (it is not collected by pytest).
"""

from __future__ import annotations

import numpy as np
import numpy.typing as npt

import astrovia
from astrovia.bodies.bodies import Earth
from astrovia.datamodel.structured import COE_dt, LLA_dtype
from astrovia.frames import geocentric, rotations
from astrovia.frames.frames import GCRF, ITRF, TEME, Frame
from astrovia.iers import EOP
from astrovia.mathtools.ellipsoid.ellipsoid import WGS84, Ellipsoid
from astrovia.mathtools.misc import atan2_asymmetric
from astrovia.propagators.analytical.keplerian.keplerian import Keplerian
from astrovia.propagators.analytical.sgp4.sgp4 import SGP4
from astrovia.propagators.analytical.sgp4.tle import ELSET, TLE, TLEReadError, read_elsets, read_omm, read_tles, write_tles
from astrovia.propagators.propagators import Propagator
from astrovia.satellite.satellite import Satellite
from astrovia.state.coe import eca_from_mea
from astrovia.state.ephemeris import COEEphemeris, GeoStateEphemeris, StateVectorEphemeris
from astrovia.state.state import COE, GeoState, State, StateVector
from astrovia.time.time import Time
from astrovia.units.units import deg, km
from astrovia.utils.representable import Representable

F64 = npt.NDArray[np.float64]

LINE1 = "1 25544U 98067A   24001.51258435  .00016717  00000-0  30270-3 0  9986"
LINE2 = "2 25544  51.6416 247.4627 0006703 130.5360 325.0288 15.50103472433265"


def epochs() -> Time:
    t: Time = astrovia.Time(["2024-03-20T03:06", "2024-03-20T04:06"])
    return t


def states(t: Time) -> tuple[StateVector, COE, GeoState]:
    sv = StateVector(t[0], [6524834.0, 6862875.0, 6448296.0], [4901.327, 5533.756, -1976.341], frame=GCRF)
    r: F64 = sv.r
    coe: COE = sv.to_coe()
    sma: float = coe.sma + coe.slr + r[0]
    geo = GeoState(t[0], 45.0 * deg, 7.0 * deg, 400.0, ellipsoid=WGS84)
    assert sma > 0.0 and isinstance(geo.to_sv(), State)
    return sv, coe, geo


def frames(t: Time) -> F64:
    r = np.zeros((t.size, 3))
    r_itrf, v_itrf = geocentric.ITRF_from_GCRF(t, r, r)
    r_teme, _ = geocentric.TEME_from_ITRF(t, r_itrf, v_itrf)
    rot: F64 = rotations.rot_ITRF_from_GCRF(t)
    frame: Frame = TEME if r_teme.size else ITRF
    assert frame.name
    eop = EOP(t.utc.mjd)
    moved: F64 = rot @ r[0] + eop.pm_x[0]
    return moved


def elements() -> tuple[TLE, ELSET]:
    tle = TLE(LINE1, LINE2)
    history = ELSET(tle, satname="ISS (ZARYA)")
    first: TLE = history[0]
    inc: float = tle.inc + first.sma / km
    assert inc > 0.0 and str(tle)
    return tle, history


def catalogue(t: Time) -> F64:
    tles: list[TLE] = read_tles("examples/data/sample.tle")
    by_number = read_elsets("examples/data/sample.tle")
    history: ELSET = by_number[25544]
    omm: list[TLE] = read_omm("examples/data/sample_omm.json")
    text: str = write_tles(tles)
    try:
        read_tles(text[:100])
    except TLEReadError as exc:
        assert exc.errors
    sgp4 = SGP4(constants="wgs84")
    r, v, err = sgp4.propagate_many(t, tles, frame="ITRF")
    eph: StateVectorEphemeris = sgp4.propagate_state(t, history[0])
    total: F64 = r[0] + v[0] + eph.r + float(err.sum()) + len(omm) + len(by_number.duplicates)
    return total


def propagation(t: Time, sv: StateVector) -> Satellite:
    kep: Propagator = Keplerian()
    eph: StateVectorEphemeris = kep.propagate(t, [sv])
    coes: COEEphemeris = eph.to_coe(GM=Earth.GM)
    jac: F64 = kep.jacobian(eph)
    geos = GeoStateEphemeris(t, np.zeros(t.size), np.zeros(t.size), np.zeros(t.size))
    assert coes.size == jac.shape[0] == geos.size
    return Satellite(t, sv, kep, eph, name="demo")


class Note(Representable):
    def _get_header(self) -> str:
        return "Note"

    def _get_body(self) -> str:
        return "body"


def misc() -> float:
    e: float = eca_from_mea(1.0, 0.1)
    a: float = atan2_asymmetric(-1.0, 0.0)
    records = np.zeros(2, dtype=COE_dt)
    points = np.zeros(2, dtype=LLA_dtype)
    shape: Ellipsoid = WGS84
    return e + a + float(records.size + points.size) + shape.b + len(str(Note()))


def main() -> None:
    t = epochs()
    sv, _, _ = states(t)
    frames(t)
    elements()
    catalogue(t)
    sat = propagation(t, sv)
    name: str | None = sat.name
    print(name, misc(), astrovia.__version__)
