#include "session/MediaConvert.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/mem.h>
#include <libswresample/swresample.h>
}

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "session/FFmpegLibrary.h"
#include "session/MediaInput.h"

namespace session {
namespace {

struct Encoding {
  const char *codec, *encoder, *muxer, *extension;
  int defaultQuality;
  bool coverInStream;  // the muxer carries an attached picture
};

constexpr Encoding kEncodings[] = {
    {"mp3", "libmp3lame", "mp3", "mp3", 2, true},
    {"aac", "aac", "ipod", "m4a", 256, true},
    {"opus", "libopus", "opus", "opus", 160, false},
    {"vorbis", "libvorbis", "ogg", "ogg", 6, false},
};

const Encoding* targetOf(const std::string& codec) {
  for (const auto& t : kEncodings)
    if (codec == t.codec) return &t;
  return nullptr;
}

// An Ogg file carries its cover as players read it there: a FLAC picture
// block (front cover), base64 in the METADATA_BLOCK_PICTURE comment.
std::string pictureComment(const AVStream& cover) {
  std::string block;
  auto u32 = [&](uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) block += static_cast<char>(v >> shift & 0xFF);
  };
  const std::string mime = cover.codecpar->codec_id == AV_CODEC_ID_PNG ? "image/png" : "image/jpeg";
  const AVPacket& image = cover.attached_pic;
  u32(3);
  u32(static_cast<uint32_t>(mime.size()));
  block += mime;
  u32(0);  // no description
  u32(static_cast<uint32_t>(std::max(0, cover.codecpar->width)));
  u32(static_cast<uint32_t>(std::max(0, cover.codecpar->height)));
  u32(24);
  u32(0);
  u32(static_cast<uint32_t>(image.size));
  block.append(reinterpret_cast<const char*>(image.data), static_cast<size_t>(image.size));
  static const char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((block.size() + 2) / 3 * 4);
  for (size_t i = 0; i < block.size(); i += 3) {
    uint32_t n = static_cast<uint32_t>(static_cast<unsigned char>(block[i])) << 16;
    if (i + 1 < block.size())
      n |= static_cast<uint32_t>(static_cast<unsigned char>(block[i + 1])) << 8;
    if (i + 2 < block.size()) n |= static_cast<unsigned char>(block[i + 2]);
    out += kDigits[n >> 18 & 63];
    out += kDigits[n >> 12 & 63];
    out += i + 1 < block.size() ? kDigits[n >> 6 & 63] : '=';
    out += i + 2 < block.size() ? kDigits[n & 63] : '=';
  }
  return out;
}

int qualityOf(const ConvertSettings& s, const Encoding& t) {
  return s.quality >= 0 ? s.quality : t.defaultQuality;
}

// The converted file grows in memory; the mp4 muxer seeks back to finish
// its header.
struct Memory {
  std::string bytes;
  size_t at = 0;
};

int writePacket(void* opaque, uint8_t* buffer, int size) {
  auto* m = static_cast<Memory*>(opaque);
  if (m->at + static_cast<size_t>(size) > m->bytes.size())
    m->bytes.resize(m->at + static_cast<size_t>(size));
  std::memcpy(m->bytes.data() + m->at, buffer, static_cast<size_t>(size));
  m->at += static_cast<size_t>(size);
  return size;
}

int64_t seekMemory(void* opaque, int64_t offset, int whence) {
  auto* m = static_cast<Memory*>(opaque);
  whence &= ~AVSEEK_FORCE;
  auto size = static_cast<int64_t>(m->bytes.size());
  if (whence == AVSEEK_SIZE) return size;
  int64_t base = whence == SEEK_CUR ? static_cast<int64_t>(m->at) : whence == SEEK_END ? size : 0;
  if (base + offset < 0) return AVERROR(EINVAL);
  m->at = static_cast<size_t>(base + offset);
  return static_cast<int64_t>(m->at);
}

// Everything one conversion allocates, freed whatever way it ends.
struct Work {
  AVCodecContext *decoder = nullptr, *encoder = nullptr;
  AVFormatContext* out = nullptr;
  AVIOContext* io = nullptr;
  SwrContext* resampler = nullptr;
  AVAudioFifo* fifo = nullptr;
  AVPacket* packet = ff().av_packet_alloc();
  AVFrame *decoded = ff().av_frame_alloc(), *toEncode = ff().av_frame_alloc();
  Memory memory;
  int64_t samplesOut = 0;
  ~Work() {
    ff().avcodec_free_context(&decoder);
    ff().avcodec_free_context(&encoder);
    ff().avformat_free_context(out);
    if (io) ff().av_freep(&io->buffer);
    ff().avio_context_free(&io);
    ff().swr_free(&resampler);
    if (fifo) ff().av_audio_fifo_free(fifo);
    ff().av_packet_free(&packet);
    ff().av_frame_free(&decoded);
    ff().av_frame_free(&toEncode);
  }
};

// Sends `frame` (none: the end) to the encoder and writes what comes out.
int encode(Work& w, AVFrame* frame) {
  int e = ff().avcodec_send_frame(w.encoder, frame);
  if (e < 0) return e;
  AVPacket* p = ff().av_packet_alloc();
  while ((e = ff().avcodec_receive_packet(w.encoder, p)) >= 0) {
    p->stream_index = 0;
    ff().av_packet_rescale_ts(p, w.encoder->time_base, w.out->streams[0]->time_base);
    e = ff().av_interleaved_write_frame(w.out, p);
    if (e < 0) break;
  }
  ff().av_packet_free(&p);
  return e == AVERROR(EAGAIN) || e == AVERROR_EOF ? 0 : e;
}

// Encodes whole frames from the FIFO; with `last`, the rest too.
int drain(Work& w, bool last) {
  int frameSize = w.encoder->frame_size > 0 ? w.encoder->frame_size : 1024;
  while (ff().av_audio_fifo_size(w.fifo) >= frameSize ||
         (last && ff().av_audio_fifo_size(w.fifo) > 0)) {
    int n = std::min(frameSize, ff().av_audio_fifo_size(w.fifo));
    ff().av_frame_unref(w.toEncode);
    w.toEncode->nb_samples = n;
    w.toEncode->format = w.encoder->sample_fmt;
    w.toEncode->sample_rate = w.encoder->sample_rate;
    int e = ff().av_channel_layout_copy(&w.toEncode->ch_layout, &w.encoder->ch_layout);
    if (e >= 0) e = ff().av_frame_get_buffer(w.toEncode, 0);
    if (e >= 0 &&
        ff().av_audio_fifo_read(w.fifo, reinterpret_cast<void**>(w.toEncode->data), n) < n)
      e = AVERROR(EIO);
    if (e < 0) return e;
    w.toEncode->pts = w.samplesOut;
    w.samplesOut += n;
    if ((e = encode(w, w.toEncode)) < 0) return e;
  }
  return 0;
}

// Resamples a decoded frame (none: what the resampler still holds) into
// the FIFO.
int resample(Work& w, const AVFrame* frame) {
  int in = frame ? frame->nb_samples : 0;
  int room = ff().swr_get_out_samples(w.resampler, in);
  if (room <= 0) return 0;
  uint8_t** buffer = nullptr;
  int e = ff().av_samples_alloc_array_and_samples(
      &buffer, nullptr, w.encoder->ch_layout.nb_channels, room, w.encoder->sample_fmt, 0);
  if (e < 0) return e;
  int got =
      ff().swr_convert(w.resampler, buffer, room,
                       frame ? const_cast<const uint8_t**>(frame->extended_data) : nullptr, in);
  if (got > 0 && ff().av_audio_fifo_write(w.fifo, reinterpret_cast<void**>(buffer), got) < got)
    got = AVERROR(ENOMEM);
  ff().av_freep(&buffer[0]);
  ff().av_freep(&buffer);
  return got < 0 ? got : 0;
}

int bestRate(const AVCodec* codec, int wanted) {
  if (!codec->supported_samplerates) return wanted;
  int best = 0;
  for (const int* r = codec->supported_samplerates; *r; ++r) {
    if (*r == wanted) return wanted;
    if (best == 0 || std::abs(*r - wanted) < std::abs(best - wanted)) best = *r;
  }
  return best;
}

// Tags a player shows; the container's own bookkeeping stays behind.
void copyTags(AVDictionary** to, const AVDictionary* from) {
  const AVDictionaryEntry* t = nullptr;
  while ((t = ff().av_dict_get(from, "", t, AV_DICT_IGNORE_SUFFIX))) {
    std::string key = t->key;
    if (key == "major_brand" || key == "minor_version" || key == "compatible_brands" ||
        key == "encoder" || key == "duration" || key.rfind("iTun", 0) == 0)
      continue;
    ff().av_dict_set(to, t->key, t->value, AV_DICT_DONT_OVERWRITE);
  }
}

}  // namespace

bool canConvertTo(const std::string& codec) { return targetOf(codec) != nullptr; }

std::string extensionOf(const ConvertSettings& s) {
  const Encoding* t = targetOf(s.codec);
  return t ? t->extension : "";
}

std::string qualityProblem(const ConvertSettings& s) {
  struct Range {
    const char* codec;
    int low, high;
    const char* unit;
  };
  for (const Range& r : {Range{"mp3", 0, 9, "a VBR level"}, Range{"aac", 32, 512, "kb/s"},
                         Range{"opus", 6, 510, "kb/s"}, Range{"vorbis", 0, 10, "a quality"}}) {
    if (s.codec == r.codec && (s.quality < r.low || s.quality > r.high))
      return "--quality for " + s.codec + " is " + r.unit + " from " + std::to_string(r.low) +
             " to " + std::to_string(r.high) + ", not " + std::to_string(s.quality);
  }
  return "";
}

std::string describe(const ConvertSettings& s) {
  const Encoding* t = targetOf(s.codec);
  if (!t) return s.codec;
  int q = qualityOf(s, *t);
  if (s.codec == "mp3") return "mp3 V" + std::to_string(q);
  if (s.codec == "vorbis") return "vorbis q" + std::to_string(q);
  return s.codec + " " + std::to_string(q) + "k";
}

uint64_t bytesPerSecond(const ConvertSettings& s) {
  const Encoding* t = targetOf(s.codec);
  if (!t) return 0;
  int q = qualityOf(s, *t);
  // LAME's VBR levels and Vorbis's qualities, at their usual rates.
  static constexpr int kLameKbps[] = {245, 225, 190, 175, 165, 130, 115, 100, 85, 65};
  static constexpr int kVorbisKbps[] = {64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 500};
  int kbps = s.codec == "mp3"      ? kLameKbps[std::min(q, 9)]
             : s.codec == "vorbis" ? kVorbisKbps[std::min(q, 10)]
                                   : q;
  return static_cast<uint64_t>(kbps) * 1000 / 8;
}

base::Result<std::string> convertMedia(fs::FileManager& files, const std::string& source,
                                       const ConvertSettings& settings,
                                       const std::atomic<bool>* stop) {
  const Encoding* target = targetOf(settings.codec);
  if (!target)
    return base::Status::failure("cannot convert", source, "no converter to " + settings.codec);
  auto opened = MediaInput::open(files, source);
  if (!opened) return opened.status();
  AVFormatContext* in = (*opened)->context();
  auto failed = [&](const std::string& what, int e) {
    return base::Status::failure(what, source, avErrorText(e),
                                 e == AVERROR(ECANCELED) ? ECANCELED : 0);
  };
  const AVCodec* decoderCodec = nullptr;
  int audio = ff().av_find_best_stream(in, AVMEDIA_TYPE_AUDIO, -1, -1, &decoderCodec, 0);
  if (audio < 0 || !decoderCodec)
    return base::Status::failure("cannot convert", source, "it holds no sound FFmpeg can decode");
  Work w;
  if (!w.packet || !w.decoded || !w.toEncode)
    return base::Status::fromErrno(ENOMEM, "cannot convert", source);
  w.decoder = ff().avcodec_alloc_context3(decoderCodec);
  int e = w.decoder ? ff().avcodec_parameters_to_context(w.decoder, in->streams[audio]->codecpar)
                    : AVERROR(ENOMEM);
  if (e >= 0) e = ff().avcodec_open2(w.decoder, decoderCodec, nullptr);
  if (e < 0) return failed("cannot decode", e);
  if (w.decoder->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC)
    ff().av_channel_layout_default(&w.decoder->ch_layout, w.decoder->ch_layout.nb_channels);

  const AVCodec* encoderCodec = ff().avcodec_find_encoder_by_name(target->encoder);
  if (!encoderCodec)
    return base::Status::failure("cannot convert", source,
                                 std::string("this FFmpeg has no ") + target->encoder + " encoder");
  e = ff().avformat_alloc_output_context2(&w.out, nullptr, target->muxer, nullptr);
  if (e < 0) return failed("cannot convert", e);
  w.encoder = ff().avcodec_alloc_context3(encoderCodec);
  if (!w.encoder) return base::Status::fromErrno(ENOMEM, "cannot convert", source);
  w.encoder->sample_fmt =
      encoderCodec->sample_fmts ? encoderCodec->sample_fmts[0] : AV_SAMPLE_FMT_FLTP;
  w.encoder->sample_rate = bestRate(encoderCodec, w.decoder->sample_rate);
  ff().av_channel_layout_default(&w.encoder->ch_layout,
                                 std::min(2, std::max(1, w.decoder->ch_layout.nb_channels)));
  w.encoder->time_base = AVRational{1, w.encoder->sample_rate};
  int q = qualityOf(settings, *target);
  if (settings.codec == "mp3" || settings.codec == "vorbis") {
    w.encoder->flags |= AV_CODEC_FLAG_QSCALE;
    w.encoder->global_quality = FF_QP2LAMBDA * q;
  } else {
    w.encoder->bit_rate = int64_t{q} * 1000;
  }
  if (w.out->oformat->flags & AVFMT_GLOBALHEADER) w.encoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  e = ff().avcodec_open2(w.encoder, encoderCodec, nullptr);
  if (e < 0) return failed("cannot encode", e);

  constexpr int kBufferBytes = 64 * 1024;
  auto* buffer = static_cast<unsigned char*>(ff().av_malloc(kBufferBytes));
  w.io = buffer ? ff().avio_alloc_context(buffer, kBufferBytes, 1, &w.memory, nullptr, &writePacket,
                                          &seekMemory)
                : nullptr;
  if (!w.io) {
    ff().av_free(buffer);
    return base::Status::fromErrno(ENOMEM, "cannot convert", source);
  }
  w.out->pb = w.io;
  AVStream* sound = ff().avformat_new_stream(w.out, nullptr);
  if (!sound || ff().avcodec_parameters_from_context(sound->codecpar, w.encoder) < 0)
    return base::Status::fromErrno(ENOMEM, "cannot convert", source);
  sound->time_base = w.encoder->time_base;
  copyTags(&w.out->metadata, in->metadata);
  copyTags(&w.out->metadata, in->streams[audio]->metadata);
  const AVStream* cover = nullptr;
  for (unsigned i = 0; i < in->nb_streams; ++i) {
    const AVStream* s = in->streams[i];
    if ((s->disposition & AV_DISPOSITION_ATTACHED_PIC) && s->attached_pic.size > 0 &&
        (s->codecpar->codec_id == AV_CODEC_ID_MJPEG || s->codecpar->codec_id == AV_CODEC_ID_PNG)) {
      cover = s;
      break;
    }
  }
  // Ogg keeps its comments, the cover among them, with the stream.
  if (!target->coverInStream) {
    copyTags(&sound->metadata, w.out->metadata);
    if (cover)
      ff().av_dict_set(&sound->metadata, "METADATA_BLOCK_PICTURE", pictureComment(*cover).c_str(),
                       0);
    cover = nullptr;
  }
  if (cover) {
    AVStream* picture = ff().avformat_new_stream(w.out, nullptr);
    if (!picture || ff().avcodec_parameters_copy(picture->codecpar, cover->codecpar) < 0)
      return base::Status::fromErrno(ENOMEM, "cannot convert", source);
    picture->disposition = AV_DISPOSITION_ATTACHED_PIC;
    picture->time_base = AVRational{1, 90000};
  }
  e = ff().avformat_write_header(w.out, nullptr);
  if (e < 0) return failed("cannot write the converted header of", e);
  if (cover) {
    AVPacket* p = ff().av_packet_clone(&cover->attached_pic);
    if (!p) return base::Status::fromErrno(ENOMEM, "cannot convert", source);
    p->stream_index = 1;
    p->pts = p->dts = 0;
    e = ff().av_interleaved_write_frame(w.out, p);
    ff().av_packet_free(&p);
    if (e < 0) return failed("cannot write the cover of", e);
  }

  e = ff().swr_alloc_set_opts2(&w.resampler, &w.encoder->ch_layout, w.encoder->sample_fmt,
                               w.encoder->sample_rate, &w.decoder->ch_layout, w.decoder->sample_fmt,
                               w.decoder->sample_rate, 0, nullptr);
  if (e >= 0) e = ff().swr_init(w.resampler);
  if (e < 0) return failed("cannot resample", e);
  w.fifo = ff().av_audio_fifo_alloc(w.encoder->sample_fmt, w.encoder->ch_layout.nb_channels, 1);
  if (!w.fifo) return base::Status::fromErrno(ENOMEM, "cannot convert", source);

  auto receive = [&]() {
    int r;
    while ((r = ff().avcodec_receive_frame(w.decoder, w.decoded)) >= 0) {
      r = resample(w, w.decoded);
      ff().av_frame_unref(w.decoded);
      if (r < 0) return r;
      if ((r = drain(w, false)) < 0) return r;
    }
    return r == AVERROR(EAGAIN) || r == AVERROR_EOF ? 0 : r;
  };
  for (;;) {
    if (stop && stop->load()) return failed("stopped converting", AVERROR(ECANCELED));
    e = ff().av_read_frame(in, w.packet);
    if (e == AVERROR_EOF) break;
    if (e < 0) return failed("cannot read", e);
    if (w.packet->stream_index == audio) {
      e = ff().avcodec_send_packet(w.decoder, w.packet);
      if (e >= 0) e = receive();
    }
    ff().av_packet_unref(w.packet);
    if (e < 0) return failed("cannot decode", e);
  }
  e = ff().avcodec_send_packet(w.decoder, nullptr);
  if (e >= 0) e = receive();
  if (e < 0) return failed("cannot decode", e);
  if ((e = resample(w, nullptr)) < 0 || (e = drain(w, true)) < 0 || (e = encode(w, nullptr)) < 0)
    return failed("cannot encode", e);
  if (w.samplesOut == 0)
    return base::Status::failure("cannot convert", source, "it holds no sound to decode");
  // A decoder skips what it cannot read and goes on: a source that comes
  // out much shorter than it says it is is damaged, and its converted
  // copy would end early without a word.
  const AVStream* track = in->streams[audio];
  double said = track->duration != AV_NOPTS_VALUE
                    ? static_cast<double>(track->duration) * av_q2d(track->time_base)
                : in->duration != AV_NOPTS_VALUE ? static_cast<double>(in->duration) / AV_TIME_BASE
                                                 : 0;
  double got = static_cast<double>(w.samplesOut) / w.encoder->sample_rate;
  if (said > 0 && got < said - std::max(0.5, said * 0.02)) {
    char text[128];
    std::snprintf(text, sizeof text,
                  "only %.1f s of its %.1f s could be decoded: the rest is damaged", got, said);
    return base::Status::failure("cannot decode", source, text);
  }
  e = ff().av_write_trailer(w.out);
  if (e < 0) return failed("cannot finish the converted file of", e);
  ff().avio_flush(w.io);
  return std::move(w.memory.bytes);
}

}  // namespace session
