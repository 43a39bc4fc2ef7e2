// A track converted for a player that cannot play its source: decoded,
// resampled and encoded (libavformat, libavcodec, libswresample) with its
// tags and embedded cover, into memory, for the caller to write to the
// drive like any other file. Thread: any; calls are independent.
// Errors: a Status naming the source and FFmpeg's reason; nothing written.
#pragma once

#include <atomic>
#include <string>

#include "base/Status.h"

namespace fs {
class FileManager;
}

namespace session {

struct ConvertSettings {
  std::string codec;  // "mp3", "aac", "opus", "vorbis"
  // mp3: the VBR level (0 best .. 9); aac, opus: kb/s; vorbis: quality
  // 0..10. -1: the default (V2, 256, 160, 6).
  int quality = -1;
  bool operator==(const ConvertSettings&) const = default;
};

// Whether `codec` is one the export converts to; and its file extension
// ("mp3", "m4a", "opus", "ogg").
bool canConvertTo(const std::string& codec);
std::string extensionOf(const ConvertSettings& settings);
// Why `settings.quality` is out of the codec's range ("" when it is not;
// a codec not yet chosen takes any).
std::string qualityProblem(const ConvertSettings& settings);
// In words, for the record and the plan: "mp3 V2", "aac 256k".
std::string describe(const ConvertSettings& settings);
// What the settings make of a second of sound, in bytes, for the plan's
// estimate.
uint64_t bytesPerSecond(const ConvertSettings& settings);

// The converted file's bytes; `stop` ends it early (ECANCELED).
base::Result<std::string> convertMedia(fs::FileManager& files, const std::string& source,
                                       const ConvertSettings& settings,
                                       const std::atomic<bool>* stop = nullptr);

}  // namespace session
