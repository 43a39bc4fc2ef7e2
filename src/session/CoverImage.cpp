#include "session/CoverImage.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "session/FFmpegLibrary.h"

namespace session {
namespace {

// FFmpeg's objects, freed through the loaded table.
struct CodecFree {
  void operator()(AVCodecContext* c) const { ff().avcodec_free_context(&c); }
  void operator()(AVFrame* f) const { ff().av_frame_free(&f); }
  void operator()(AVPacket* p) const { ff().av_packet_free(&p); }
  void operator()(SwsContext* s) const { ff().sws_freeContext(s); }
};
template <class T>
using Owned = std::unique_ptr<T, CodecFree>;

std::string ffmpegError(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  ff().av_strerror(code, text, sizeof text);
  return text;
}

}  // namespace

std::string coverTypeOf(std::string_view bytes) {
  if (bytes.substr(0, 3) == "\xFF\xD8\xFF") return "jpeg";
  if (bytes.substr(0, 8) == "\x89PNG\r\n\x1A\n") return "png";
  return "";
}

std::optional<std::pair<int, int>> coverSizeOf(std::string_view bytes) {
  auto byte = [&](size_t i) { return static_cast<int>(static_cast<uint8_t>(bytes[i])); };
  auto u16 = [&](size_t i) { return byte(i) << 8 | byte(i + 1); };
  const std::string type = coverTypeOf(bytes);
  if (type == "png" && bytes.size() >= 24 && bytes.substr(12, 4) == "IHDR") {
    if (byte(16) || byte(17) || byte(20) || byte(21)) return std::nullopt;  // beyond any cover
    return std::make_pair(u16(18), u16(22));
  }
  if (type != "jpeg") return std::nullopt;
  // The segments up to the frame header, which gives the size.
  for (size_t i = 2; i + 9 <= bytes.size();) {
    if (byte(i) != 0xFF) return std::nullopt;
    int marker = byte(i + 1);
    if (marker == 0xFF) {
      ++i;
      continue;
    }
    if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC)
      return std::make_pair(u16(i + 7), u16(i + 5));
    i += 2 + static_cast<size_t>(u16(i + 2));
  }
  return std::nullopt;
}

base::Result<std::string> convertCover(std::string_view bytes, const std::string& path,
                                       const std::string& type, int size) {
  auto failed = [&](const std::string& why) {
    return base::Status::failure("cannot convert the cover image", path, why, EINVAL);
  };
  std::string missing;
  const FFmpeg* f = loadFFmpeg(&missing);
  if (!f) return failed(missing);
  if (!f->swscaleMissing.empty()) return failed(f->swscaleMissing);
  const std::string from = coverTypeOf(bytes);
  if (from.empty()) return failed("it is neither a JPEG nor a PNG image");
  if (type != "jpeg" && type != "png") return failed("\"" + type + "\" is neither jpeg nor png");

  // Decoded whole: one image file is one packet to its decoder.
  const AVCodec* decoder =
      f->avcodec_find_decoder(from == "png" ? AV_CODEC_ID_PNG : AV_CODEC_ID_MJPEG);
  if (!decoder) return failed("FFmpeg has no " + from + " decoder");
  Owned<AVCodecContext> in(f->avcodec_alloc_context3(decoder));
  Owned<AVPacket> packet(f->av_packet_alloc());
  Owned<AVFrame> image(f->av_frame_alloc());
  if (!in || !packet || !image) return failed("out of memory");
  if (int e = f->avcodec_open2(in.get(), decoder, nullptr); e < 0) return failed(ffmpegError(e));
  if (f->av_new_packet(packet.get(), static_cast<int>(bytes.size())) < 0)
    return failed("out of memory");
  std::memcpy(packet->data, bytes.data(), bytes.size());
  int e = f->avcodec_send_packet(in.get(), packet.get());
  if (e >= 0) e = f->avcodec_send_packet(in.get(), nullptr);
  if (e >= 0) e = f->avcodec_receive_frame(in.get(), image.get());
  if (e < 0) return failed("FFmpeg cannot decode it: " + ffmpegError(e));
  if (image->width <= 0 || image->height <= 0) return failed("it has no pixels");

  int width = image->width, height = image->height;
  if (size > 0) {
    // The longer side at `size`, the shorter one in proportion.
    bool wide = width >= height;
    int64_t shorter =
        (static_cast<int64_t>(wide ? height : width) * size + (wide ? width : height) / 2) /
        (wide ? width : height);
    width = wide ? size : static_cast<int>(std::max<int64_t>(1, shorter));
    height = wide ? static_cast<int>(std::max<int64_t>(1, shorter)) : size;
  }
  const AVPixFmtDescriptor* described =
      f->av_pix_fmt_desc_get(static_cast<AVPixelFormat>(image->format));
  const bool alpha = described && (described->flags & AV_PIX_FMT_FLAG_ALPHA);
  // JPEG's full-range YUV (a player's decoder expects no other), PNG's
  // RGB with the transparency the source had.
  const AVPixelFormat format = type == "jpeg" ? AV_PIX_FMT_YUVJ444P
                               : alpha        ? AV_PIX_FMT_RGBA
                                              : AV_PIX_FMT_RGB24;
  Owned<SwsContext> scaler(
      f->sws_getContext(image->width, image->height, static_cast<AVPixelFormat>(image->format),
                        width, height, format, 4 /* SWS_BICUBIC */, nullptr, nullptr, nullptr));
  Owned<AVFrame> scaled(f->av_frame_alloc());
  if (!scaler || !scaled) return failed("FFmpeg cannot scale its pixel format");
  scaled->width = width;
  scaled->height = height;
  scaled->format = format;
  if (f->av_frame_get_buffer(scaled.get(), 0) < 0) return failed("out of memory");
  if (f->sws_scale(scaler.get(), image->data, image->linesize, 0, image->height, scaled->data,
                   scaled->linesize) != height)
    return failed("FFmpeg could not scale it");

  const AVCodec* encoder =
      f->avcodec_find_encoder(type == "png" ? AV_CODEC_ID_PNG : AV_CODEC_ID_MJPEG);
  if (!encoder) return failed("FFmpeg has no " + type + " encoder");
  Owned<AVCodecContext> out(f->avcodec_alloc_context3(encoder));
  if (!out) return failed("out of memory");
  out->width = width;
  out->height = height;
  out->pix_fmt = format;
  out->time_base = {1, 1};
  if (type == "jpeg") {
    // A fixed quality, high enough that a cover shows no blocks.
    out->flags |= AV_CODEC_FLAG_QSCALE;
    out->global_quality = scaled->quality = 2 * FF_QP2LAMBDA;
    out->color_range = AVCOL_RANGE_JPEG;
  }
  if (int e = f->avcodec_open2(out.get(), encoder, nullptr); e < 0)
    return failed("FFmpeg cannot encode " + type + ": " + ffmpegError(e));
  f->av_packet_unref(packet.get());
  e = f->avcodec_send_frame(out.get(), scaled.get());
  if (e >= 0) e = f->avcodec_send_frame(out.get(), nullptr);
  if (e >= 0) e = f->avcodec_receive_packet(out.get(), packet.get());
  if (e < 0) return failed("FFmpeg cannot encode it as " + type + ": " + ffmpegError(e));
  return std::string(reinterpret_cast<const char*>(packet->data),
                     static_cast<size_t>(packet->size));
}

}  // namespace session
