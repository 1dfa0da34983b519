"""Force-model settings of the numerical propagator, the ICGEM reader and the frame conversions of its states.

The native ``Numerical`` reads its settings from :func:`configure` once, when it
is made; everything here runs in Python, the integration itself does not.
"""

from __future__ import annotations

import math
import os
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

__all__ = ["Drag", "SRP", "Exponential", "HarrisPriester", "GravityField", "load_icgem", "SHIPPED_FIELDS"]

_DATA = Path(__file__).resolve().parent / "data"
SHIPPED_FIELDS = {"EGM2008": _DATA / "EGM2008_70.gfc"}
"""The gravity fields shipped with the package (name -> ICGEM file), to degree and order 70."""

MAX_DEGREE = 150  # the unnormalised recursion stays inside a double's range to here


def _positive(value: Any, name: str, *, allow_zero: bool = False) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise TypeError(f"{name} must be a number, not {type(value).__name__}")
    x = float(value)
    if not math.isfinite(x) or x < 0.0 or (x == 0.0 and not allow_zero):
        raise ValueError(f"{name} must be {'non-negative' if allow_zero else 'positive'} and finite, not {value!r}")
    return x


@dataclass(frozen=True)
class Exponential:
    """An exponential atmosphere: rho = rho0 exp(-(h - h0) / scale_height); rho0 [kg/m^3], h0 and scale_height [m]."""

    rho0: float
    h0: float
    scale_height: float

    def __post_init__(self) -> None:
        object.__setattr__(self, "rho0", _positive(self.rho0, "rho0", allow_zero=True))
        if isinstance(self.h0, bool) or not isinstance(self.h0, (int, float, np.integer, np.floating)) \
                or not math.isfinite(float(self.h0)):
            raise ValueError(f"h0 must be a finite number of metres, not {self.h0!r}")
        object.__setattr__(self, "h0", float(self.h0))
        object.__setattr__(self, "scale_height", _positive(self.scale_height, "scale_height"))


@dataclass(frozen=True)
class HarrisPriester:
    """The Harris-Priester atmosphere (mean solar activity, 100-1000 km, zero above) with its diurnal bulge.

    ``exponent``: n of cos^n(psi / 2), 2 for low inclinations to 6 for polar orbits.
    """

    exponent: float = 2.0

    def __post_init__(self) -> None:
        n = _positive(self.exponent, "exponent")
        if not 2.0 <= n <= 6.0:
            raise ValueError(f"exponent must be between 2 and 6, not {self.exponent!r}")
        object.__setattr__(self, "exponent", n)


@dataclass(frozen=True)
class Drag:
    """Atmospheric drag: a = -1/2 cd (A/m) rho |u| u, u the velocity relative to the co-rotating atmosphere.

    ``area_to_mass`` [m^2/kg]; ``atmosphere``: ``Exponential`` or ``HarrisPriester`` (the default).
    """

    area_to_mass: float
    cd: float = 2.2
    atmosphere: Exponential | HarrisPriester = HarrisPriester()

    def __post_init__(self) -> None:
        object.__setattr__(self, "area_to_mass", _positive(self.area_to_mass, "area_to_mass", allow_zero=True))
        object.__setattr__(self, "cd", _positive(self.cd, "cd", allow_zero=True))
        if not isinstance(self.atmosphere, (Exponential, HarrisPriester)):
            raise TypeError("atmosphere must be an Exponential or a HarrisPriester, "
                            f"not {type(self.atmosphere).__name__}")


@dataclass(frozen=True)
class SRP:
    """Cannonball solar radiation pressure: 4.56e-6 N/m^2 at 1 au times cr (A/m), in the Earth's conical shadow.

    ``area_to_mass`` [m^2/kg].
    """

    area_to_mass: float
    cr: float = 1.3

    def __post_init__(self) -> None:
        object.__setattr__(self, "area_to_mass", _positive(self.area_to_mass, "area_to_mass", allow_zero=True))
        object.__setattr__(self, "cr", _positive(self.cr, "cr", allow_zero=True))


@dataclass(frozen=True)
class GravityField:
    """Fully normalised coefficients C, S (index n (n + 1) / 2 + m) to ``max_degree``, with the field's GM and radius."""

    name: str
    gm: float
    radius: float
    max_degree: int
    cbar: npt.NDArray[np.float64]
    sbar: npt.NDArray[np.float64]


def _float(text: str) -> float:
    return float(text.replace("D", "E").replace("d", "e"))


def load_icgem(path: str | os.PathLike[str], max_degree: int | None = None) -> GravityField:
    """Read a fully normalised static field from an ICGEM ``.gfc`` file (``gfc`` lines; up to ``max_degree``)."""
    p = Path(path)
    try:
        text = p.read_text(encoding="ascii", errors="replace")
    except OSError as exc:
        raise ValueError(f"gravity: cannot read the ICGEM file {str(path)!r}: {exc.strerror or exc}") from None
    lines = text.splitlines()
    head: dict[str, str] = {}
    body = None
    for i, line in enumerate(lines):
        words = line.split()
        if words and words[0] == "end_of_head":
            body = i + 1
            break
        if len(words) >= 2:
            head[words[0].lower()] = words[1]
    if body is None:
        raise ValueError(f"gravity: {str(path)!r} is not an ICGEM file (no end_of_head line)")
    try:
        gm = _float(head["earth_gravity_constant"])
        radius = _float(head["radius"])
        nmax_file = int(head["max_degree"])
    except (KeyError, ValueError) as exc:
        raise ValueError(f"gravity: the header of {str(path)!r} lacks a valid {exc}") from None
    norm = head.get("norm", "fully_normalized").lower()
    if norm not in ("fully_normalized", "fully_normalised"):
        raise ValueError(f"gravity: {str(path)!r} is not fully normalised (norm {norm})")
    if not (gm > 0 and radius > 0 and math.isfinite(gm) and math.isfinite(radius)):
        raise ValueError(f"gravity: {str(path)!r} has no positive GM and radius")
    nmax = min(nmax_file, MAX_DEGREE if max_degree is None else max_degree)
    size = (nmax + 1) * (nmax + 2) // 2
    cbar, sbar = np.zeros(size), np.zeros(size)
    seen = np.zeros(size, dtype=bool)
    for line in lines[body:]:
        words = line.split()
        if not words:
            continue
        if words[0] != "gfc":
            if words[0] in ("gfct", "trnd", "asin", "acos"):
                raise ValueError(f"gravity: {str(path)!r} has time-variable terms ({words[0]}), which are not read")
            continue
        try:
            n, m = int(words[1]), int(words[2])
            c, s = _float(words[3]), _float(words[4])
        except (IndexError, ValueError):
            raise ValueError(f"gravity: bad coefficient line in {str(path)!r}: {line.strip()!r}") from None
        if n > nmax or m > n or m < 0:
            continue
        k = n * (n + 1) // 2 + m
        cbar[k], sbar[k], seen[k] = c, s, True
    if not seen[0]:
        cbar[0] = 1.0
    return GravityField(p.name, gm, radius, nmax, cbar, sbar)


def _integer(value: Any, name: str) -> int:
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    return int(value)


def configure(gravity: Any, degree: Any, order: Any, third_bodies: Any, drag: Any, srp: Any,
              rtol: Any) -> dict[str, Any]:
    """The checked settings of a ``Numerical``, as plain values for the native force model."""
    from astrovia.bodies.bodies import Earth, Moon, Sun

    degree_i, order_i = _integer(degree, "degree"), _integer(order, "order")
    if isinstance(gravity, os.PathLike):
        gravity = os.fspath(gravity)
    if not isinstance(gravity, str):
        raise TypeError(f"gravity must be 'point', a shipped field name or the path of an ICGEM file, "
                        f"not {type(gravity).__name__}")
    field: GravityField | None = None
    if gravity == "point":
        pass
    elif gravity in SHIPPED_FIELDS:
        field = load_icgem(SHIPPED_FIELDS[gravity])
        field = GravityField(gravity, field.gm, field.radius, field.max_degree, field.cbar, field.sbar)
    elif gravity.lower().endswith((".gfc", ".icgem")) or os.path.sep in gravity or os.path.exists(gravity):
        field = load_icgem(gravity)
    elif gravity == "EGM96":
        raise ValueError("gravity: EGM96 is not shipped with this package; pass the path of its ICGEM .gfc file, "
                         f"or one of {sorted(SHIPPED_FIELDS)} or 'point'")
    else:
        raise ValueError(f"gravity must be 'point', one of {sorted(SHIPPED_FIELDS)} or the path of an ICGEM .gfc "
                         f"file, not {gravity!r}")
    if field is not None:
        if degree_i < 0 or degree_i > field.max_degree:
            raise ValueError(f"degree must be between 0 and {field.max_degree} (the field's), not {degree_i}")
        if order_i < 0 or order_i > degree_i:
            raise ValueError(f"order must be between 0 and degree ({degree_i}), not {order_i}")
    if isinstance(third_bodies, str):
        third_bodies = (third_bodies,)
    if third_bodies is None:
        third_bodies = ()
    try:
        bodies = tuple(third_bodies)
    except TypeError:
        raise TypeError(f"third_bodies must be a sequence of 'sun' and 'moon', not {type(third_bodies).__name__}") \
            from None
    names = []
    for b in bodies:
        if not isinstance(b, str) or b.lower() not in ("sun", "moon"):
            raise ValueError(f"third_bodies may hold 'sun' and 'moon' only, not {b!r}")
        names.append(b.lower())
    if drag is not None and not isinstance(drag, Drag):
        raise TypeError(f"drag must be a Drag or None, not {type(drag).__name__}")
    if srp is not None and not isinstance(srp, SRP):
        raise TypeError(f"srp must be an SRP or None, not {type(srp).__name__}")
    if isinstance(rtol, bool) or not isinstance(rtol, (int, float, np.integer, np.floating)):
        raise TypeError(f"rtol must be a float, not {type(rtol).__name__}")
    rtol_f = float(rtol)
    if not (rtol_f > 0.0 and math.isfinite(rtol_f)):
        raise ValueError(f"rtol must be positive and finite, not {rtol!r}")
    if rtol_f < 1e-15 or rtol_f > 1e-3:
        raise ValueError(f"rtol must be between 1e-15 and 1e-3, not {rtol!r}")
    atm = drag.atmosphere if drag is not None else None
    return {
        "gravity": gravity,
        "field": field,
        "gm": field.gm if field is not None else float(Earth.GM),
        "radius": field.radius if field is not None else float(Earth.Re),
        "degree": degree_i if field is not None else 0,
        "order": order_i if field is not None else 0,
        "third_bodies": tuple(dict.fromkeys(names)),
        "sun": "sun" in names, "moon": "moon" in names,
        "gm_sun": float(Sun.GM), "gm_moon": float(Moon.GM),
        "earth_re": float(Earth.Re),
        "drag": drag, "srp": srp,
        "atmosphere": 0 if atm is None else (1 if isinstance(atm, Exponential) else 2),
        "cd_am": 0.0 if drag is None else drag.cd * drag.area_to_mass,
        "rho0": atm.rho0 if isinstance(atm, Exponential) else 0.0,
        "h0": atm.h0 if isinstance(atm, Exponential) else 0.0,
        "scale_height": atm.scale_height if isinstance(atm, Exponential) else 1.0,
        "hp_exponent": atm.exponent if isinstance(atm, HarrisPriester) else 2.0,
        "cr_am": 0.0 if srp is None else srp.cr * srp.area_to_mass,
        "rtol": rtol_f,
    }


def initial_gcrf(state: Any) -> tuple[int, npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """(epoch as TT ns, r, v) of a ``State`` in the GCRF [m, m/s]."""
    from astrovia.frames import geocentric
    from astrovia.frames.frames import GCRF, ITRF, TEME
    from astrovia.state.state import StateVector

    sv = state.to_sv()
    if not isinstance(sv, StateVector):
        raise TypeError(f"state.to_sv() must return a StateVector, not {type(sv).__name__}")
    epoch = sv.epoch
    r = np.array(sv.r, dtype=np.float64).reshape(1, 3)
    v = np.array(sv.v, dtype=np.float64).reshape(1, 3)
    if not (np.all(np.isfinite(r)) and np.all(np.isfinite(v))):
        raise ValueError("state: its position and velocity must be finite")
    frame = sv.frame
    if frame == TEME:
        r, v = geocentric.ITRF_from_TEME(epoch, r, v)
        frame = ITRF
    if frame == ITRF:
        r, v = geocentric.GCRF_from_ITRF(epoch, r, v)
    elif frame != GCRF:
        raise ValueError(f"state: its frame must be GCRF, ITRF or TEME, not {frame!r}")
    return int(np.asarray(epoch.int64).reshape(-1)[0]), np.ascontiguousarray(r[0]), np.ascontiguousarray(v[0])


def from_gcrf(time: Any, r: npt.NDArray[np.float64], v: npt.NDArray[np.float64], frame: Any) -> tuple[Any, Any]:
    """GCRF positions and velocities (N, 3) in ``frame`` (GCRF, ITRF or TEME)."""
    from astrovia.frames import geocentric
    from astrovia.frames.frames import GCRF, ITRF, TEME

    if frame == GCRF:
        return r, v
    ri, vi = geocentric.ITRF_from_GCRF(time, r, v)
    if frame == ITRF:
        return ri, vi
    if frame == TEME:
        return geocentric.TEME_from_ITRF(time, ri, vi)
    raise ValueError(f"frame must be GCRF, ITRF or TEME, not {frame!r}")
