#pragma once

#include <concepts>
#include <memory>
#include <optional>
#include <string>
#include <typeinfo>
#include <utility>

#include "lumo/Export.h"

namespace lumo {

// An error value type is any copyable type for which an ADL-visible
//
//   std::string localizedDescription(const E&);
//
// exists. The library's error enumerations (`HTTPError`, `APIError`, `ShareServiceError`, ...)
// all qualify, and `Error` can carry any of them.
template <typename E>
// The description comes first: checking copyability of a Result<T> would otherwise recurse
// into Result's own converting constructor.
concept ErrorValue = requires(const E& e) {
  { localizedDescription(e) } -> std::convertible_to<std::string>;
}
&&std::copyable<E>;

namespace error_detail {
// Called from inside `Error`, whose own member `localizedDescription()` would otherwise hide the
// error type's function from argument-dependent lookup.
template <typename E>
std::string describe(const E& e) {
  return localizedDescription(e);
}
}  // namespace error_detail

// The URL loading errors keep the platform's identities so that callers can tell a
// cancelled transfer from a timeout with the usual codes.
inline constexpr const char* kURLErrorDomain = "NSURLErrorDomain";
namespace URLErrorCode {
inline constexpr int kCancelled = -999;
inline constexpr int kBadURL = -1000;
inline constexpr int kTimedOut = -1001;
inline constexpr int kUnsupportedURL = -1002;
inline constexpr int kCannotFindHost = -1003;
inline constexpr int kCannotConnectToHost = -1004;
inline constexpr int kNetworkConnectionLost = -1005;
inline constexpr int kBadServerResponse = -1011;
inline constexpr int kCannotParseResponse = -1017;
inline constexpr int kDataLengthExceedsMaximum = -1103;
inline constexpr int kFileDoesNotExist = -1100;
inline constexpr int kCannotOpenFile = -3000;
inline constexpr int kUnknown = -1;
}  // namespace URLErrorCode

// A transport error: a domain and a code, as the platform's URL session reports them, with a
// readable message.
struct LUMO_API TransportError {
  std::string domain;
  int code = 0;
  std::string message;

  friend bool operator==(const TransportError&, const TransportError&) = default;
};

inline std::string localizedDescription(const TransportError& e) {
  return e.message;
}

// `Error` is the one error value of the library: it holds any `ErrorValue` (a typed error of
// one of the library's areas) or a `TransportError`, and answers what it holds.
//
//   Error e = HTTPError::cancelledTask();
//   if (e.is<HTTPError>()) { const HTTPError& h = *e.as<HTTPError>(); ... }
//   log(e.localizedDescription());
//
// Errors are immutable and cheap to copy (the payload is shared).
class LUMO_API Error {
 public:
  template <ErrorValue E>
  requires(!std::same_as<std::decay_t<E>, Error>)
      Error(E value)  // NOLINT(google-explicit-constructor): errors convert like the platform's
      : holder_(std::make_shared<Holder<E>>(std::move(value))) {}

  // A transport error in `domain` with `code`, e.g. `Error::transport(kURLErrorDomain, -999,
  // "cancelled")`.
  static Error transport(std::string domain, int code, std::string message) {
    return Error(TransportError{std::move(domain), code, std::move(message)});
  }

  // The text shown to users and written in log lines.
  std::string localizedDescription() const { return holder_->describe(); }

  // Whether the held value is of type E.
  template <typename E>
  bool is() const {
    return holder_->type() == typeid(E);
  }

  // The held value when it is of type E, else nullptr. The pointer lives as long as this Error
  // or any copy of it.
  template <typename E>
  const E* as() const {
    if (!is<E>()) return nullptr;
    return &static_cast<const Holder<E>&>(*holder_).value;
  }

  // The transport error's domain and code; empty and 0 for typed errors.
  std::string domain() const {
    const auto* t = as<TransportError>();
    return t ? t->domain : std::string();
  }
  int code() const {
    const auto* t = as<TransportError>();
    return t ? t->code : 0;
  }

  // True for a transfer cancelled through the URL layer (domain NSURLErrorDomain, code -999).
  bool isURLCancelled() const {
    const auto* t = as<TransportError>();
    return t && t->domain == kURLErrorDomain && t->code == URLErrorCode::kCancelled;
  }

  // Equal when both hold the same type and, where that type has ==, equal values.
  friend bool operator==(const Error& a, const Error& b) { return a.holder_->equals(*b.holder_); }

 private:
  struct HolderBase {
    virtual ~HolderBase() = default;
    virtual std::string describe() const = 0;
    virtual const std::type_info& type() const = 0;
    virtual bool equals(const HolderBase& other) const = 0;
  };
  template <typename E>
  struct Holder final : HolderBase {
    explicit Holder(E v) : value(std::move(v)) {}
    std::string describe() const override { return error_detail::describe(value); }
    const std::type_info& type() const override { return typeid(E); }
    bool equals(const HolderBase& other) const override {
      if (other.type() != typeid(E)) return false;
      if constexpr (std::equality_comparable<E>) {
        return value == static_cast<const Holder<E>&>(other).value;
      } else {
        return this == &other;
      }
    }
    E value;
  };

  std::shared_ptr<const HolderBase> holder_;
};

}  // namespace lumo
