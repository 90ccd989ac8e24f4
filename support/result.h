// A small value-or-error type. Nothing in the codec throws: every fallible operation returns a
// Result<T, E> (or a Status<E> when there is no value) and callers pass errors up explicitly.
#pragma once

#include <cassert>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

namespace vantrel {

template <class T, class E>
class [[nodiscard]] Result {
  static_assert(!std::is_same_v<std::remove_cv_t<T>, std::remove_cv_t<E>>,
                "value and error types must differ");

 public:
  using value_type = T;
  using error_type = E;

  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT(implicit)
  Result(E error) : v_(std::in_place_index<1>, std::move(error)) {}  // NOLINT(implicit)

  bool ok() const noexcept { return v_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }

  T& value() & {
    assert(ok());
    return *std::get_if<0>(&v_);
  }
  const T& value() const& {
    assert(ok());
    return *std::get_if<0>(&v_);
  }
  T&& value() && {
    assert(ok());
    return std::move(*std::get_if<0>(&v_));
  }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  E& error() & {
    assert(!ok());
    return *std::get_if<1>(&v_);
  }
  const E& error() const& {
    assert(!ok());
    return *std::get_if<1>(&v_);
  }
  E&& error() && {
    assert(!ok());
    return std::move(*std::get_if<1>(&v_));
  }

 private:
  std::variant<T, E> v_;
};

// Success or an error, for operations that produce nothing else.
template <class E>
class [[nodiscard]] Status {
 public:
  Status() = default;
  Status(E error) : e_(std::move(error)) {}  // NOLINT(implicit)
  static Status success() { return Status(); }

  bool ok() const noexcept { return !e_.has_value(); }
  explicit operator bool() const noexcept { return ok(); }

  E& error() & {
    assert(!ok());
    return *e_;
  }
  const E& error() const& {
    assert(!ok());
    return *e_;
  }
  E&& error() && {
    assert(!ok());
    return std::move(*e_);
  }

 private:
  std::optional<E> e_;
};

}  // namespace vantrel

#define VANTREL_CONCAT_INNER(a, b) a##b
#define VANTREL_CONCAT(a, b) VANTREL_CONCAT_INNER(a, b)

// Returns the error of a Status or Result expression from the enclosing function.
#define VANTREL_RETURN_IF_ERROR(expr)                          \
  do {                                                         \
    auto&& vantrel_status_ = (expr);                           \
    if (!vantrel_status_.ok()) return std::move(vantrel_status_).error(); \
  } while (false)

// Declares `lhs` from the value of a Result expression, or returns its error.
#define VANTREL_ASSIGN_OR_RETURN(lhs, expr)                                   \
  auto VANTREL_CONCAT(vantrel_result_, __LINE__) = (expr);                    \
  if (!VANTREL_CONCAT(vantrel_result_, __LINE__).ok())                        \
    return std::move(VANTREL_CONCAT(vantrel_result_, __LINE__)).error();      \
  lhs = std::move(VANTREL_CONCAT(vantrel_result_, __LINE__)).value()
