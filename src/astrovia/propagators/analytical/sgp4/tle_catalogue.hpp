// Catalogue-level reading and writing of two-line element sets: plain C++, no
// Python. Built on the fixed-column field reader (tle_fields.hpp):
//   - catalogue numbers, including the alpha-5 form of numbers 100000-339999;
//   - the exact epoch of line 1 as a UTC calendar day and nanoseconds of that day;
//   - the fixed format of every field, for strict reading;
//   - the grouping of a text into records (name line, line 1, line 2);
//   - the two lines written from OMM fields, and an OMM epoch text read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "propagators/analytical/sgp4/tle_fields.hpp"

namespace astrovia::sgp4::catalogue {

inline constexpr std::int64_t kNsPerSecond = 1'000'000'000;
inline constexpr std::int64_t kNsPerDay = 86'400 * kNsPerSecond;
inline constexpr std::int32_t kAlpha5First = 100'000;  // A0000
inline constexpr std::int32_t kAlpha5Last = 339'999;   // Z9999

// --- catalogue numbers -----------------------------------------------------------

// Reads a 5-byte catalogue field: blanks around the number are ignored; digits
// give their value, a letter other than I and O followed by four digits gives
// the alpha-5 value (A0000 is 100000, Z9999 is 339999). False for anything else.
bool decode_catalogue(const char field[fields::kCatalogueLength], std::int32_t& number);

// Writes `number` as 5 bytes: 00000-99999 with leading zeros, 100000-339999 in
// alpha-5. False when the number has no 5-character form.
bool encode_catalogue(std::int64_t number, char out[fields::kCatalogueLength]);

// --- calendar ------------------------------------------------------------------------

// Modified Julian Day of a proleptic Gregorian date, and back.
std::int64_t mjd_from_civil(std::int64_t year, int month, int day);
void civil_from_mjd(std::int64_t mjd, std::int64_t& year, int& month, int& day);
bool is_leap_year(std::int64_t year);

// The epoch of line 1 as a UTC label: 00:00 of 1 January of the year (columns
// 19-20 and the pivot), plus day - 1 calendar days, plus the day's fraction times
// 86400 s of clock time. A plain decimal day field is read exactly from its
// digits; any other text that the lenient reader takes as a number (an exponent,
// hexadecimal) goes through the double it reads as. `ok` is false when the day
// is not finite or lies farther than about 290 years from 2000 (beyond int64
// nanoseconds).
struct EpochLabel {
    bool ok;
    std::int64_t mjd;     // UTC calendar day
    std::int64_t sod_ns;  // nanoseconds of clock time into that day, 0 <= sod_ns < 86400 s
};
EpochLabel epoch_label(const char line[fields::kLineBuffer]);

// --- strict format -------------------------------------------------------------------

// The first field of a stored line (69 bytes) whose characters are not where
// the fixed format puts them: blanks between fields, digits, signs, decimal
// points, letters. `column` is 1-based (0: every field is well formed); `field`
// names the field and `first_column`/`last_column` give its columns; `expected`
// says what the column must hold. Columns 1 (line number) and 69 (checksum) are
// checked by fields::check_line.
struct FormatProblem {
    int column = 0;
    const char* field = nullptr;
    int first_column = 0;
    int last_column = 0;
    const char* expected = nullptr;
};
FormatProblem check_format(const char line[fields::kLineBuffer], int number);

// The 1-based character position of the first non-ASCII byte of `text` (0 when
// the text is ASCII); the text is UTF-8, so earlier bytes are characters.
std::size_t first_non_ascii_column(std::string_view text);

// The text of a line as a file gives it, without its line ending and trailing
// blanks (blanks, tabs, carriage returns).
std::string_view strip_line_end(std::string_view line);

// --- records of a text ---------------------------------------------------------------

enum class RecordProblem {
    line1_without_line2,  // a line 1 not followed by a line 2
    line2_without_line1,  // a line 2 not preceded by a line 1
    name_without_lines,   // a name line followed by no element lines
};
const char* describe(RecordProblem problem);

struct RawRecord {
    std::int64_t name_line = 0;  // 1-based line numbers in the text; 0: no name line
    std::int64_t line1_line = 0;
    std::int64_t line2_line = 0;
    std::string_view name;       // the name line stripped, without a leading "0 "
    bool name_zero_prefix = false;
    std::string_view line1;      // without line ending and trailing blanks
    std::string_view line2;
};

struct RawProblem {
    std::int64_t line;
    RecordProblem problem;
};

// Splits a text in two- or three-line form into records, in text order. Lines
// end with "\n", "\r\n" or "\r"; blank lines and lines starting with "#" are
// skipped; a line starting with "1 " is a line 1, one starting with "2 " a
// line 2, any other a name line (which belongs to the record that follows it).
// Broken records are reported in `problems`, each once, at its first line.
void split_records(std::string_view text, std::vector<RawRecord>& records, std::vector<RawProblem>& problems);

// --- OMM -----------------------------------------------------------------------------

// An OMM epoch "YYYY-MM-DDTHH:MM:SS[.fff...]" (a trailing "Z" allowed) as a
// UTC calendar day and nanoseconds into it (digits past the ninth are rounded).
bool parse_iso_epoch(std::string_view text, std::int64_t& mjd, std::int64_t& sod_ns);

// The mean elements of an OMM record in the units of the text (degrees,
// revolutions per day), and the line-1 fields.
struct OmmFields {
    std::int64_t norad_cat_id;
    char classification;          // 'U' when absent
    char international[9];        // columns 10-17 (8 bytes, blank padded) and a zero byte
    std::int64_t epoch_mjd;
    std::int64_t epoch_sod_ns;
    double mean_motion_dot;       // rev/day^2, as the line holds it (ndot / 2)
    double mean_motion_ddot;      // rev/day^3, as the line holds it (nddot / 6)
    double bstar;                 // 1/earth radii
    int ephemeris_type;
    std::int64_t element_set_no;
    double inclination, ra_of_asc_node, eccentricity, arg_of_pericenter, mean_anomaly, mean_motion;
    std::int64_t rev_at_epoch;
};

// Columns 10-17 from an OMM OBJECT_ID such as "1998-067A" ("98067A  "); an
// empty text gives blanks. False when the text has another form.
bool international_from_object_id(std::string_view object_id, char out[9]);

// Writes both lines (69 bytes and a zero byte each, checksums computed). On
// failure returns false and `error` names the field that does not fit.
bool write_lines(const OmmFields& f, char line1[fields::kLineBuffer], char line2[fields::kLineBuffer],
                 std::string& error);

// The value of an exponent field such as " 10270-3" or "-11606-4" (a leading
// decimal point implied: 0.10270e-3), read leniently.
double read_exponent_field(const char* text, std::size_t width);

}  // namespace astrovia::sgp4::catalogue

namespace astrovia::sgp4::catalogue {

// The 1-based line of each object of a JSON text's top-level array (or of the
// single top-level object), found by a scan that skips strings.
std::vector<std::int64_t> json_record_lines(std::string_view text);

}  // namespace astrovia::sgp4::catalogue
