// vantrel's C++ interface: compress a signal into a container and back.
//
//   VtrlCompressionOptions options;            // cdf97, scale 11, cutoff low, automatic coder
//   options.set_method(WaveletMethod::Db4);    // the enums are in codec/options.h
//   auto packed = vantrel::compress(samples, options);
//   if (!packed) std::puts(packed.error().to_string().c_str());
//   auto signal = vantrel::decompress(*packed); // std::vector<float> of samples.size() values
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "codec/options.h"
#include "codec/quality.h"
#include "codec/vantrel_error.h"
#include "support/result.h"

namespace vantrel {

// Compresses `samples` into one container (header and payload). The samples are not modified.
Result<std::vector<uint8_t>, VantrelError> compress(std::span<const float> samples,
                                                    const VtrlCompressionOptions& options);

// How many threads one compress call may use (the calling thread included). The container is
// the same for every count; the encoder takes a second thread only for signals long enough
// to gain from it, and never more than a few.
struct EncodeThreads {
  unsigned count = 1;
};

// The most threads one compress call takes, whatever EncodeThreads asks for: the context model's
// forward passes gain nothing beyond it.
inline constexpr unsigned kMaxEncodeThreads = 4;

// compress, on up to `threads.count` threads.
Result<std::vector<uint8_t>, VantrelError> compress(std::span<const float> samples,
                                                    const VtrlCompressionOptions& options,
                                                    EncodeThreads threads);

// What compress refuses of `options` whatever the samples: a code no method, cutoff level or
// coder has, a scale outside kMinScale..kMaxScale, a multiplier the decoder could not use.
Status<VantrelError> check_options(const VtrlCompressionOptions& options);

// Decodes a container into exactly as many samples as were compressed. Bytes after the
// container's payload are ignored.
Result<std::vector<float>, VantrelError> decompress(std::span<const uint8_t> container);

// The container's fixed 52-byte little-endian header, which the payload follows:
//
//   0  magic "VTRL"         20 signal_min  (f32)
//   4  version 1, 2         24 signal_max  (f32)
//   6  method tag "f3"      28 norm_mean   (f32)
//   8  wavelet code         32 payload_len (u32)
//  12  levels, scale,       36 quant_multiplier (f32)
//      coder, reserved      40 twelve reserved zero bytes
//  16  sample_count (u32)
inline constexpr size_t kHeaderSize = 52;

struct VantrelHeader {
  std::array<uint8_t, 4> magic;
  std::array<uint8_t, 2> version;
  std::array<uint8_t, 2> method_tag;    // always "f3": the format's tag, not the wavelet's
  std::array<uint8_t, 4> wavelet_code;  // the wavelet method's container tag, e.g. "cf97"
  uint8_t levels;
  uint8_t scale;
  uint8_t coder;
  uint8_t reserved0;
  uint32_t sample_count;
  float signal_min;
  float signal_max;
  float norm_mean;
  uint32_t payload_len;
  float quant_multiplier;
  std::array<uint8_t, 8> reserved1;
  std::array<uint8_t, 4> reserved2;

  // Parses the first 52 bytes of `bytes` (which may be longer); checks run in a fixed order and
  // the first failure is returned.
  static Result<VantrelHeader, VantrelError> from_bytes(std::span<const uint8_t> bytes);

  // Every field of the 52 bytes as stored, nothing checked: for tools that show or rewrite
  // headers, valid or not.
  static VantrelHeader unpack(std::span<const uint8_t, kHeaderSize> bytes);

  // The 52 bytes of these fields, written as they are.
  std::array<uint8_t, kHeaderSize> to_bytes() const;

  // The method whose code the header carries (valid after a successful parse).
  WaveletMethod method() const;
};

// The codec's families as callers list them, each ordered by code (the code is the index): what
// a binding needs to name methods and coders exactly as the codec does.
struct WaveletMethodInfo {
  uint8_t code;                // the WaveletMethod value
  std::array<uint8_t, 4> tag;  // the container's wavelet code, e.g. "cf97"
  std::string_view name;       // the options' name, e.g. "cdf97"
};

struct EntropyCoderInfo {
  uint8_t code;           // the EntropyCoder value, stored in the container's coder byte
  std::string_view name;  // the options' name, e.g. "deflate"
  // Whether the options' rejection message names the coder. cmodel is accepted but has never
  // been listed there, and the message text stays as it is.
  bool listed;
};

std::span<const WaveletMethodInfo> wavelet_method_infos();
std::span<const EntropyCoderInfo> entropy_coder_infos();

}  // namespace vantrel
