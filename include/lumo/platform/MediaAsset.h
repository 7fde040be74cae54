#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "lumo/Export.h"
#include "lumo/platform/Url.h"
#include "lumo/support/DispatchQueue.h"

namespace lumo {

// A rational time: `value / timescale` seconds, as the desktop media framework counts time.
// A timescale of 0 marks an invalid time.
struct LUMO_API MediaTime {
  std::int64_t value = 0;
  std::int32_t timescale = 0;

  // The time 0 at timescale 1.
  static MediaTime zero() { return MediaTime{0, 1}; }

  bool isValid() const { return timescale > 0; }
  // The time in seconds; NaN for an invalid time.
  double seconds() const;

  friend bool operator==(const MediaTime&, const MediaTime&) = default;
};

// A span of media time.
struct LUMO_API MediaTimeRange {
  MediaTime start;
  MediaTime duration;

  friend bool operator==(const MediaTimeRange&, const MediaTimeRange&) = default;
};

// A 2-D affine transform (a b; c d; tx ty), the track's display matrix as the desktop's
// graphics types write it.
struct LUMO_API AffineTransform {
  double a = 1, b = 0, c = 0, d = 1, tx = 0, ty = 0;

  static AffineTransform identity() { return {}; }

  friend bool operator==(const AffineTransform&, const AffineTransform&) = default;
};

// What a track carries.
enum class MediaType : std::uint8_t { video, audio, other };

// One track of an asset.
struct LUMO_API MediaTrack {
  int trackID = 0;
  MediaType mediaType = MediaType::other;
  MediaTimeRange timeRange;
  // The display matrix of the track (identity when the file gives none).
  AffineTransform preferredTransform;

  friend bool operator==(const MediaTrack&, const MediaTrack&) = default;
};

// The loading state of one of an asset's values. The numbers are those of the desktop media
// framework, which log lines print.
enum class KeyValueStatus : int { unknown = 0, loading = 1, loaded = 2, failed = 3, cancelled = 4 };

// The orientation in which a video was recorded, read from its first video track's
// transform.
enum class VideoOrientation : std::uint8_t { right, up, left, down };

// The desktop capture framework's orientations, with its numbering.
enum class CaptureVideoOrientation : int {
  portrait = 1,
  portraitUpsideDown = 2,
  landscapeRight = 3,
  landscapeLeft = 4,
};

// A video or audio file, read with libavformat: its duration and tracks, loaded on demand
// either synchronously (the accessors) or on a background queue (`loadValuesAsynchronously`,
// `loadValueAsync`).
//
//   auto asset = MediaAsset::make(Url::fileURL("/tmp/clip.mp4"));
//   asset->loadTracks([asset](bool ok) {
//     if (ok && asset->videoOrientation() == VideoOrientation::up) ...;
//   });
//   double seconds = asset->duration().seconds();  // blocks until loaded
//
// Regular files of the QuickTime/MPEG-4 family (mp4, mov, m4v, m4a, 3gp) are read; anything
// else (folders, pipes, devices, other formats) and files that are missing, truncated before
// their header or unreadable load as "failed", with duration 0 and no tracks. The file is opened
// once per asset. Assets are shared (the background loading holds the asset weakly where the
// platform does); all members are safe to call from any thread.
class LUMO_API MediaAsset : public std::enable_shared_from_this<MediaAsset> {
 public:
  using Handler = std::function<void()>;
  using Completion = std::function<void(bool)>;

  // The keys the asset can load.
  static constexpr std::string_view kTracksKey = "tracks";
  static constexpr std::string_view kDurationKey = "duration";

  // An asset for `url`. Nothing is read yet. Asynchronous loads read the file, and call their
  // handlers, on `queue` (the global concurrent queue unless given).
  static std::shared_ptr<MediaAsset> make(const Url& url);
  static std::shared_ptr<MediaAsset> make(const Url& url, DispatchQueue queue);

  ~MediaAsset();
  MediaAsset(const MediaAsset&) = delete;
  MediaAsset& operator=(const MediaAsset&) = delete;

  const Url& url() const { return url_; }

  // Loads the asset's values on the asset's queue if they are not loaded yet, then calls
  // `handler` there. `keys` name the values wanted; the asset loads all of its values at once.
  void loadValuesAsynchronously(const std::vector<std::string>& keys, Handler handler);
  // The status of the value named `key`: unknown before loading was asked for, loading while
  // the file is read, then loaded or failed. Keys the asset does not know stay unknown.
  KeyValueStatus statusOfValue(std::string_view key) const;

  // The duration, MediaTime::zero() when the file cannot be read. Loads synchronously when
  // needed.
  MediaTime duration() const;
  // The tracks in file order (attached cover pictures are not tracks). Loads synchronously
  // when needed.
  std::vector<MediaTrack> tracks() const;

  // Loads `value` ("tracks", "duration") asynchronously and calls `completion` on a
  // background thread with true when it loaded and false when it failed or was cancelled.
  // Any other status (an unknown key) writes "STATUS is <number>" to standard output and
  // `completion` is not called. Nothing happens when the asset is gone by then.
  void loadValueAsync(const std::string& value, Completion completion);
  // loadValueAsync("tracks", completion).
  void loadTracks(Completion completion);
  // loadValueAsync("duration", completion).
  void loadDuration(Completion completion);

  // The first video or audio track, if any.
  std::optional<MediaTrack> firstVideoTrack() const;
  std::optional<MediaTrack> firstAudioTrack() const;
  // The time of the first frame: always 0 at timescale 1.
  MediaTime firstFrameTime() const { return MediaTime{0, 1}; }
  // The duration of the first video track's time range; nullopt without a video track.
  std::optional<MediaTime> lastFrameTime() const;

  // The recorded orientation: the angle atan2(b, a) of the first video track's transform in
  // single precision, in whole degrees truncated toward zero: 0 is right, 90 up, 180 left and
  // -90 down. Other angles, and assets without a video track, give nullopt.
  std::optional<VideoOrientation> videoOrientation() const;
  // videoOrientation() as the capture framework's orientation: right → landscapeRight, up →
  // portrait, left → landscapeLeft, down → portraitUpsideDown.
  std::optional<CaptureVideoOrientation> avCaptureVideoOrientation() const;

 private:
  struct Contents;

  MediaAsset(const Url& url, DispatchQueue queue);

  Url url_;
  // Shared with loads in flight, which may outlive the asset.
  std::shared_ptr<Contents> contents_;
};

}  // namespace lumo
