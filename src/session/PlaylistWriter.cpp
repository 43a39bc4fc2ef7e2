#include "session/PlaylistWriter.h"

#include <unicode/utf8.h>

#include <array>
#include <filesystem>

#include "base/Unicode.h"

namespace session {
namespace {

// Windows-1252's bytes 0x80...0x9F; 0 where it has none.
constexpr std::array<char16_t, 32> kHigh = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

int windows1252Byte(UChar32 c) {
  if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return c;
  for (size_t i = 0; i < kHigh.size(); ++i)
    if (kHigh[i] != 0 && kHigh[i] == c) return static_cast<int>(0x80 + i);
  return -1;
}

// Shown text in Windows-1252: what it lacks becomes its letter without
// accents, else "?".
std::string shownIn1252(std::string_view utf8) {
  std::string composed = base::unicode::nfc(utf8), out;
  const auto* p = reinterpret_cast<const uint8_t*>(composed.data());
  int32_t length = static_cast<int32_t>(composed.size());
  for (int32_t i = 0; i < length;) {
    int32_t start = i;
    UChar32 c;
    U8_NEXT(p, i, length, c);
    int b = c < 0 ? -1 : windows1252Byte(c);
    if (b < 0 && c >= 0) {
      std::string base = base::unicode::nfd(composed.substr(start, i - start));
      int32_t j = 0;
      UChar32 first;
      U8_NEXT(reinterpret_cast<const uint8_t*>(base.data()), j, static_cast<int32_t>(base.size()),
              first);
      if (j < static_cast<int32_t>(base.size())) b = windows1252Byte(first);
    }
    out.push_back(static_cast<char>(b < 0 ? '?' : b));
  }
  return out;
}

// A player reads one entry per line, so a line break in a text would end
// the #EXTINF line early and turn the rest into an entry of its own.
std::string onOneLine(std::string text) {
  for (char& c : text)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
  return text;
}

bool leavesRoot(std::string_view path) {
  for (size_t start = 0; start <= path.size();) {
    size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    if (path.substr(start, end - start) == "..") return true;
    start = end + 1;
  }
  return false;
}

}  // namespace

std::optional<PlaylistFormat> PlaylistFormat::named(std::string_view word) {
  PlaylistFormat f;
  f.windows1252 = word.substr(0, 4) == "m3u-" || word == "m3u";
  std::string_view rest = word.substr(f.windows1252 ? 3 : 4);
  if (!f.windows1252 && word.substr(0, 4) != "m3u8") return std::nullopt;
  if (rest == "-root") {
    f.entries = Entries::kFromRoot;
  } else if (!rest.empty()) {
    return std::nullopt;
  }
  return f;
}

std::optional<std::string> toWindows1252(std::string_view utf8) {
  std::string composed = base::unicode::nfc(utf8), out;
  const auto* p = reinterpret_cast<const uint8_t*>(composed.data());
  int32_t length = static_cast<int32_t>(composed.size());
  for (int32_t i = 0; i < length;) {
    UChar32 c;
    U8_NEXT(p, i, length, c);
    int b = c < 0 ? -1 : windows1252Byte(c);
    if (b < 0) return std::nullopt;
    out.push_back(static_cast<char>(b));
  }
  return out;
}

namespace {

// A relative path with nothing a path's rules would fold: no empty, "."
// or ".." component, no leading or trailing "/".
bool isPlain(std::string_view path) {
  if (path.empty()) return false;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    std::string_view part = path.substr(start, end - start);
    if (part.empty() || part == "." || part == "..") return false;
    start = end + 1;
  }
  return true;
}

}  // namespace

PlaylistTextMaker::PlaylistTextMaker(const PlaylistFormat& format, const std::string& root,
                                     const std::string& folder)
    : format_(format), root_(root) {
  base_ = std::filesystem::path(folder).lexically_normal();
  if (!base_.has_filename()) base_ = base_.parent_path();
  // The playlist folder below a plain root (the usual case): an entry
  // relative to it is "../" per folder of it and the path from the root,
  // worked out as text rather than path by path (a plan compares every
  // playlist's text, hundreds of thousands of entries).
  asText_ = !root.empty() && root.back() != '/' && isPlain(root.substr(1)) &&
            folder.size() > root.size() + 1 && folder.compare(0, root.size(), root) == 0 &&
            folder[root.size()] == '/' && isPlain(folder.substr(root.size() + 1));
  if (asText_) {
    for (size_t slash = root.size(); slash != std::string::npos;
         slash = folder.find('/', slash + 1))
      up_ += "../";
  }
  rootOnOneLine_ = root.find_first_of("\n\r") == std::string::npos;
}

bool PlaylistTextMaker::append(std::string& text, const PlaylistLine& line) const {
  namespace stdfs = std::filesystem;
  const PlaylistFormat& format = format_;
  const std::string& root = root_;
  // Appends `field` as onOneLine() gives it, without a copy of its own.
  auto appendOnOneLine = [&](std::string_view field) {
    const size_t from = text.size();
    text += field;
    for (size_t c = from; c < text.size(); ++c)
      if (static_cast<unsigned char>(text[c]) < 0x20 || text[c] == 0x7f) text[c] = ' ';
  };
  const bool plain = asText_ && isPlain(line.path);
  // The usual entry, a plain path in UTF-8, is written straight into
  // the text: the same bytes as below, without a string made per part
  // (a plan makes the text of every playlist the drive holds).
  if (plain && !format.windows1252 && rootOnOneLine_ &&
      // Two searches for one byte each: find_first_of tries every byte in turn.
      line.path.find('\n') == std::string::npos && line.path.find('\r') == std::string::npos) {
    text += "\n#EXTINF:";
    appendOnOneLine(line.duration);
    text += ',';
    const size_t artistAt = text.size();
    appendOnOneLine(line.artist);
    if (text.size() > artistAt) text += " - ";
    appendOnOneLine(line.title);
    text += '\n';
    if (format.entries == PlaylistFormat::Entries::kFromRoot) {
      (text += '/') += line.path;
    } else if (format.entries == PlaylistFormat::Entries::kRelativeToFile) {
      (text += up_) += line.path;
    } else {
      ((text += root) += '/') += line.path;
    }
    return true;
  }
  std::string absolute =
      plain ? root + "/" + std::string(line.path) : (stdfs::path(root) / line.path).string();
  // A path that leaves the root names no file of ours, and one with a
  // line break cannot stand on its line.
  if (leavesRoot(line.path) || absolute.find_first_of("\n\r") != std::string::npos) return false;
  std::string entry = absolute;
  if (format.entries == PlaylistFormat::Entries::kFromRoot) {
    entry = "/" + std::string(line.path);
  } else if (format.entries == PlaylistFormat::Entries::kRelativeToFile) {
    std::string fromFile = plain ? up_ + std::string(line.path)
                                 : stdfs::path(absolute).lexically_relative(base_).string();
    if (!fromFile.empty()) entry = fromFile;
  }
  // A track without an artist (a playlist folder's entry, say) shows
  // its title alone rather than behind a lone dash.
  std::string artist = onOneLine(std::string(line.artist));
  std::string info = "#EXTINF:" + onOneLine(std::string(line.duration)) + "," +
                     (artist.empty() ? "" : artist + " - ") + onOneLine(std::string(line.title));
  if (format.windows1252) {
    auto encoded = toWindows1252(entry);
    if (!encoded) return false;
    entry = *encoded;
    for (char& c : entry)
      if (c == '/') c = '\\';
    info = shownIn1252(info);
  }
  (((text += '\n') += info) += '\n') += entry;
  return true;
}

std::string playlistText(const std::vector<PlaylistLine>& lines, const PlaylistFormat& format,
                         const std::string& root, const std::string& folder,
                         std::vector<size_t>* leftOut) {
  PlaylistTextMaker maker(format, root, folder);
  std::string text(PlaylistTextMaker::kHeader);
  for (size_t i = 0; i < lines.size(); ++i) {
    if (!maker.append(text, lines[i]) && leftOut) leftOut->push_back(i);
  }
  return text;
}

}  // namespace session
