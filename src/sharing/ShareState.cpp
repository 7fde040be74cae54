#include "lumo/sharing/ShareState.h"

#include <array>
#include <utility>

namespace lumo {

namespace {

constexpr std::array<std::pair<ShareState, std::string_view>, 7> kRawValues{{
    {ShareState::preparingForUploading, "preparingForUploading"},
    {ShareState::uploading, "uploading"},
    {ShareState::error, "error"},
    {ShareState::uploaded, "uploaded"},
    {ShareState::cancelled, "cancelled"},
    {ShareState::notUploaded, "notUploaded"},
    {ShareState::unknown, "unknown"},
}};

}  // namespace

std::string_view rawValue(ShareState state) {
  for (const auto& [value, text] : kRawValues) {
    if (value == state) return text;
  }
  return "unknown";
}

std::optional<ShareState> shareStateFromRawValue(std::string_view text) {
  for (const auto& [value, raw] : kRawValues) {
    if (raw == text) return value;
  }
  return std::nullopt;
}

}  // namespace lumo
