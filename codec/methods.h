// The wavelet methods: one entry per method, read by the compressor, the decompressor, the
// container header and the options' name parsing. Adding a method adds an entry in methods.cpp.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

#include "codec/vantrel.h"

namespace vantrel {

class DwtExecutor;

// A method's code, container tag and name (WaveletMethodInfo, what callers see), and what the
// codec itself needs of it.
struct WaveletMethodEntry : WaveletMethodInfo {
  // How the decoded error's energy relates to the coefficients' own rounding error, which the
  // quality search uses to place its first candidate: 1 for an orthonormal wavelet, near 1 for a
  // nearly orthonormal one; 0 where it depends on the signal and is measured on a decoded
  // candidate instead.
  double energy_ratio;
  // A new executor for the method (every call builds one; executors are immutable).
  std::shared_ptr<const DwtExecutor> (*make_executor)();
};

// Every method, ordered by code (the code is the index).
std::span<const WaveletMethodEntry> wavelet_methods();

// nullptr when no method has the code, tag or name.
const WaveletMethodEntry* find_method(uint8_t code);
const WaveletMethodEntry* find_method_by_tag(std::array<uint8_t, 4> tag);
const WaveletMethodEntry* find_method_by_name(std::string_view name);

}  // namespace vantrel
