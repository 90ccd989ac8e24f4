// CRC-32C (Castagnoli, the iSCSI checksum): polynomial 0x1EDC6F41, reflected (0x82F63B78), initial
// value and final XOR 0xFFFFFFFF. crc32c("123456789") is 0xE3069283.
//
// Two paths give the same value: an eight-table slicing loop that any CPU runs, and the SSE4.2
// `crc32` instruction where the CPU has it, chosen once at run time. Tests may run either path.
#pragma once

#include <cstdint>
#include <span>

namespace vantrel {

enum class Crc32cPath : uint8_t { Table = 0, Sse42 = 1 };

inline constexpr Crc32cPath kCrc32cPaths[] = {Crc32cPath::Table, Crc32cPath::Sse42};

// Whether this build and this CPU can run the path.
bool crc32c_path_available(Crc32cPath path) noexcept;

// The CRC-32C of the bytes that gave `crc` followed by `bytes`: crc32c_extend(crc32c(a), b) is
// crc32c(a then b), and crc32c_extend(0, b) is crc32c(b).
uint32_t crc32c_extend(uint32_t crc, std::span<const uint8_t> bytes) noexcept;

// The same on a given path (which must be available).
uint32_t crc32c_extend(uint32_t crc, std::span<const uint8_t> bytes, Crc32cPath path) noexcept;

inline uint32_t crc32c(std::span<const uint8_t> bytes) noexcept { return crc32c_extend(0, bytes); }

}  // namespace vantrel
