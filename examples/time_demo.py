"""An epoch in every scale, Earth orientation at that date, a state to elements and back."""

import numpy as np

from astrovia.iers import EOP, coverage
from astrovia.state.state import StateVector
from astrovia.time.time import Time
from astrovia.units import units as u

t = Time("2024-03-20T03:06:00")
print("epoch      ", t)
for scale in ("utc", "tai", "tt", "ut1"):
    view = getattr(t, scale)
    print(f"  {scale.upper():4s} {view!r:40s} jd12 = {view.jd12[0]:.1f} + {view.jd12[1]:.15f}")

print("IERS data  ", coverage())
eop = EOP(t.utc.mjd)
print(f"EOP at MJD {t.utc.mjd:.5f}: pm_x = {eop.pm_x[0] / u.arcsec:+.6f} arcsec, pm_y = {eop.pm_y[0] / u.arcsec:+.6f} arcsec, "
      f"UT1-UTC = {eop.dut1[0]:+.7f} s, LOD = {eop.lod[0] * 1e3:.4f} ms, "
      f"dX = {eop.dX[0] / u.arcsec * 1e3:+.3f} mas, dY = {eop.dY[0] / u.arcsec * 1e3:+.3f} mas")

sv = StateVector(t, [6524834.0, 6862875.0, 6448296.0], [4901.327, 5533.756, -1976.341])
coe = sv.to_coe()
print(f"state      r = {sv.r} m, v = {sv.v} m/s")
print(f"elements   sma = {coe.sma / u.km:.3f} km, ecc = {coe.ecc:.6f}, inc = {coe.inc / u.deg:.4f} deg, "
      f"raa = {coe.raa / u.deg:.4f} deg, arp = {coe.arp / u.deg:.4f} deg, tra = {coe.tra / u.deg:.4f} deg")
back = coe.to_sv()
print(f"and back   |dr| = {np.linalg.norm(back.r - sv.r):.2e} m, |dv| = {np.linalg.norm(back.v - sv.v):.2e} m/s")
