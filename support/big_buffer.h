// Storage for a large scratch array that is written once and read back soon after. On Linux a
// large one asks for transparent huge pages: touching fresh memory then costs one page fault per
// 2 MiB instead of one per 4 KiB, which on a virtual machine is a large share of the time a long
// signal takes to code. The contents start uninitialised.
#pragma once

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <type_traits>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace vantrel {

template <class T>
class BigBuffer {
  static_assert(std::is_trivial_v<T>);

 public:
  BigBuffer() = default;

  // Ends like new[] when memory is exhausted.
  explicit BigBuffer(size_t count) {
    if (!try_huge(count)) {
      const size_t n = count == 0 ? 1 : count;
      plain_.reset(new T[n]);
      size_bytes_ = n * sizeof(T);
    }
  }

  T* get() const { return aligned_ ? aligned_.get() : plain_.get(); }
  // What the storage holds, at least count * sizeof(T) bytes: tests check the rounding with it.
  size_t size_bytes() const { return size_bytes_; }

 private:
  static constexpr size_t kHugePage = size_t{2} << 20;
  static constexpr size_t kHugeFrom = size_t{4} << 20;  // smaller ones gain little

  bool try_huge([[maybe_unused]] size_t count) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    const size_t bytes = count * sizeof(T);
    if (bytes >= kHugeFrom) {
      const size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
      // Callers write every element without looking: storage rounded short of them would be
      // overrun silently, so that stops here in every build.
      if (rounded < bytes) {
        std::fputs("internal error: huge-page storage rounded short. Please, report it.\n", stderr);
        std::abort();
      }
      if (void* p = std::aligned_alloc(kHugePage, rounded)) {
        madvise(p, rounded, MADV_HUGEPAGE);  // a request: the pages work either way
        aligned_.reset(static_cast<T*>(p));
        size_bytes_ = rounded;
        return true;
      }
    }
#endif
    return false;
  }

  struct Free {
    void operator()(T* p) const { std::free(p); }
  };
  std::unique_ptr<T, Free> aligned_;
  std::unique_ptr<T[]> plain_;
  size_t size_bytes_ = 0;
};

}  // namespace vantrel
