#pragma once

#include <filesystem>
#include <optional>

#include "lumo/sharing/ThumbnailsService.h"

namespace lumo::cli {

// A screencast's thumbnail: its first video frame, decoded with FFmpeg's libraries on the
// global queue.
class FfmpegThumbnails : public ThumbnailsService {
 public:
  void thumbnail(const Screencast& screencast,
                 std::function<void(std::optional<PlatformImage>)> completion) override;

  // The first frame of the video at `path` as RGBA pixels; nullopt when there is none.
  static std::optional<PlatformImage> firstFrame(const std::filesystem::path& path);
};

}  // namespace lumo::cli
