// Counts the binary decisions the context-model coder makes for a signal.
//
//   decisions FILE METHOD SCALE CUTOFF [METHOD SCALE CUTOFF ...]
//
// FILE holds raw little-endian float32 samples. For each configuration the signal is compressed
// with the context-model coder, the coefficient bands are decoded again from the payload with band
// lengths derived the way the decompressor derives them, and one line is printed:
//
//   METHOD SCALE CUTOFF samples decisions payload_bytes
//
// or, when the compressor refuses the configuration, "METHOD SCALE CUTOFF refused REASON".
//
// Each coefficient costs one zero flag and, when it is not zero, a sign and B magnitude bits, B
// being the width of its band (byte 1 + i of the coefficient stream for band i), so
//   decisions = sum over coefficients of 1 + (v != 0) * (1 + B_band).
// The count divided by the sample count is the coder's work per sample: every decision is one
// adaptive probability update and one rANS step.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <span>
#include <string>
#include <vector>

#include "codec/cmodel.h"
#include "codec/decompressor.h"
#include "codec/executors.h"
#include "codec/header.h"
#include "codec/methods.h"
#include "codec/options.h"
#include "codec/vantrel.h"

namespace vantrel {
namespace {

// The names are string literals, so their views end in a NUL.
const char* method_name(uint8_t code) { return find_method(code)->name.data(); }
const char* cutoff_name(uint8_t code) { return kCutoffNames[code].data(); }

bool parse_method(const char* text, uint8_t* code) {
  const WaveletMethodEntry* entry = find_method_by_name(text);
  if (entry != nullptr) *code = entry->code;
  return entry != nullptr;
}

bool parse_cutoff(const char* text, uint8_t* code) {
  const auto* it = std::find(std::begin(kCutoffNames), std::end(kCutoffNames), text);
  if (it != std::end(kCutoffNames)) *code = static_cast<uint8_t>(it - std::begin(kCutoffNames));
  return it != std::end(kCutoffNames);
}

bool parse_scale(const char* text, uint8_t* scale) {
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || value < kMinScale || value > kMaxScale) return false;
  *scale = static_cast<uint8_t>(value);
  return true;
}

bool read_samples(const char* path, std::vector<float>* samples) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) return false;
  const std::streamoff size = in.tellg();
  if (size < 0 || size % static_cast<std::streamoff>(sizeof(float)) != 0) return false;
  const auto count = static_cast<size_t>(size) / sizeof(float);
  if (count >= (size_t{1} << 31)) return false;
  samples->resize(count);
  in.seekg(0);
  return static_cast<bool>(in.read(reinterpret_cast<char*>(samples->data()), size));
}

// Band lengths in payload order (A, D_1 .. D_L), from the header as the decompressor finds them.
std::vector<size_t> band_lengths_of(const VantrelHeader& header) {
  return band_lengths(*make_executor(header.method()), header.levels, header.sample_count);
}

// Returns false (after printing why) when the configuration cannot be measured. A configuration
// the compressor refuses prints "refused" and the reason in place of the figures.
bool count_decisions(std::span<const float> samples, const VtrlCompressionOptions& options) {
  const auto container = compress(samples, options);
  if (!container) {
    std::printf("%s %u %s refused %s\n", method_name(options.method), unsigned{options.scale},
                cutoff_name(options.cutoff), container.error().to_string().c_str());
    return true;
  }
  const auto header = VantrelHeader::from_bytes(*container);
  if (!header) {
    std::fprintf(stderr, "header: %s\n", header.error().to_string().c_str());
    return false;
  }
  if (header->coder != static_cast<uint8_t>(EntropyCoder::CModel) || header->levels == 0 ||
      container->size() - kHeaderSize < header->payload_len) {
    std::fprintf(stderr, "unexpected container\n");
    return false;
  }
  const std::span<const uint8_t> payload(container->data() + kHeaderSize, header->payload_len);
  const std::vector<size_t> lengths = band_lengths_of(*header);
  const auto bands = decode_coeffs(payload, lengths);
  if (!bands) {
    std::fprintf(stderr, "decode_coeffs: %s\n", to_string(bands.error()).c_str());
    return false;
  }
  // A successful decode has read the band count and one width byte per band.
  uint64_t decisions = 0;
  for (size_t band = 0; band < bands->size(); ++band) {
    const uint64_t width = payload[1 + band];
    for (const int16_t v : (*bands)[band]) decisions += v != 0 ? 2 + width : 1;
  }
  std::printf("%s %u %s %zu %llu %u\n", method_name(options.method), unsigned{options.scale},
              cutoff_name(options.cutoff), samples.size(),
              static_cast<unsigned long long>(decisions), header->payload_len);
  return true;
}

int run(int argc, char** argv) {
  if (argc < 5 || (argc - 2) % 3 != 0) {
    std::fprintf(stderr, "usage: %s FILE METHOD SCALE CUTOFF [METHOD SCALE CUTOFF ...]\n", argv[0]);
    return 2;
  }
  std::vector<float> samples;
  if (!read_samples(argv[1], &samples) || samples.empty()) {
    std::fprintf(stderr, "%s: not a non-empty raw float32 file below 2^31 samples\n", argv[1]);
    return 1;
  }
  for (int i = 2; i < argc; i += 3) {
    VtrlCompressionOptions options;
    options.coder = static_cast<uint8_t>(EntropyCoder::CModel);
    if (!parse_method(argv[i], &options.method) || !parse_scale(argv[i + 1], &options.scale) ||
        !parse_cutoff(argv[i + 2], &options.cutoff)) {
      std::fprintf(stderr, "bad configuration: %s %s %s\n", argv[i], argv[i + 1], argv[i + 2]);
      return 2;
    }
    if (!count_decisions(samples, options)) return 1;
  }
  return 0;
}

}  // namespace
}  // namespace vantrel

int main(int argc, char** argv) { return vantrel::run(argc, argv); }
