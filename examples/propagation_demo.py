"""Two-body propagation: an elliptical orbit over a day, piecewise propagation
across an impulsive manoeuvre, and the Jacobian of the equations of motion.
"""

import numpy as np

from astrovia.propagators.analytical.keplerian.keplerian import Keplerian
from astrovia.satellite.satellite import Satellite
from astrovia.state.state import COE, StateVector
from astrovia.time.time import Time
from astrovia.units.units import day, deg, hour, km


def main() -> None:
    np.set_printoptions(precision=4, suppress=False, linewidth=110)
    kepler = Keplerian()
    epoch = Time("2024-06-01T00:00:00")

    # A Molniya-like orbit: 26 600 km, e = 0.74, 63.4 degrees.
    orbit = COE(epoch, 26600 * km, 0.74, 63.4 * deg, 40 * deg, 270 * deg, 0.0)
    t = epoch + np.linspace(0.0, day, 9)
    eph = kepler.propagate_state(t, orbit)
    print(f"Elliptical orbit over a day (GM = {kepler.GM:.6e} m^3/s^2), {eph.frame.name}:")
    print("  hours     |r| [km]     |v| [km/s]")
    for dt, r, v in zip(t - epoch, eph.r, eph.v):
        print(f"  {dt / hour:5.1f}  {np.linalg.norm(r) / km:11.3f}  {np.linalg.norm(v) / km:11.4f}")

    # A manoeuvre 6 hours in: the state before it and the state just after it
    # (the velocity raised by 50 m/s along the track) bound two stretches.
    burn = epoch + 6 * hour
    at_burn = kepler.propagate_state(burn, orbit)
    r_b, v_b = at_burn.r[0], at_burn.v[0]
    after = StateVector(burn, r_b, v_b + 50.0 * v_b / np.linalg.norm(v_b))
    t = epoch + np.linspace(0.0, 12 * hour, 7)
    piecewise = kepler.propagate(t, [after, orbit])
    print("\nPiecewise across a 50 m/s manoeuvre at 6 h (states given out of order, sorted by epoch):")
    print("  hours     |r| [km]     from")
    for dt, r in zip(t - epoch, piecewise.r):
        print(f"  {dt / hour:5.1f}  {np.linalg.norm(r) / km:11.3f}     {'after the burn' if dt >= 6 * hour else 'initial orbit'}")

    sat = Satellite(epoch, orbit, kepler, piecewise, name="  Molniya demo ", description="after one manoeuvre")
    assert sat.ephemeris is not None
    print(f"\nSatellite {sat.name!r} ({sat.description}), ephemeris of {sat.ephemeris.size} epochs")
    print(f"  {sat!r}")

    jac = kepler.jacobian(piecewise)
    print("\nJacobian df/dx, shape", jac.shape)
    for i in (0, 3):
        print(f"  at {float(t[i] - epoch) / hour:.0f} h: gravity gradient block [1/s^2]")
        print("   ", str(jac[i, 3:, :3]).replace("\n", "\n    "))
    trace = np.trace(jac[:, 3:, :3], axis1=1, axis2=2)
    print(f"  largest |trace| of the gravity gradient over all epochs: {np.max(np.abs(trace)):.2e}")


if __name__ == "__main__":
    main()
