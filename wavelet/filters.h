// Low-pass filter tables of the orthogonal Daubechies and Symlet families.
#pragma once

#include <span>
#include <vector>

#include "wavelet/factory.h"

namespace vantrel {

// The scaling filter h[0] .. h[N-1] of a member in double precision (N = 2(i+1) for Db, 2(i+2)
// for Sym, with i the member's number).
std::span<const double> daubechies_low_pass(DaubechiesFamily member);
std::span<const double> symlet_low_pass(SymletFamily member);

// A new vector with the member's low-pass filter, each entry rounded to the nearest float.
std::vector<float> get_wavelet(DaubechiesFamily member);
std::vector<float> get_wavelet(SymletFamily member);

}  // namespace vantrel
