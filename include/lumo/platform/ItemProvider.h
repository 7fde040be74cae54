#pragma once

#include <any>
#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

#include "lumo/Export.h"
#include "lumo/support/Result.h"

namespace lumo {

// Uniform type identifiers that providers answer to. A file URL is also a URL; images and movies
// are recognised from their MIME types.
inline constexpr std::string_view kUTTypeImage = "public.image";
inline constexpr std::string_view kUTTypeMovie = "public.movie";
inline constexpr std::string_view kUTTypeFileURL = "public.file-url";
inline constexpr std::string_view kUTTypeURL = "public.url";

// One attachment of a share request: something another application hands over, which can be
// loaded in the representations it conforms to.
//
//   if (provider->hasItemConformingToTypeIdentifier(kUTTypeImage)) {
//     provider->loadItem(kUTTypeURL, [](const Result<ItemProvider::Item>& item) { ... });
//   }
//
// Implementations are safe to use from any thread.
class LUMO_API ItemProvider {
 public:
  // The platform's data value: bytes.
  using Data = std::vector<std::uint8_t>;

  // A loaded item. Loading a URL type gives `Data` holding the URL's text (its data
  // representation); other providers may hand over values of other types.
  struct Item {
    std::any value;
  };

  virtual ~ItemProvider() = default;

  // Whether the provider holds an item of the type `typeIdentifier` or of a type that conforms
  // to it.
  virtual bool hasItemConformingToTypeIdentifier(std::string_view typeIdentifier) const = 0;

  // Loads the item in the representation `typeIdentifier` and hands it, or the reason it could
  // not be loaded, to `completion`, exactly once, on any thread (possibly before returning).
  virtual void loadItem(std::string_view typeIdentifier,
                        std::function<void(Result<Item>)> completion) = 0;
};

}  // namespace lumo
