// Drives the C++ trailer and the C interface from tests in other languages, which compare what
// it writes with the companion package's Python implementation:
//   trailer_probe crc FILE                    CRC-32C of FILE on every path the CPU runs
//   trailer_probe compress f4|f8 IN OUT [METHOD SCALE CUTOFF CODER]
//                                             sealed container of the raw samples in IN
//   trailer_probe decompress IN OUT           float32 samples of a container, gaps restored
// Failures print vtrl_last_error() and exit 1.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/crc32c.h"
#include "vantrel/vantrel_c.h"

namespace {

std::vector<uint8_t> read_file(const char* path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_file(const char* path, const void* data, size_t size) {
  std::ofstream(path, std::ios::binary)
      .write(static_cast<const char*>(data), std::streamsize(size));
}

int failed() {
  std::fprintf(stderr, "%s\n", vtrl_last_error());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "crc" && argc == 3) {
    const auto bytes = read_file(argv[2]);
    for (auto path : vantrel::kCrc32cPaths) {
      if (!vantrel::crc32c_path_available(path)) continue;
      std::printf("%s %08x\n", path == vantrel::Crc32cPath::Table ? "table" : "sse42",
                  vantrel::crc32c_extend(0, bytes, path));
    }
    return 0;
  }
  if (command == "compress" && (argc == 5 || argc == 9)) {
    const bool f8 = std::strcmp(argv[2], "f8") == 0;
    const auto raw = read_file(argv[3]);
    vtrl_options options;
    vtrl_options_init(&options);
    if (argc == 9) {
      options.method = std::atoi(argv[5]);
      options.scale = std::atoi(argv[6]);
      options.cutoff = std::atoi(argv[7]);
      options.coder = std::atoi(argv[8]);
    }
    uint8_t* packed = nullptr;
    size_t size = 0;
    if (vtrl_compress(raw.data(), raw.size() / (f8 ? 8 : 4), f8 ? VTRL_FLOAT64 : VTRL_FLOAT32,
                      &options, 0, &packed, &size) != VTRL_OK) {
      return failed();
    }
    write_file(argv[4], packed, size);
    vtrl_free(packed);
    return 0;
  }
  if (command == "decompress" && argc == 4) {
    const auto bytes = read_file(argv[2]);
    void* samples = nullptr;
    size_t count = 0;
    if (vtrl_decompress(bytes.data(), bytes.size(), VTRL_FLOAT32, 0, &samples, &count) != VTRL_OK) {
      return failed();
    }
    write_file(argv[3], samples, count * sizeof(float));
    vtrl_free(samples);
    return 0;
  }
  std::fprintf(stderr,
               "usage: trailer_probe crc FILE | compress f4|f8 IN OUT [M S C K] | "
               "decompress IN OUT\n");
  return 2;
}
