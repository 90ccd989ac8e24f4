// Size and speed of the residual coder on the cases bench/residual.py writes: each file holds the
// sample count (u64), the bin width (f32), the base (f32 each) and the residual (i32 each). For
// every case it prints one line
//   case PATH BYTES ESTIMATED_BITS ENCODE_NS DECODE_NS ESTIMATE_NS MEMCPY_NS
//        ADAPTIVE_BYTES ADAPTIVE_DECODE_NS SMALLEST_BYTES SMALLEST_DECODE_NS FAST_BYTES
//        FAST_DECODE_NS STREAMS_HASH
// with the best of several runs of each, memcpy of the residual's bytes timed in the same run as
// the baseline. The first figures are the default stream's; then the adaptive format (the first
// one written), the blocks format taking the smaller code in every block (no margin for the fast
// one), and the blocks format with the fast code in every block. A case that does not decode to
// its residual stops the run.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <span>
#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "codec/residual.h"

using vantrel::bench::best_seconds;
using vantrel::bench::consume;
using vantrel::bench::g_sink;

namespace {

struct Case {
  std::vector<float> base;
  std::vector<int32_t> residual;
  float bin = 0;
};

bool read_case(const std::string& path, Case& c) {
  std::ifstream in(path, std::ios::binary);
  uint64_t n = 0;
  if (!in.read(reinterpret_cast<char*>(&n), 8)) return false;
  if (!in.read(reinterpret_cast<char*>(&c.bin), 4)) return false;
  c.base.resize(n);
  c.residual.resize(n);
  return static_cast<bool>(in.read(reinterpret_cast<char*>(c.base.data()), 4 * n)) &&
         static_cast<bool>(in.read(reinterpret_cast<char*>(c.residual.data()), 4 * n));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DIR (of .case files from bench/residual.py)\n", argv[0]);
    return 2;
  }
  std::vector<std::string> paths;
  for (const auto& entry : std::filesystem::directory_iterator(argv[1])) {
    if (entry.path().extension() == ".case") paths.push_back(entry.path().string());
  }
  std::sort(paths.begin(), paths.end());
  const int reps = 5;
  double copy_bytes = 0, copy_seconds = 0;
  for (const std::string& path : paths) {
    Case c;
    if (!read_case(path, c)) {
      std::fprintf(stderr, "%s: cannot read\n", path.c_str());
      return 1;
    }
    const size_t n = c.residual.size();
    std::vector<uint8_t> stream;
    const double enc = best_seconds(reps, [&] {
      stream.clear();
      if (!vantrel::encode_residual_into(c.residual, c.base, c.bin, stream).ok()) std::abort();
    });
    std::vector<int32_t> back(n);
    const double dec = best_seconds(
        reps, [&] { consume(vantrel::decode_residual_into(stream, c.base, c.bin, back).ok()); });
    if (back != c.residual) {
      std::fprintf(stderr, "%s: does not decode to its residual\n", path.c_str());
      return 1;
    }
    // The other streams: bytes and decode time.
    uint64_t hash = 0xcbf29ce484222325ull;
    const auto mix = [&](const void* data, size_t size) {
      for (size_t i = 0; i < size; ++i) {
        hash = (hash ^ static_cast<const uint8_t*>(data)[i]) * 0x100000001b3ull;
      }
    };
    mix(stream.data(), stream.size());
    const auto other = [&](const vantrel::ResidualOptions& options, size_t& bytes, double& ns) {
      std::vector<uint8_t> s;
      if (!vantrel::encode_residual_into(c.residual, c.base, c.bin, s, options).ok()) std::abort();
      std::vector<int32_t> b(n);
      ns = 1e9 * best_seconds(reps, [&] {
        consume(vantrel::decode_residual_into(s, c.base, c.bin, b, options.format).ok());
      });
      if (b != c.residual) {
        std::fprintf(stderr, "%s: does not decode to its residual\n", path.c_str());
        std::exit(1);
      }
      bytes = s.size();
      mix(s.data(), s.size());
    };
    size_t adaptive_bytes, smallest_bytes, fast_bytes;
    double adaptive_ns, smallest_ns, fast_ns;
    other({vantrel::ResidualFormat::Adaptive}, adaptive_bytes, adaptive_ns);
    other({vantrel::ResidualFormat::Blocks, 0.0}, smallest_bytes, smallest_ns);
    other({vantrel::ResidualFormat::Blocks, 1.0}, fast_bytes, fast_ns);
    double estimate = 0;
    const double est = best_seconds(
        reps, [&] { estimate = vantrel::estimate_residual_bits(c.residual, c.base, c.bin); });
    mix(&estimate, sizeof estimate);
    std::vector<int32_t> copy(n);
    const double cp = best_seconds(reps * 4, [&] {
      std::memcpy(copy.data(), c.residual.data(), 4 * n);
      consume(static_cast<uint64_t>(copy[n / 2]));
    });
    copy_bytes += 4.0 * static_cast<double>(n);
    copy_seconds += cp;
    std::printf("case %s %zu %.1f %.0f %.0f %.0f %.0f %zu %.0f %zu %.0f %zu %.0f %016llx\n",
                path.c_str(), stream.size(), estimate, enc * 1e9, dec * 1e9, est * 1e9, cp * 1e9,
                adaptive_bytes, adaptive_ns, smallest_bytes, smallest_ns, fast_bytes, fast_ns,
                static_cast<unsigned long long>(hash));
  }
  if (copy_seconds > 0) {
    std::printf("baseline memcpy: %.0f MB/s over the cases\n", copy_bytes / 1e6 / copy_seconds);
  }
  return g_sink == 42 ? 1 : 0;
}
