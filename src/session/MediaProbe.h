// What a media file holds, from its header as libavformat reads it (the
// container, and the codec of its main sound stream), read through the
// file manager. Thread: any; each call is independent. Errors: a file
// that cannot be read or is no media file libavformat knows is a Status
// naming the file and the reason.
#pragma once

#include <map>
#include <string>

#include "base/Status.h"
#include "session/PlayableFormats.h"

namespace fs {
class FileManager;
}

namespace session {

struct Probed {
  MediaFormat format;                       // codec "" when the file holds no sound
  double seconds = 0;                       // playing time, 0 when unknown
  int64_t bitRate = 0;                      // of the sound stream, bits per second; 0 when unknown
  std::map<std::string, std::string> tags;  // the file's and its sound's, lowercase keys
  bool cover = false;                       // an embedded picture
};

base::Result<Probed> probeMedia(fs::FileManager& files, const std::string& path);

}  // namespace session
