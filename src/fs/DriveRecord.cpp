// The record's format. The first line names it and its version:
//   tessaline-record 1
// then one line per change, fields apart by tabs, each line ending in the
// XXH3-64 of everything before its last tab (16 hex digits), so that a
// line a kill cut short (and later ended by the next append's fresh line)
// can never pass for an entry:
//   +  kind key path trackId libraryId driveSize driveMtimeNs sourceSize
//      sourceMtimeNs checksum [conversion] check
//   -  key check
//   p  source sourceSize sourceMtimeNs container codec millis check
//   u  source sourceSize sourceMtimeNs check
// kind is track, cover, playlist, folder or legacy; the checksum is 16
// hex digits or empty when unknown. In the text fields a backslash, tab,
// newline and carriage return are written \\ \t \n \r. A later line for a
// key overrides an earlier one; "-" drops it. A "p" line says what a
// source file holds (the media probe's finding), a "u" line that the
// probe could not tell; versions before them skip such lines as damaged,
// keeping every entry. A track converted for the player has its
// conversion ("mp3 V2") after the checksum; versions before it skip that
// line too, so they take the file for the user's and never delete it.
#include "fs/DriveRecord.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <xxhash.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <unordered_set>

#include "base/Unicode.h"
#include "fs/PosixFileManager.h"
#include "fs/StateFile.h"

namespace fs {
namespace {

constexpr std::string_view kHeader = "tessaline-record 1\n";
constexpr std::string_view kHeaderStem = "tessaline-record ";
constexpr std::array<std::string_view, 5> kKindNames = {"track", "cover", "playlist", "folder",
                                                        "legacy"};
// Ends a line a kill cut short with an empty last field, which no check
// matches, so that it stays ignored rather than counting once it has its
// newline; the next line starts afresh.
const std::string kCutLineEnd = "\t\n";
using KeyOf = std::function<std::string(std::string_view)>;

void appendEscaped(std::string& out, std::string_view field) {
  out.push_back('\t');
  for (char c : field) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        out.push_back(c);
    }
  }
}

// `field` with its escapes undone, into `out` (whose room is reused);
// false when an escape is damaged.
bool unescapeInto(std::string_view field, std::string& out) {
  // Most fields escape nothing: copied whole.
  size_t first = field.find('\\');
  out.assign(field.substr(0, first));
  if (first == std::string_view::npos) return true;
  for (size_t i = first; i < field.size(); ++i) {
    if (field[i] != '\\') {
      out.push_back(field[i]);
      continue;
    }
    if (++i == field.size()) return false;
    switch (field[i]) {
      case '\\':
        out.push_back('\\');
        break;
      case 't':
        out.push_back('\t');
        break;
      case 'n':
        out.push_back('\n');
        break;
      case 'r':
        out.push_back('\r');
        break;
      default:
        return false;
    }
  }
  return true;
}

std::optional<std::string> unescape(std::string_view field) {
  std::string out;
  if (!unescapeInto(field, out)) return std::nullopt;
  return out;
}

std::string hex16(uint64_t value) {
  char text[17];
  static constexpr char kDigits[] = "0123456789abcdef";
  for (int i = 15; i >= 0; --i, value >>= 4) text[i] = kDigits[value & 15];
  return std::string(text, 16);
}

template <class Int>
bool parseNumber(std::string_view field, Int* value, int base = 10) {
  if (field.empty()) return false;
  auto [end, error] = std::from_chars(field.data(), field.data() + field.size(), *value, base);
  return error == std::errc() && end == field.data() + field.size();
}

void endLine(std::string& out, size_t start) {
  out.push_back('\t');
  out += hex16(XXH3_64bits(out.data() + start, out.size() - start - 1));
  out.push_back('\n');
}

void addLine(std::string& out, const RecordEntry& e) {
  size_t start = out.size();
  out.push_back('+');
  out.push_back('\t');
  out += kKindNames[static_cast<size_t>(e.kind)];
  for (std::string_view field : {std::string_view(e.key), std::string_view(e.path),
                                 std::string_view(e.trackId), std::string_view(e.libraryId)})
    appendEscaped(out, field);
  for (const FileStamp& stamp : {e.drive, e.source})
    out += '\t' + std::to_string(stamp.size) + '\t' + std::to_string(stamp.mtimeNs);
  out.push_back('\t');
  if (e.checksum) out += hex16(*e.checksum);
  if (!e.conversion.empty()) appendEscaped(out, e.conversion);
  endLine(out, start);
}

void probedLine(std::string& out, const ProbedSource& p) {
  size_t start = out.size();
  out.push_back(p.told ? 'p' : 'u');
  appendEscaped(out, p.source);
  out += '\t' + std::to_string(p.stamp.size) + '\t' + std::to_string(p.stamp.mtimeNs);
  if (!p.told) {
    endLine(out, start);
    return;
  }
  appendEscaped(out, p.container);
  appendEscaped(out, p.codec);
  out += '\t' + std::to_string(p.millis);
  endLine(out, start);
}

void removeLine(std::string& out, std::string_view key) {
  size_t start = out.size();
  out.push_back('-');
  appendEscaped(out, key);
  endLine(out, start);
}

struct Parsed {
  RecordEntries entries;
  ProbedSources probed;
  RecordKeys removed;  // keys whose last line is a removal
  size_t lines = 0;
  size_t damagedLines = 0;
  bool withProbed = true;  // false: "p" and "u" lines are counted, not read
  // A line is read into these first, and only a whole one changes the
  // tables; a key met before swaps its entry in, and the old one's room
  // serves the next line (a record of many exports names most keys
  // again and again).
  RecordEntry entry;
  ProbedSource source;
};

// Puts `value`, read whole, in `table` under `key`.
template <class Table, class Value>
void put(Table& table, const std::string& key, Value& value) {
  auto at = table.find(key);
  if (at != table.end()) {
    std::swap(at->second, value);
  } else {
    table.emplace(key, std::move(value));
  }
}

// One line without its newline into `parsed`; false when it is damaged.
bool parseLine(std::string_view line, Parsed* parsed) {
  if (!parsed->withProbed && line.size() > 1 && (line[0] == 'p' || line[0] == 'u') &&
      line[1] == '\t')
    return true;
  // No line has more than thirteen fields (a converted track's): one with
  // more is damaged. Kept in place, as a record holds a line per file and
  // more.
  struct Fields {
    std::array<std::string_view, 13> at;
    size_t count = 0;
    size_t size() const { return count; }
    std::string_view operator[](size_t i) const { return at[i]; }
    std::string_view back() const { return at[count - 1]; }
  } fields;
  for (size_t start = 0;;) {
    size_t tab = line.find('\t', start);
    if (fields.count == fields.at.size()) return false;
    fields.at[fields.count++] = line.substr(start, tab - start);
    if (tab == std::string_view::npos) break;
    start = tab + 1;
  }
  uint64_t check = 0;
  if (fields.size() < 3 || fields.back().size() != 16 || !parseNumber(fields.back(), &check, 16) ||
      XXH3_64bits(line.data(), line.size() - 17) != check)
    return false;
  if (fields[0] == "-" && fields.size() == 3) {
    auto key = unescape(fields[1]);
    if (!key) return false;
    if (!parsed->entries.empty()) parsed->entries.erase(*key);
    parsed->removed.insert(std::move(*key));
    return true;
  }
  if ((fields[0] == "p" && fields.size() == 8) || (fields[0] == "u" && fields.size() == 5)) {
    ProbedSource& p = parsed->source;
    p.told = fields[0] == "p";
    if (!unescapeInto(fields[1], p.source) ||
        !unescapeInto(p.told ? fields[4] : std::string_view(), p.container) ||
        !unescapeInto(p.told ? fields[5] : std::string_view(), p.codec) ||
        !parseNumber(fields[2], &p.stamp.size) || !parseNumber(fields[3], &p.stamp.mtimeNs))
      return false;
    p.millis = 0;
    if (p.told && !parseNumber(fields[6], &p.millis)) return false;
    put(parsed->probed, p.source, p);
    return true;
  }
  if (fields[0] != "+" || (fields.size() != 12 && fields.size() != 13)) return false;
  RecordEntry& e = parsed->entry;
  size_t kind = 0;
  while (kind < kKindNames.size() && kKindNames[kind] != fields[1]) ++kind;
  if (kind == kKindNames.size()) return false;
  e.kind = static_cast<EntryKind>(kind);
  std::string* texts[] = {&e.key, &e.path, &e.trackId, &e.libraryId};
  for (size_t i = 0; i < 4; ++i) {
    if (!unescapeInto(fields[2 + i], *texts[i])) return false;
  }
  if (!parseNumber(fields[6], &e.drive.size) || !parseNumber(fields[7], &e.drive.mtimeNs) ||
      !parseNumber(fields[8], &e.source.size) || !parseNumber(fields[9], &e.source.mtimeNs))
    return false;
  e.checksum.reset();
  if (!fields[10].empty()) {
    uint64_t sum = 0;
    if (fields[10].size() != 16 || !parseNumber(fields[10], &sum, 16)) return false;
    e.checksum = sum;
  }
  e.conversion.clear();
  if (fields.size() == 13) {
    if (!unescapeInto(fields[11], e.conversion) || e.conversion.empty()) return false;
  }
  if (!parsed->removed.empty()) parsed->removed.erase(e.key);
  put(parsed->entries, e.key, e);
  return true;
}

// The version line is checked before anything else is believed; a file
// that is no more than the start of it was cut short while being made.
base::Status checkHeader(std::string_view text, const std::string& display) {
  size_t end = text.find('\n');
  if (end == std::string_view::npos && kHeader.substr(0, text.size()) == text)
    return base::Status();
  std::string_view first = text.substr(0, end);
  if (first == kHeader.substr(0, kHeader.size() - 1)) return base::Status();
  if (first.substr(0, kHeaderStem.size()) == kHeaderStem) {
    return base::Status::failure(
        "cannot use", display,
        "it was written by a newer version of the exporter (record version " +
            std::string(first.substr(kHeaderStem.size(), 20)) + ")",
        ENOTSUP);
  }
  return base::Status::failure("cannot use", display, "it is not an exporter's record", EINVAL);
}

// The record read a block at a time, keeping only its live entries: a
// record grown far past its entries (years of exports between two
// compactions, or a kill before one) is read and compacted, never
// refused for its size. No record is an empty one.
base::Result<Parsed> parseOwn(int folder, const std::string& display, bool withProbed = true) {
  struct stat st;
  base::Result<int> fd = openStateFile(folder, DriveRecord::kFile, O_RDONLY, display, &st);
  if (!fd) {
    if (fd.status().code() == ENOENT) return Parsed();
    return fd.status();
  }
  Parsed parsed;
  parsed.withProbed = withProbed;
  // A compacted record has a line per entry, of some 150 bytes: its
  // table is made once, not grown line by line.
  parsed.entries.reserve(static_cast<size_t>(st.st_size) / 128);
  // So is that of what the sources hold, a line of the same length each.
  if (withProbed) parsed.probed.reserve(static_cast<size_t>(st.st_size) / 256);
  std::string pending;
  bool headerSeen = false;
  std::vector<char> buffer(1 << 20);
  off_t at = 0;
  for (;;) {
    ssize_t n = pread(*fd, buffer.data(), buffer.size(), at);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int e = errno;
      close(*fd);
      return base::Status::fromErrno(e, "cannot read", display);
    }
    if (n == 0) break;
    at += n;
    pending.append(buffer.data(), static_cast<size_t>(n));
    size_t start = 0;
    for (size_t end; (end = pending.find('\n', start)) != std::string::npos; start = end + 1) {
      std::string_view line(pending.data() + start, end - start);
      if (!headerSeen) {
        base::Status header = checkHeader(std::string_view(pending).substr(start), display);
        if (!header.ok()) {
          close(*fd);
          return header;
        }
        headerSeen = true;
        continue;
      }
      ++parsed.lines;
      if (!parseLine(line, &parsed)) ++parsed.damagedLines;
    }
    pending.erase(0, start);
  }
  close(*fd);
  if (!headerSeen) {
    base::Status header = checkHeader(pending, display);
    if (!header.ok()) return header;
  } else if (!pending.empty()) {
    ++parsed.damagedLines;  // the last line, cut short
  }
  return parsed;
}

// The whole of `name` in the state folder, or "" when there is none.
base::Result<std::string> readOwn(int folder, const char* name, size_t maxBytes,
                                  const std::string& display) {
  struct stat st;
  base::Result<int> fd = openStateFile(folder, name, O_RDONLY, display, &st);
  if (!fd) {
    if (fd.status().code() == ENOENT) return std::string();
    return fd.status();
  }
  base::Result<std::string> text = readStateFile(*fd, maxBytes, display);
  close(*fd);
  return text;
}

// The paths the older record names.
base::Result<std::vector<std::string>> writtenPaths(int folder, size_t maxBytes,
                                                    const std::string& display) {
  base::Result<std::string> text = readOwn(folder, DestinationRoot::kRecordFile, maxBytes, display);
  if (!text) return text.status();
  std::vector<std::string> paths;
  std::string_view rest = *text;
  for (size_t end; (end = rest.find('\n')) != std::string_view::npos; rest.remove_prefix(end + 1))
    if (end > 0) paths.push_back(DestinationRoot::decodeRecordLine(rest.substr(0, end)));
  return paths;
}

std::string stateDisplay(const DestinationRoot& root, const char* name) {
  return root.path() + "/" + DestinationRoot::kStateFolder + "/" + name;
}

}  // namespace

StampMatch sameStamp(const FileStamp& recorded, const FileStamp& now, int64_t stepNs) {
  if (recorded.size != now.size) return StampMatch::kDifferent;
  constexpr int64_t kQuarterHour = int64_t{15} * 60 * 1'000'000'000;
  constexpr int64_t kMaxQuarters = 14 * 4;
  int64_t step = stepNs > 0 ? stepNs : 1;
  int64_t difference = now.mtimeNs - recorded.mtimeNs;
  if (std::llabs(difference) < step) return StampMatch::kSame;
  int64_t quarters =
      (difference + (difference < 0 ? -kQuarterHour : kQuarterHour) / 2) / kQuarterHour;
  if (quarters == 0 || std::llabs(quarters) > kMaxQuarters) return StampMatch::kDifferent;
  return std::llabs(difference - quarters * kQuarterHour) < step ? StampMatch::kShifted
                                                                 : StampMatch::kDifferent;
}

base::Result<RecordContents> DriveRecord::load(const DestinationRoot& root, const KeyOf& keyOf,
                                               size_t maxBytes, bool withProbed) {
  std::string display = stateDisplay(root, kFile);
  RecordContents contents;
  // An unmounted drive is a failure, not an empty record.
  if (!root.isOpen()) return base::Status::fromFileError(root.openError());
  int folder = root.openFolder(DestinationRoot::kStateFolder, false);
  if (folder == -ENOENT) return contents;
  if (folder < 0) return base::Status::fromErrno(-folder, "cannot open the folder of", display);
  base::Result<Parsed> parsed = parseOwn(folder, display, withProbed);
  base::Result<std::string> legacy = readOwn(folder, DestinationRoot::kRecordFile, maxBytes,
                                             stateDisplay(root, DestinationRoot::kRecordFile));
  close(folder);
  if (!parsed) return parsed.status();
  if (!legacy) return legacy.status();
  contents.entries = std::move(parsed->entries);
  contents.probed = std::move(parsed->probed);
  contents.lines = parsed->lines;
  contents.damagedLines = parsed->damagedLines;
  // The record speaks for every key it names, removed ones included, and
  // for every path it names: those need no key made (a key is a Unicode
  // normalisation, and the older list names every file again, once per
  // export that wrote it).
  std::unordered_set<std::string_view, base::TextHash, std::equal_to<>> named;
  if (!legacy->empty()) {
    named.reserve(contents.entries.size());
    for (const auto& [key, e] : contents.entries) named.insert(e.path);
  }
  std::string decoded;
  std::string_view rest = *legacy;
  for (size_t end; (end = rest.find('\n')) != std::string_view::npos; rest.remove_prefix(end + 1)) {
    if (end == 0) continue;
    std::string_view path = rest.substr(0, end);
    // Only a path with an escape in it needs decoding.
    if (path.find('%') != std::string_view::npos) {
      decoded = DestinationRoot::decodeRecordLine(path);
      path = decoded;
    }
    if (named.count(path) != 0) continue;
    std::string key = keyOf ? keyOf(path) : std::string(path);
    if (contents.entries.count(key) != 0 || parsed->removed.count(key) != 0) continue;
    RecordEntry e;
    e.key = key;
    e.path = path;
    e.kind = EntryKind::kLegacy;
    contents.entries.emplace(std::move(key), std::move(e));
  }
  contents.removed = std::move(parsed->removed);
  return contents;
}

std::string DriveRecord::stateStamp(const DestinationRoot& root) {
  if (!root.isOpen()) return "";
  int folder = root.openFolder(DestinationRoot::kStateFolder, false);
  if (folder == -ENOENT) return "none";
  if (folder < 0) return "";
  std::string stamp;
  for (const char* name : {kFile, DestinationRoot::kRecordFile}) {
    struct stat st;
    if (fstatat(folder, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno != ENOENT) {
        close(folder);
        return "";
      }
      stamp += "-;";
      continue;
    }
    // The time of the last change too: a file rewritten at its old size
    // and time still changes it.
    for (int64_t n :
         {int64_t(st.st_dev), int64_t(st.st_ino), int64_t(st.st_size), int64_t(st.st_mtim.tv_sec),
          int64_t(st.st_mtim.tv_nsec), int64_t(st.st_ctim.tv_sec), int64_t(st.st_ctim.tv_nsec)})
      stamp += std::to_string(n) + ",";
    stamp += ";";
  }
  close(folder);
  return stamp;
}

base::Result<std::unique_ptr<DriveRecord>> DriveRecord::open(std::shared_ptr<DestinationRoot> root,
                                                             KeyOf keyOf) {
  base::Result<RootLock> lock = root->shareLock(nullptr);
  if (!lock) return lock.status();
  return std::unique_ptr<DriveRecord>(
      new DriveRecord(std::move(root), std::move(keyOf), std::move(*lock)));
}

std::optional<base::Result<DriveRecord::OfTracks>> DriveRecord::ofTracksFolder(
    const std::string& tracksFolder) {
  std::string name;
  auto folder = DestinationRoot::exportRootOf(tracksFolder, &name);
  if (!folder) return std::nullopt;
  OfTracks of;
  of.root = DestinationRoot::open(*folder);
  if (!of.root->isOpen())
    return base::Result<OfTracks>(base::Status::fromFileError(of.root->openError()));
  auto writer = open(of.root, &recordKey);
  if (!writer) return base::Result<OfTracks>(writer.status());
  of.writer = std::move(*writer);
  of.prefix = name + "/";
  return base::Result<OfTracks>(std::move(of));
}

void DriveRecord::tallyFrom(const RecordContents& contents) {
  std::lock_guard<std::mutex> guard(lock_.writeMutex());
  RecordTally& tally = lock_.recordTally();
  if (tally.known) return;
  tally.lines = contents.lines;
  tally.live.clear();
  tally.probed.clear();
  for (const auto& [key, e] : contents.entries)
    if (e.kind != EntryKind::kLegacy) tally.live.insert(key);
  for (const auto& [source, p] : contents.probed) tally.probed.insert(source);
  tally.known = true;
}

base::Status DriveRecord::append(const std::vector<RecordEntry>& entries, bool flush) {
  std::string lines;
  for (const RecordEntry& e : entries) addLine(lines, e);
  return write(lines, entries.size(), flush, [&](RecordTally& tally) {
    for (const RecordEntry& e : entries) tally.live.insert(e.key);
  });
}

base::Status DriveRecord::noteProbed(const std::vector<ProbedSource>& probed, bool flush) {
  std::string lines;
  for (const ProbedSource& p : probed) probedLine(lines, p);
  return write(lines, probed.size(), flush, [&](RecordTally& tally) {
    for (const ProbedSource& p : probed) tally.probed.insert(p.source);
  });
}

base::Status DriveRecord::remove(const std::vector<std::string>& keys, bool flush) {
  std::string lines;
  for (const std::string& key : keys) removeLine(lines, key);
  return write(lines, keys.size(), flush, [&](RecordTally& tally) {
    for (const std::string& key : keys) tally.live.erase(key);
  });
}

base::Status DriveRecord::write(const std::string& lines, size_t count, bool flush,
                                const std::function<void(RecordTally&)>& counted) {
  if (lines.empty()) return base::Status();
  std::string display = stateDisplay(*root_, kFile);
  std::lock_guard<std::mutex> guard(lock_.writeMutex());
  RecordTally& tally = lock_.recordTally();
  // Counted only once written; a record begun afresh is counted again.
  bool keepsCount = tally.known, startsCount = false;
  tally.known = false;
  int folder = root_->openFolder(DestinationRoot::kStateFolder, true);
  if (folder < 0) return base::Status::fromErrno(-folder, "cannot open the folder of", display);
  struct stat st;
  base::Result<int> fd = openStateFile(folder, kFile, O_RDWR | O_APPEND | O_CREAT, display, &st);
  if (!fd) {
    close(folder);
    return fd.status();
  }
  base::Status status;
  char head[kHeader.size()];
  ssize_t n = pread(*fd, head, sizeof head, 0);
  if (n < 0) {
    status = base::Status::fromErrno(errno, "cannot read", display);
  } else if (n < static_cast<ssize_t>(sizeof head)) {
    // New, or its version line was cut short: nothing in it counts.
    status = checkHeader(std::string_view(head, static_cast<size_t>(n)), display);
    if (status.ok())
      status = replaceStateFile(folder, kFile, std::string(kHeader) + lines, display);
    // It holds these lines alone now: the count starts from them, and a
    // first export need not read its record back to see it is not worth
    // compacting.
    keepsCount = false;
    startsCount = true;
  } else if (std::string_view(head, sizeof head) != kHeader) {
    status = checkHeader(std::string_view(head, sizeof head), display);
  } else if (st.st_nlink > 1) {
    // Shared with a snapshot: the snapshot keeps its copy, we get ours.
    base::Result<std::string> text = readStateFile(*fd, kMaxBytes, display);
    if (!text) {
      status = text.status();
    } else {
      if (text->back() != '\n') text->append(kCutLineEnd);
      status = replaceStateFile(folder, kFile, *text + lines, display);
    }
  } else {
    char last = '\n';
    if (pread(*fd, &last, 1, st.st_size - 1) != 1) {
      status = base::Status::fromErrno(errno, "cannot read", display);
    } else {
      std::string text = last == '\n' ? lines : kCutLineEnd + lines;
      status = appendStateFile(folder, kFile, *fd, text, flush, kMaxBytes, display);
    }
  }
  if (close(*fd) != 0 && status.ok())
    status = base::Status::fromErrno(errno, "cannot append to", display);
  close(folder);
  if (status.ok() && startsCount) {
    tally.lines = 0;
    tally.live.clear();
    tally.probed.clear();
  }
  if (status.ok() && (keepsCount || startsCount)) {
    tally.known = true;
    tally.lines += count;
    counted(tally);
  }
  return status;
}

base::Status DriveRecord::compact(size_t maxBytes) { return rewrite(false, maxBytes); }

base::Status DriveRecord::compactIfMostlyDead() { return rewrite(true, kMaxBytes); }

namespace {
bool mostlyDead(const RecordTally& tally) {
  size_t live = tally.live.size() + tally.probed.size();
  return tally.lines > 2 * live;
}
}  // namespace

base::Status DriveRecord::rewrite(bool onlyWhenMostlyDead, size_t maxBytes) {
  std::string display = stateDisplay(*root_, kFile);
  std::lock_guard<std::mutex> guard(lock_.writeMutex());
  RecordTally& tally = lock_.recordTally();
  if (onlyWhenMostlyDead && tally.known && !mostlyDead(tally)) return base::Status();
  int folder = root_->openFolder(DestinationRoot::kStateFolder, false);
  if (folder == -ENOENT) return base::Status();
  if (folder < 0) return base::Status::fromErrno(-folder, "cannot open the folder of", display);
  base::Result<Parsed> parsed = parseOwn(folder, display);
  base::Result<std::vector<std::string>> legacy =
      writtenPaths(folder, maxBytes, stateDisplay(*root_, DestinationRoot::kRecordFile));
  base::Status status = !legacy ? legacy.status() : parsed.status();
  struct stat st;
  bool there = fstatat(folder, kFile, &st, AT_SYMLINK_NOFOLLOW) == 0 && st.st_size > 0;
  if (parsed && legacy && there) {
    RecordTally counted;
    counted.known = true;
    counted.lines = parsed->lines;
    counted.live.reserve(parsed->entries.size());
    for (const auto& [key, e] : parsed->entries) counted.live.insert(key);
    for (const auto& [source, p] : parsed->probed) counted.probed.insert(source);
    if (!onlyWhenMostlyDead || mostlyDead(counted)) {
      // One line per live entry, in no particular order: a load reads each
      // once, with nothing to override.
      std::string out(kHeader);
      out.reserve(static_cast<size_t>(st.st_size));
      for (const auto& [key, e] : parsed->entries) addLine(out, e);
      for (const auto& [source, p] : parsed->probed) probedLine(out, p);
      counted.lines = parsed->entries.size() + parsed->probed.size();
      // A removal stays while it hides a path of the older record.
      std::unordered_set<std::string> legacyKeys;
      for (const std::string& path : *legacy) legacyKeys.insert(keyOf_ ? keyOf_(path) : path);
      for (const std::string& key : parsed->removed) {
        if (legacyKeys.count(key) == 0) continue;
        removeLine(out, key);
        ++counted.lines;
      }
      // Temporary, flushed, renamed, folder flushed: a kill at any moment
      // leaves the old record or this one, whole.
      status = replaceStateFile(folder, kFile, out, display);
    }
    tally = status.ok() ? std::move(counted) : RecordTally();
  }
  close(folder);
  return status;
}

namespace {
std::string wholeKey(std::string_view text) {
  return base::unicode::upper(base::unicode::nfd(text));
}
}  // namespace

// Both foldings go code point by code point, and a slash (a starter that
// decomposes to itself) ends every run they reorder: a path's key is its
// folder's key, a slash and its name's key, as long as the whole path is
// UTF-8 (otherwise none of it is folded). The keys of the last few folders
// are kept, as a layout asks for the keys of a folder's tracks one after
// another.
std::string recordKey(std::string_view path) {
  size_t slash = path.rfind('/');
  if (slash == std::string_view::npos || slash == 0) return wholeKey(path);
  struct Folder {
    std::string path, key;
  };
  thread_local std::array<Folder, 4> folders;
  thread_local size_t next = 0;
  const std::string_view folder = path.substr(0, slash), name = path.substr(slash + 1);
  const Folder* known = nullptr;
  for (const Folder& f : folders)
    if (!f.path.empty() && f.path == folder) known = &f;
  if (known == nullptr) {
    if (!base::unicode::isValidUtf8(folder)) return wholeKey(path);
    Folder& f = folders[next++ % folders.size()];
    f.path.assign(folder);
    f.key = wholeKey(folder);
    known = &f;
  }
  if (!base::unicode::isValidUtf8(name)) return std::string(path);
  std::string key = known->key;
  key.push_back('/');
  key += wholeKey(name);
  return key;
}

std::optional<RecordEntry> folderEntry(const DestinationRoot& root, std::string_view absolute,
                                       const std::function<std::string(std::string_view)>& keyOf) {
  auto relative = root.relativePath(absolute);
  if (!relative || relative->empty()) return std::nullopt;
  RecordEntry e;
  e.key = keyOf ? keyOf(*relative) : *relative;
  e.path = std::move(*relative);
  e.kind = EntryKind::kFolder;
  return e;
}

}  // namespace fs
