#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>

#include "lumo/Export.h"
#include "lumo/capture/ScreenCapture.h"
#include "lumo/platform/Url.h"

namespace lumo {

// A screen recording (mp4 or mov), with the thumbnail image that is prepared for it before
// sharing.
//
//   Screencast cast(Url::fileURL(path));
//   cast.durationSeconds();                           // 125
//   cast.setThumbnailFileURL(helper.screencastThumbnailURL(cast.fileURL()).value());
//   cast.thumbnailFileSize();                         // size of the PNG
class LUMO_API Screencast final : public ScreenCapture {
 public:
  // A screencast without thumbnail.
  explicit Screencast(Url fileURL) : fileURL_(std::move(fileURL)) {}

  std::unique_ptr<ScreenCapture> clone() const override {
    return std::make_unique<Screencast>(*this);
  }
  const Url& fileURL() const override { return fileURL_; }

  // Where the thumbnail image is (nullopt until someone sets it).
  const std::optional<Url>& thumbnailFileURL() const { return thumbnailFileURL_; }
  void setThumbnailFileURL(std::optional<Url> url) { thumbnailFileURL_ = std::move(url); }

  // The video's duration in whole seconds, truncated toward zero; 0 when the file cannot be
  // read as a video (missing, truncated before its header, not a movie). Reads the file's
  // header on every call.
  std::int64_t durationSeconds() const;
  // The size of the thumbnail file; nullopt without a thumbnail URL or when it cannot be read.
  std::optional<std::int64_t> thumbnailFileSize() const;

 protected:
  std::string_view kindName() const override { return "Screencast"; }

 private:
  Url fileURL_;
  std::optional<Url> thumbnailFileURL_;
};

}  // namespace lumo
