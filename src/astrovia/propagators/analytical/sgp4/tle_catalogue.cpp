// Catalogue-level reading and writing of two-line element sets (see tle_catalogue.hpp).
#include "propagators/analytical/sgp4/tle_catalogue.hpp"

#include <cmath>
#include <cstdio>
#include <cstring>

namespace astrovia::sgp4::catalogue {

namespace {

inline bool is_digit(char c) { return c >= '0' && c <= '9'; }
inline bool is_upper(char c) { return c >= 'A' && c <= 'Z'; }
inline bool is_c_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Alpha-5 letters: A-Z without I and O, valued 10-33.
int alpha5_value(char c) {
    if (!is_upper(c) || c == 'I' || c == 'O') return -1;
    int v = 10 + (c - 'A');
    if (c > 'I') --v;
    if (c > 'O') --v;
    return v;
}

char alpha5_letter(int value) {
    static constexpr char letters[] = "ABCDEFGHJKLMNPQRSTUVWXYZ";
    return letters[value - 10];
}

// Days from 1 January of the year (2000 +- ~290 years keeps int64 nanoseconds).
constexpr std::int64_t kMaxDayOffset = 106'000;

}  // namespace

// --- catalogue numbers -----------------------------------------------------------

bool decode_catalogue(const char field[fields::kCatalogueLength], std::int32_t& number) {
    std::size_t b = 0, e = fields::kCatalogueLength;
    while (b < e && field[b] == ' ') ++b;
    while (e > b && field[e - 1] == ' ') --e;
    if (b == e) return false;
    bool digits = true;
    for (std::size_t i = b; i < e; ++i) digits = digits && is_digit(field[i]);
    if (digits) {
        std::int32_t v = 0;
        for (std::size_t i = b; i < e; ++i) v = v * 10 + (field[i] - '0');
        number = v;
        return true;
    }
    if (b != 0 || e != fields::kCatalogueLength) return false;
    const int letter = alpha5_value(field[0]);
    if (letter < 0) return false;
    std::int32_t v = 0;
    for (std::size_t i = 1; i < 5; ++i) {
        if (!is_digit(field[i])) return false;
        v = v * 10 + (field[i] - '0');
    }
    number = letter * 10000 + v;
    return true;
}

bool encode_catalogue(std::int64_t number, char out[fields::kCatalogueLength]) {
    if (number < 0 || number > kAlpha5Last) return false;
    std::int64_t rest = number;
    if (number >= kAlpha5First) {
        out[0] = alpha5_letter(static_cast<int>(number / 10000));
        rest = number % 10000;
        for (int i = 4; i >= 1; --i, rest /= 10) out[i] = static_cast<char>('0' + rest % 10);
        return true;
    }
    for (int i = 4; i >= 0; --i, rest /= 10) out[i] = static_cast<char>('0' + rest % 10);
    return true;
}

// --- calendar ------------------------------------------------------------------------

std::int64_t mjd_from_civil(std::int64_t y, int m, int d) {
    // Days from civil (H. Hinnant's algorithm), shifted to MJD (1970-01-01 is MJD 40587).
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yoe = y - era * 400;
    const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468 + 40587;
}

void civil_from_mjd(std::int64_t mjd, std::int64_t& year, int& month, int& day) {
    const std::int64_t z = mjd - 40587 + 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    year = yoe + era * 400 + (month <= 2);
}

bool is_leap_year(std::int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

EpochLabel epoch_label(const char line[fields::kLineBuffer]) {
    const fields::Line1Fields f1 = fields::parse_line1(line);
    const std::int64_t jan1 = mjd_from_civil(f1.year, 1, 1);
    char text[13];
    std::memcpy(text, line + 20, 12);
    text[12] = '\0';

    // A plain decimal: blanks, a sign, digits, a point, digits, and nothing
    // that would make the lenient reader see an exponent or a hexadecimal number.
    const char* p = text;
    while (is_c_space(*p)) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = (*p++ == '-');
    bool plain = !(p[0] == '0' && (p[1] == 'x' || p[1] == 'X'));
    std::int64_t whole = 0, frac = 0;
    int frac_digits = 0, whole_digits = 0;
    for (; plain && is_digit(*p); ++p, ++whole_digits) whole = whole * 10 + (*p - '0');
    if (plain && *p == '.') {
        ++p;
        for (; is_digit(*p); ++p, ++frac_digits) frac = frac * 10 + (*p - '0');
    }
    if (plain && whole_digits + frac_digits == 0) {
        // No number at all (blank field, or "inf"/"nan" which the double reads).
        plain = fields::read_double(text) == 0.0;
        whole = frac = 0;
        frac_digits = 0;
    }
    if (plain && (*p == 'e' || *p == 'E')) {
        const char* q = p + 1;
        if (*q == '+' || *q == '-') ++q;
        if (is_digit(*q)) plain = false;
    }

    std::int64_t day_floor = 0, sod = 0;
    if (plain) {
        __int128 num = static_cast<__int128>(frac) * kNsPerDay;
        __int128 den = 1;
        for (int i = 0; i < frac_digits; ++i) den *= 10;
        std::int64_t frac_ns = static_cast<std::int64_t>(num / den);
        if (2 * (num % den) >= den) ++frac_ns;  // only past 11 digits, which 12 columns cannot hold
        if (whole > kMaxDayOffset) return {false, 0, 0};
        if (negative && frac_ns > 0) {
            day_floor = -whole - 1;
            sod = kNsPerDay - frac_ns;
        } else {
            day_floor = negative ? -whole : whole;
            sod = frac_ns;
        }
    } else {
        const double v = fields::read_double(text);
        if (!std::isfinite(v) || std::fabs(v) > static_cast<double>(kMaxDayOffset)) return {false, 0, 0};
        const double fl = std::floor(v);
        day_floor = static_cast<std::int64_t>(fl);
        sod = std::llround((v - fl) * static_cast<double>(kNsPerDay));
    }
    if (sod >= kNsPerDay) {
        sod -= kNsPerDay;
        ++day_floor;
    }
    return {true, jan1 + day_floor - 1, sod};
}

// --- strict format -------------------------------------------------------------------

namespace {

struct FieldFormat {
    int first, last;    // 1-based columns
    const char* name;
    char kind;
};
// Kinds:  ' ' blank separator;  'c' catalogue number;  'k' classification (a
// letter or blank);  'i' international designator;  'y' two digits;
// 'd' a right-justified decimal "ddd.dddddddd" (the point column given by
// the field's position of '.', blanks allowed before the first digit);
// 'n' first derivative " .dddddddd" (sign, point, digits);  'x' exponent field
// (sign, five digits, exponent sign, digit);  'e' a digit or blank;
// 'r' right-justified integer (blanks then digits, may be all blank);
// '7' seven digits.
constexpr FieldFormat kLine1[] = {
    {2, 2, "separator", ' '},
    {3, 7, "catalogue number", 'c'},
    {8, 8, "classification", 'k'},
    {9, 9, "separator", ' '},
    {10, 17, "international designator", 'i'},
    {18, 18, "separator", ' '},
    {19, 20, "epoch year", 'y'},
    {21, 32, "epoch day", 'd'},
    {33, 33, "separator", ' '},
    {34, 43, "first derivative of mean motion", 'n'},
    {44, 44, "separator", ' '},
    {45, 52, "second derivative of mean motion", 'x'},
    {53, 53, "separator", ' '},
    {54, 61, "drag term", 'x'},
    {62, 62, "separator", ' '},
    {63, 63, "ephemeris type", 'e'},
    {64, 64, "separator", ' '},
    {65, 68, "element set number", 'r'},
};
constexpr FieldFormat kLine2[] = {
    {2, 2, "separator", ' '},
    {3, 7, "catalogue number", 'c'},
    {8, 8, "separator", ' '},
    {9, 16, "inclination", 'd'},
    {17, 17, "separator", ' '},
    {18, 25, "right ascension of the ascending node", 'd'},
    {26, 26, "separator", ' '},
    {27, 33, "eccentricity", '7'},
    {34, 34, "separator", ' '},
    {35, 42, "argument of perigee", 'd'},
    {43, 43, "separator", ' '},
    {44, 51, "mean anomaly", 'd'},
    {52, 52, "separator", ' '},
    {53, 63, "mean motion", 'd'},
    {64, 68, "revolution number", 'r'},
};

// Point column of each decimal field: epoch day 24, angles 12/21/38/47 (4
// decimals: the point is 5 columns before the field's end), mean motion 55.
int point_column(const FieldFormat& f) {
    if (f.last == 32) return 24;   // epoch day, 8 decimals
    if (f.last == 63) return 55;   // mean motion, 8 decimals
    return f.last - 4;             // angles, 4 decimals
}

// Right-justified digits over [first, last] (1-based): blanks, then at least
// `min_digits` digits. Returns the first bad column or 0.
int check_right_justified(const char* line, int first, int last, int min_digits, const char*& expected) {
    int c = first;
    while (c <= last && line[c - 1] == ' ') ++c;
    if (last - c + 1 < min_digits) {
        expected = "a digit";
        return c <= last ? c : last;
    }
    for (; c <= last; ++c) {
        if (!is_digit(line[c - 1])) {
            expected = "a digit";
            return c;
        }
    }
    return 0;
}

// The first of columns first..last that holds no digit, or 0.
int first_non_digit(const char* line, int first, int last) {
    for (int c = first; c <= last; ++c) {
        if (!is_digit(line[c - 1])) return c;
    }
    return 0;
}

bool is_sign_or_blank(char s) { return s == ' ' || s == '+' || s == '-'; }

int check_field(const char* line, const FieldFormat& f, const char*& expected) {
    auto at = [&](int column) { return line[column - 1]; };
    switch (f.kind) {
        case ' ':
            expected = "a blank";
            return at(f.first) == ' ' ? 0 : f.first;
        case 'c':
            if (alpha5_value(at(f.first)) >= 0) {
                expected = "a digit (alpha-5 number)";
                return first_non_digit(line, f.first + 1, f.last);
            }
            return check_right_justified(line, f.first, f.last, 1, expected);
        case 'k':
            expected = "a capital letter or a blank";
            return (is_upper(at(f.first)) || at(f.first) == ' ') ? 0 : f.first;
        case 'i': {
            bool blank = true;
            for (int c = f.first; c <= f.last; ++c) blank = blank && at(c) == ' ';
            if (blank) return 0;
            expected = "a digit (launch year and number)";
            if (int bad = first_non_digit(line, f.first, f.first + 4)) return bad;
            // The piece: capital letters, then blanks.
            int c = f.first + 5;
            expected = "a capital letter (launch piece)";
            if (!is_upper(at(c))) return c;
            while (c <= f.last && is_upper(at(c))) ++c;
            expected = "a capital letter or a blank";
            for (; c <= f.last; ++c) {
                if (at(c) != ' ') return c;
            }
            return 0;
        }
        case 'y':
        case '7':
            expected = "a digit";
            return first_non_digit(line, f.first, f.last);
        case 'd': {
            const int point = point_column(f);
            if (int bad = check_right_justified(line, f.first, point - 1, 1, expected)) return bad;
            expected = "a decimal point";
            if (at(point) != '.') return point;
            expected = "a digit";
            return first_non_digit(line, point + 1, f.last);
        }
        case 'n': {
            expected = "a sign (blank, + or -)";
            if (!is_sign_or_blank(at(f.first))) return f.first;
            expected = "a decimal point";
            if (at(f.first + 1) != '.') return f.first + 1;
            expected = "a digit";
            return first_non_digit(line, f.first + 2, f.last);
        }
        case 'x': {
            expected = "a sign (blank, + or -)";
            if (!is_sign_or_blank(at(f.first))) return f.first;
            expected = "a digit";
            if (int bad = first_non_digit(line, f.first + 1, f.first + 5)) return bad;
            expected = "an exponent sign (+ or -)";
            if (at(f.first + 6) != '+' && at(f.first + 6) != '-') return f.first + 6;
            expected = "a digit";
            return is_digit(at(f.last)) ? 0 : f.last;
        }
        case 'e':
            expected = "a digit or a blank";
            return (is_digit(at(f.first)) || at(f.first) == ' ') ? 0 : f.first;
        case 'r':
            return check_right_justified(line, f.first, f.last, 0, expected);
    }
    return 0;
}

}  // namespace

FormatProblem check_format(const char line[fields::kLineBuffer], int number) {
    const FieldFormat* begin = number == 1 ? kLine1 : kLine2;
    const std::size_t n = number == 1 ? std::size(kLine1) : std::size(kLine2);
    for (std::size_t i = 0; i < n; ++i) {
        const FieldFormat& f = begin[i];
        const char* expected = nullptr;
        if (int column = check_field(line, f, expected)) return {column, f.name, f.first, f.last, expected};
    }
    return {};
}

std::size_t first_non_ascii_column(std::string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (static_cast<unsigned char>(text[i]) >= 0x80u) return i + 1;
    }
    return 0;
}

std::string_view strip_line_end(std::string_view line) {
    std::size_t e = line.size();
    while (e > 0 && (line[e - 1] == ' ' || line[e - 1] == '\t' || line[e - 1] == '\r' || line[e - 1] == '\n')) --e;
    return line.substr(0, e);
}

// --- records of a text ---------------------------------------------------------------

const char* describe(RecordProblem problem) {
    switch (problem) {
        case RecordProblem::line1_without_line2: return "line 1 without its line 2";
        case RecordProblem::line2_without_line1: return "line 2 without its line 1";
        case RecordProblem::name_without_lines: return "name line without element lines";
    }
    return "unreadable record";
}

void split_records(std::string_view text, std::vector<RawRecord>& records, std::vector<RawProblem>& problems) {
    RawRecord pending;  // name and/or line 1 waiting for the rest of their record
    bool have_name = false, have_line1 = false;
    std::int64_t number = 0;
    std::size_t pos = 0;
    const std::size_t n = text.size();
    records.reserve(records.size() + n / 150);
    const char* base = text.data();
    while (pos < n) {
        // The line ends at the first "\n" or "\r".
        const void* newline = std::memchr(base + pos, '\n', n - pos);
        std::size_t end = newline ? static_cast<std::size_t>(static_cast<const char*>(newline) - base) : n;
        if (const void* cr = std::memchr(base + pos, '\r', end - pos)) {
            end = static_cast<std::size_t>(static_cast<const char*>(cr) - base);
        }
        std::string_view raw = text.substr(pos, end - pos);
        if (end < n && text[end] == '\r' && end + 1 < n && text[end + 1] == '\n') ++end;
        pos = end + 1;
        ++number;

        const std::string_view line = strip_line_end(raw);
        std::size_t lead = 0;
        while (lead < line.size() && (line[lead] == ' ' || line[lead] == '\t')) ++lead;
        if (lead == line.size() || line[lead] == '#') continue;  // blank or comment

        const bool is_line1 = line[0] == '1' && (line.size() == 1 || line[1] == ' ');
        const bool is_line2 = line[0] == '2' && (line.size() == 1 || line[1] == ' ');
        if (is_line2) {
            if (have_line1) {
                pending.line2 = line;
                pending.line2_line = number;
                if (!have_name) pending.name_line = 0;
                records.push_back(pending);
            } else {
                problems.push_back({number, RecordProblem::line2_without_line1});
            }
            pending = RawRecord{};
            have_name = have_line1 = false;
            continue;
        }
        if (have_line1) {
            problems.push_back({pending.line1_line, RecordProblem::line1_without_line2});
            pending = RawRecord{};
            have_name = have_line1 = false;
        }
        if (is_line1) {
            pending.line1 = line;
            pending.line1_line = number;
            have_line1 = true;
            continue;
        }
        // A name line; one already waiting had no element lines.
        if (have_name) problems.push_back({pending.name_line, RecordProblem::name_without_lines});
        std::string_view name = line.substr(lead);
        pending = RawRecord{};
        pending.name_zero_prefix = name.size() >= 2 && name[0] == '0' && name[1] == ' ';
        if (pending.name_zero_prefix) {
            name.remove_prefix(2);
            while (!name.empty() && (name.front() == ' ' || name.front() == '\t')) name.remove_prefix(1);
        }
        pending.name = name;
        pending.name_line = number;
        have_name = true;
    }
    if (have_line1) problems.push_back({pending.line1_line, RecordProblem::line1_without_line2});
    else if (have_name) problems.push_back({pending.name_line, RecordProblem::name_without_lines});
}

// --- OMM -----------------------------------------------------------------------------

bool parse_iso_epoch(std::string_view t, std::int64_t& mjd, std::int64_t& sod_ns) {
    while (!t.empty() && t.front() == ' ') t.remove_prefix(1);
    while (!t.empty() && t.back() == ' ') t.remove_suffix(1);
    if (!t.empty() && (t.back() == 'Z' || t.back() == 'z')) t.remove_suffix(1);
    auto digits = [&](std::size_t at, std::size_t count, std::int64_t& v) {
        if (at + count > t.size()) return false;
        v = 0;
        for (std::size_t i = at; i < at + count; ++i) {
            if (!is_digit(t[i])) return false;
            v = v * 10 + (t[i] - '0');
        }
        return true;
    };
    std::int64_t y, mo, d, hh = 0, mi = 0, ss = 0;
    if (!digits(0, 4, y) || t.size() < 10 || t[4] != '-' || !digits(5, 2, mo) || t[7] != '-' || !digits(8, 2, d)) {
        return false;
    }
    std::size_t pos = 10;
    std::int64_t frac_ns = 0;
    if (pos < t.size()) {
        if (t[pos] != 'T' && t[pos] != ' ') return false;
        if (!digits(pos + 1, 2, hh) || pos + 3 >= t.size() || t[pos + 3] != ':' || !digits(pos + 4, 2, mi)) {
            return false;
        }
        pos += 6;
        if (pos < t.size()) {
            if (t[pos] != ':' || !digits(pos + 1, 2, ss)) return false;
            pos += 3;
            if (pos < t.size()) {
                if (t[pos] != '.' || pos + 1 >= t.size()) return false;
                std::int64_t scale = 100'000'000;
                bool round_up = false;
                for (std::size_t i = pos + 1; i < t.size(); ++i) {
                    if (!is_digit(t[i])) return false;
                    if (scale > 0) {
                        frac_ns += (t[i] - '0') * scale;
                        scale /= 10;
                    } else if (i == pos + 10) {
                        round_up = t[i] >= '5';
                    }
                }
                frac_ns += round_up;
            }
        }
    }
    if (mo < 1 || mo > 12 || d < 1 || hh > 23 || mi > 59 || ss > 59) return false;
    static constexpr int kMonthDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const int month_days = kMonthDays[mo - 1] + (mo == 2 && is_leap_year(y));
    if (d > month_days) return false;
    mjd = mjd_from_civil(y, static_cast<int>(mo), static_cast<int>(d));
    sod_ns = ((hh * 60 + mi) * 60 + ss) * kNsPerSecond + frac_ns;
    if (sod_ns >= kNsPerDay) {
        sod_ns -= kNsPerDay;
        ++mjd;
    }
    return true;
}

bool international_from_object_id(std::string_view id, char out[9]) {
    std::memset(out, ' ', 8);
    out[8] = '\0';
    while (!id.empty() && id.front() == ' ') id.remove_prefix(1);
    while (!id.empty() && id.back() == ' ') id.remove_suffix(1);
    if (id.empty()) return true;
    // YYYY-NNNP{1,3}
    if (id.size() < 9 || id.size() > 11 || id[4] != '-') return false;
    for (int i : {0, 1, 2, 3, 5, 6, 7}) {
        if (!is_digit(id[i])) return false;
    }
    for (std::size_t i = 8; i < id.size(); ++i) {
        if (!is_upper(id[i])) return false;
    }
    out[0] = id[2];
    out[1] = id[3];
    std::memcpy(out + 2, id.data() + 5, 3);
    std::memcpy(out + 5, id.data() + 8, id.size() - 8);
    return true;
}

namespace {

// "%.Nf" of x into exactly `width` bytes (right-justified); false when it does not fit.
bool put_fixed(char* dst, double x, int width, int decimals) {
    char buf[64];
    const int n = std::snprintf(buf, sizeof buf, "%*.*f", width, decimals, x);
    if (n != width) return false;
    std::memcpy(dst, buf, static_cast<std::size_t>(width));
    return true;
}

bool put_int(char* dst, std::int64_t v, int width, bool zero_pad) {
    if (v < 0) return false;
    char buf[32];
    const int n = std::snprintf(buf, sizeof buf, zero_pad ? "%0*lld" : "%*lld", width, static_cast<long long>(v));
    if (n != width) return false;
    std::memcpy(dst, buf, static_cast<std::size_t>(width));
    return true;
}

// " .dddddddd" / "-.dddddddd": |x| < 1 with 8 decimals.
bool put_first_derivative(char* dst, double x) {
    if (!std::isfinite(x)) return false;
    char buf[64];
    const int n = std::snprintf(buf, sizeof buf, "%.8f", std::fabs(x));
    if (n != 10 || buf[0] != '0') return false;  // "0.dddddddd"
    const bool negative = x < 0 && std::strcmp(buf, "0.00000000") != 0;
    dst[0] = negative ? '-' : ' ';
    std::memcpy(dst + 1, buf + 1, 9);
    return true;
}

// " ddddd-e": x = 0.ddddd x 10^e with a sign; an exponent of 0 is written "+0",
// and zero as `zero` (" 00000-0" for the second derivative, " 00000+0" for the
// drag term, as catalogues write them).
bool put_exponent(char* dst, double x, const char* zero) {
    if (!std::isfinite(x)) return false;
    if (x == 0.0) {
        std::memcpy(dst, zero, 8);
        return true;
    }
    char buf[64];
    const int n = std::snprintf(buf, sizeof buf, "%.4e", std::fabs(x));  // "d.dddde+XX"
    if (n < 10) return false;
    const int exponent = std::atoi(buf + 7) + 1;
    if (exponent < -9 || exponent > 9) return false;
    dst[0] = x < 0 ? '-' : ' ';
    dst[1] = buf[0];
    std::memcpy(dst + 2, buf + 2, 4);
    dst[6] = exponent < 0 ? '-' : '+';
    dst[7] = static_cast<char>('0' + (exponent < 0 ? -exponent : exponent));
    return true;
}

void finish_line(char line[fields::kLineBuffer]) {
    line[fields::kLineLength] = '\0';
    line[fields::kLineLength - 1] = static_cast<char>('0' + fields::checksum(line));
}

}  // namespace

bool write_lines(const OmmFields& f, char line1[fields::kLineBuffer], char line2[fields::kLineBuffer],
                 std::string& error) {
    std::memset(line1, ' ', fields::kLineLength);
    std::memset(line2, ' ', fields::kLineLength);
    line1[0] = '1';
    line2[0] = '2';
    if (!encode_catalogue(f.norad_cat_id, line1 + 2)) {
        error = "NORAD_CAT_ID " + std::to_string(f.norad_cat_id) + " has no 5-character form (0 to 339999)";
        return false;
    }
    std::memcpy(line2 + 2, line1 + 2, 5);
    line1[7] = f.classification;
    std::memcpy(line1 + 9, f.international, 8);

    // Epoch: two-digit year and day of year with 8 decimals (units of 864 us).
    std::int64_t year;
    int month, day;
    civil_from_mjd(f.epoch_mjd, year, month, day);
    if (year < 1957 || year > 2056) {
        error = "EPOCH year " + std::to_string(year) + " is outside 1957-2056, which a line can hold";
        return false;
    }
    std::int64_t doy = f.epoch_mjd - mjd_from_civil(year, 1, 1) + 1;
    std::int64_t units = (f.epoch_sod_ns + 432'000) / 864'000;  // 1e-8 day, rounded half up
    if (units >= 100'000'000) {
        units -= 100'000'000;
        ++doy;
    }
    char buf[64];
    std::snprintf(buf, sizeof buf, "%02d%03lld.%08lld", static_cast<int>(year % 100), static_cast<long long>(doy),
                  static_cast<long long>(units));
    std::memcpy(line1 + 18, buf, 14);

    if (!put_first_derivative(line1 + 33, f.mean_motion_dot)) {
        error = "MEAN_MOTION_DOT does not fit the line (|value| < 1 rev/day^2)";
        return false;
    }
    if (!put_exponent(line1 + 44, f.mean_motion_ddot, " 00000-0")) {
        error = "MEAN_MOTION_DDOT does not fit the line (a finite value within 1e-10 to 1e9)";
        return false;
    }
    if (!put_exponent(line1 + 53, f.bstar, " 00000+0")) {
        error = "BSTAR does not fit the line (a finite value within 1e-10 to 1e9)";
        return false;
    }
    if (f.ephemeris_type < 0 || f.ephemeris_type > 9) {
        error = "EPHEMERIS_TYPE must be one digit, not " + std::to_string(f.ephemeris_type);
        return false;
    }
    line1[62] = static_cast<char>('0' + f.ephemeris_type);
    if (!put_int(line1 + 64, f.element_set_no, 4, false)) {
        error = "ELEMENT_SET_NO must be 0 to 9999, not " + std::to_string(f.element_set_no);
        return false;
    }
    finish_line(line1);

    const struct {
        double value;
        int column;  // 0-based offset of the 8-byte field
        const char* name;
    } angles[] = {{f.inclination, 8, "INCLINATION"},
                  {f.ra_of_asc_node, 17, "RA_OF_ASC_NODE"},
                  {f.arg_of_pericenter, 34, "ARG_OF_PERICENTER"},
                  {f.mean_anomaly, 43, "MEAN_ANOMALY"}};
    for (const auto& a : angles) {
        if (!(a.value >= 0.0 && a.value < 999.99995) || !put_fixed(line2 + a.column, a.value, 8, 4)) {
            error = std::string(a.name) + " must be a finite angle from 0 to 999.9999 degrees";
            return false;
        }
    }
    if (!(f.eccentricity >= 0.0 && f.eccentricity < 1.0)) {
        error = "ECCENTRICITY must be from 0 to below 1";
        return false;
    }
    std::int64_t ecc = std::llround(f.eccentricity * 1e7);
    if (ecc > 9'999'999) {
        error = "ECCENTRICITY rounds to 1 in seven digits";
        return false;
    }
    put_int(line2 + 26, ecc, 7, true);
    if (!(f.mean_motion >= 0.0 && f.mean_motion < 99.999999995) || !put_fixed(line2 + 52, f.mean_motion, 11, 8)) {
        error = "MEAN_MOTION must be a finite value from 0 to below 100 rev/day";
        return false;
    }
    if (!put_int(line2 + 63, f.rev_at_epoch, 5, false)) {
        error = "REV_AT_EPOCH must be 0 to 99999, not " + std::to_string(f.rev_at_epoch);
        return false;
    }
    finish_line(line2);
    return true;
}

double read_exponent_field(const char* text, std::size_t width) {
    // " ddddd-e" -> "-0.ddddde-e" for the lenient reader: sign, implied point, exponent.
    char buf[24];
    std::size_t n = 0;
    std::size_t i = 0;
    while (i < width && text[i] == ' ') ++i;
    if (i < width && (text[i] == '+' || text[i] == '-')) buf[n++] = text[i++];
    buf[n++] = '.';
    while (i < width && is_digit(text[i]) && n < 16) buf[n++] = text[i++];
    if (i < width && (text[i] == '+' || text[i] == '-')) {
        buf[n++] = 'e';
        buf[n++] = text[i++];
        while (i < width && is_digit(text[i]) && n < 22) buf[n++] = text[i++];
    }
    buf[n] = '\0';
    return fields::read_double(buf);
}

}  // namespace astrovia::sgp4::catalogue

namespace astrovia::sgp4::catalogue {

std::vector<std::int64_t> json_record_lines(std::string_view text) {
    std::vector<std::int64_t> lines;
    std::int64_t line = 1;
    int depth = 0;
    bool in_string = false, escaped = false, top_array = false, first = true;
    for (char c : text) {
        if (c == '\n') ++line;
        if (in_string) {
            if (escaped) escaped = false;
            else if (c == '\\') escaped = true;
            else if (c == '"') in_string = false;
            continue;
        }
        switch (c) {
            case '"': in_string = true; break;
            case '[':
            case '{':
                if (first) top_array = c == '[';
                if ((top_array && depth == 1 && c == '{') || (!top_array && depth == 0 && c == '{')) lines.push_back(line);
                ++depth;
                break;
            case ']':
            case '}': --depth; break;
            default: break;
        }
        if (c != ' ' && c != '\t' && c != '\r' && c != '\n') first = false;
    }
    return lines;
}

}  // namespace astrovia::sgp4::catalogue
