#include "session/MediaProbe.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "session/FFmpegLibrary.h"
#include "session/MediaInput.h"

namespace session {
namespace {

// libavformat's demuxer names, shortened to the container's usual one.
std::string containerOf(const char* name) {
  std::string n = name ? name : "";
  if (n.rfind("mov,mp4", 0) == 0) return "mp4";
  if (n == "aac") return "adts";
  if (n.rfind("matroska", 0) == 0) return "matroska";
  return n.substr(0, n.find(','));
}

std::string codecOf(AVCodecID id) {
  switch (id) {
    case AV_CODEC_ID_MP3:
      return "mp3";
    case AV_CODEC_ID_AAC:
      return "aac";
    case AV_CODEC_ID_ALAC:
      return "alac";
    case AV_CODEC_ID_FLAC:
      return "flac";
    case AV_CODEC_ID_VORBIS:
      return "vorbis";
    case AV_CODEC_ID_OPUS:
      return "opus";
    case AV_CODEC_ID_WMAV1:
    case AV_CODEC_ID_WMAV2:
    case AV_CODEC_ID_WMAPRO:
    case AV_CODEC_ID_WMALOSSLESS:
      return "wma";
    default:
      break;
  }
  std::string name = ff().avcodec_get_name(id);
  return name.rfind("pcm_", 0) == 0 ? "pcm" : name;
}

// Whether the headers read tell the audio stream's codec and length: most
// containers' do, and then no frame need be decoded (the probe of a new
// source is most of a first export's time).
bool toldByHeaders(const AVFormatContext* context) {
  int stream = ff().av_find_best_stream(const_cast<AVFormatContext*>(context), AVMEDIA_TYPE_AUDIO,
                                        -1, -1, nullptr, 0);
  if (stream < 0) return false;
  const AVStream* s = context->streams[stream];
  return s->codecpar->codec_id != AV_CODEC_ID_NONE && s->codecpar->sample_rate > 0 &&
         s->duration != AV_NOPTS_VALUE && s->duration > 0;
}

}  // namespace

base::Result<Probed> probeMedia(fs::FileManager& files, const std::string& path) {
  auto in = MediaInput::open(files, path, /*headersOnly=*/true);
  if (!in) return in.status();
  AVFormatContext* context = (*in)->context();
  if (!toldByHeaders(context)) {
    if (base::Status analyzed = (*in)->analyze(path); !analyzed.ok()) return analyzed;
  }
  Probed p;
  p.format.container = containerOf(context->iformat->name);
  int stream = ff().av_find_best_stream(context, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
  if (stream >= 0) {
    const AVStream* s = context->streams[stream];
    p.format.codec = codecOf(s->codecpar->codec_id);
    p.bitRate = s->codecpar->bit_rate;
    if (s->duration != AV_NOPTS_VALUE)
      p.seconds = static_cast<double>(s->duration) * av_q2d(s->time_base);
  }
  for (const AVDictionary* tags :
       {context->metadata, stream >= 0 ? context->streams[stream]->metadata : nullptr}) {
    const AVDictionaryEntry* t = nullptr;
    while ((t = ff().av_dict_get(tags, "", t, AV_DICT_IGNORE_SUFFIX))) {
      std::string key = t->key;
      for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      p.tags.emplace(key, t->value);
    }
  }
  for (unsigned i = 0; i < context->nb_streams; ++i)
    p.cover = p.cover || (context->streams[i]->disposition & AV_DISPOSITION_ATTACHED_PIC);
  if (p.seconds <= 0 && context->duration != AV_NOPTS_VALUE)
    p.seconds = static_cast<double>(context->duration) / AV_TIME_BASE;
  return p;
}

}  // namespace session
