#include "FfmpegThumbnails.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswscale/swscale.h>
}

#include <memory>
#include <vector>

#include "lumo/capture/Screencast.h"
#include "lumo/support/DispatchQueue.h"

namespace lumo::cli {
namespace {

struct FormatCloser {
  void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
};
struct CodecFreer {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct PacketFreer {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct FrameFreer {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct ScaleFreer {
  void operator()(SwsContext* s) const { sws_freeContext(s); }
};

bool decodeFirst(AVFormatContext* format, AVCodecContext* codec, int stream, AVFrame* frame) {
  std::unique_ptr<AVPacket, PacketFreer> packet(av_packet_alloc());
  if (!packet) return false;
  while (av_read_frame(format, packet.get()) >= 0) {
    const bool ours = packet->stream_index == stream;
    const bool sent = ours && avcodec_send_packet(codec, packet.get()) >= 0;
    av_packet_unref(packet.get());
    if (sent && avcodec_receive_frame(codec, frame) == 0) return true;
  }
  // Decoders with delay hand their first frame out only when drained.
  avcodec_send_packet(codec, nullptr);
  return avcodec_receive_frame(codec, frame) == 0;
}

}  // namespace

std::optional<PlatformImage> FfmpegThumbnails::firstFrame(const std::filesystem::path& path) {
  AVFormatContext* opened = nullptr;
  if (avformat_open_input(&opened, path.c_str(), nullptr, nullptr) < 0) return std::nullopt;
  std::unique_ptr<AVFormatContext, FormatCloser> format(opened);
  if (avformat_find_stream_info(format.get(), nullptr) < 0) return std::nullopt;
  const AVCodec* decoder = nullptr;
  const int stream = av_find_best_stream(format.get(), AVMEDIA_TYPE_VIDEO, -1, -1, &decoder, 0);
  if (stream < 0 || !decoder) return std::nullopt;
  std::unique_ptr<AVCodecContext, CodecFreer> codec(avcodec_alloc_context3(decoder));
  if (!codec || avcodec_parameters_to_context(codec.get(), format->streams[stream]->codecpar) < 0 ||
      avcodec_open2(codec.get(), decoder, nullptr) < 0) {
    return std::nullopt;
  }
  std::unique_ptr<AVFrame, FrameFreer> frame(av_frame_alloc());
  if (!frame || !decodeFirst(format.get(), codec.get(), stream, frame.get())) return std::nullopt;
  const int width = frame->width;
  const int height = frame->height;
  if (width <= 0 || height <= 0) return std::nullopt;
  std::unique_ptr<SwsContext, ScaleFreer> scale(
      sws_getContext(width, height, static_cast<AVPixelFormat>(frame->format), width, height,
                     AV_PIX_FMT_RGBA, SWS_BILINEAR, nullptr, nullptr, nullptr));
  if (!scale) return std::nullopt;
  // swscale's vector code writes whole blocks: a row whose bytes are no multiple of them (a
  // 202-pixel region) spills past its end, into the next row, which is written after it, and
  // past the last one, into the padding.
  constexpr std::size_t kSpill = 64;
  const std::size_t size = static_cast<std::size_t>(width) * height * 4;
  std::vector<std::uint8_t> pixels(size + kSpill);
  std::uint8_t* planes[4] = {pixels.data(), nullptr, nullptr, nullptr};
  int strides[4] = {width * 4, 0, 0, 0};
  sws_scale(scale.get(), frame->data, frame->linesize, 0, height, planes, strides);
  pixels.resize(size);
  return PlatformImage::fromRGBA(width, height, std::move(pixels));
}

void FfmpegThumbnails::thumbnail(const Screencast& screencast,
                                 std::function<void(std::optional<PlatformImage>)> completion) {
  const std::filesystem::path video = screencast.fileURL().filePath();
  DispatchQueue::global().async(
      [video, completion = std::move(completion)] { completion(firstFrame(video)); });
}

}  // namespace lumo::cli
