// The MP4 header read without libavformat, on any bytes a source file
// may hold: it never reads past what it was given, and whatever it tells
// libavformat tells the same (container, codec, playing time to the
// millisecond) where libavformat reads them as MP4 at all. Libavformat
// reads the same bytes from a scratch file.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "FuzzSupport.h"
#include "fs/FileManager.h"
#include "fs/ReadableFile.h"
#include "session/MediaHeader.h"

namespace {

class Bytes final : public fs::ReadableFile {
 public:
  explicit Bytes(std::string_view bytes) : ReadableFile("fuzz.m4a"), bytes_(bytes) {}
  int64_t readAt(uint64_t offset, void* buffer, size_t length) override {
    if (offset >= bytes_.size()) return 0;
    size_t n = std::min<size_t>(length, bytes_.size() - static_cast<size_t>(offset));
    std::memcpy(buffer, bytes_.data() + offset, n);
    return static_cast<int64_t>(n);
  }
  uint64_t size() const override { return bytes_.size(); }

 private:
  std::string_view bytes_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::QuietLog quiet;
  Bytes file(fuzz::bytesOf(data, size));
  auto told = session::probeMp4Header(file);
  if (!told) return 0;
  static const fuzz::ScratchDir scratch;
  scratch.write("input.m4a", fuzz::bytesOf(data, size));
  auto fm = fs::FileManager::makePrivate();
  auto full = session::probeMedia(*fm, (scratch.root() / "input.m4a").string());
  auto millis = [](double seconds) { return static_cast<int64_t>(seconds * 1000 + 0.5); };
  // A header libavformat's MP4 reader refuses (it then tries the others
  // on the bytes) is a damaged file it does not read as MP4 at all.
  if (!full.ok() || full->format.container != "mp4") return 0;
  if (!(full->format == told->format) || millis(full->seconds) != millis(told->seconds)) {
    std::fprintf(stderr, "told %s/%s %lld ms; libavformat %s/%s %lld ms\n",
                 told->format.container.c_str(), told->format.codec.c_str(),
                 static_cast<long long>(millis(told->seconds)), full->format.container.c_str(),
                 full->format.codec.c_str(), static_cast<long long>(millis(full->seconds)));
    std::abort();
  }
  return 0;
}
