#pragma once

#include <type_traits>
#include <utility>
#include <variant>

#include "lumo/support/Error.h"
#include "lumo/support/Fatal.h"

namespace lumo {

// The outcome of an operation that may fail: a value of T, or an `Error`.
//
//   Result<int> parse(std::string_view s);
//   auto r = parse("42");
//   if (!r) return r.error();
//   use(*r);
//
// Any error value converts implicitly, so `return HTTPError::invalidResponse();` works in a
// function returning Result<T>.
template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}      // NOLINT
  Result(Error error) : v_(std::in_place_index<1>, std::move(error)) {}  // NOLINT
  template <ErrorValue E>
  requires(!std::same_as<std::decay_t<E>, Error> && !std::same_as<std::decay_t<E>, Result> &&
           !std::convertible_to<E, T>) Result(E error)
      : v_(std::in_place_index<1>, Error(std::move(error))) {}  // NOLINT

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }

  // The value; asking a failure for its value is a programming error.
  T& value() & {
    if (!ok()) stopProcess("Result::value() on a failure: " + error().localizedDescription());
    return std::get<0>(v_);
  }
  const T& value() const& {
    if (!ok()) stopProcess("Result::value() on a failure: " + error().localizedDescription());
    return std::get<0>(v_);
  }
  T&& value() && {
    if (!ok()) stopProcess("Result::value() on a failure: " + error().localizedDescription());
    return std::get<0>(std::move(v_));
  }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T&& operator*() && { return std::move(*this).value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  // The error; asking a success for its error is a programming error.
  const Error& error() const {
    if (ok()) stopProcess("Result::error() on a success");
    return std::get<1>(v_);
  }

 private:
  std::variant<T, Error> v_;
};

// Result<void>: success without a value, or an `Error`.
template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Error error) : error_(std::move(error)) {}  // NOLINT
  template <ErrorValue E>
  requires(!std::same_as<std::decay_t<E>, Error> && !std::same_as<std::decay_t<E>, Result>)
      Result(E error)
      : error_(Error(std::move(error))) {}  // NOLINT

  bool ok() const { return !error_.has_value(); }
  explicit operator bool() const { return ok(); }
  const Error& error() const {
    if (ok()) stopProcess("Result::error() on a success");
    return *error_;
  }

 private:
  std::optional<Error> error_;
};

}  // namespace lumo
