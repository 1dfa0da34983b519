// Text of table cells as pandas' CSV writer gives it: floats as Python's repr
// (the shortest digits that read back to the same double, fixed notation for
// decimal exponents -4 to 15, else d.ddde+XX), NaN as an empty cell, integers
// in decimal. Plain C++, no Python.
#pragma once

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace astrovia::csv {

// Longest cell text of a double: "-" + 17 digits + "." + "e-308" and the
// zeros of fixed notation (at most 15 + 1 + 4 more).
constexpr int kMaxDoubleText = 48;

// Writes the text of x at p and returns the end. Nothing for NaN.
inline char* put_double(char* p, double x) {
    if (std::isnan(x)) return p;
    if (std::isinf(x)) {
        if (x < 0) *p++ = '-';
        std::memcpy(p, "inf", 3);
        return p + 3;
    }
    char buf[32];
    // Shortest round-trip digits, the ones nearest x among them: the digits repr
    // gives, as [-]d[.ddd]e(+|-)XX[X].
    const char* end = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific).ptr;
    const char* q = buf;
    if (*q == '-') *p++ = *q++;
    const char* mark = static_cast<const char*>(std::memchr(q, 'e', static_cast<std::size_t>(end - q)));
    int e = 0;
    for (const char* d = mark + 2; d < end; ++d) e = 10 * e + (*d - '0');
    if (mark[1] == '-') e = -e;
    if (e < -4 || e >= 16) {  // scientific, as to_chars wrote it
        const auto n = static_cast<std::size_t>(end - q);
        std::memcpy(p, q, n);
        return p + n;
    }
    // the digits: q[0], then q[2 .. mark) when there is a point
    const char* frac = q + 2;
    const int nfrac = mark > q + 1 ? static_cast<int>(mark - frac) : 0;
    if (e < 0) {
        *p++ = '0';
        *p++ = '.';
        for (int k = 0; k < -e - 1; ++k) *p++ = '0';
        *p++ = q[0];
        std::memcpy(p, frac, static_cast<std::size_t>(nfrac));
        return p + nfrac;
    }
    // e + 1 digits before the point, padded with zeros; ".0" when nothing follows
    *p++ = q[0];
    if (nfrac <= e) {
        std::memcpy(p, frac, static_cast<std::size_t>(nfrac));
        p += nfrac;
        for (int k = nfrac; k < e; ++k) *p++ = '0';
        *p++ = '.';
        *p++ = '0';
        return p;
    }
    std::memcpy(p, frac, static_cast<std::size_t>(e));
    p += e;
    *p++ = '.';
    std::memcpy(p, frac + e, static_cast<std::size_t>(nfrac - e));
    return p + (nfrac - e);
}

inline char* put_int(char* p, std::int64_t x) {
    return std::to_chars(p, p + 21, x).ptr;
}

}  // namespace astrovia::csv
