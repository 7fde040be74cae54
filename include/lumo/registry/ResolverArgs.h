#pragma once

#include <any>
#include <map>
#include <optional>
#include <string>
#include <type_traits>
#include <typeinfo>
#include <utility>

#include "lumo/Export.h"

namespace lumo {

// Arguments handed to a factory registered in the arguments form. Reached as `Resolver::Args`.
//
// Built from any value:
//   - an `Args` is taken as it is;
//   - a `ResolverArgs::Map` (string keys, values of any type) becomes the map itself;
//   - any other value, an empty `std::any` or `std::nullopt` included, becomes a map with the
//     single key "" holding that value (absent values are stored as an empty `std::any`).
// The same holds for a value that arrives already erased, as the `args` of `resolve`,
// `optional` and the lazy wrappers do, and for each value of a map: a string literal is kept as
// a `std::string`, and `std::nullopt` or `nullptr` as no value.
//
//   resolver->registerService<Greeter>([](Resolver&, const Resolver::Args& args) {
//     return std::make_shared<Greeter>(args.get<std::string>());
//   });
//   auto greeter = resolver->resolve<Greeter>(std::nullopt, std::string("Hi"));
//
// `get<T>()` / `get<T>(key)` are the forced accesses: the entry must exist and hold exactly a T,
// otherwise the process stops. `optional<T>()` / `optional<T>(key)` give std::nullopt instead.
// Without a key both read the first entry of the map (the one entry of a map built from a plain
// value).
class LUMO_API ResolverArgs {
 public:
  using Map = std::map<std::string, std::any>;

  // Arguments made from an absent value: {"": nil}.
  ResolverArgs() : args_{{std::string(), std::any()}} {}
  ResolverArgs(Map map);  // NOLINT: a map is taken as the arguments
  // An erased value: an `Args` or a `Map` inside it is unwrapped, anything else is wrapped.
  ResolverArgs(const std::any& value);  // NOLINT
  template <typename T>
  requires(!std::is_same_v<std::decay_t<T>, ResolverArgs> &&
           !std::is_same_v<std::decay_t<T>, Map> && !std::is_same_v<std::decay_t<T>, std::any>)
      ResolverArgs(T&& value)  // NOLINT: any value converts, as described above
      : ResolverArgs(std::any(std::forward<T>(value))) {}

  // The whole map.
  const Map& args() const { return args_; }

  // The first entry's value; stops the process when it is missing or not a T.
  template <typename T>
  T get() const {
    return *checked<T>(first(), nullptr);
  }
  // The value under `key`; stops the process when it is missing or not a T.
  template <typename T>
  T get(const std::string& key) const {
    return *checked<T>(find(key), &key);
  }
  // The first entry's value, or std::nullopt when it is missing or not a T.
  template <typename T>
  std::optional<T> optional() const {
    return read<T>(first());
  }
  // The value under `key`, or std::nullopt when it is missing or not a T.
  template <typename T>
  std::optional<T> optional(const std::string& key) const {
    return read<T>(find(key));
  }

 private:
  // What is kept for a value: a C string as a std::string, std::nullopt and nullptr as an
  // empty std::any, anything else as it is.
  static std::any stored(const std::any& value);
  static Map stored(Map map);

  const std::any* first() const { return args_.empty() ? nullptr : &args_.begin()->second; }
  const std::any* find(const std::string& key) const {
    auto it = args_.find(key);
    return it == args_.end() ? nullptr : &it->second;
  }
  template <typename T>
  static std::optional<T> read(const std::any* slot) {
    if (slot == nullptr) return std::nullopt;
    if (const T* value = std::any_cast<T>(slot)) return *value;
    return std::nullopt;
  }
  template <typename T>
  static const T* checked(const std::any* slot, const std::string* key) {
    const T* value = slot ? std::any_cast<T>(slot) : nullptr;
    if (value == nullptr) missing(typeid(T), key, slot);
    return value;
  }
  [[noreturn]] static void missing(const std::type_info& type, const std::string* key,
                                   const std::any* slot);

  Map args_;
};

}  // namespace lumo
