#include "session/FFmpegLibrary.h"

#include <dlfcn.h>

#include <iterator>

namespace session {
namespace {

#define TESSALINE_STRINGS(x) #x
#define TESSALINE_SONAME(lib, major) "lib" lib ".so." TESSALINE_STRINGS(major)

struct FFmpegLoaded {
  FFmpeg functions;
  bool ok = false;
  std::string why;
};

FFmpegLoaded loadFFmpegLibraries() {
  FFmpegLoaded out;
  // The versions the session was compiled against: another major version
  // has another layout of its structures.
  const char* const sonames[] = {
      TESSALINE_SONAME("avutil", LIBAVUTIL_VERSION_MAJOR),
      TESSALINE_SONAME("swresample", LIBSWRESAMPLE_VERSION_MAJOR),
      TESSALINE_SONAME("avcodec", LIBAVCODEC_VERSION_MAJOR),
      TESSALINE_SONAME("avformat", LIBAVFORMAT_VERSION_MAJOR),
  };
  void* handles[std::size(sonames)] = {};
  for (size_t i = 0; i < std::size(sonames); ++i) {
    // Kept for the process: the pointers live as long as it does.
    handles[i] = dlopen(sonames[i], RTLD_NOW | RTLD_LOCAL);
    if (!handles[i]) {
      const char* error = dlerror();
      out.why = std::string("FFmpeg's library ") + sonames[i] + " cannot be loaded" +
                (error ? std::string(" (") + error + ")" : std::string());
      return out;
    }
  }
  auto find = [&](const char* name) -> void* {
    for (void* handle : handles)
      if (void* f = dlsym(handle, name)) return f;
    if (out.why.empty()) out.why = std::string("FFmpeg's libraries lack ") + name;
    return nullptr;
  };
#define TESSALINE_FFMPEG_FIND(name) \
  out.functions.name = reinterpret_cast<decltype(&::name)>(find(#name));
  TESSALINE_FFMPEG_FUNCTIONS(TESSALINE_FFMPEG_FIND)
#undef TESSALINE_FFMPEG_FIND
  out.ok = out.why.empty();
  if (!out.ok) return out;
  // What FFmpeg would say on standard error the callers say instead.
  out.functions.av_log_set_level(AV_LOG_QUIET);
  FFmpeg& f = out.functions;
  f.mov = f.av_find_input_format("mov");
  f.flac = f.av_find_input_format("flac");
  f.ogg = f.av_find_input_format("ogg");
  f.wav = f.av_find_input_format("wav");
  f.aiff = f.av_find_input_format("aiff");
  const std::string swscale = "libswscale.so." + std::to_string(LIBSWSCALE_VERSION_MAJOR);
  void* scaler = dlopen(swscale.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!scaler) {
    const char* error = dlerror();
    out.functions.swscaleMissing = "FFmpeg's library " + swscale + " cannot be loaded" +
                                   (error ? std::string(" (") + error + ")" : std::string());
    return out;
  }
  auto findScaler = [&](const char* name) -> void* {
    void* f = dlsym(scaler, name);
    if (!f && out.functions.swscaleMissing.empty())
      out.functions.swscaleMissing = "FFmpeg's library " + swscale + " lacks " + name;
    return f;
  };
#define TESSALINE_SWSCALE_FIND(name) \
  out.functions.name = reinterpret_cast<decltype(&::name)>(findScaler(#name));
  TESSALINE_SWSCALE_FUNCTIONS(TESSALINE_SWSCALE_FIND)
#undef TESSALINE_SWSCALE_FIND
  return out;
}

const FFmpegLoaded& ffmpegLoaded() {
  static const FFmpegLoaded once = loadFFmpegLibraries();
  return once;
}

}  // namespace

const FFmpeg* loadFFmpeg(std::string* why) {
  const FFmpegLoaded& l = ffmpegLoaded();
  if (!l.ok && why) *why = l.why;
  return l.ok ? &l.functions : nullptr;
}

const FFmpeg& ff() { return ffmpegLoaded().functions; }

}  // namespace session
