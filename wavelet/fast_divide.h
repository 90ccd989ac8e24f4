// Division of signed 64-bit integers by a divisor fixed in advance, as a multiply and a shift.
//
// For a divisor d with |d| not a power of two and L = floor(log2 |d|), the magic number m is about
// 2^(64+L) / |d| (one bit wider than 64 when the "add" step is needed, in which case the missing
// top bit is restored by adding the numerator after the multiply-high). The quotient is then
// (mulhi(m, n) [+ n]) >> shift, rounded towards zero by adding one to negative results. Powers of
// two shift directly, after biasing negative numerators so the shift truncates towards zero. The
// result always equals C++'s truncating n / d.
#pragma once

#include <cassert>
#include <cstdint>

namespace vantrel {

class DividerI64 {
 public:
  static constexpr uint8_t kShiftMask = 0x3F;
  static constexpr uint8_t kAddMarker = 0x40;
  static constexpr uint8_t kNegativeDivisor = 0x80;

  // `divisor` must not be 0.
  explicit constexpr DividerI64(int64_t divisor) : divisor_(divisor) {
    assert(divisor != 0);
    abs_divisor_ =
        divisor < 0 ? 0 - static_cast<uint64_t>(divisor) : static_cast<uint64_t>(divisor);
    const uint8_t log2_abs = static_cast<uint8_t>(63 - __builtin_clzll(abs_divisor_));
    const uint8_t negative = divisor < 0 ? kNegativeDivisor : 0;
    if ((abs_divisor_ & (abs_divisor_ - 1)) == 0) {
      magic_ = 0;
      control_ = static_cast<uint8_t>(log2_abs | negative);
      return;
    }
    // |d| is not a power of two, so log2_abs >= 1 and |d| < 2^63: q < 2^63 and r < 2^63.
    const unsigned __int128 numerator = static_cast<unsigned __int128>(1) << (63 + log2_abs);
    const uint64_t q = static_cast<uint64_t>(numerator / abs_divisor_);
    const uint64_t r = static_cast<uint64_t>(numerator % abs_divisor_);
    uint64_t magic;
    if (abs_divisor_ - r < (uint64_t{1} << log2_abs)) {
      // 2^(63+L) / |d| is precise enough: a 63-bit magic with a shift of L - 1.
      magic = q;
      control_ = static_cast<uint8_t>((log2_abs - 1) | negative);
    } else {
      // One more bit of precision: 2^(64+L) / |d| rounded up, with the add step.
      magic = 2 * q + (r >= abs_divisor_ - r ? 1 : 0);
      control_ = static_cast<uint8_t>(log2_abs | kAddMarker | negative);
    }
    magic += 1;
    magic_ = static_cast<int64_t>(divisor < 0 ? 0 - magic : magic);
  }

  // trunc(numerator / divisor). INT64_MIN / -1 is undefined, as for the built-in division.
  constexpr int64_t divide(int64_t numerator) const {
    const uint8_t shift = control_ & kShiftMask;
    const uint64_t n = static_cast<uint64_t>(numerator);
    // All-ones when the divisor is negative; (v ^ sign) - sign negates v in that case.
    const uint64_t sign = (control_ & kNegativeDivisor) ? ~uint64_t{0} : 0;
    if (magic_ == 0) {
      const uint64_t mask = (uint64_t{1} << shift) - 1;
      const uint64_t biased = n + (numerator < 0 ? mask : 0);
      const int64_t q = static_cast<int64_t>(biased) >> shift;
      return static_cast<int64_t>((static_cast<uint64_t>(q) ^ sign) - sign);
    }
    const __int128 product = static_cast<__int128>(magic_) * static_cast<__int128>(numerator);
    uint64_t high = static_cast<uint64_t>(static_cast<int64_t>(product >> 64));
    if (control_ & kAddMarker) high += (n ^ sign) - sign;
    int64_t q = static_cast<int64_t>(high) >> shift;
    q += q < 0 ? 1 : 0;
    return q;
  }

  constexpr int64_t divisor() const { return divisor_; }
  constexpr uint64_t abs_divisor() const { return abs_divisor_; }
  constexpr int64_t magic() const { return magic_; }
  constexpr uint8_t control() const { return control_; }

 private:
  int64_t magic_ = 0;
  int64_t divisor_;
  uint64_t abs_divisor_ = 0;
  uint8_t control_ = 0;
};

}  // namespace vantrel
