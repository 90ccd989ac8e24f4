// Helpers shared by the C++ tests.
#pragma once

#include <gtest/gtest.h>

#include <random>
#include <source_location>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>

#include "codec/lpc.h"

namespace vantrel {

// The value of a result that the test expects to succeed. An error is reported as a test failure
// at the caller's line and ends the test with an exception, instead of taking the value of an
// error (undefined, usually a crash that stops the whole binary).
template <class R>
auto checked(R&& result, std::source_location at = std::source_location::current())
    -> std::remove_cvref_t<decltype(result.value())> {
  if (!result.ok()) {
    std::string text;
    if constexpr (requires { result.error().to_string(); }) {
      text = result.error().to_string();
    } else if constexpr (requires { result.error().text(); }) {
      text = result.error().text();
    } else if constexpr (std::is_convertible_v<decltype(result.error()), std::string>) {
      text = result.error();
    } else if constexpr (requires { result.error().message; }) {
      text = result.error().message;
    } else {
      text = to_string(result.error());
    }
    ADD_FAILURE_AT(at.file_name(), static_cast<int>(at.line())) << "unexpected error: " << text;
    throw std::runtime_error("unexpected error: " + text);
  }
  return std::forward<R>(result).value();
}

// A filter of `order` coefficients drawn from [-reach, reach], shifted by `shift`.
inline LpcFilter random_filter(std::mt19937& rng, int order, int16_t reach, int shift) {
  LpcFilter f;
  f.order = order;
  f.shift = shift;
  std::uniform_int_distribution<int> coef(-reach, reach);
  for (int k = 0; k < order; ++k) f.coefs[static_cast<size_t>(k)] = static_cast<int16_t>(coef(rng));
  return f;
}

}  // namespace vantrel
