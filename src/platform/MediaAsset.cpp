#include "lumo/platform/MediaAsset.h"

#include <sys/stat.h>

#include <cmath>
#include <condition_variable>
#include <cstring>
#include <iostream>
#include <limits>
#include <mutex>
#include <utility>

#include "lumo/support/DispatchQueue.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
}

namespace lumo {
namespace {

// What one reading of the file gives.
struct Loaded {
  bool ok = false;
  MediaTime duration = MediaTime::zero();
  std::vector<MediaTrack> tracks;
};

struct FormatContextCloser {
  void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};
using FormatContext = std::unique_ptr<AVFormatContext, FormatContextCloser>;

struct DictionaryFreer {
  void operator()(AVDictionary* dictionary) const { av_dict_free(&dictionary); }
};

MediaTime fromStreamTime(int64_t value, AVRational timeBase) {
  if (timeBase.num == 1 && timeBase.den > 0) return MediaTime{value, timeBase.den};
  return MediaTime{av_rescale_q(value, timeBase, AVRational{1, AV_TIME_BASE}), AV_TIME_BASE};
}

AffineTransform transformOf(const AVStream* stream) {
  // The display matrix as stored in the file: a, b, u / c, d, v / x, y, w, with a, b, c, d, x
  // and y in 16.16 fixed point.
  size_t size = 0;
  const uint8_t* data = av_stream_get_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, &size);
  if (!data || size < 9 * sizeof(int32_t)) return AffineTransform::identity();
  int32_t m[9];
  std::memcpy(m, data, sizeof m);
  constexpr double kOne = 65536.0;
  return AffineTransform{m[0] / kOne, m[1] / kOne, m[3] / kOne,
                         m[4] / kOne, m[6] / kOne, m[7] / kOne};
}

Loaded readFile(const Url& url) {
  Loaded loaded;
  if (!url.isFileURL()) return loaded;
  // Only regular files: a pipe or a device would block the reading thread, or never end.
  struct stat st {};
  if (::stat(url.filePath().c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return loaded;

  // "file:" keeps a colon in the name from reading as a protocol; the whitelists keep a
  // crafted file from reaching other protocols or demuxers.
  const std::string target = "file:" + url.filePath().native();
  AVDictionary* rawOptions = nullptr;
  av_dict_set(&rawOptions, "protocol_whitelist", "file", 0);
  av_dict_set(&rawOptions, "format_whitelist", "mov", 0);
  std::unique_ptr<AVDictionary, DictionaryFreer> options(rawOptions);

  AVFormatContext* raw = nullptr;
  AVDictionary* passed = options.release();
  int status = avformat_open_input(&raw, target.c_str(), nullptr, &passed);
  options.reset(passed);
  if (status < 0) return loaded;  // avformat_open_input frees the context on failure
  FormatContext context(raw);

  int64_t duration = context->duration;
  if (duration == AV_NOPTS_VALUE || duration <= 0) {
    // Fragmented files announce no duration in their header; reading the packets finds it.
    if (avformat_find_stream_info(context.get(), nullptr) < 0) return loaded;
    duration = context->duration;
  }
  if (duration != AV_NOPTS_VALUE && duration > 0) {
    loaded.duration = MediaTime{duration, AV_TIME_BASE};
  }

  for (unsigned i = 0; i < context->nb_streams; ++i) {
    const AVStream* stream = context->streams[i];
    if (stream->disposition & AV_DISPOSITION_ATTACHED_PIC) continue;
    MediaTrack track;
    track.trackID = stream->id;
    switch (stream->codecpar->codec_type) {
      case AVMEDIA_TYPE_VIDEO:
        track.mediaType = MediaType::video;
        break;
      case AVMEDIA_TYPE_AUDIO:
        track.mediaType = MediaType::audio;
        break;
      default:
        track.mediaType = MediaType::other;
        break;
    }
    int64_t start = stream->start_time == AV_NOPTS_VALUE ? 0 : stream->start_time;
    track.timeRange.start = fromStreamTime(start, stream->time_base);
    if (stream->duration != AV_NOPTS_VALUE && stream->duration > 0) {
      track.timeRange.duration = fromStreamTime(stream->duration, stream->time_base);
    } else {
      track.timeRange.duration = loaded.duration;
    }
    track.preferredTransform = transformOf(stream);
    loaded.tracks.push_back(track);
  }
  loaded.ok = true;
  return loaded;
}

bool isKnownKey(std::string_view key) {
  return key == MediaAsset::kTracksKey || key == MediaAsset::kDurationKey;
}

}  // namespace

double MediaTime::seconds() const {
  if (!isValid()) return std::numeric_limits<double>::quiet_NaN();
  return static_cast<double>(value) / static_cast<double>(timescale);
}

struct MediaAsset::Contents {
  enum class State { notLoaded, loading, loaded, failed };

  Contents(Url u, DispatchQueue q) : url(std::move(u)), queue(std::move(q)) {}

  // Marks loading as wanted; returns true when the caller is the one to read the file.
  bool claimLoad() {
    std::lock_guard lock(mu);
    if (state == State::notLoaded) state = State::loading;
    if (state == State::loading && !claimed) {
      claimed = true;
      return true;
    }
    return false;
  }

  void performLoad() {
    Loaded result = readFile(url);
    std::vector<Handler> handlers;
    {
      std::lock_guard lock(mu);
      loaded = std::move(result);
      state = loaded.ok ? State::loaded : State::failed;
      handlers.swap(pending);
    }
    changed.notify_all();
    for (auto& handler : handlers) queue.async(std::move(handler));
  }

  // Loads synchronously: reads the file here unless a load is already running elsewhere, in
  // which case it waits for that one.
  const Loaded& ensureLoaded() {
    if (claimLoad()) performLoad();
    std::unique_lock lock(mu);
    changed.wait(lock, [&] { return state == State::loaded || state == State::failed; });
    return loaded;  // immutable once the state is final
  }

  const Url url;
  const DispatchQueue queue;
  mutable std::mutex mu;
  std::condition_variable changed;
  State state = State::notLoaded;  // guarded by mu
  bool claimed = false;            // guarded by mu: a thread has taken the reading on
  std::vector<Handler> pending;    // guarded by mu
  Loaded loaded;                   // guarded by mu until state is final, then read-only
};

std::shared_ptr<MediaAsset> MediaAsset::make(const Url& url) {
  return make(url, DispatchQueue::global());
}

std::shared_ptr<MediaAsset> MediaAsset::make(const Url& url, DispatchQueue queue) {
  return std::shared_ptr<MediaAsset>(new MediaAsset(url, std::move(queue)));
}

MediaAsset::MediaAsset(const Url& url, DispatchQueue queue)
    : url_(url), contents_(std::make_shared<Contents>(url, std::move(queue))) {}

MediaAsset::~MediaAsset() = default;

void MediaAsset::loadValuesAsynchronously(const std::vector<std::string>& keys, Handler handler) {
  (void)keys;  // every value comes from the one reading of the file
  bool startLoad = false;
  {
    std::lock_guard lock(contents_->mu);
    using State = Contents::State;
    if (contents_->state == State::loaded || contents_->state == State::failed) {
      contents_->queue.async(std::move(handler));
      return;
    }
    contents_->pending.push_back(std::move(handler));
    if (contents_->state == State::notLoaded) {
      contents_->state = State::loading;
      startLoad = true;
    }
  }
  if (startLoad) {
    contents_->queue.async([contents = contents_] {
      // A synchronous accessor may have taken the reading on in the meantime.
      if (contents->claimLoad()) contents->performLoad();
    });
  }
}

KeyValueStatus MediaAsset::statusOfValue(std::string_view key) const {
  if (!isKnownKey(key)) return KeyValueStatus::unknown;
  std::lock_guard lock(contents_->mu);
  switch (contents_->state) {
    case Contents::State::notLoaded:
      return KeyValueStatus::unknown;
    case Contents::State::loading:
      return KeyValueStatus::loading;
    case Contents::State::loaded:
      return KeyValueStatus::loaded;
    case Contents::State::failed:
      return KeyValueStatus::failed;
  }
  return KeyValueStatus::unknown;
}

MediaTime MediaAsset::duration() const {
  return contents_->ensureLoaded().duration;
}

std::vector<MediaTrack> MediaAsset::tracks() const {
  return contents_->ensureLoaded().tracks;
}

void MediaAsset::loadValueAsync(const std::string& value, Completion completion) {
  std::weak_ptr<MediaAsset> weakAsset = weak_from_this();
  loadValuesAsynchronously({value}, [weakAsset, value, completion = std::move(completion)] {
    auto asset = weakAsset.lock();
    if (!asset) return;
    KeyValueStatus status = asset->statusOfValue(value);
    switch (status) {
      case KeyValueStatus::loaded:
        completion(true);
        break;
      case KeyValueStatus::failed:
      case KeyValueStatus::cancelled:
        completion(false);
        break;
      default:
        std::cout << "STATUS is " << static_cast<int>(status) << std::endl;
        break;
    }
  });
}

void MediaAsset::loadTracks(Completion completion) {
  loadValueAsync(std::string(kTracksKey), std::move(completion));
}

void MediaAsset::loadDuration(Completion completion) {
  loadValueAsync(std::string(kDurationKey), std::move(completion));
}

std::optional<MediaTrack> MediaAsset::firstVideoTrack() const {
  for (const auto& track : contents_->ensureLoaded().tracks) {
    if (track.mediaType == MediaType::video) return track;
  }
  return std::nullopt;
}

std::optional<MediaTrack> MediaAsset::firstAudioTrack() const {
  for (const auto& track : contents_->ensureLoaded().tracks) {
    if (track.mediaType == MediaType::audio) return track;
  }
  return std::nullopt;
}

std::optional<MediaTime> MediaAsset::lastFrameTime() const {
  auto track = firstVideoTrack();
  if (!track) return std::nullopt;
  return track->timeRange.duration;
}

std::optional<VideoOrientation> MediaAsset::videoOrientation() const {
  auto track = firstVideoTrack();
  if (!track) return std::nullopt;
  const AffineTransform& t = track->preferredTransform;
  // Single precision throughout, with pi rounded toward zero, so that exact quarter turns land
  // on whole degrees and anything short of one does not.
  const float angle =
      std::atan2(static_cast<float>(t.b), static_cast<float>(t.a)) * 180.0f / 3.1415925f;
  switch (static_cast<int>(angle)) {
    case 0:
      return VideoOrientation::right;
    case 90:
      return VideoOrientation::up;
    case 180:
      return VideoOrientation::left;
    case -90:
      return VideoOrientation::down;
    default:
      return std::nullopt;
  }
}

std::optional<CaptureVideoOrientation> MediaAsset::avCaptureVideoOrientation() const {
  auto orientation = videoOrientation();
  if (!orientation) return std::nullopt;
  switch (*orientation) {
    case VideoOrientation::right:
      return CaptureVideoOrientation::landscapeRight;
    case VideoOrientation::up:
      return CaptureVideoOrientation::portrait;
    case VideoOrientation::left:
      return CaptureVideoOrientation::landscapeLeft;
    case VideoOrientation::down:
      return CaptureVideoOrientation::portraitUpsideDown;
  }
  return std::nullopt;
}

}  // namespace lumo
