// The wavelet methods: one entry per method, read by the compressor, the decompressor, the
// container header and the options' name parsing. Adding a method adds an entry in methods.cpp.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

namespace vantrel {

class DwtExecutor;

struct WaveletMethodEntry {
  uint8_t code;                   // the WaveletMethod value, kept in the options and the pipeline
  std::array<uint8_t, 4> tag;     // the container's wavelet code, e.g. "cf97"
  std::string_view name;          // the options' name, e.g. "cdf97"
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
