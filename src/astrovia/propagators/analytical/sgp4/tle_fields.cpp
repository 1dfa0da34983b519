// Fixed-column field reader of two-line element sets (see tle_fields.hpp).
#include "propagators/analytical/sgp4/tle_fields.hpp"

#include <charconv>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

namespace astrovia::sgp4::fields {

namespace {

// isspace of the "C" locale, which atoi and atof skip.
inline bool is_c_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
inline bool is_digit(char c) { return c >= '0' && c <= '9'; }
inline bool is_hex_digit(char c) {
    return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
inline bool is_continuation_byte(char c) { return (static_cast<unsigned char>(c) & 0xC0u) == 0x80u; }

// Copies `width` bytes at `offset` into a zero-terminated scratch buffer, so
// that a conversion sees the field and nothing after it.
template <std::size_t N>
inline void copy_field(const char* line, std::size_t offset, std::size_t width, char (&scratch)[N]) {
    static_assert(N > 1);
    std::size_t w = width < N - 1 ? width : N - 1;
    std::memcpy(scratch, line + offset, w);
    scratch[w] = '\0';
}

// A range error of from_chars: the value overflowed (infinity, as strtod gives
// HUGE_VAL) unless its decimal or binary exponent is negative (an underflow, zero).
double out_of_range_value(const char* first, const char* last, bool hex) {
    const char marker_lower = hex ? 'p' : 'e', marker_upper = hex ? 'P' : 'E';
    for (const char* p = first; p < last; ++p) {
        if (*p == marker_lower || *p == marker_upper) {
            if (p + 1 < last && p[1] == '-') return 0.0;
            break;
        }
    }
    return std::numeric_limits<double>::infinity();
}

}  // namespace

int read_int(const char* text) {
    const char* p = text;
    while (is_c_space(*p)) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = (*p++ == '-');
    long long value = 0;
    for (; is_digit(*p); ++p) {
        value = value * 10 + (*p - '0');
        if (value > static_cast<long long>(INT_MAX) + 1) value = static_cast<long long>(INT_MAX) + 1;
    }
    if (negative) value = -value;
    if (value > INT_MAX) value = INT_MAX;  // atoi's overflow is undefined; saturate instead
    return static_cast<int>(value);
}

double read_double(const char* text) {
    const char* p = text;
    while (is_c_space(*p)) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = (*p++ == '-');
    if (*p == '+' || *p == '-') return 0.0;  // a second sign: no number
    const char* last = p + std::strlen(p);
    double value = 0.0;
    bool hex = false;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X') &&
        (is_hex_digit(p[2]) || (p[2] == '.' && is_hex_digit(p[3])))) {
        hex = true;
        p += 2;
    }
    auto [end, ec] = std::from_chars(p, last, value, hex ? std::chars_format::hex : std::chars_format::general);
    if (ec == std::errc::result_out_of_range) {
        value = out_of_range_value(p, end, hex);
    } else if (ec != std::errc()) {
        value = 0.0;  // no digits: atof gives 0
    }
    return negative ? -value : value;
}

std::size_t count_code_points(std::string_view utf8) {
    std::size_t n = 0;
    for (char c : utf8) n += !is_continuation_byte(c);
    return n;
}

void store_line(std::string_view utf8, char out[kLineBuffer]) {
    // Byte length of the first 69 characters.
    std::size_t chars = 0, bytes = 0;
    while (bytes < utf8.size()) {
        if (!is_continuation_byte(utf8[bytes])) {
            if (chars == kLineLength) break;
            ++chars;
        }
        ++bytes;
    }
    // Those bytes, then one blank per missing character, cut at 69 bytes.
    std::size_t copied = bytes < kLineLength ? bytes : kLineLength;
    std::memcpy(out, utf8.data(), copied);
    if (copied < bytes && is_continuation_byte(utf8[copied])) {
        // The cut falls inside a character: drop its leading bytes too.
        while (copied > 0 && is_continuation_byte(utf8[copied])) --copied;
    }
    std::memset(out + copied, ' ', kLineLength - copied);
    out[kLineLength] = '\0';
}

Line1Fields parse_line1(const char line[kLineBuffer]) {
    Line1Fields f{};
    std::memcpy(f.catalogue, line + 2, kCatalogueLength);
    f.catalogue[kCatalogueLength] = '\0';

    char year_text[3];
    copy_field(line, 18, 2, year_text);
    const int yy = read_int(year_text);
    f.year = yy < kYearPivot ? 2000 + yy : 1900 + yy;

    char day_text[13];
    copy_field(line, 20, 12, day_text);
    f.day_of_year = read_double(day_text);
    return f;
}

Line2Fields parse_line2(const char line[kLineBuffer]) {
    Line2Fields f{};
    char field[12];
    copy_field(line, 8, 8, field);
    f.inc_deg = read_double(field);
    copy_field(line, 17, 8, field);
    f.raa_deg = read_double(field);

    // Seven digits with an implied leading decimal point.
    field[0] = '.';
    std::memcpy(field + 1, line + 26, 7);
    field[8] = '\0';
    f.ecc = read_double(field);

    copy_field(line, 34, 8, field);
    f.arp_deg = read_double(field);
    copy_field(line, 43, 8, field);
    f.mea_deg = read_double(field);
    copy_field(line, 52, 11, field);
    f.mnm_rev_per_day = read_double(field);
    return f;
}

std::size_t format_year(int year, char out[5]) {
    int n = std::snprintf(out, 5, "%d", year);
    if (n < 0) {
        out[0] = '\0';
        return 0;
    }
    return static_cast<std::size_t>(n) < 5 ? static_cast<std::size_t>(n) : 4;
}

int checksum(const char line[kLineBuffer]) {
    int sum = 0;
    for (std::size_t i = 0; i + 1 < kLineLength; ++i) {
        const char c = line[i];
        if (is_digit(c)) sum += c - '0';
        else if (c == '-') sum += 1;
    }
    return sum % 10;
}

LineCheck check_line(const char line[kLineBuffer], int number, std::size_t given_length) {
    if (given_length != kLineLength) return LineCheck::wrong_length;
    if (line[0] != static_cast<char>('0' + number)) return LineCheck::wrong_line_number;
    const char c = line[kLineLength - 1];
    if (!is_digit(c)) return LineCheck::bad_checksum_digit;
    if (checksum(line) != c - '0') return LineCheck::wrong_checksum;
    return LineCheck::ok;
}

bool same_catalogue(const char line1[kLineBuffer], const char line2[kLineBuffer]) {
    return std::memcmp(line1 + 2, line2 + 2, kCatalogueLength) == 0;
}

double read_implied_decimal(const char line[kLineBuffer], std::size_t offset, std::size_t width) {
    // The mantissa as a decimal fraction, then scaled by the power of ten.
    char text[32];
    if (width < 3 || width > 24 || offset + width > kLineLength) return 0.0;
    std::size_t n = 0, i = offset;
    const char first = line[i];
    if (first == '-' || first == '+') {
        text[n++] = first;
        ++i;
    } else if (first == ' ') {
        ++i;
    }
    text[n++] = '.';
    const std::size_t exponent_at = offset + width - 2;
    for (; i < exponent_at; ++i) text[n++] = line[i];
    text[n] = '\0';
    const double mantissa = read_double(text);
    char exponent[3] = {line[exponent_at], line[exponent_at + 1], '\0'};
    return mantissa * std::pow(10.0, read_int(exponent));
}

}  // namespace astrovia::sgp4::fields
