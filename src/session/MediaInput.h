// A media file opened by libavformat through the file manager (never by
// path), for the probe and the conversion. Internal to src/session.
// Thread: one MediaInput per thread. Ownership: it owns the file, the I/O
// context and the format context, and frees them. Errors: open() returns
// a Status naming the file and FFmpeg's or the system's reason.
#pragma once

extern "C" {
#include <libavformat/avformat.h>
}

#include <memory>
#include <string>

#include "base/Status.h"
#include "fs/ReadableFile.h"

namespace fs {
class FileManager;
}

namespace session {

class MediaInput {
 public:
  // With `headersOnly`, the streams are as the container's headers tell
  // them (no frame read): analyze() reads on where they do not say enough.
  static base::Result<std::unique_ptr<MediaInput>> open(fs::FileManager& files,
                                                        const std::string& path,
                                                        bool headersOnly = false);
  base::Status analyze(const std::string& path);
  ~MediaInput();
  MediaInput(const MediaInput&) = delete;
  MediaInput& operator=(const MediaInput&) = delete;
  AVFormatContext* context() const { return context_; }

 private:
  MediaInput() = default;
  std::unique_ptr<fs::ReadableFile> file_;
  uint64_t at_ = 0;
  int readError_ = 0;  // the system's reason a read of the file failed, if one did
  AVIOContext* io_ = nullptr;
  AVFormatContext* context_ = nullptr;
  static int readPacket(void* opaque, uint8_t* buffer, int size);
  static int64_t seekTo(void* opaque, int64_t offset, int whence);
};

// FFmpeg's words for an error code.
std::string avErrorText(int code);

}  // namespace session
