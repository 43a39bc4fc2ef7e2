// What a player plays, as (container, codec) pairs, from the words users
// and players use for it: file extensions, codec names and MIME types.
// Thread: plain values, any thread. Errors: a word nobody knows is kept
// as a bare extension (the older --formats took any), one with a '/'
// that names no format is kept and matches nothing; neither fails.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace session {

// A stream as the probe names it: container ("mp4", "ogg", "wav",
// "aiff", "mp3", "flac", "adts", "asf", ...) and codec ("mp3", "aac",
// "alac", "flac", "vorbis", "opus", "pcm", ...). An empty container in a
// wanted format means any.
struct MediaFormat {
  std::string container, codec;
  bool operator==(const MediaFormat&) const = default;
};

// In words for a person: "ALAC in MP4", "MP3".
std::string describe(const MediaFormat& format);

// The formats a file name's extension (lowercase, no dot) usually holds;
// empty for one that is not a known audio extension.
std::vector<MediaFormat> formatsOfExtension(std::string_view extension);

class PlayableFormats {
 public:
  // `words`: extensions ("m4a"), codec names ("alac"), MIME types
  // ("audio/mpeg"), any case, a leading dot allowed.
  static PlayableFormats of(const std::vector<std::string>& words);

  // By content: the probe's container and codec.
  bool plays(const MediaFormat& probed) const;
  // By name alone (nothing probed): the extension is one the words name,
  // or every format it can hold is playable. None: it cannot be told
  // without looking inside (an ".m4a" where only AAC plays).
  std::optional<bool> playsExtension(std::string_view extension) const;
  // The words as given, lowercased, without dots.
  const std::vector<std::string>& words() const { return words_; }
  // Words that named no format: bare extensions, unknown MIME types.
  const std::vector<std::string>& unknown() const { return unknown_; }
  const std::vector<MediaFormat>& formats() const { return formats_; }

 private:
  std::vector<std::string> words_, extensions_, unknown_;
  std::vector<MediaFormat> formats_;
};

// The MIME type a player's .is_audio_player names `format` by; empty for
// a codec it has none for.
std::string mimeTypeOf(const MediaFormat& format);

}  // namespace session
