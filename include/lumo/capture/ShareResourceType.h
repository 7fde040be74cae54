#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "lumo/Export.h"

namespace lumo {

// The kind of a file that is uploaded, and from it the content type announced to the service
// and sent with the file to the storage.
//
//   ShareResourceType::screenshot().contentType();     // "image/png"
//   ShareResourceType::other("pdf").contentType();     // "application/pdf"
//   ShareResourceType::other("").contentType();        // "application/octet-stream"
//
// Values are equal when they are the same case; two `other` values also need the same
// extension (compared exactly, case included).
class LUMO_API ShareResourceType {
 public:
  // The cases, in declaration order.
  enum class Case : std::uint8_t {
    other,
    screenshot,
    screencastVideo,
    screencastHTML,
    screencastThumbnail,
    gif,
  };

  // A file that is none of the other kinds, with its extension (no dot).
  static ShareResourceType other(std::string fileExtension) {
    return ShareResourceType(Case::other, std::move(fileExtension));
  }
  // A screenshot, whatever its image format.
  static ShareResourceType screenshot() { return ShareResourceType(Case::screenshot); }
  // The video of a screencast, whatever its container.
  static ShareResourceType screencastVideo() { return ShareResourceType(Case::screencastVideo); }
  // The web page of a screencast.
  static ShareResourceType screencastHTML() { return ShareResourceType(Case::screencastHTML); }
  // The thumbnail image of a screencast.
  static ShareResourceType screencastThumbnail() {
    return ShareResourceType(Case::screencastThumbnail);
  }
  // A GIF capture.
  static ShareResourceType gif() { return ShareResourceType(Case::gif); }

  Case kind() const { return case_; }
  // The extension of an `other` value; empty for the other cases.
  const std::string& fileExtension() const { return fileExtension_; }

  // "image/png" for screenshot and screencastThumbnail, "video/mp4" for screencastVideo,
  // "text/html" for screencastHTML, "image/gif" for gif; for `other`, the type registry's
  // MIME type of the extension, "application/octet-stream" when it is empty or unknown.
  std::string contentType() const;
  // Whether the host shows upload progress for this kind: false for the screencast's page
  // and thumbnail, true otherwise.
  bool showProgress() const;

  // The MIME type that the platform's type registry gives for `fileExtension` (as given, no
  // trimming); nullopt when it is empty or unknown.
  static std::optional<std::string> MIMEType(std::string_view fileExtension);

  friend bool operator==(const ShareResourceType&, const ShareResourceType&) = default;

 private:
  explicit ShareResourceType(Case c, std::string fileExtension = {})
      : case_(c), fileExtension_(std::move(fileExtension)) {}

  Case case_;
  std::string fileExtension_;
};

}  // namespace lumo
