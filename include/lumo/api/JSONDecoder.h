#pragma once

#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "lumo/Export.h"
#include "lumo/api/DecodingContainer.h"
#include "lumo/api/DecodingError.h"
#include "lumo/support/Result.h"

namespace lumo {

// Decodes models from JSON bytes with default settings: the keys are the ones each model
// declares, with no key or date strategy.
//
//   JSONDecoder decoder;
//   Result<ProfileResponse> profile = decoder.decode<ProfileResponse>(bytes);
//   if (!profile) use(profile.error().as<DecodingError>()->description());
//
// Failures are `DecodingError` values inside the `Error`. Text that is not JSON, or nests
// deeper than `kMaxDepth`, fails as `dataCorrupted` without touching the model.
class LUMO_API JSONDecoder {
 public:
  // Deeper documents are refused rather than risk the stack of the recursive JSON printer.
  static constexpr int kMaxDepth = 512;

  template <JSONDecodable T>
  Result<T> decode(std::span<const std::uint8_t> data) const {
    Result<nlohmann::json> root = parse(data);
    if (!root) return root.error();
    auto failure = std::make_shared<std::optional<DecodingError>>();
    DecodingContainer container(*root, {}, failure);
    T value = T::decode(container);
    if (failure->has_value()) return Error(**failure);
    return value;
  }

  // Parses `data` as one JSON document (any top-level value). Fails with a `DecodingError` of
  // kind `dataCorrupted` for text that is not JSON (invalid UTF-8 included) or is too deep.
  static Result<nlohmann::json> parse(std::span<const std::uint8_t> data);

  // The top-level object of `data`, or nothing when `data` is absent, is not JSON, or holds
  // another kind of value.
  static std::optional<nlohmann::json> parseObject(
      const std::optional<std::vector<std::uint8_t>>& data);
};

}  // namespace lumo
