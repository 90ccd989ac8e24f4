// End-to-end speed and memory of compress and decompress at the default options, for 2^22
// samples of speech (the example recording tiled to length), a synthetic ECG-like signal and white
// noise.
//
//   bench_pipeline [--reps N] [--no-memory] [--wav PATH] [--samples N]
//
// For each data set and direction it prints the total time, the time of the entropy coder alone on
// the same bands (encode_coeffs / decode_coeffs_into, best of the same number of runs), the rest
// as "outside" with its share of the total, ns per binary decision of the coder, MB/s of float32
// input, the ratio to memcpy of the input measured in the same run, and the growth of the peak
// resident set during one call in a fresh process. Times are CPU time of the calling thread (page
// faults included), best of N runs: on a shared machine this excludes time other processes run.
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "codec/cmodel.h"
#include "codec/decompressor.h"
#include "codec/executors.h"
#include "codec/header.h"
#include "codec/options.h"
#include "codec/vantrel.h"

namespace vantrel {
using bench::best_seconds;
using bench::consume;
using bench::g_sink;
using bench::synthetic_ecg;
using bench::thread_seconds;
using bench::white_noise;

namespace {




// 16-bit PCM samples of the first channel, scaled to [-1, 1); empty when the file is not such a
// WAV file.
std::vector<float> read_wav16(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const std::vector<uint8_t> b((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
  auto u16 = [&](size_t at) { return static_cast<uint32_t>(b[at] | b[at + 1] << 8); };
  auto u32 = [&](size_t at) { return u16(at) | u16(at + 2) << 16; };
  if (b.size() < 12 || std::memcmp(b.data(), "RIFF", 4) != 0 ||
      std::memcmp(b.data() + 8, "WAVE", 4) != 0)
    return {};
  uint32_t channels = 0, bits = 0;
  for (size_t at = 12; at + 8 <= b.size();) {
    const uint32_t size = u32(at + 4);
    const size_t body = at + 8;
    if (size > b.size() - body) return {};
    if (std::memcmp(b.data() + at, "fmt ", 4) == 0 && size >= 16) {
      if (u16(body) != 1) return {};  // PCM only
      channels = u16(body + 2);
      bits = u16(body + 14);
    } else if (std::memcmp(b.data() + at, "data", 4) == 0) {
      if (channels == 0 || bits != 16) return {};
      const size_t frames = size / (2 * channels);
      std::vector<float> out(frames);
      for (size_t i = 0; i < frames; ++i) {
        out[i] = static_cast<float>(static_cast<int16_t>(u16(body + 2 * channels * i))) / 32768.0f;
      }
      return out;
    }
    at = body + size + (size & 1);
  }
  return {};
}

std::vector<float> tile(const std::vector<float>& src, size_t n) {
  std::vector<float> out(n);
  for (size_t i = 0; i < n; ++i) out[i] = src[i % src.size()];
  return out;
}

std::vector<size_t> band_lengths_of(const VantrelHeader& header) {
  return band_lengths(*make_executor(header.method()), header.levels, header.sample_count);
}

long read_status_kib(const char* key) {
  std::ifstream in("/proc/self/status");
  std::string line;
  const size_t len = std::strlen(key);
  while (std::getline(in, line)) {
    if (line.compare(0, len, key) == 0) return std::strtol(line.c_str() + len + 1, nullptr, 10);
  }
  return -1;
}

bool write_file(const std::string& path, const void* data, size_t size) {
  std::ofstream out(path, std::ios::binary);
  out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
  return static_cast<bool>(out);
}

std::vector<uint8_t> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
}

// Child mode: loads FILE (raw float32 samples for "compress", a container for "decompress"),
// resets the peak resident set, runs one call and prints the growth of the peak in bytes. A fresh
// process, so that nothing the parent's heap keeps hides the call's own first touches.
int measure_child(const std::string& what, const std::string& path) {
  const std::vector<uint8_t> bytes = read_file(path);
  std::vector<float> samples;
  if (what == "compress") {
    samples.resize(bytes.size() / sizeof(float));
    std::memcpy(samples.data(), bytes.data(), samples.size() * sizeof(float));
  }
  std::ofstream("/proc/self/clear_refs") << "5";
  const long base = read_status_kib("VmRSS:");
  uint64_t size = 0;
  if (what == "compress") {
    size = compress(samples, VtrlCompressionOptions())->size();
  } else {
    size = decompress(bytes)->size();
  }
  const long peak = read_status_kib("VmHWM:");
  consume(size);
  std::printf("%lld\n", (peak - base) * 1024LL);
  return 0;
}

// Growth of the peak resident set, in bytes, during one call in a fresh process; -1 when it
// cannot be measured.
long long peak_growth(const char* what, const void* data, size_t size) {
  char path[] = "/tmp/bench_pipeline_XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) return -1;
  close(fd);
  long long growth = -1;
  if (write_file(path, data, size)) {
    const std::string command =
        std::string("/proc/") + std::to_string(getpid()) + "/exe --measure " + what + " " + path;
    if (FILE* pipe = popen(command.c_str(), "r")) {
      if (std::fscanf(pipe, "%lld", &growth) != 1) growth = -1;
      if (pclose(pipe) != 0) growth = -1;
    }
  }
  std::remove(path);
  return growth;
}

struct Options {
  int reps = 5;
  bool memory = true;
  std::string wav = "examples/data/front_center.wav";
  size_t samples = size_t{1} << 22;
};

void run_case(const char* name, const std::vector<float>& signal, double memcpy_seconds,
              const Options& opt) {
  const VtrlCompressionOptions defaults;
  std::vector<uint8_t> container;
  const double t_compress = best_seconds(opt.reps, [&] {
    auto c = compress(signal, defaults);
    if (!c) {
      std::fprintf(stderr, "compress: %s\n", c.error().to_string().c_str());
      std::exit(1);
    }
    container = std::move(c).value();
  });
  std::vector<float> restored;
  const double t_decompress = best_seconds(opt.reps, [&] {
    auto d = decompress(container);
    if (!d) {
      std::fprintf(stderr, "decompress: %s\n", d.error().to_string().c_str());
      std::exit(1);
    }
    restored = std::move(d).value();
  });
  consume(restored.size());

  // The coder alone on the same bands.
  const auto header = VantrelHeader::from_bytes(container);
  const std::span<const uint8_t> payload(container.data() + kHeaderSize, header->payload_len);
  const std::vector<size_t> lengths = band_lengths_of(*header);
  size_t total = 0;
  for (const size_t len : lengths) total += len;
  std::vector<int16_t> flat(total);
  if (!decode_coeffs_into(payload, lengths, flat).ok()) {
    std::fprintf(stderr, "decode_coeffs_into failed\n");
    std::exit(1);
  }
  std::vector<std::span<const int16_t>> spans;
  uint64_t decisions = 0;
  for (size_t i = 0, at = 0; i < lengths.size(); at += lengths[i], ++i) {
    spans.emplace_back(flat.data() + at, lengths[i]);
    const uint64_t width = payload[1 + i];
    for (const int16_t v : spans.back()) decisions += v != 0 ? 2 + width : 1;
  }
  const double t_encode = best_seconds(opt.reps, [&] {
    const std::vector<uint8_t> coded = encode_coeffs(spans);
    consume(coded.size());
  });
  std::vector<int16_t> scratch(total);
  const double t_decode =
      best_seconds(opt.reps, [&] { consume(decode_coeffs_into(payload, lengths, scratch).ok()); });

  long long mem_c = -1, mem_d = -1;
  if (opt.memory) {
    mem_c = peak_growth("compress", signal.data(), signal.size() * sizeof(float));
    mem_d = peak_growth("decompress", container.data(), container.size());
  }

  const double in_mb = static_cast<double>(signal.size() * sizeof(float)) / 1e6;
  const double in_bytes = static_cast<double>(signal.size() * sizeof(float));
  std::printf("%s: %zu samples, %.3f decisions/sample, %zu container bytes (ratio %.2f)\n", name,
              signal.size(), static_cast<double>(decisions) / static_cast<double>(signal.size()),
              container.size(), in_bytes / static_cast<double>(container.size()));
  auto line = [&](const char* what, double total_s, double coder_s, long long mem) {
    const double outside = std::max(0.0, total_s - coder_s);
    std::printf(
        "  %-10s %8.2f ms  coder %8.2f ms (%5.2f ns/decision)  outside %7.2f ms (%4.1f%%)"
        "  %6.1f MB/s  x%.4f memcpy",
        what, total_s * 1e3, coder_s * 1e3, coder_s * 1e9 / static_cast<double>(decisions),
        outside * 1e3, 100.0 * outside / total_s, in_mb / total_s, memcpy_seconds / total_s);
    if (mem >= 0) {
      std::printf("  peak +%.1f MiB (%.2fx input)", static_cast<double>(mem) / (1 << 20),
                  static_cast<double>(mem) / in_bytes);
    }
    std::printf("\n");
  };
  line("compress", t_compress, t_encode, mem_c);
  line("decompress", t_decompress, t_decode, mem_d);
}

int run(int argc, char** argv) {
  Options opt;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--reps" && i + 1 < argc) {
      opt.reps = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--no-memory") {
      opt.memory = false;
    } else if (arg == "--wav" && i + 1 < argc) {
      opt.wav = argv[++i];
    } else if (arg == "--measure" && i + 2 < argc) {
      return measure_child(argv[i + 1], argv[i + 2]);
    } else if (arg == "--samples" && i + 1 < argc) {
      opt.samples = std::max<size_t>(1, std::strtoull(argv[++i], nullptr, 10));
    } else {
      std::fprintf(stderr, "usage: %s [--reps N] [--no-memory] [--wav PATH] [--samples N]\n",
                   argv[0]);
      return 2;
    }
  }
  const size_t n = opt.samples;

  // Baseline: memcpy of the input's size into a buffer touched before.
  std::vector<float> src(n, 1.0f), dst(n, 0.0f);
  const double t_copy = best_seconds(opt.reps + 2, [&] {
    std::memcpy(dst.data(), src.data(), n * sizeof(float));
    consume(static_cast<uint64_t>(dst[n / 3]));
  });
  std::printf("memcpy of %zu bytes: %.3f ms (%.0f MB/s)\n", n * sizeof(float), t_copy * 1e3,
              static_cast<double>(n * sizeof(float)) / 1e6 / t_copy);

  const std::vector<float> speech = read_wav16(opt.wav);
  if (speech.empty()) {
    std::fprintf(stderr, "%s: not a 16-bit PCM WAV file; speech skipped\n", opt.wav.c_str());
  } else {
    run_case("speech", tile(speech, n), t_copy, opt);
  }
  run_case("ecg-like", synthetic_ecg(n, 7), t_copy, opt);
  run_case("white noise", white_noise(n, 3), t_copy, opt);
  return g_sink == 42 ? 1 : 0;
}

}  // namespace
}  // namespace vantrel

int main(int argc, char** argv) { return vantrel::run(argc, argv); }
