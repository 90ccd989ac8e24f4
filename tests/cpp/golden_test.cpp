// Pins the exact container bytes and decoded samples of fixed signals for every method and
// coder, so that no optimisation can change the format or the decoder's output unnoticed.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "codec/residual.h"
#include "codec/vantrel.h"
#include "tests/cpp/test_util.h"

namespace vantrel {
namespace {

uint64_t fnv1a(const void* data, size_t size) {
  uint64_t h = 0xcbf29ce484222325ull;
  const auto* p = static_cast<const uint8_t*>(data);
  for (size_t i = 0; i < size; ++i) h = (h ^ p[i]) * 0x100000001b3ull;
  return h;
}

// Signals built from integer arithmetic only, so they are the same on every platform and libm.
std::vector<float> make_signal(int kind, size_t n) {
  std::vector<float> x(n);
  uint32_t state = 12345u + static_cast<uint32_t>(kind);
  int32_t walk = 0;
  for (size_t i = 0; i < n; ++i) {
    state = state * 1664525u + 1013904223u;
    const int32_t noise = static_cast<int32_t>(state >> 24) - 128;
    switch (kind) {
      case 0:  // random walk with a plateau
        walk += noise;
        x[i] = static_cast<float>(walk) * 0.01f + (i % 1000 < 300 ? 4.0f : 0.0f);
        break;
      case 1:  // triangle wave plus small noise
        x[i] = static_cast<float>(static_cast<int32_t>(i % 200) - 100) * 0.05f +
               static_cast<float>(noise) * 0.001f;
        break;
      default:  // white noise with spikes
        x[i] = static_cast<float>(noise) * (i % 97 == 0 ? 0.5f : 0.01f);
        break;
    }
  }
  return x;
}

struct Golden {
  int kind;
  size_t n;
  uint8_t method;
  uint8_t coder;
  uint8_t scale;
  uint64_t container_hash;
  uint64_t samples_hash;
};

// Printed by this test with VANTREL_PRINT_GOLDEN=1. The deflate coder's bytes are zlib's choice
// at level 6 and may differ between zlib versions, so only its decoded samples are pinned.
const Golden kGolden[] = {
#include "golden_values.inc"
};

TEST(Golden, ContainersAndSamplesAreUnchanged) {
  const bool print = std::getenv("VANTREL_PRINT_GOLDEN") != nullptr;
  for (const Golden& g : kGolden) {
    VtrlCompressionOptions o;
    o.method = g.method;
    o.coder = g.coder;
    o.scale = g.scale;
    const auto x = make_signal(g.kind, g.n);
    const auto c = checked(compress(x, o));
    const auto y = checked(decompress(c));
    const uint64_t ch = fnv1a(c.data(), c.size());
    const uint64_t sh = fnv1a(y.data(), y.size() * sizeof(float));
    if (print) {
      std::printf("    {%d, %zu, %d, %d, %d, 0x%016llxull, 0x%016llxull},\n", g.kind, g.n, g.method,
                  g.coder, g.scale, static_cast<unsigned long long>(ch),
                  static_cast<unsigned long long>(sh));
      continue;
    }
    if (g.container_hash != 0) {
      EXPECT_EQ(ch, g.container_hash) << g.kind << " " << int(g.method) << " " << int(g.coder);
    }
    EXPECT_EQ(sh, g.samples_hash) << g.kind << " " << int(g.method) << " " << int(g.coder);
  }
}

// The correction layer's residual streams against the bases above: a walk the predictor follows,
// small values with spikes that reach the widest contexts, white values. Stored refinements are
// decoded by these models, so their contexts, predictors and codes are part of the format.
TEST(Golden, ResidualStreamsAreUnchanged) {
  // Per format (adaptive, blocks), per kind.
  const uint64_t pinned[2][3] = {
      {0xfe17484852a78a9dull, 0x66fdc13148f8e126ull, 0xcd0005a46ff2dc86ull},
      {0x9dbeade93297b602ull, 0x0b65995bb149b16cull, 0xf45b11904832d1f5ull},
  };
  const bool print = std::getenv("VANTREL_PRINT_GOLDEN") != nullptr;
  for (const ResidualFormat format : {ResidualFormat::Adaptive, ResidualFormat::Blocks}) {
    for (int kind = 0; kind < 3; ++kind) {
      const auto base = make_signal(kind, 3001);
      std::vector<int32_t> r(base.size());
      uint32_t state = 777u + static_cast<uint32_t>(kind);
      int32_t walk = 0;
      for (size_t i = 0; i < r.size(); ++i) {
        state = state * 1664525u + 1013904223u;
        const int32_t noise = static_cast<int32_t>(state >> 24) - 128;
        walk += noise / 8;
        r[i] = kind == 0 ? walk : kind == 1 ? noise / 32 + (i % 97 == 0 ? noise * 4096 : 0) : noise;
      }
      std::vector<uint8_t> stream;
      ASSERT_TRUE(encode_residual_into(r, base, 0.01f, stream, {format}).ok());
      std::vector<int32_t> back(r.size());
      ASSERT_TRUE(decode_residual_into(stream, base, 0.01f, back, format).ok());
      EXPECT_EQ(back, r) << kind;
      const uint64_t h = fnv1a(stream.data(), stream.size());
      if (print) {
        std::printf("    0x%016llxull,\n", static_cast<unsigned long long>(h));
        continue;
      }
      EXPECT_EQ(h, pinned[static_cast<int>(format)][kind]) << kind;
    }
  }
}

// Blocks in a row that take different codes: rare misses (the adaptive code), wide white values
// (the fast code), a walk (a predictor), and a short last block. An encoder that prices and
// records a block in one walk must drop the records of one that takes the fast code, and carry the
// contexts over from the adaptive ones only.
TEST(Golden, ResidualBlocksOfMixedCodesAreUnchanged) {
  constexpr uint64_t kPinned = 0x263cb0daaea5829cull;
  const size_t n = 4 * 4096 + 777;
  const auto base = make_signal(0, n);
  std::vector<int32_t> r(n);
  uint32_t state = 4242u;
  int32_t walk = 0;
  for (size_t i = 0; i < n; ++i) {
    state = state * 1664525u + 1013904223u;
    const int32_t noise = static_cast<int32_t>(state >> 24) - 128;
    walk += noise / 4;
    const size_t block = i / 4096;
    r[i] = block == 1 ? noise * 37 : block == 2 ? walk : (i % 61 == 0 ? noise / 8 : 0);
  }
  const auto coded = [&](double fast_margin) {
    std::vector<uint8_t> stream;
    EXPECT_TRUE(encode_residual_into(r, base, 0.01f, stream,
                                     {ResidualFormat::Blocks, fast_margin})
                    .ok());
    return stream;
  };
  const std::vector<uint8_t> stream = coded(ResidualOptions{}.fast_margin);
  // Both codes are taken.
  EXPECT_NE(stream, coded(1.0));
  EXPECT_NE(stream, coded(-1e9));
  std::vector<int32_t> back(n);
  ASSERT_TRUE(decode_residual_into(stream, base, 0.01f, back, ResidualFormat::Blocks).ok());
  EXPECT_EQ(back, r);
  const uint64_t h = fnv1a(stream.data(), stream.size());
  if (std::getenv("VANTREL_PRINT_GOLDEN") != nullptr) {
    std::printf("    0x%016llxull\n", static_cast<unsigned long long>(h));
    return;
  }
  EXPECT_EQ(h, kPinned);
}

}  // namespace
}  // namespace vantrel
