// The SGP4/SDP4 theory for blocks of satellites at once: one element set per
// vector lane (8 lanes with AVX-512, 4 with AVX2), the records laid out as
// structures of arrays when a call starts. Plain C++ on Google Highway, no
// Python.
//
// The vector code is compiled for each instruction set Highway offers on the
// architecture and chosen at run time from what the processor has; the plain
// path is the scalar kernel of sgp4_kernel.hpp. Every lane computes only from
// its own record and time (sine, cosine and arctangent to about an ulp, the
// remainders by 2 pi exact, the Kepler solve iterating per lane until every
// lane has converged, the resonance integration stepped per lane by the scalar
// kernel), so a state does not depend on which satellites share its block or
// on the thread that computed it.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "propagators/analytical/sgp4/sgp4_batch.hpp"

namespace astrovia::sgp4 {

// The names of the paths this build and processor can run, in order of their
// index: "plain" first, then the vector paths from the widest ("avx512",
// "avx2"; "neon", "sve", ... elsewhere).
const std::vector<std::string>& path_names();

// The path kAutoPath stands for.
int best_path();

// Index of a path name, or -1 when this machine has no such path.
int path_index(const std::string& name);

// Vector kernel behind propagate_batch and propagate_batch_minutes (path > 0):
// the same arguments; `minutes` (M, N) replaces the clock epochs when given.
void propagate_vector(int path, const BatchRecord* recs, std::size_t m, const ClockEpochs* epochs,
                      const double* minutes, std::size_t n, OutputFrame frame, const EpochChains& chains,
                      double metres_per_km, const BatchOutput& out);

// Sine and cosine of x[0..n) as the vector path computes them (for tests).
void vector_sincos(int path, const double* x, std::size_t n, double* s, double* c);
// atan2(y, x) as the vector path computes it (for tests).
void vector_atan2(int path, const double* y, const double* x, std::size_t n, double* out);

}  // namespace astrovia::sgp4
