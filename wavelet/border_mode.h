// Border extension of the convolution transforms.
#pragma once

#include <cstdint>
#include <span>

namespace vantrel {

// How a signal x[0..n-1] continues past its ends.
enum class BorderMode : uint32_t {
  Clamp = 0,          // x[0] on the left, x[n-1] on the right
  Wrap = 1,           // periodic: x[v mod n]
  Reflect = 2,        // mirror that repeats the edge sample: x[-v-1], x[2n-1-v]
  ReflectNoEdge = 3,  // mirror about the edge sample: x[-v], x[2n-2-v]
  Zero = 4,           // zeros
};

}  // namespace vantrel
