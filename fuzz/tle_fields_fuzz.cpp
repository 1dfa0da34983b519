// Fuzz driver of the TLE field reader, with no Python in it.
// fuzz-sources: propagators/analytical/sgp4/tle_fields.cpp
//
// libFuzzer:   clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -DLIBFUZZER -I src/astrovia \
//                  fuzz/tle_fields_fuzz.cpp src/astrovia/propagators/analytical/sgp4/tle_fields.cpp -o tle_fuzz
// standalone:  g++ -std=c++20 -O1 -fsanitize=address,undefined -I src/astrovia \
//                  fuzz/tle_fields_fuzz.cpp src/astrovia/propagators/analytical/sgp4/tle_fields.cpp -o tle_fuzz
//              ./tle_fuzz [iterations]   (random mutations of a valid TLE), or ./tle_fuzz FILE...
// Every input is cut into two lines
// at its first newline; the reader must never fail, and a stored line must be
// 69 bytes of valid UTF-8 followed by a zero byte.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include "propagators/analytical/sgp4/tle_fields.hpp"

namespace f = astrovia::sgp4::fields;

namespace {

// Replaces invalid UTF-8 with '?', as the text reaching store_line is always
// valid (it comes from CPython's encoder).
std::string make_valid_utf8(const uint8_t* data, size_t size) {
    std::string out;
    size_t i = 0;
    while (i < size) {
        uint8_t c = data[i];
        size_t n = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
        bool ok = n > 0 && i + n <= size && !(n == 2 && c < 0xC2) && !(n == 4 && c > 0xF4);
        for (size_t k = 1; ok && k < n; ++k) ok = (data[i + k] & 0xC0) == 0x80;
        if (ok && n == 3) {
            uint32_t cp = ((c & 0x0Fu) << 12) | ((data[i + 1] & 0x3Fu) << 6) | (data[i + 2] & 0x3Fu);
            ok = cp >= 0x800 && !(cp >= 0xD800 && cp <= 0xDFFF);
        }
        if (ok && n == 4) {
            uint32_t cp = ((c & 0x07u) << 18) | ((data[i + 1] & 0x3Fu) << 12) | ((data[i + 2] & 0x3Fu) << 6) |
                          (data[i + 3] & 0x3Fu);
            ok = cp >= 0x10000 && cp <= 0x10FFFF;
        }
        if (ok) {
            out.append(reinterpret_cast<const char*>(data + i), n);
            i += n;
        } else {
            out.push_back('?');
            ++i;
        }
    }
    return out;
}

bool valid_utf8(const char* s, size_t n) {
    std::string copy = make_valid_utf8(reinterpret_cast<const uint8_t*>(s), n);
    return copy.size() == n && std::memcmp(copy.data(), s, n) == 0;
}

void check_one(const std::string& text) {
    char line[f::kLineBuffer];
    f::store_line(text, line);
    if (line[f::kLineLength] != '\0' || !valid_utf8(line, f::kLineLength)) std::abort();
    f::Line1Fields l1 = f::parse_line1(line);
    f::Line2Fields l2 = f::parse_line2(line);
    if (l1.catalogue[f::kCatalogueLength] != '\0') std::abort();
    if (std::memcmp(l1.catalogue, line + 2, f::kCatalogueLength) != 0) std::abort();
    char year[5];
    if (f::format_year(l1.year, year) > 4) std::abort();
    int c = f::checksum(line);
    if (c < 0 || c > 9) std::abort();
    (void)f::check_line(line, 1, f::count_code_points(text));
    volatile double sink = l1.day_of_year + l2.inc_deg + l2.raa_deg + l2.ecc + l2.arp_deg + l2.mea_deg +
                           l2.mnm_rev_per_day;
    (void)sink;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text = make_valid_utf8(data, size);
    size_t nl = text.find('\n');
    check_one(text.substr(0, nl));
    if (nl != std::string::npos) check_one(text.substr(nl + 1));
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
    long iterations = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 200000;
    std::mt19937_64 rng(20261208);
    const char alphabet[] = "0123456789 .-+eExXinfa\t\n";
    std::string sample =
        "1 25544U 98067A   24001.50000000  .00016717  00000-0  10270-3 0  9005\n"
        "2 25544  51.6416 247.4627 0006703 130.5360 325.0288 15.72125391563537";
    for (long it = 0; it < iterations; ++it) {
        std::string s = sample;
        int edits = static_cast<int>(rng() % 8);
        for (int k = 0; k < edits; ++k) {
            size_t pos = rng() % (s.size() + 1);
            switch (rng() % 4) {
                case 0: if (pos < s.size()) s[pos] = alphabet[rng() % (sizeof alphabet - 1)]; break;
                case 1: if (pos < s.size()) s[pos] = static_cast<char>(rng() & 0xFF); break;
                case 2: s.insert(pos, "\xc3\xa9"); break;
                case 3: s.erase(pos, rng() % 20); break;
            }
        }
        if (rng() % 16 == 0) s.resize(rng() % (s.size() + 1));
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(s.data()), s.size());
    }
    std::printf("%ld inputs, no failure\n", iterations);
    return 0;
}
#endif
