// Fuzz driver of the catalogue and OMM reader kernel, with no Python in it.
// fuzz-sources: propagators/analytical/sgp4/tle_catalogue.cpp propagators/analytical/sgp4/tle_fields.cpp
//
// libFuzzer:   clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -DLIBFUZZER -I src/astrovia \
//                  fuzz/tle_catalogue_fuzz.cpp src/astrovia/propagators/analytical/sgp4/tle_catalogue.cpp \
//                  src/astrovia/propagators/analytical/sgp4/tle_fields.cpp -o tle_catalogue_fuzz
//              ./tle_catalogue_fuzz fuzz/corpus/tle_catalogue
// standalone:  g++ -std=c++20 -O1 -fsanitize=address,undefined -I src/astrovia fuzz/tle_catalogue_fuzz.cpp \
//                  src/astrovia/propagators/analytical/sgp4/tle_catalogue.cpp \
//                  src/astrovia/propagators/analytical/sgp4/tle_fields.cpp -o tle_catalogue_fuzz
//              ./tle_catalogue_fuzz [iterations]   (random mutations of a small catalogue), or FILE...
//
// Every input is read as a catalogue text (any bytes): the records found must
// lie inside the text and in line order, every stored line gets a format
// verdict, an epoch label and a catalogue number without failing. The input is
// also read as OMM fields: lines written from them must pass the strict format
// and checksum checks and give back the catalogue number and epoch they were
// written from.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "propagators/analytical/sgp4/tle_catalogue.hpp"

namespace f = astrovia::sgp4::fields;
namespace c = astrovia::sgp4::catalogue;

namespace {

void require(bool ok) {
    if (!ok) std::abort();
}

bool inside(std::string_view part, std::string_view text) {
    return part.empty() || (part.data() >= text.data() && part.data() + part.size() <= text.data() + text.size());
}

void check_line(std::string_view text, int number) {
    char line[f::kLineBuffer];
    // The kernel's store_line wants UTF-8; raw bytes are stored as they come, cut or padded.
    std::memset(line, ' ', f::kLineLength);
    std::memcpy(line, text.data(), text.size() < f::kLineLength ? text.size() : f::kLineLength);
    line[f::kLineLength] = '\0';
    const c::FormatProblem p = c::check_format(line, number);
    require(p.column == 0 || (p.column >= p.first_column && p.column <= p.last_column && p.field && p.expected));
    const c::EpochLabel e = c::epoch_label(line);
    require(!e.ok || (e.sod_ns >= 0 && e.sod_ns < c::kNsPerDay));
    std::int32_t n = -1;
    if (c::decode_catalogue(line + 2, n)) {
        require(n >= 0 && n <= c::kAlpha5Last);
        char back[5];
        require(c::encode_catalogue(n, back));
        std::int32_t again = -1;
        require(c::decode_catalogue(back, again) && again == n);
    }
    (void)c::first_non_ascii_column(text);
}

double take_double(const uint8_t*& p, const uint8_t* end, double lo, double hi) {
    std::uint64_t bits = 0;
    for (int i = 0; i < 8 && p < end; ++i) bits = (bits << 8) | *p++;
    return lo + (hi - lo) * static_cast<double>(bits % 1000000007ULL) / 1000000007.0;
}

void check_omm(const uint8_t* data, size_t size) {
    const uint8_t* p = data;
    const uint8_t* end = data + size;
    c::OmmFields o{};
    o.norad_cat_id = static_cast<std::int64_t>(take_double(p, end, -10, 400000));
    o.classification = 'U';
    std::memcpy(o.international, "98067A  ", 9);
    o.epoch_mjd = 36204 + static_cast<std::int64_t>(take_double(p, end, -400, 37000));
    o.epoch_sod_ns = static_cast<std::int64_t>(take_double(p, end, 0, 86399.999999)) * 1'000'000'000;
    o.mean_motion_dot = take_double(p, end, -1.5, 1.5);
    o.mean_motion_ddot = take_double(p, end, -1e-3, 1e-3);
    o.bstar = take_double(p, end, -2, 2);
    o.ephemeris_type = static_cast<int>(take_double(p, end, -1, 11));
    o.element_set_no = static_cast<std::int64_t>(take_double(p, end, -1, 11000));
    o.inclination = take_double(p, end, -10, 1100);
    o.ra_of_asc_node = take_double(p, end, 0, 360);
    o.eccentricity = take_double(p, end, -0.1, 1.1);
    o.arg_of_pericenter = take_double(p, end, 0, 360);
    o.mean_anomaly = take_double(p, end, 0, 360);
    o.mean_motion = take_double(p, end, 0, 120);
    o.rev_at_epoch = static_cast<std::int64_t>(take_double(p, end, -1, 120000));
    char l1[f::kLineBuffer], l2[f::kLineBuffer];
    std::string error;
    if (!c::write_lines(o, l1, l2, error)) {
        require(!error.empty());
        return;
    }
    require(l1[f::kLineLength] == '\0' && l2[f::kLineLength] == '\0');
    require(f::check_line(l1, 1, f::kLineLength) == f::LineCheck::ok);
    require(f::check_line(l2, 2, f::kLineLength) == f::LineCheck::ok);
    require(c::check_format(l1, 1).column == 0 && c::check_format(l2, 2).column == 0);
    std::int32_t n1 = -1, n2 = -1;
    require(c::decode_catalogue(l1 + 2, n1) && c::decode_catalogue(l2 + 2, n2) && n1 == n2 && n1 == o.norad_cat_id);
    const c::EpochLabel e = c::epoch_label(l1);
    const std::int64_t written = e.mjd * c::kNsPerDay + e.sod_ns;
    const std::int64_t given = o.epoch_mjd * c::kNsPerDay + o.epoch_sod_ns;
    require(e.ok && written - given <= 432'000 && given - written <= 432'000);  // half of 1e-8 day
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::vector<c::RawRecord> records;
    std::vector<c::RawProblem> problems;
    c::split_records(text, records, problems);
    std::int64_t last = 0;
    for (const c::RawRecord& r : records) {
        require(inside(r.name, text) && inside(r.line1, text) && inside(r.line2, text));
        require(r.line1_line > last && r.line2_line > r.line1_line && (r.name_line == 0 || r.name_line < r.line1_line));
        last = r.line2_line;
        check_line(r.line1, 1);
        check_line(r.line2, 2);
    }
    for (const c::RawProblem& p : problems) require(p.line >= 1 && c::describe(p.problem) != nullptr);
    (void)c::json_record_lines(text);
    std::int64_t mjd = 0, sod = 0;
    if (c::parse_iso_epoch(text, mjd, sod)) require(sod >= 0 && sod < c::kNsPerDay);
    char international[9];
    (void)c::international_from_object_id(text, international);
    require(international[8] == '\0');
    (void)c::read_exponent_field(text.data(), size < 8 ? size : 8);
    check_omm(data, size);
    return 0;
}

#ifndef LIBFUZZER
int main(int argc, char** argv) {
    if (argc > 1 && std::strtol(argv[1], nullptr, 10) == 0) {
        for (int i = 1; i < argc; ++i) {
            std::ifstream in(argv[i], std::ios::binary);
            std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(data.data()), data.size());
        }
        return 0;
    }
    long iterations = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 100000;
    std::mt19937_64 rng(20261209);
    const char alphabet[] = "0123456789 .-+eEAZIO#\r\n\t";
    const std::string sample =
        "ISS (ZARYA)\n"
        "1 25544U 98067A   24001.51258435  .00016717  00000-0  30270-3 0  9986\r\n"
        "2 25544  51.6416 247.4627 0006703 130.5360 325.0288 15.50103472433265\n"
        "# comment\n\n0 ALPHA\n"
        "1 T7421U 98067A   16366.50000000 -.00016717 -11606-4  30270+3 0  9986\n"
        "2 T7421  51.6416 247.4627 0006703 130.5360 325.0288 15.50103472433265\n";
    for (long it = 0; it < iterations; ++it) {
        std::string s = sample;
        const int edits = static_cast<int>(rng() % 10);
        for (int k = 0; k < edits; ++k) {
            const size_t pos = rng() % (s.size() + 1);
            switch (rng() % 4) {
                case 0: if (pos < s.size()) s[pos] = alphabet[rng() % (sizeof alphabet - 1)]; break;
                case 1: if (pos < s.size()) s[pos] = static_cast<char>(rng() & 0xFF); break;
                case 2: s.insert(pos, "\xc2\xa0"); break;
                case 3: s.erase(pos, rng() % 30); break;
            }
        }
        if (rng() % 16 == 0) s.resize(rng() % (s.size() + 1));
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(s.data()), s.size());
    }
    std::printf("%ld inputs, no failure\n", iterations);
    return 0;
}
#endif
