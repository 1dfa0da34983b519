// Fixed-column field reader of two-line element sets: plain C++, no Python.
//
// A TLE line is stored as exactly 69 bytes of UTF-8 text and a zero byte. The
// reader is lenient by design: numbers are read like the C conversions atoi and
// atof (leading blanks skipped, the longest numeric prefix taken, no digits
// giving 0), so blank or garbled columns give zeros and nothing ever fails.
// Strict checks (line number, checksum, catalogue numbers, length) are separate
// functions that a caller asks for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace astrovia::sgp4::fields {

inline constexpr std::size_t kLineLength = 69;       // characters of a TLE line, checksum included
inline constexpr std::size_t kLineBuffer = 70;       // the line and its zero byte
inline constexpr std::size_t kCatalogueLength = 5;   // columns 3-7
inline constexpr std::size_t kCatalogueBuffer = 6;

// The year pivot of the two-digit epoch year: 57-99 are 1957-1999, 00-56 are 2000-2056.
inline constexpr int kYearPivot = 57;

// atoi / atof on a zero-terminated text, independent of the C locale.
int read_int(const char* text);
double read_double(const char* text);

// Stores one line: the text is padded with blanks to 69 characters (code points)
// and cut to its first 69 characters, as str.ljust(69)[:69] does; its UTF-8 form
// is then cut to at most 69 bytes without splitting a character, and blanks fill
// the bytes that a cut character leaves, so the stored line is always 69 bytes of
// valid UTF-8. `utf8` must be valid UTF-8 (as CPython's encoder gives it).
void store_line(std::string_view utf8, char out[kLineBuffer]);

// Number of code points of a valid UTF-8 text.
std::size_t count_code_points(std::string_view utf8);

struct Line1Fields {
    char catalogue[kCatalogueBuffer];  // columns 3-7, zero-terminated
    int year;                          // full year, from columns 19-20 and the pivot
    double day_of_year;                // columns 21-32; 1.0 is 1 January 00:00
};

// The elements of line 2 in the units of the text: degrees, the bare
// eccentricity (its leading decimal point implied), revolutions per day.
struct Line2Fields {
    double inc_deg;
    double raa_deg;
    double ecc;
    double arp_deg;
    double mea_deg;
    double mnm_rev_per_day;
};

Line1Fields parse_line1(const char line[kLineBuffer]);
Line2Fields parse_line2(const char line[kLineBuffer]);

// The year as decimal text, at most 4 digits kept (the year is printed into a
// 5-byte buffer); returns the number of characters written to `out`.
std::size_t format_year(int year, char out[5]);

// TLE checksum of columns 1-68: the sum of the digits, each minus sign counting
// 1, modulo 10.
int checksum(const char line[kLineBuffer]);

enum class LineCheck {
    ok,
    wrong_length,       // the text given was not 69 characters long
    wrong_line_number,  // column 1 is not the line's number
    bad_checksum_digit, // column 69 is not a digit
    wrong_checksum,     // column 69 differs from the checksum
};

// Checks one stored line: `number` is 1 or 2, `given_length` the number of
// characters of the text the caller passed.
LineCheck check_line(const char line[kLineBuffer], int number, std::size_t given_length);

// True when columns 3-7 of both lines agree.
bool same_catalogue(const char line1[kLineBuffer], const char line2[kLineBuffer]);

// A field with an implied leading decimal point and a power-of-ten exponent,
// `width` bytes at `offset`: a sign, the mantissa digits, then the exponent's
// sign and digit in the last two bytes (" 30270-3" is 0.30270e-3, "-11606-4" is
// -0.11606e-4). Lenient like read_double: blanks give 0.
double read_implied_decimal(const char line[kLineBuffer], std::size_t offset, std::size_t width);

}  // namespace astrovia::sgp4::fields
