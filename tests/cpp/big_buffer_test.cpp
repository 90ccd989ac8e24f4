#include "support/big_buffer.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace vantrel {
namespace {

// Sizes on both sides of the huge-page threshold (4 MiB) and of its 2 MiB rounding. A buffer
// shorter than asked fails here by name rather than by a later heap-corruption abort; the
// sanitizer build also sees a write of the last element past a short allocation.
TEST(BigBufferTest, HoldsEveryElementAskedFor) {
  constexpr size_t kMiB = size_t{1} << 20;
  for (const size_t bytes : {size_t{0}, size_t{2}, 4 * kMiB - 2, 4 * kMiB, 4 * kMiB + 2,
                             6 * kMiB - 2, 6 * kMiB + 2, 9 * kMiB}) {
    const size_t count = bytes / sizeof(uint16_t);
    BigBuffer<uint16_t> buffer(count);
    ASSERT_NE(buffer.get(), nullptr) << count;
    EXPECT_GE(buffer.size_bytes(), count * sizeof(uint16_t)) << count;
    EXPECT_GE(buffer.size_bytes(), sizeof(uint16_t)) << count;  // new T[0] is never asked for
    if (count != 0) {
      buffer.get()[0] = 1;
      buffer.get()[count - 1] = 2;
      EXPECT_EQ(buffer.get()[0] + buffer.get()[count - 1], count == 1 ? 4 : 3) << count;
    }
  }
}

#if defined(__linux__) && defined(MADV_HUGEPAGE)
// A size that wraps when rounded up to whole huge pages stops by name; going on would hand out
// storage of a few bytes for a count near the largest size_t.
TEST(BigBufferDeathTest, SizeThatWrapsWhenRoundedStops) {
  EXPECT_DEATH(BigBuffer<uint8_t>(SIZE_MAX - 1), "internal error: huge-page storage rounded short");
}
#endif

}  // namespace
}  // namespace vantrel
