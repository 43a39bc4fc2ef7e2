#include "session/MediaInput.h"

extern "C" {
#include <libavutil/error.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
}

#include <cerrno>
#include <cstring>
#include <string_view>

#include "fs/FileManager.h"
#include "session/FFmpegLibrary.h"

namespace session {

std::string avErrorText(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  ff().av_strerror(code, text, sizeof text);
  return text;
}

int MediaInput::readPacket(void* opaque, uint8_t* buffer, int size) {
  auto* in = static_cast<MediaInput*>(opaque);
  int64_t n = in->file_->readAt(in->at_, buffer, static_cast<size_t>(size));
  if (n < 0) {
    in->readError_ = static_cast<int>(-n);
    return AVERROR(static_cast<int>(-n));
  }
  if (n == 0) return AVERROR_EOF;
  in->at_ += static_cast<uint64_t>(n);
  return static_cast<int>(n);
}

int64_t MediaInput::seekTo(void* opaque, int64_t offset, int whence) {
  auto* in = static_cast<MediaInput*>(opaque);
  whence &= ~AVSEEK_FORCE;
  auto size = static_cast<int64_t>(in->file_->size());
  if (whence == AVSEEK_SIZE) return size;
  int64_t base = whence == SEEK_CUR ? static_cast<int64_t>(in->at_) : whence == SEEK_END ? size : 0;
  if (base + offset < 0) return AVERROR(EINVAL);
  in->at_ = static_cast<uint64_t>(base + offset);
  return static_cast<int64_t>(in->at_);
}

namespace {

// The demuxer a file's first bytes name beyond doubt, as FFmpeg's own
// probe of them would find it; none where only the whole probe can tell
// (an ID3 tag, say, may stand before MP3, AAC or FLAC). Trying each of
// its demuxers on the bytes is most of what a probe costs.
const AVInputFormat* demuxerNamedBy(const unsigned char* head, int64_t n) {
  auto at = [&](int64_t offset, std::string_view magic) {
    return n >= offset + static_cast<int64_t>(magic.size()) &&
           std::memcmp(head + offset, magic.data(), magic.size()) == 0;
  };
  if (at(4, "ftyp")) return ff().mov;
  if (at(0, "fLaC")) return ff().flac;
  if (at(0, "OggS")) return ff().ogg;
  if (at(0, "RIFF") && at(8, "WAVE")) return ff().wav;
  if (at(0, "FORM") && (at(8, "AIFF") || at(8, "AIFC"))) return ff().aiff;
  return nullptr;
}

}  // namespace

base::Result<std::unique_ptr<MediaInput>> MediaInput::open(fs::FileManager& files,
                                                           const std::string& path,
                                                           bool headersOnly) {
  // What FFmpeg would say on standard error the Status says instead (the
  // loading quiets it).
  std::string missing;
  if (!loadFFmpeg(&missing))
    return base::Status::failure("cannot look into", path, missing, ELIBACC);
  std::unique_ptr<MediaInput> in(new MediaInput);
  base::FileError why;
  in->file_ = files.openForReading(path, &why);
  if (!in->file_)
    return base::Status::fromErrno(why.code != 0 ? why.code : EIO, "cannot read", path);
  constexpr int kBufferBytes = 64 * 1024;
  auto* buffer = static_cast<unsigned char*>(ff().av_malloc(kBufferBytes));
  if (buffer)
    in->io_ =
        ff().avio_alloc_context(buffer, kBufferBytes, 0, in.get(), &readPacket, nullptr, &seekTo);
  if (!in->io_) {
    ff().av_free(buffer);
    return base::Status::fromErrno(ENOMEM, "cannot look into", path);
  }
  // A file that could not be read keeps the system's reason; what FFmpeg
  // could not make of the bytes it read has none (its own codes borrow
  // errno values, EINVAL for a stream it cannot parse).
  MediaInput* reading = in.get();
  auto systemError = [reading](int) { return reading->readError_; };
  auto openAs = [&](const AVInputFormat* format) {
    in->context_ = ff().avformat_alloc_context();
    if (!in->context_) return AVERROR(ENOMEM);
    in->context_->pb = in->io_;
    in->context_->flags |= AVFMT_FLAG_CUSTOM_IO;
    in->context_->probesize = 1 << 20;
    return ff().avformat_open_input(&in->context_, nullptr, format,
                                    nullptr);  // frees it on failure
  };
  const AVInputFormat* named = nullptr;
  if (headersOnly) {
    unsigned char head[12];
    named = demuxerNamedBy(head, in->file_->readAt(0, head, sizeof head));
  }
  int e = openAs(named);
  if (e < 0 && named && in->readError_ == 0) {
    // Not what its first bytes said after all: the whole probe decides.
    ff().avio_seek(in->io_, 0, SEEK_SET);
    e = openAs(nullptr);
  }
  if (e < 0)
    return base::Status::failure("cannot tell the format of", path,
                                 "not a media file FFmpeg knows (" + avErrorText(e) + ")",
                                 systemError(e));
  if (headersOnly) return in;
  if (base::Status analyzed = in->analyze(path); !analyzed.ok()) return analyzed;
  return in;
}

base::Status MediaInput::analyze(const std::string& path) {
  int e = ff().avformat_find_stream_info(context_, nullptr);
  if (e < 0) {
    // A read that failed keeps the system's reason, as in open().
    return base::Status::failure("cannot tell the format of", path, avErrorText(e), readError_);
  }
  return base::Status();
}

MediaInput::~MediaInput() {
  if (context_) ff().avformat_close_input(&context_);
  if (io_) {
    ff().av_freep(&io_->buffer);
    ff().avio_context_free(&io_);
  }
}

}  // namespace session
