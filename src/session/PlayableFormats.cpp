#include "session/PlayableFormats.h"

#include <algorithm>
#include <cctype>

#include "base/Text.h"

namespace session {
namespace {

struct Named {
  std::string_view word;
  MediaFormat format;
};

// Codec names and MIME types, as Rhythmbox's and Banshee's device files,
// the players' own files and the shared MIME database spell them.
const Named kNamed[] = {
    {"mp3", {"", "mp3"}},
    {"aac", {"", "aac"}},
    {"alac", {"", "alac"}},
    {"flac", {"", "flac"}},
    {"vorbis", {"", "vorbis"}},
    {"opus", {"", "opus"}},
    {"pcm", {"", "pcm"}},
    {"wma", {"", "wma"}},
    {"audio/mpeg", {"", "mp3"}},
    {"audio/mp3", {"", "mp3"}},
    {"audio/x-mp3", {"", "mp3"}},
    {"audio/mpeg3", {"", "mp3"}},
    {"audio/x-mpeg", {"", "mp3"}},
    {"audio/aac", {"", "aac"}},
    {"audio/x-aac", {"", "aac"}},
    {"audio/mp4", {"", "aac"}},
    {"audio/m4a", {"", "aac"}},
    {"audio/x-m4a", {"", "aac"}},
    {"audio/x-alac", {"", "alac"}},
    {"audio/flac", {"", "flac"}},
    {"audio/x-flac", {"", "flac"}},
    {"audio/ogg", {"ogg", "vorbis"}},
    {"application/ogg", {"ogg", "vorbis"}},
    {"audio/vorbis", {"", "vorbis"}},
    {"audio/x-vorbis", {"", "vorbis"}},
    {"audio/x-vorbis+ogg", {"ogg", "vorbis"}},
    {"audio/opus", {"", "opus"}},
    {"audio/x-opus+ogg", {"ogg", "opus"}},
    {"audio/wav", {"wav", "pcm"}},
    {"audio/wave", {"wav", "pcm"}},
    {"audio/x-wav", {"wav", "pcm"}},
    {"audio/vnd.wave", {"wav", "pcm"}},
    {"audio/aiff", {"aiff", "pcm"}},
    {"audio/x-aiff", {"aiff", "pcm"}},
    {"audio/x-ms-wma", {"asf", "wma"}},
};

struct ByExtension {
  std::string_view extension;
  std::vector<MediaFormat> formats;
};

const std::vector<ByExtension>& byExtension() {
  static const std::vector<ByExtension> table = {
      {"mp3", {{"mp3", "mp3"}}},
      {"m4a", {{"mp4", "aac"}, {"mp4", "alac"}}},
      {"m4b", {{"mp4", "aac"}, {"mp4", "alac"}}},
      {"mp4", {{"mp4", "aac"}, {"mp4", "alac"}}},
      {"aac", {{"adts", "aac"}}},
      {"flac", {{"flac", "flac"}}},
      {"ogg", {{"ogg", "vorbis"}, {"ogg", "opus"}, {"ogg", "flac"}}},
      {"oga", {{"ogg", "vorbis"}, {"ogg", "opus"}, {"ogg", "flac"}}},
      {"opus", {{"ogg", "opus"}}},
      {"wav", {{"wav", "pcm"}}},
      {"aif", {{"aiff", "pcm"}}},
      {"aiff", {{"aiff", "pcm"}}},
      {"wma", {{"asf", "wma"}}},
  };
  return table;
}

std::string upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

}  // namespace

std::string describe(const MediaFormat& format) {
  std::string codec = format.codec == "vorbis" ? "Vorbis"
                      : format.codec == "opus" ? "Opus"
                      : format.codec == "pcm"  ? "PCM"
                                               : upper(format.codec);
  if (format.container.empty() || format.container == format.codec ||
      (format.container == "adts" && format.codec == "aac"))
    return codec;
  return codec + " in " + (format.container == "ogg" ? "Ogg" : upper(format.container));
}

std::vector<MediaFormat> formatsOfExtension(std::string_view extension) {
  std::string ext = base::text::asciiLower(extension);
  for (const auto& e : byExtension())
    if (e.extension == ext) return e.formats;
  return {};
}

PlayableFormats PlayableFormats::of(const std::vector<std::string>& words) {
  PlayableFormats out;
  for (const auto& given : words) {
    std::string_view trimmed = given;
    while (!trimmed.empty() && (trimmed.front() == ' ' || trimmed.front() == '.'))
      trimmed.remove_prefix(1);
    while (!trimmed.empty() && trimmed.back() == ' ') trimmed.remove_suffix(1);
    // "audio/ogg; codecs=opus" names its codec after the type.
    std::string word = base::text::asciiLower(trimmed.substr(0, trimmed.find(';')));
    while (!word.empty() && word.back() == ' ') word.pop_back();
    if (word.empty()) continue;
    std::string parameters = base::text::asciiLower(trimmed.find(';') == std::string_view::npos
                                                        ? std::string_view()
                                                        : trimmed.substr(trimmed.find(';') + 1));
    out.words_.push_back(base::text::asciiLower(trimmed));
    auto named = std::find_if(std::begin(kNamed), std::end(kNamed),
                              [&](const Named& n) { return n.word == word; });
    auto extension = formatsOfExtension(word);
    if (named != std::end(kNamed)) {
      MediaFormat f = named->format;
      if (parameters.find("opus") != std::string::npos) f.codec = "opus";
      if (parameters.find("flac") != std::string::npos) f.codec = "flac";
      out.formats_.push_back(f);
    }
    if (!extension.empty() || (named == std::end(kNamed) && word.find('/') == std::string::npos))
      out.extensions_.push_back(word);
    for (const auto& f : extension) out.formats_.push_back(f);
    if (named == std::end(kNamed) && extension.empty()) out.unknown_.push_back(word);
  }
  return out;
}

bool PlayableFormats::plays(const MediaFormat& probed) const {
  return std::any_of(formats_.begin(), formats_.end(), [&](const MediaFormat& f) {
    return f.codec == probed.codec && (f.container.empty() || f.container == probed.container);
  });
}

std::optional<bool> PlayableFormats::playsExtension(std::string_view extension) const {
  std::string ext = base::text::asciiLower(extension);
  if (std::find(extensions_.begin(), extensions_.end(), ext) != extensions_.end()) return true;
  auto held = formatsOfExtension(ext);
  if (held.empty()) return false;
  size_t playable = static_cast<size_t>(
      std::count_if(held.begin(), held.end(), [&](const MediaFormat& f) { return plays(f); }));
  if (playable == held.size()) return true;
  if (playable == 0) return false;
  return std::nullopt;
}

std::string mimeTypeOf(const MediaFormat& format) {
  if (format.codec == "pcm") return format.container == "aiff" ? "audio/x-aiff" : "audio/x-wav";
  if (format.codec == "vorbis") return "audio/ogg";
  if (format.codec == "opus") return "audio/opus";
  if (format.codec == "mp3") return "audio/mpeg";
  if (format.codec == "aac") return "audio/mp4";
  if (format.codec == "alac") return "audio/x-alac";
  if (format.codec == "flac") return "audio/flac";
  if (format.codec == "wma") return "audio/x-ms-wma";
  return "";
}

}  // namespace session
