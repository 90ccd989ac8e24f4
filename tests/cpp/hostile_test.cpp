// Hostile inputs: whatever a small stream or container claims, the decoders allocate in
// proportion to what its bytes can hold, and refuse the rest with the error decoding would give.
//
// Heap use is measured by replacing the global (unaligned) operator new and delete for this test
// binary: they forward to malloc and free and, while a Watch is alive, track the bytes live and
// their peak.
#include <gtest/gtest.h>
#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "codec/arans.h"
#include "codec/cmodel.h"
#include "codec/deflate.h"
#include "codec/header.h"
#include "codec/vantrel.h"
#include "tests/cpp/test_util.h"

namespace {

std::atomic<bool> g_watching{false};
std::atomic<int64_t> g_live{0};
std::atomic<int64_t> g_peak{0};

void* tracked_alloc(size_t n) {
  void* p = std::malloc(n == 0 ? 1 : n);
  if (p != nullptr && g_watching.load(std::memory_order_relaxed)) {
    const int64_t live = g_live.fetch_add(static_cast<int64_t>(malloc_usable_size(p))) +
                         static_cast<int64_t>(malloc_usable_size(p));
    int64_t peak = g_peak.load();
    while (live > peak && !g_peak.compare_exchange_weak(peak, live)) {
    }
  }
  return p;
}

void tracked_free(void* p) {
  if (p == nullptr) return;
  if (g_watching.load(std::memory_order_relaxed)) {
    g_live.fetch_sub(static_cast<int64_t>(malloc_usable_size(p)));
  }
  std::free(p);
}

}  // namespace

void* operator new(size_t n) {
  void* p = tracked_alloc(n);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void* operator new[](size_t n) { return operator new(n); }
void* operator new(size_t n, const std::nothrow_t&) noexcept { return tracked_alloc(n); }
void* operator new[](size_t n, const std::nothrow_t&) noexcept { return tracked_alloc(n); }
void operator delete(void* p) noexcept { tracked_free(p); }
void operator delete[](void* p) noexcept { tracked_free(p); }
void operator delete(void* p, size_t) noexcept { tracked_free(p); }
void operator delete[](void* p, size_t) noexcept { tracked_free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { tracked_free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { tracked_free(p); }

namespace vantrel {
namespace {

constexpr int64_t kMiB = int64_t{1} << 20;
constexpr size_t kSmallContainer = 1024;
constexpr uint32_t kMaxSampleCount = 0x7FFFFFFF;

// Tracks the peak of the bytes allocated through operator new from construction on (frees of
// older blocks count against it, so the peak is the growth over the start).
class Watch {
 public:
  Watch() {
    g_live = 0;
    g_peak = 0;
    g_watching = true;
  }
  ~Watch() { g_watching = false; }
  int64_t peak_bytes() const { return g_peak.load(); }
};

std::vector<uint8_t> plane_of_zeros(size_t count, uint32_t ctx_bits) {
  return encode_plane(std::vector<uint8_t>(count, 0), ctx_bits);
}

TEST(HostileStream, PlaneClaimBeyondItsBytesFailsBeforeReserving) {
  const std::vector<uint8_t> saturated = plane_of_zeros(4000, 8);
  const std::vector<uint8_t> state_only = {0x00, 0x00, 0x01, 0x00};
  const std::vector<uint8_t> ones(1000, 0xFF);
  struct Case {
    const char* name;
    const std::vector<uint8_t>* data;
    size_t count;
  };
  const Case cases[] = {
      {"state only, 2^28", &state_only, size_t{1} << 28},
      {"1000 bytes, 2^28", &ones, size_t{1} << 28},
      {"saturated zeros, 2^28", &saturated, size_t{1} << 28},
      {"saturated zeros, 1000x their count", &saturated, 4'000'000},
      {"1000 bytes, SIZE_MAX", &ones, SIZE_MAX},
  };
  for (const Case& c : cases) {
    for (const uint32_t ctx_bits : {0u, 3u, 8u}) {
      SCOPED_TRACE(std::string(c.name) + ", ctx_bits " + std::to_string(ctx_bits));
      Watch watch;
      const auto out = decode_plane(*c.data, c.count, ctx_bits);
      ASSERT_FALSE(out.ok());
      EXPECT_EQ(out.error(), AransError::Truncated);
      EXPECT_LT(watch.peak_bytes(), kMiB);
    }
  }
}

TEST(HostileStream, DensestPlanesStillDecode) {
  // Zeros at the saturated probability are the most bytes a plane stream can carry per word;
  // the early refusal must keep every one of them.
  for (const uint32_t ctx_bits : {0u, 3u, 8u}) {
    for (const size_t count : {1, 7, 400, 401, 5000, 65537, 300000}) {
      SCOPED_TRACE("ctx_bits " + std::to_string(ctx_bits) + ", count " + std::to_string(count));
      const std::vector<uint8_t> stream = plane_of_zeros(count, ctx_bits);
      const auto out = decode_plane(stream, count, ctx_bits);
      ASSERT_TRUE(out.ok());
      EXPECT_EQ(*out, std::vector<uint8_t>(count, 0));
    }
  }
}

std::vector<uint8_t> split_stream_claiming(uint64_t pairs, size_t plane_bytes, uint8_t fill) {
  std::vector<uint8_t> s = {0x00, 0x08};
  write_leb128(pairs, s);
  write_leb128(plane_bytes, s);
  s.insert(s.end(), 2 * plane_bytes, fill);
  return s;
}

TEST(HostileStream, SplitStreamClaimBeyondItsBytesFailsSmall) {
  for (const uint8_t fill : {0x00, 0x5A, 0xFF}) {
    for (const uint64_t pairs : {uint64_t{1} << 28, uint64_t{1} << 20, uint64_t{100'000}}) {
      SCOPED_TRACE("fill " + std::to_string(fill) + ", pairs " + std::to_string(pairs));
      const std::vector<uint8_t> stream = split_stream_claiming(pairs, 480, fill);
      Watch watch;
      const auto out = decode_stream(stream);
      ASSERT_FALSE(out.ok());
      EXPECT_EQ(out.error(), AransError::Truncated);
      EXPECT_LT(watch.peak_bytes(), kMiB);
    }
  }
}

std::vector<uint8_t> container(uint8_t method, uint8_t levels, uint8_t coder, uint32_t sample_count,
                               const std::vector<uint8_t>& payload) {
  const ContainerFields fields{method, levels, 11, coder, sample_count, 0.0f, 1.0f, 0.0f, 2048.0f};
  auto packed = write_container(fields, payload);
  EXPECT_TRUE(packed.ok());
  return checked(std::move(packed));
}

// The worst payloads of at most 1 KiB for each coder, indexed by coder code, for a header that
// claims the largest signal and the most levels.
std::vector<std::pair<std::string, std::vector<uint8_t>>> hostile_payloads(uint8_t levels) {
  std::vector<std::pair<std::string, std::vector<uint8_t>>> out;
  // deflate: a bomb of zeros, about a thousand to one.
  auto bomb = deflate_payload(std::vector<uint8_t>(900'000, 0));
  EXPECT_TRUE(bomb.ok());
  out.emplace_back("deflate bomb", *bomb);
  // arans: 2^28 pairs over two planes of saturated zeros.
  std::vector<uint8_t> ar = {0x00, 0x08};
  write_leb128(uint64_t{1} << 28, ar);
  const std::vector<uint8_t> plane = plane_of_zeros(80'000, 8);
  write_leb128(plane.size(), ar);
  ar.insert(ar.end(), plane.begin(), plane.end());
  ar.insert(ar.end(), plane.begin(), plane.end());
  out.emplace_back("arans 2^28 pairs", ar);
  // cmodel: widths of 1 and saturated zero flags; the claim is far beyond what they back.
  std::vector<uint8_t> cm = {static_cast<uint8_t>(levels + 1)};
  cm.insert(cm.end(), levels + 1, 1);
  const std::vector<int16_t> zeros(1'000'000, 0);
  const std::span<const int16_t> band(zeros);
  const std::vector<uint8_t> coded = encode_coeffs(std::span(&band, 1));
  cm.insert(cm.end(), coded.begin() + 2, coded.end());
  out.emplace_back("cmodel zeros", cm);
  return out;
}

class HostileContainer : public ::testing::TestWithParam<uint8_t> {};

TEST_P(HostileContainer, HugeClaimsStayWithinBounds) {
  const uint8_t method = GetParam();
  int64_t worst = 0;
  for (const uint8_t levels : {1, 10}) {
    const auto payloads = hostile_payloads(levels);
    for (size_t coder = 0; coder < payloads.size(); ++coder) {
      const auto& [name, payload] = payloads[coder];
      for (const uint32_t sample_count : {kMaxSampleCount, uint32_t{1} << 24}) {
        SCOPED_TRACE(name + ", levels " + std::to_string(levels) + ", samples " +
                     std::to_string(sample_count));
        const auto packed =
            container(method, levels, static_cast<uint8_t>(coder), sample_count, payload);
        ASSERT_LE(packed.size(), kSmallContainer);
        Watch watch;
        const auto out = decompress(packed);
        EXPECT_FALSE(out.ok());
        EXPECT_LT(watch.peak_bytes(), 8 * kMiB);
        worst = std::max(worst, watch.peak_bytes());
      }
    }
  }
  RecordProperty("worst_peak_bytes", std::to_string(worst));
}

TEST_P(HostileContainer, LongestSmallContainersDecodeWithinBounds) {
  // A constant signal is the longest a 1 KiB container can describe with each coder; decoding
  // it legitimately needs a few buffers of its length, and no more.
  struct Case {
    uint8_t coder;
    size_t num_samples;
  };
  for (const Case c : {Case{2, 1'400'000}, Case{1, 88'000}, Case{0, 490'000}}) {
    SCOPED_TRACE("coder " + std::to_string(c.coder));
    VtrlCompressionOptions options;
    options.method = GetParam();
    options.coder = c.coder;
    const auto packed = compress(std::vector<float>(c.num_samples, 0.25f), options);
    ASSERT_TRUE(packed.ok());
    ASSERT_LE(packed->size(), kSmallContainer);
    Watch watch;
    const auto out = decompress(*packed);
    ASSERT_TRUE(out.ok());
    EXPECT_EQ(out->size(), c.num_samples);
    EXPECT_LT(watch.peak_bytes(), 64 * kMiB);
    RecordProperty("peak_bytes_coder_" + std::to_string(c.coder),
                   std::to_string(watch.peak_bytes()));
    EXPECT_EQ((*out)[c.num_samples / 2], 0.25f);
  }
}

std::string method_name(const ::testing::TestParamInfo<uint8_t>& info) {
  static const char* const kNames[] = {"cdf53", "cdf97", "db4", "sym4"};
  return kNames[info.param];
}

INSTANTIATE_TEST_SUITE_P(EveryMethod, HostileContainer, ::testing::Values(0, 1, 2, 3), method_name);

}  // namespace
}  // namespace vantrel
