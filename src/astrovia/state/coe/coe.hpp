// Native interface of astrovia.state.coe: the Kepler solver table; the
// anomaly conversions for elliptic orbits (0 <= e < 1) are inline in
// anomaly.hpp (plain C++), so that their users compile them into their loops.
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

}  // namespace astrovia::coe

#include "state/coe/anomaly.hpp"
