#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "lumo/Export.h"
#include "lumo/platform/ItemProvider.h"

namespace lumo {

// The kinds of attachment the share extension takes in, each with the type identifier a
// provider is asked about.
//
//   for (ShareDataType type : ShareDataType::supportedDataTypes()) {
//     if (provider.hasItemConformingToTypeIdentifier(type.cfString())) ...
//   }
//
// A one-byte value; `switch` works on it through its `Value`.
class LUMO_API ShareDataType {
 public:
  enum Value : std::uint8_t { image, movie, fileURL };

  constexpr ShareDataType(Value value) : value_(value) {}  // NOLINT: used like the enumeration

  // Every kind, in the order providers are asked about them: image, movie, file URL.
  static constexpr std::array<ShareDataType, 3> supportedDataTypes() {
    return {ShareDataType(image), ShareDataType(movie), ShareDataType(fileURL)};
  }

  // The kind's uniform type identifier: "public.image", "public.movie" or "public.file-url".
  constexpr std::string_view cfString() const {
    switch (value_) {
      case image:
        return kUTTypeImage;
      case movie:
        return kUTTypeMovie;
      case fileURL:
        return kUTTypeFileURL;
    }
    return kUTTypeFileURL;
  }

  constexpr operator Value() const { return value_; }  // NOLINT: for switch and comparisons

 private:
  Value value_;
};

static_assert(sizeof(ShareDataType) == 1);

}  // namespace lumo
