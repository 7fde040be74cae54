#include "lumo/platform/PlatformImage.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string_view>
#include <utility>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}
#include <png.h>

namespace lumo {
namespace {

// --- RAII for the FFmpeg handles --------------------------------------------------------------

// Bytes in memory served to libavformat through custom I/O, so that nothing touches a file.
struct MemoryReader {
  std::span<const std::uint8_t> data;
  std::int64_t position = 0;

  static int read(void* opaque, std::uint8_t* buffer, int size) {
    auto* self = static_cast<MemoryReader*>(opaque);
    const auto remaining = static_cast<std::int64_t>(self->data.size()) - self->position;
    if (remaining <= 0) return AVERROR_EOF;
    const int n = static_cast<int>(std::min<std::int64_t>(remaining, size));
    std::memcpy(buffer, self->data.data() + self->position, static_cast<std::size_t>(n));
    self->position += n;
    return n;
  }

  static std::int64_t seek(void* opaque, std::int64_t offset, int whence) {
    auto* self = static_cast<MemoryReader*>(opaque);
    const auto size = static_cast<std::int64_t>(self->data.size());
    std::int64_t target = 0;
    switch (whence & ~AVSEEK_FORCE) {
      case AVSEEK_SIZE:
        return size;
      case SEEK_SET:
        target = offset;
        break;
      case SEEK_CUR:
        target = self->position + offset;
        break;
      case SEEK_END:
        target = size + offset;
        break;
      default:
        return AVERROR(EINVAL);
    }
    if (target < 0 || target > size) return AVERROR(EINVAL);
    self->position = target;
    return target;
  }
};

struct AVIOContextDeleter {
  void operator()(AVIOContext* io) const {
    if (io == nullptr) return;
    av_freep(&io->buffer);  // libavformat may have replaced the buffer we gave it
    avio_context_free(&io);
  }
};
using AVIOContextPtr = std::unique_ptr<AVIOContext, AVIOContextDeleter>;

struct FormatContextDeleter {
  void operator()(AVFormatContext* ctx) const { avformat_close_input(&ctx); }
};
using FormatContextPtr = std::unique_ptr<AVFormatContext, FormatContextDeleter>;

struct CodecContextDeleter {
  void operator()(AVCodecContext* ctx) const { avcodec_free_context(&ctx); }
};
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextDeleter>;

struct FrameDeleter {
  void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;

struct PacketDeleter {
  void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;

struct SwsContextDeleter {
  void operator()(SwsContext* ctx) const { sws_freeContext(ctx); }
};
using SwsContextPtr = std::unique_ptr<SwsContext, SwsContextDeleter>;

// The demuxers that read still-image formats, with the format each stands for. Anything else
// the prober may guess for arbitrary bytes (raw audio, text subtitles, ...) is not an image.
struct KnownDemuxer {
  std::string_view name;
  PlatformImage::Format format;
  AVCodecID codec;
};
constexpr KnownDemuxer kDemuxers[] = {
    {"png_pipe", PlatformImage::Format::png, AV_CODEC_ID_PNG},
    {"apng", PlatformImage::Format::png, AV_CODEC_ID_APNG},
    {"jpeg_pipe", PlatformImage::Format::jpeg, AV_CODEC_ID_MJPEG},
    {"mjpeg", PlatformImage::Format::jpeg, AV_CODEC_ID_MJPEG},
    {"gif", PlatformImage::Format::gif, AV_CODEC_ID_GIF},
    {"gif_pipe", PlatformImage::Format::gif, AV_CODEC_ID_GIF},
    {"bmp_pipe", PlatformImage::Format::bmp, AV_CODEC_ID_BMP},
    {"webp_pipe", PlatformImage::Format::webp, AV_CODEC_ID_WEBP},
    {"tiff_pipe", PlatformImage::Format::tiff, AV_CODEC_ID_TIFF},
};

const KnownDemuxer* knownDemuxer(const AVInputFormat* format) {
  if (format == nullptr || format->name == nullptr) return nullptr;
  for (const KnownDemuxer& d : kDemuxers) {
    if (d.name == format->name) return &d;
  }
  return nullptr;
}

// The scaler warns about the "J" formats: they are the plain YUV formats in full range.
std::pair<AVPixelFormat, bool> withRange(AVPixelFormat format) {
  switch (format) {
    case AV_PIX_FMT_YUVJ420P:
      return {AV_PIX_FMT_YUV420P, true};
    case AV_PIX_FMT_YUVJ422P:
      return {AV_PIX_FMT_YUV422P, true};
    case AV_PIX_FMT_YUVJ444P:
      return {AV_PIX_FMT_YUV444P, true};
    case AV_PIX_FMT_YUVJ440P:
      return {AV_PIX_FMT_YUV440P, true};
    case AV_PIX_FMT_YUVJ411P:
      return {AV_PIX_FMT_YUV411P, true};
    default:
      return {format, false};
  }
}

constexpr int kIOBufferSize = 32 * 1024;
// The alignment of the rows the scaler writes (that of FFmpeg's widest vector code).
constexpr std::size_t kRowAlignment = 64;
// Larger images are refused rather than decoded into gigabytes of pixels.
constexpr std::int64_t kMaxPixels = std::int64_t{1} << 28;

// An opened in-memory image: the demuxer, its stream, and what it recognised.
class ImageSource {
 public:
  // Opens `data`; `ok()` tells whether it is an image of a known format with a size.
  explicit ImageSource(std::span<const std::uint8_t> data) : reader_{data, 0} {
    if (data.empty() || data.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
      return;
    }
    auto* buffer = static_cast<unsigned char*>(av_malloc(kIOBufferSize));
    if (buffer == nullptr) return;
    io_.reset(avio_alloc_context(buffer, kIOBufferSize, 0, &reader_, &MemoryReader::read, nullptr,
                                 &MemoryReader::seek));
    if (!io_) {
      av_free(buffer);
      return;
    }
    const AVInputFormat* guessed = nullptr;
    if (av_probe_input_buffer2(io_.get(), &guessed, "", nullptr, 0, 0) < 0) return;
    known_ = knownDemuxer(guessed);
    if (known_ == nullptr) return;

    AVFormatContext* ctx = avformat_alloc_context();
    if (ctx == nullptr) return;
    ctx->pb = io_.get();
    ctx->flags |= AVFMT_FLAG_CUSTOM_IO;
    // On failure avformat_open_input frees the context itself.
    if (avformat_open_input(&ctx, nullptr, guessed, nullptr) < 0) return;
    format_.reset(ctx);
    if (avformat_find_stream_info(ctx, nullptr) < 0) return;
    for (unsigned i = 0; i < ctx->nb_streams; ++i) {
      const AVCodecParameters* par = ctx->streams[i]->codecpar;
      if (par->codec_type == AVMEDIA_TYPE_VIDEO && par->width > 0 && par->height > 0 &&
          static_cast<std::int64_t>(par->width) * par->height <= kMaxPixels) {
        stream_ = static_cast<int>(i);
        return;
      }
    }
  }

  bool ok() const { return stream_ >= 0; }
  PlatformImage::Format format() const { return known_->format; }
  const AVCodecParameters& parameters() const { return *format_->streams[stream_]->codecpar; }

  // The first frame as RGBA pixels of the stream's size.
  std::optional<std::vector<std::uint8_t>> decodeRGBA() {
    const AVCodecParameters& par = parameters();
    const AVCodec* codec = avcodec_find_decoder(par.codec_id);
    if (codec == nullptr) return std::nullopt;
    CodecContextPtr decoder(avcodec_alloc_context3(codec));
    if (!decoder || avcodec_parameters_to_context(decoder.get(), &par) < 0 ||
        avcodec_open2(decoder.get(), codec, nullptr) < 0) {
      return std::nullopt;
    }
    FramePtr frame(av_frame_alloc());
    PacketPtr packet(av_packet_alloc());
    if (!frame || !packet) return std::nullopt;

    bool gotFrame = false;
    while (!gotFrame && av_read_frame(format_.get(), packet.get()) >= 0) {
      if (packet->stream_index == stream_ &&
          avcodec_send_packet(decoder.get(), packet.get()) >= 0) {
        gotFrame = avcodec_receive_frame(decoder.get(), frame.get()) >= 0;
      }
      av_packet_unref(packet.get());
    }
    if (!gotFrame && avcodec_send_packet(decoder.get(), nullptr) >= 0) {
      gotFrame = avcodec_receive_frame(decoder.get(), frame.get()) >= 0;
    }
    if (!gotFrame || frame->width <= 0 || frame->height <= 0) return std::nullopt;

    // Scale to the size the image announces, so that size() and the pixels agree.
    const int width = par.width;
    const int height = par.height;
    auto [source, fullRange] = withRange(static_cast<AVPixelFormat>(frame->format));
    fullRange = fullRange || frame->color_range == AVCOL_RANGE_JPEG;
    SwsContextPtr scaler(sws_getContext(frame->width, frame->height, source, width, height,
                                        AV_PIX_FMT_RGBA, SWS_BICUBIC, nullptr, nullptr, nullptr));
    if (!scaler) return std::nullopt;
    if (fullRange) {
      // JPEG's full-range luma, told to the scaler instead of through the deprecated formats.
      int* inverse = nullptr;
      int* table = nullptr;
      int sourceRange = 0, destinationRange = 0, brightness = 0, contrast = 0, saturation = 0;
      if (sws_getColorspaceDetails(scaler.get(), &inverse, &sourceRange, &table, &destinationRange,
                                   &brightness, &contrast, &saturation) >= 0) {
        sws_setColorspaceDetails(scaler.get(), inverse, 1, table, destinationRange, brightness,
                                 contrast, saturation);
      }
    }
    // The scaler's vector code writes whole blocks of pixels, past the end of a row whose size
    // is not a multiple of the block (up to 32 bytes past the last one for 520-pixel rows): it
    // gets rows padded like FFmpeg's own frames, which are then packed in place.
    const std::size_t row = static_cast<std::size_t>(width) * 4;
    const std::size_t paddedRow = (row + kRowAlignment - 1) / kRowAlignment * kRowAlignment;
    std::vector<std::uint8_t> pixels(paddedRow * static_cast<std::size_t>(height) + kRowAlignment);
    std::uint8_t* planes[4] = {pixels.data(), nullptr, nullptr, nullptr};
    int strides[4] = {static_cast<int>(paddedRow), 0, 0, 0};
    if (sws_scale(scaler.get(), frame->data, frame->linesize, 0, frame->height, planes, strides) !=
        height) {
      return std::nullopt;
    }
    for (std::size_t y = 1; y < static_cast<std::size_t>(height); ++y) {
      std::memmove(pixels.data() + y * row, pixels.data() + y * paddedRow, row);
    }
    pixels.resize(row * static_cast<std::size_t>(height));
    return pixels;
  }

 private:
  // Declared first so that it outlives the contexts that read through it.
  MemoryReader reader_;
  AVIOContextPtr io_;
  FormatContextPtr format_;  // closed before io_ is freed (reverse declaration order)
  const KnownDemuxer* known_ = nullptr;
  int stream_ = -1;
};

// libpng's simplified API: RGBA pixels to PNG bytes in memory.
std::optional<std::vector<std::uint8_t>> encodePNG(int width, int height,
                                                   const std::vector<std::uint8_t>& pixels) {
  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  image.width = static_cast<png_uint_32>(width);
  image.height = static_cast<png_uint_32>(height);
  image.format = PNG_FORMAT_RGBA;
  png_alloc_size_t size = 0;
  if (!png_image_write_to_memory(&image, nullptr, &size, 0, pixels.data(), 0, nullptr)) {
    png_image_free(&image);
    return std::nullopt;
  }
  std::vector<std::uint8_t> out(size);
  if (!png_image_write_to_memory(&image, out.data(), &size, 0, pixels.data(), 0, nullptr)) {
    png_image_free(&image);
    return std::nullopt;
  }
  out.resize(size);
  return out;
}

}  // namespace

std::optional<PlatformImage> PlatformImage::fromData(std::span<const std::uint8_t> data) {
  ImageSource source(data);
  if (!source.ok()) return std::nullopt;
  PlatformImage image;
  image.format_ = source.format();
  image.width_ = source.parameters().width;
  image.height_ = source.parameters().height;
  image.bytes_ = std::make_shared<const std::vector<std::uint8_t>>(data.begin(), data.end());
  return image;
}

std::optional<PlatformImage> PlatformImage::fromRGBA(int width, int height,
                                                     std::vector<std::uint8_t> pixels) {
  if (width <= 0 || height <= 0) return std::nullopt;
  const auto expected = static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height) * 4;
  if (pixels.size() != expected) return std::nullopt;
  PlatformImage image;
  image.width_ = width;
  image.height_ = height;
  image.bytes_ = std::make_shared<const std::vector<std::uint8_t>>(std::move(pixels));
  return image;
}

std::span<const std::uint8_t> PlatformImage::data() const {
  if (!format_ || !bytes_) return {};
  return *bytes_;
}

std::optional<std::vector<std::uint8_t>> PlatformImage::rgbaPixels() const {
  if (!bytes_) return std::nullopt;
  if (!format_) return *bytes_;
  ImageSource source(*bytes_);
  if (!source.ok()) return std::nullopt;
  return source.decodeRGBA();
}

std::optional<std::vector<std::uint8_t>> PlatformImage::pngRepresentation() const {
  if (!bytes_) return std::nullopt;
  if (format_ == Format::png) return *bytes_;
  std::optional<std::vector<std::uint8_t>> pixels = rgbaPixels();
  if (!pixels) return std::nullopt;
  return encodePNG(width_, height_, *pixels);
}

}  // namespace lumo
