// Native interface of astrovia.state.coe: the Kepler solver table and the
// anomaly conversions for elliptic orbits (0 <= e < 1), inline so that their
// users compile them into their own loops.
#pragma once

#include <cmath>

#include "_native/capsule.hpp"

namespace astrovia::coe {

inline constexpr const char* kCapsuleName = "astrovia.state.coe._C_API";
inline constexpr int kApiVersion = 1;

struct Api {
    native::TableHeader header;
    // Eccentric anomaly E [rad] with E - e sin E = M. Needs the interpreter lock:
    // for e outside [0, 1) it sets ValueError and returns NaN.
    double (*c_eca_from_mea)(double mea, double ecc);
    // The same solve with no Python at all, for loops without the lock; the caller
    // guarantees 0 <= e < 1 (NaN in gives NaN out).
    double (*eca_from_mea_unchecked)(double mea, double ecc);
};

inline const Api* import_api() {
    return native::import_table<Api>("astrovia.state.coe", kCapsuleName, kApiVersion);
}

// Mean anomaly from eccentric anomaly (Kepler's equation).
inline double mea_from_eca(double eca, double ecc) { return eca - ecc * std::sin(eca); }

// True anomaly from eccentric anomaly, in the half-revolution of E:
// tan(nu/2) = sqrt((1+e)/(1-e)) tan(E/2), written with atan2 so that it holds for all E.
inline double tra_from_eca(double eca, double ecc) {
    const double s = std::sin(eca), c = std::cos(eca);
    return eca + 2.0 * std::atan2(ecc * s, 1.0 + std::sqrt(1.0 - ecc * ecc) - ecc * c) ;
}

// Eccentric anomaly from true anomaly, keeping the revolution count of nu.
inline double eca_from_tra(double tra, double ecc) {
    const double s = std::sin(tra), c = std::cos(tra);
    return tra - 2.0 * std::atan2(ecc * s, 1.0 + std::sqrt(1.0 - ecc * ecc) + ecc * c);
}

inline double mea_from_tra(double tra, double ecc) { return mea_from_eca(eca_from_tra(tra, ecc), ecc); }

}  // namespace astrovia::coe

#include "state/coe/anomaly.hpp"  // the same conversions with angles in [0, 2 pi)
