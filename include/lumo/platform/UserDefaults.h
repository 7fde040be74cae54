#pragma once

#include <algorithm>
#include <concepts>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <ranges>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "lumo/Export.h"
#include "lumo/support/Result.h"

namespace lumo {

// Why a user-defaults operation failed.
struct LUMO_API UserDefaultsError {
  enum class Code {
    invalidName,    // an application identifier or suite name that cannot name a folder
    cannotOpen,     // the file or its folder cannot be created or opened
    notADatabase,   // the file exists but is not a user-defaults store (or is damaged)
    busy,           // other processes held the store for longer than the busy timeout
    storageFailed,  // any other failure of the store (disk full, I/O error)
    archiving,      // a value could not be archived or unarchived
    tooLate,        // the application identifier was named after the standard store was opened
  };
  Code code = Code::storageFailed;
  std::string message;

  friend bool operator==(const UserDefaultsError&, const UserDefaultsError&) = default;
};

inline std::string localizedDescription(const UserDefaultsError& e) {
  return e.message;
}

namespace user_defaults_detail {
template <typename T>
struct IsOptional : std::false_type {};
template <typename T>
struct IsOptional<std::optional<T>> : std::true_type {};
template <typename T>
struct IsPair : std::false_type {};
template <typename A, typename B>
struct IsPair<std::pair<A, B>> : std::true_type {};
// Containers that are archived element by element (a JSON value itself is taken as it is).
template <typename T>
concept ArchivedMap = std::ranges::range<T> && !std::same_as<T, nlohmann::json> && requires {
  typename T::key_type;
  typename T::mapped_type;
};
template <typename T>
concept ArchivedSequence =
    std::ranges::range<T> && !ArchivedMap<T> && !std::same_as<T, nlohmann::json> &&
    !std::convertible_to<T, std::string_view>;
}  // namespace user_defaults_detail

// A small typed key-value store that survives restarts, in the manner of the desktop's user
// defaults, kept in one SQLite file.
//
//   UserDefaults::setApplicationIdentifier("com.example.capture");  // once, at start-up
//   auto& defaults = UserDefaults::standard();
//   if (auto r = defaults.set(std::string("me@example.com"), "email"); !r) log(r.error());
//   std::optional<std::string> email = defaults.string("email");
//
// - Values are typed: text, 64-bit integer, boolean, double or bytes. A getter answers only
//   for a value of its own type (`integer()` of a key holding text is absent), as the stored
//   value wrappers of the settings expect; `object()` answers whatever is stored.
// - Every write is durable when the call returns, so a process started right after (or after a
//   crash of the writer) reads it.
// - Several threads and several processes of the application may read and write at once; each
//   write is atomic, and the last write to a key wins.
// - Nothing throws and nothing crashes on a damaged or unreadable file: writes return an
//   `Error` (holding a `UserDefaultsError`) that names the file, and getters read absent.
//   Opening is retried on the next call after a failure.
class LUMO_API UserDefaults {
 public:
  using Data = std::vector<std::uint8_t>;
  using Value = std::variant<std::string, std::int64_t, bool, double, Data>;

  // The application whose store `standard()` opens: its folder is
  // `$XDG_CONFIG_HOME/<identifier>/` (`~/.config/<identifier>/` when the variable is unset or
  // not absolute). "lumo" unless the host names its own before the first call of `standard()`.
  // Fails for a name that cannot be a folder name, and once `standard()` has been called.
  static Result<void> setApplicationIdentifier(std::string identifier);
  static std::string applicationIdentifier();

  // The application's own store, in its folder's "UserDefaults.sqlite". Created on first use
  // and never destroyed.
  static UserDefaults& standard();

  // A named store in `$XDG_CONFIG_HOME/<suiteName>/UserDefaults.sqlite`; with the application
  // identifier as the name it is the same store as `standard()`. Fails for a name that cannot
  // be a folder name.
  static Result<std::unique_ptr<UserDefaults>> named(std::string_view suiteName);

  // A store kept in `file` (its folder is created when missing). Nothing is opened until the
  // first read or write.
  explicit UserDefaults(std::filesystem::path file);
  ~UserDefaults();
  UserDefaults(const UserDefaults&) = delete;
  UserDefaults& operator=(const UserDefaults&) = delete;

  const std::filesystem::path& file() const { return file_; }

  // The value stored under `key`, absent when there is none. `fetch` tells a missing key from a
  // store that cannot be read; the getters read both as absent.
  Result<std::optional<Value>> fetch(std::string_view key) const;
  std::optional<Value> object(std::string_view key) const;
  std::optional<std::string> string(std::string_view key) const { return value<std::string>(key); }
  std::optional<std::int64_t> integer(std::string_view key) const {
    return value<std::int64_t>(key);
  }
  std::optional<bool> boolValue(std::string_view key) const { return value<bool>(key); }
  std::optional<double> doubleValue(std::string_view key) const { return value<double>(key); }
  std::optional<Data> data(std::string_view key) const { return value<Data>(key); }

  // The value under `key` when it has type T, one of Value's alternatives.
  template <typename T>
  std::optional<T> value(std::string_view key) const {
    auto stored = object(key);
    if (!stored) return std::nullopt;
    if (auto* v = std::get_if<T>(&*stored)) return std::move(*v);
    return std::nullopt;
  }

  // Every key and its value.
  Result<std::map<std::string, Value>> dictionaryRepresentation() const;

  // Stores `value` under `key`, replacing what was there whatever its type.
  Result<void> set(const Value& value, std::string_view key);
  Result<void> set(std::string_view value, std::string_view key) {
    return set(Value(std::string(value)), key);
  }
  Result<void> set(const std::string& value, std::string_view key) {
    return set(Value(value), key);
  }
  // Without this overload a string literal would be stored as a boolean.
  Result<void> set(const char* value, std::string_view key) {
    return set(std::string_view(value), key);
  }
  Result<void> set(bool value, std::string_view key) { return set(Value(value), key); }
  Result<void> set(double value, std::string_view key) { return set(Value(value), key); }
  Result<void> set(std::span<const std::uint8_t> value, std::string_view key) {
    return set(Value(Data(value.begin(), value.end())), key);
  }
  Result<void> set(const Data& value, std::string_view key) { return set(Value(value), key); }
  // Any integer type; an unsigned value above the 64-bit signed range fails.
  template <std::integral T>
  requires(!std::same_as<T, bool>) Result<void> set(T value, std::string_view key) {
    if constexpr (std::is_unsigned_v<T> && sizeof(T) >= sizeof(std::int64_t)) {
      if (value > static_cast<T>(std::numeric_limits<std::int64_t>::max())) {
        return UserDefaultsError{UserDefaultsError::Code::storageFailed,
                                 "The integer for the key \"" + std::string(key) +
                                     "\" is too large for the user defaults."};
      }
    }
    return set(Value(static_cast<std::int64_t>(value)), key);
  }

  // Removes `key`; removing a missing key succeeds.
  Result<void> removeObject(std::string_view key);

  // ---- Archiving ----
  //
  // Values of other types are stored as data holding their JSON text, in the manner of the
  // desktop's keyed archiver. T is any type nlohmann::json converts (`to_json` / `from_json`).

  // The JSON bytes of `value`. Fails for text that is not UTF-8, or when `to_json` throws.
  template <typename T>
  static Result<Data> archive(const T& value);
  // The value decoded from `bytes`. Fails when the bytes are not JSON or do not hold a T: a
  // JSON value of another kind is refused even where nlohmann::json would convert it (a boolean
  // or 1.5 read as an integer), and so is a container with one such element (the elements of
  // sequences, maps, pairs and optionals are checked; a type with its own `from_json` checks
  // its fields itself).
  template <typename T>
  static Result<T> unarchive(std::span<const std::uint8_t> bytes);

  // Archives `value` and stores it as data under `key`.
  template <typename T>
  Result<void> setArchived(const T& value, std::string_view key) {
    auto bytes = archive(value);
    if (!bytes) return bytes.error();
    return set(*bytes, key);
  }
  // The value archived under `key`; absent when the key holds no data or data that is not an
  // archived T.
  template <typename T>
  std::optional<T> archived(std::string_view key) const {
    auto bytes = data(key);
    if (!bytes) return std::nullopt;
    auto decoded = unarchive<T>(*bytes);
    if (!decoded) return std::nullopt;
    return std::move(*decoded);
  }

 private:
  struct Connection;  // the open database and its prepared statements

  UserDefaults(std::filesystem::path file, std::optional<Error> pathError);
  // Opens the store on first use, or again after a failed attempt; the caller holds mu_.
  Result<Connection*> connection() const;
  // Closes the store after a failure that says the file is damaged; the caller holds mu_.
  void dropIfDamaged(int sqliteResult) const;

  template <typename T>
  static bool holds(const nlohmann::json& j);
  static Error archivingError(std::string message) {
    return UserDefaultsError{UserDefaultsError::Code::archiving, std::move(message)};
  }

  const std::filesystem::path file_;
  // Set when no file could be named for the store (no home folder, invalid name).
  const std::optional<Error> pathError_;
  mutable std::mutex mu_;
  mutable std::unique_ptr<Connection> connection_;  // guarded by mu_
};

// ---- Archiving templates ----

template <typename T>
bool UserDefaults::holds(const nlohmann::json& j) {
  if constexpr (std::same_as<T, bool>) {
    return j.is_boolean();
  } else if constexpr (std::integral<T>) {
    if (j.is_number_unsigned()) {
      return j.get<std::uint64_t>() <= static_cast<std::uint64_t>(std::numeric_limits<T>::max());
    }
    if (j.is_number_integer()) {
      const auto v = j.get<std::int64_t>();
      if constexpr (std::is_unsigned_v<T>) {
        return v >= 0 && static_cast<std::uint64_t>(v) <= std::numeric_limits<T>::max();
      } else {
        return v >= std::numeric_limits<T>::min() && v <= std::numeric_limits<T>::max();
      }
    }
    return false;
  } else if constexpr (std::floating_point<T>) {
    return j.is_number();
  } else if constexpr (std::same_as<T, std::string>) {
    return j.is_string();
  } else if constexpr (user_defaults_detail::IsOptional<T>::value) {
    return j.is_null() || holds<typename T::value_type>(j);
  } else if constexpr (user_defaults_detail::IsPair<T>::value) {
    return j.is_array() && j.size() == 2 && holds<typename T::first_type>(j[0]) &&
           holds<typename T::second_type>(j[1]);
  } else if constexpr (user_defaults_detail::ArchivedMap<T>) {
    // A map with text keys is a JSON object; any other map is an array of [key, value] pairs.
    if constexpr (std::convertible_to<typename T::key_type, std::string>) {
      if (j.is_object()) {
        return std::all_of(j.begin(), j.end(), [](const nlohmann::json& v) {
          return holds<typename T::mapped_type>(v);
        });
      }
    }
    return j.is_array() && std::all_of(j.begin(), j.end(), [](const nlohmann::json& entry) {
             return holds<std::pair<typename T::key_type, typename T::mapped_type>>(entry);
           });
  } else if constexpr (user_defaults_detail::ArchivedSequence<T>) {
    // Every element must be of the element type: [1.5, true] is not a std::vector<int>.
    return j.is_array() && std::all_of(j.begin(), j.end(), [](const nlohmann::json& element) {
             return holds<std::ranges::range_value_t<T>>(element);
           });
  } else {
    return true;  // the type's own from_json checks its fields
  }
}

template <typename T>
Result<UserDefaults::Data> UserDefaults::archive(const T& value) {
  try {
    const nlohmann::json j = value;
    const std::string text = j.dump();
    return Data(text.begin(), text.end());
  } catch (const nlohmann::json::exception& e) {
    return archivingError(std::string("The value could not be archived: ") + e.what());
  }
}

template <typename T>
Result<T> UserDefaults::unarchive(std::span<const std::uint8_t> bytes) {
  const auto j = nlohmann::json::parse(bytes.begin(), bytes.end(), nullptr,
                                       /*allow_exceptions=*/false);
  if (j.is_discarded()) return archivingError("The data is not an archived value.");
  if (!holds<T>(j)) {
    return archivingError(std::string("The archived value is of another type (") + j.type_name() +
                          ").");
  }
  try {
    return j.get<T>();
  } catch (const nlohmann::json::exception& e) {
    return archivingError(std::string("The archived value could not be read: ") + e.what());
  }
}

}  // namespace lumo
