// Native interface of astrovia.mathtools.misc.
#pragma once

#include <cmath>
#include <numbers>

#include "_native/capsule.hpp"

namespace astrovia::misc {

inline constexpr const char* kCapsuleName = "astrovia.mathtools.misc._C_API";
inline constexpr int kApiVersion = 1;

// The angle [rad] of the point (x, y), in [0, 2 pi).
inline double atan2_asymmetric(double y, double x) {
    double a = std::atan2(y, x);
    if (a < 0.0) {
        a += 2.0 * std::numbers::pi;
        if (a >= 2.0 * std::numbers::pi) a = 0.0;  // -0-ish angles round up to 2 pi
    }
    return a;
}

struct Api {
    native::TableHeader header;
    double (*atan2_asymmetric)(double y, double x);  // pure: needs no interpreter lock
};

inline const Api* import_api() {
    return native::import_table<Api>("astrovia.mathtools.misc", kCapsuleName, kApiVersion);
}

}  // namespace astrovia::misc
