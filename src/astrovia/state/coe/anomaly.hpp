// Anomaly conversions of elliptic orbits (0 <= e < 1) written with the package's
// atan2_asymmetric, so that true and eccentric anomalies come out in [0, 2 pi).
// Plain C++: the arctangent and the Kepler solver are passed in (their owners
// export them through capsule tables, see misc.hpp and coe.hpp), and
// beta = sqrt(1 - e^2) is computed once by the caller.
//
//   sin E = beta sin nu / (1 + e cos nu),  cos E = (e + cos nu) / (1 + e cos nu)
//   sin nu = beta sin E / (1 - e cos E),   cos nu = (cos E - e) / (1 - e cos E)
// and the positive denominators drop out of the arctangent.
#pragma once

#include <cmath>

namespace astrovia::coe {

using Atan2Fn = double (*)(double y, double x);
using SolverFn = double (*)(double mea, double ecc);

inline double c_eca_from_tra(double tra, double ecc, double beta, Atan2Fn atan2_asymmetric) {
    return atan2_asymmetric(beta * std::sin(tra), ecc + std::cos(tra));
}

inline double c_mea_from_tra(double tra, double ecc, double beta, Atan2Fn atan2_asymmetric) {
    const double eca = c_eca_from_tra(tra, ecc, beta, atan2_asymmetric);
    return eca - ecc * std::sin(eca);
}

inline double c_tra_from_eca(double eca, double ecc, double beta, Atan2Fn atan2_asymmetric) {
    return atan2_asymmetric(beta * std::sin(eca), std::cos(eca) - ecc);
}

// The solver may report a failure (e.g. by setting a Python exception); callers
// that must stop at the first failure call the two steps separately.
inline double c_tra_from_mea(double mea, double ecc, double beta, SolverFn eca_from_mea,
                             Atan2Fn atan2_asymmetric) {
    return c_tra_from_eca(eca_from_mea(mea, ecc), ecc, beta, atan2_asymmetric);
}

}  // namespace astrovia::coe
