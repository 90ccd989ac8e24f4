#include "wavelet/error.h"

#include <string_view>

#include "support/format.h"

namespace vantrel {
namespace {

// One template per kind, in kind order; "{}" marks where the counts go.
constexpr std::string_view kTemplates[] = {
    "Cannot allocate {} bytes to vector",
    "Approximation and details expected to be half of original signal length but it was {}",
    "Approx and details must match, but they don't {}x{}",
    "Input must be divisible by {}",
    "Overflow is happened",
    "Output size should be {}, but it was {}",
    "Input size {} can't be less than {}",
    "Input size {} does not match output size {}",
    "Zero or odd sized wavelet",
    "Filter center {} was larger than filter size {}",
    "Buffer was too small for provided level",
    "Approximate size {} does not match required size {}",
    "Details size {} does not match required size {}",
    "Zero sized input is not supported",
    "Input size expected to be {} but it was {}",
    "Scratch size expected to be {} but it was {}",
};

}  // namespace

void OscletError::render(std::string& out) const {
  const std::string_view tmpl = kTemplates[static_cast<size_t>(kind_)];
  fill_template(out, tmpl, {std::to_string(a_), std::to_string(b_)});
}

std::string OscletError::to_string() const {
  std::string out;
  render(out);
  return out;
}

}  // namespace vantrel
