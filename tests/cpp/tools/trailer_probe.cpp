// Drives the C++ trailer and the C interface for tests in Python, which compare what it writes
// with the companion package's own trailer:
//   trailer_probe crc FILE              CRC-32C of FILE on every path the CPU runs
//   trailer_probe compress f4|f8 IN OUT sealed container of the raw samples in IN
//   trailer_probe decompress IN OUT     float32 samples of a container, gaps restored
// Failures print vtrl_last_error() and exit 1.
#include <cstdio>
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

int write_file(const char* path, void* data, size_t size) {
  std::ofstream(path, std::ios::binary)
      .write(static_cast<const char*>(data), std::streamsize(size));
  vtrl_free(data);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  void* out = nullptr;
  size_t n = 0;
  if (command == "crc" && argc == 3) {
    const auto bytes = read_file(argv[2]);
    for (auto path : vantrel::kCrc32cPaths) {
      if (!vantrel::crc32c_path_available(path)) continue;
      std::printf("%s %08x\n", path == vantrel::Crc32cPath::Table ? "table" : "sse42",
                  vantrel::crc32c_extend(0, bytes, path));
    }
    return 0;
  }
  if (command == "compress" && argc == 5) {
    const bool f8 = std::strcmp(argv[2], "f8") == 0;
    const auto raw = read_file(argv[3]);
    if (vtrl_compress(raw.data(), raw.size() / (f8 ? 8 : 4), f8 ? VTRL_FLOAT64 : VTRL_FLOAT32,
                      nullptr, 0, reinterpret_cast<uint8_t**>(&out), &n) == VTRL_OK) {
      return write_file(argv[4], out, n);
    }
  } else if (command == "decompress" && argc == 4) {
    const auto bytes = read_file(argv[2]);
    if (vtrl_decompress(bytes.data(), bytes.size(), VTRL_FLOAT32, 0, &out, &n) == VTRL_OK) {
      return write_file(argv[3], out, n * sizeof(float));
    }
  } else {
    std::fprintf(stderr,
                 "usage: trailer_probe crc FILE | compress f4|f8 IN OUT | decompress IN OUT\n");
    return 2;
  }
  std::fprintf(stderr, "%s\n", vtrl_last_error());
  return 1;
}
