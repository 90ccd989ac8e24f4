#include "support/crc32c.h"

#include <array>
#include <cassert>
#include <cstring>

#if defined(__x86_64__)
#include <nmmintrin.h>
#endif

namespace vantrel {
namespace {

constexpr uint32_t kReflectedPolynomial = 0x82F63B78;

// kTables[0] is the byte-at-a-time table; kTables[k][b] is the CRC of byte b followed by k zero
// bytes, so eight bytes fold in with one lookup each ("slicing by eight").
using Tables = std::array<std::array<uint32_t, 256>, 8>;

constexpr Tables make_tables() {
  Tables t{};
  for (uint32_t b = 0; b < 256; ++b) {
    uint32_t crc = b;
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ ((crc & 1) ? kReflectedPolynomial : 0);
    t[0][b] = crc;
  }
  for (size_t k = 1; k < t.size(); ++k) {
    for (uint32_t b = 0; b < 256; ++b) t[k][b] = (t[k - 1][b] >> 8) ^ t[0][t[k - 1][b] & 0xFF];
  }
  return t;
}

constexpr Tables kTables = make_tables();

// `crc` here is the register, without the final XOR.
uint32_t extend_table(uint32_t crc, const uint8_t* p, size_t n) noexcept {
  for (; n >= 8; n -= 8, p += 8) {
    // The little-endian load makes byte 0 the lowest, as the reflected register wants.
    const uint32_t lo =
        crc ^ (uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24);
    const uint32_t hi =
        uint32_t{p[4]} | uint32_t{p[5]} << 8 | uint32_t{p[6]} << 16 | uint32_t{p[7]} << 24;
    crc = kTables[7][lo & 0xFF] ^ kTables[6][(lo >> 8) & 0xFF] ^ kTables[5][(lo >> 16) & 0xFF] ^
          kTables[4][lo >> 24] ^ kTables[3][hi & 0xFF] ^ kTables[2][(hi >> 8) & 0xFF] ^
          kTables[1][(hi >> 16) & 0xFF] ^ kTables[0][hi >> 24];
  }
  for (; n > 0; --n, ++p) crc = (crc >> 8) ^ kTables[0][(crc ^ *p) & 0xFF];
  return crc;
}

#if defined(__x86_64__)
bool cpu_has_sse42() noexcept {
  __builtin_cpu_init();
  return __builtin_cpu_supports("sse4.2");
}

// The instruction computes the same reflected Castagnoli register update as the table.
__attribute__((target("sse4.2"))) uint32_t extend_sse42(uint32_t crc, const uint8_t* p,
                                                        size_t n) noexcept {
  uint64_t wide = crc;
  for (; n >= 8; n -= 8, p += 8) {
    uint64_t word;
    std::memcpy(&word, p, sizeof word);
    wide = _mm_crc32_u64(wide, word);
  }
  crc = static_cast<uint32_t>(wide);
  for (; n > 0; --n, ++p) crc = _mm_crc32_u8(crc, *p);
  return crc;
}
#else
bool cpu_has_sse42() noexcept { return false; }
#endif

uint32_t extend_register(uint32_t crc, const uint8_t* p, size_t n, Crc32cPath path) noexcept {
#if defined(__x86_64__)
  if (path == Crc32cPath::Sse42) return extend_sse42(crc, p, n);
#endif
  (void)path;
  return extend_table(crc, p, n);
}

}  // namespace

bool crc32c_path_available(Crc32cPath path) noexcept {
  switch (path) {
    case Crc32cPath::Table:
      return true;
    case Crc32cPath::Sse42:
      return cpu_has_sse42();
  }
  return false;
}

uint32_t crc32c_extend(uint32_t crc, std::span<const uint8_t> bytes, Crc32cPath path) noexcept {
  assert(crc32c_path_available(path));
  return ~extend_register(~crc, bytes.data(), bytes.size(), path);
}

uint32_t crc32c_extend(uint32_t crc, std::span<const uint8_t> bytes) noexcept {
  static const Crc32cPath best =
      crc32c_path_available(Crc32cPath::Sse42) ? Crc32cPath::Sse42 : Crc32cPath::Table;
  return crc32c_extend(crc, bytes, best);
}

}  // namespace vantrel
