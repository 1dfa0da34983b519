"""Reprs a user reads at the prompt: what the object is, its size, its time span and its frame."""

import numpy as np
import pytest

from astrovia.frames.frames import ITRF, TEME
from astrovia.propagators.analytical.keplerian.keplerian import Keplerian
from astrovia.satellite.satellite import Satellite
from astrovia.state.ephemeris import COEEphemeris, GeoStateEphemeris, StateVectorEphemeris
from astrovia.state.state import StateVector
from astrovia.time.time import Time

EPOCHS = ["2024-01-01T00:00", "2024-01-01T06:00", "2024-01-02T00:00:00.5"]


@pytest.mark.parametrize(("make", "frame"), [
    (lambda t: StateVectorEphemeris(t, np.ones((t.size, 3)), np.ones((t.size, 3)), frame=TEME), "TEME"),
    (lambda t: COEEphemeris(t, ecc=0.1, sma=7e6, inc=0.5, raa=0.0, arp=0.0, tra=np.zeros(t.size)), "GCRF"),
    (lambda t: GeoStateEphemeris(t, np.zeros(t.size), np.zeros(t.size), np.zeros(t.size)), "ITRF"),
])
def test_ephemeris_repr_gives_size_span_and_frame(make, frame):
    eph = make(Time(EPOCHS))
    text = repr(eph)
    assert text.startswith(type(eph).__name__ + "(3 epochs, ")
    assert "2024-01-01T00:00:00.000000000 .. 2024-01-02T00:00:00.500000000 UTC" in text
    assert text.endswith(f"frame={frame})")


@pytest.mark.parametrize(("epochs", "span"), [
    ([], "0 epochs"),
    (["2024-01-01"], "1 epoch, 2024-01-01T00:00:00.000000000 UTC"),
])
def test_short_ephemeris_repr(epochs, span):
    t = Time(np.array([Time(e).int64 for e in epochs], dtype=np.int64))
    eph = StateVectorEphemeris(t, np.zeros((t.size, 3)), np.zeros((t.size, 3)), frame=ITRF)
    assert repr(eph) == f"StateVectorEphemeris({span}, frame=ITRF)"


def test_keplerian_repr_round_trips():
    kep = Keplerian(GM=4.9028e12)
    again = eval(repr(kep), {"Keplerian": Keplerian})
    assert again.GM == kep.GM


def test_satellite_repr_names_its_parts():
    t = Time(EPOCHS)
    sv = StateVector(t[0], [7e6, 0.0, 0.0], [0.0, 7.5e3, 0.0])
    kep = Keplerian()
    eph = kep.propagate_state(t, sv)
    text = repr(Satellite(t, sv, kep, eph, name=" Sat-1 ", description="test"))
    assert text.startswith("Satellite('Sat-1', 3 epochs, 2024-01-01T00:00:00.000000000 .. ")
    for part in (f"state={sv!r}", f"propagator={kep!r}", f"ephemeris={eph!r}", "description='test'"):
        assert part in text
    assert repr(Satellite(t[0], sv)) == f"Satellite(None, 2024-01-01T00:00:00.000000000 UTC, state={sv!r}, " \
                                        "propagator=None, ephemeris=None)"
