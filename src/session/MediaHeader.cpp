#include "session/MediaHeader.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <initializer_list>
#include <vector>

#include "fs/FileManager.h"
#include "fs/ReadableFile.h"

namespace session {
namespace {

constexpr uint32_t tag(const char (&name)[5]) {
  return static_cast<uint32_t>(static_cast<uint8_t>(name[0])) << 24 |
         static_cast<uint32_t>(static_cast<uint8_t>(name[1])) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(name[2])) << 8 |
         static_cast<uint32_t>(static_cast<uint8_t>(name[3]));
}

// Read in one piece from the file's start: the whole header of most
// files, whose data follows it.
constexpr size_t kHeadBytes = 64 * 1024;
// A header past this, or a file of more top-level boxes, is left to
// libavformat.
constexpr uint64_t kMaxHeaderBytes = uint64_t{16} << 20;
constexpr int kMaxTopBoxes = 64;

// Big-endian reads that fail past the end instead of reading there.
class Bytes {
 public:
  Bytes(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  size_t size() const { return size_; }
  bool u8(size_t at, uint32_t* v) const { return read(at, 1, v); }
  bool u16(size_t at, uint32_t* v) const { return read(at, 2, v); }
  bool u32(size_t at, uint32_t* v) const { return read(at, 4, v); }
  bool u64(size_t at, uint64_t* v) const {
    uint32_t high = 0, low = 0;
    if (!u32(at, &high) || !u32(at + 4, &low)) return false;
    *v = uint64_t{high} << 32 | low;
    return true;
  }

 private:
  bool read(size_t at, size_t n, uint32_t* v) const {
    if (at > size_ || n > size_ - at) return false;
    uint32_t out = 0;
    for (size_t i = 0; i < n; ++i) out = out << 8 | data_[at + i];
    *v = out;
    return true;
  }
  const uint8_t* data_;
  size_t size_;
};

struct Box {
  uint32_t type = 0;
  uint64_t body = 0;  // where its contents start
  uint64_t end = 0;
};

// The box whose header starts at `at`, lying wholly before `end`; none
// when its header is cut short or its size does not fit.
std::optional<Box> boxAt(const Bytes& b, uint64_t at, uint64_t end) {
  uint32_t size32 = 0, type = 0;
  if (!b.u32(at, &size32) || !b.u32(at + 4, &type)) return std::nullopt;
  uint64_t size = size32, header = 8;
  if (size32 == 1) {
    if (!b.u64(at + 8, &size)) return std::nullopt;
    header = 16;
  } else if (size32 == 0) {
    size = end - at;  // to the end
  }
  if (size < header || at > end || size > end - at) return std::nullopt;
  return Box{type, at + header, at + size};
}

// The box of `type` among those from `from` to `to`, when there is
// exactly one and every box there is whole.
std::optional<Box> only(const Bytes& b, uint64_t from, uint64_t to, uint32_t type) {
  std::optional<Box> found;
  for (uint64_t at = from; at < to;) {
    auto box = boxAt(b, at, to);
    if (!box) return std::nullopt;
    if (box->type == type) {
      if (found) return std::nullopt;
      found = box;
    }
    at = box->end;
  }
  return found;
}

// Whether a type may name a box libavformat reads: every one it knows
// has a letter in it. Bytes after the media (padding, zeros) read as a
// type without one.
bool namesABox(uint32_t type) {
  for (int shift = 0; shift < 32; shift += 8) {
    const uint32_t c = (type >> shift) & 0xFF;
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) return true;
  }
  return false;
}

// Whether the boxes from `from` to `to` are whole and each is of one of
// `types`: libavformat reads a box it knows wherever it stands, so one
// where this reader does not look for it would read differently.
bool onlyOf(const Bytes& b, uint64_t from, uint64_t to, std::initializer_list<uint32_t> types) {
  for (uint64_t at = from; at < to;) {
    auto box = boxAt(b, at, to);
    if (!box || std::find(types.begin(), types.end(), box->type) == types.end()) return false;
    at = box->end;
  }
  return true;
}

// Whether the boxes from `from` to `to` are whole and none is of `type`.
bool none(const Bytes& b, uint64_t from, uint64_t to, uint32_t type) {
  for (uint64_t at = from; at < to;) {
    auto box = boxAt(b, at, to);
    if (!box || box->type == type) return false;
    at = box->end;
  }
  return true;
}

// A descriptor's tag and length in an esds box; `at` moves past them.
bool descriptor(const Bytes& b, uint64_t& at, uint64_t end, uint32_t* tagOut, uint64_t* length) {
  if (!b.u8(at++, tagOut)) return false;
  uint64_t n = 0;
  for (int i = 0; i < 4; ++i) {
    uint32_t byte = 0;
    if (at >= end || !b.u8(at++, &byte)) return false;
    n = n << 7 | (byte & 0x7F);
    if ((byte & 0x80) == 0) {
      *length = n;
      return n <= end - at;
    }
  }
  return false;
}

// Whether an esds box says MPEG-4 AAC (the object types libavformat
// keeps as AAC: Main, LC, SSR, LTP) at a rate it knows, in one of the
// usual channel layouts: libavformat takes the channels from there, and
// passes over a sound that has none.
bool isAac(const Bytes& b, const Box& esds) {
  uint64_t at = esds.body + 4;  // version and flags
  uint32_t kind = 0, flags = 0, object = 0, audioType = 0;
  uint64_t length = 0;
  if (!descriptor(b, at, esds.end, &kind, &length) || kind != 0x03) return false;
  const uint64_t esEnd = at + length;
  if (!b.u8(at + 2, &flags)) return false;
  at += 3;                    // its ID and flags
  if (flags & 0x80) at += 2;  // a stream it depends on
  if (flags & 0x40) {         // a URL
    uint32_t urlLength = 0;
    if (!b.u8(at, &urlLength)) return false;
    at += 1 + urlLength;
  }
  if (flags & 0x20) at += 2;  // a clock stream
  if (at >= esEnd || !descriptor(b, at, esEnd, &kind, &length) || kind != 0x04) return false;
  const uint64_t configEnd = at + length;
  if (!b.u8(at, &object) || object != 0x40) return false;
  at += 13;
  uint32_t config = 0;
  if (at >= configEnd || !descriptor(b, at, configEnd, &kind, &length) || kind != 0x05 ||
      length < 2 || !b.u16(at, &config))
    return false;
  audioType = config >> 11;
  const uint32_t rateIndex = (config >> 7) & 0xF, channels = (config >> 3) & 0xF;
  return audioType >= 1 && audioType <= 4 && rateIndex < 13 && channels >= 1 && channels <= 7;
}

// av_rescale's rounding: to the nearest, halves away from zero.
uint64_t rescale(uint64_t value, uint64_t to, uint64_t from) {
  const unsigned __int128 product = static_cast<unsigned __int128>(value) * to;
  return static_cast<uint64_t>((product + from / 2) / from);
}

// What the single sound track in `moov` holds.
std::optional<Probed> fromMovie(const Bytes& m, const Box& moov, uint64_t fileSize) {
  auto mvhd = only(m, moov.body, moov.end, tag("mvhd"));
  auto trak = only(m, moov.body, moov.end, tag("trak"));
  if (!mvhd || !trak) return std::nullopt;
  uint32_t version = 0, movieScale = 0;
  // libavformat reads time scales and lengths as signed numbers: one
  // that reads as negative there (it puts 1 in its place) is left to it.
  if (!m.u8(mvhd->body, &version) || version > 1 ||
      !m.u32(mvhd->body + (version == 1 ? 20 : 12), &movieScale) || movieScale > INT32_MAX)
    return std::nullopt;
  auto tkhd = only(m, trak->body, trak->end, tag("tkhd"));
  auto mdia = only(m, trak->body, trak->end, tag("mdia"));
  if (!tkhd || !mdia ||
      !onlyOf(m, moov.body, moov.end,
              {tag("mvhd"), tag("trak"), tag("udta"), tag("meta"), tag("iods"), tag("free")}) ||
      !onlyOf(m, trak->body, trak->end,
              {tag("tkhd"), tag("edts"), tag("mdia"), tag("udta"), tag("free")}) ||
      !onlyOf(m, mdia->body, mdia->end, {tag("mdhd"), tag("hdlr"), tag("minf"), tag("free")}))
    return std::nullopt;
  auto mdhd = only(m, mdia->body, mdia->end, tag("mdhd"));
  auto hdlr = only(m, mdia->body, mdia->end, tag("hdlr"));
  auto minf = only(m, mdia->body, mdia->end, tag("minf"));
  uint32_t handler = 0, scale = 0;
  uint64_t duration = 0;
  if (!mdhd || !hdlr || !minf || !m.u32(hdlr->body + 8, &handler) || handler != tag("soun") ||
      !m.u8(mdhd->body, &version) || version > 1)
    return std::nullopt;
  if (version == 1) {
    if (!m.u32(mdhd->body + 20, &scale) || !m.u64(mdhd->body + 24, &duration)) return std::nullopt;
  } else {
    uint32_t d = 0;
    if (!m.u32(mdhd->body + 12, &scale) || !m.u32(mdhd->body + 16, &d)) return std::nullopt;
    duration = d;
  }
  if (scale == 0 || scale > INT32_MAX || duration == 0 || duration > INT64_MAX) return std::nullopt;
  auto stbl = only(m, minf->body, minf->end, tag("stbl"));
  if (!stbl || !onlyOf(m, minf->body, minf->end, {tag("smhd"), tag("dinf"), tag("stbl")}) ||
      !onlyOf(m, stbl->body, stbl->end,
              {tag("stsd"), tag("stts"), tag("stsc"), tag("stsz"), tag("stco"), tag("co64"),
               tag("sgpd"), tag("sbgp")}))
    return std::nullopt;
  // The data lies in this file: one self-contained reference.
  auto dinf = only(m, minf->body, minf->end, tag("dinf"));
  auto dref = dinf ? only(m, dinf->body, dinf->end, tag("dref")) : std::nullopt;
  uint32_t references = 0, referenceFlags = 0;
  if (!dref || !m.u32(dref->body + 4, &references) || references != 1) return std::nullopt;
  auto reference = boxAt(m, dref->body + 8, dref->end);
  if (!reference || reference->type != tag("url ") || !m.u32(reference->body, &referenceFlags) ||
      referenceFlags != 1)
    return std::nullopt;
  auto stsd = only(m, stbl->body, stbl->end, tag("stsd"));
  auto stts = only(m, stbl->body, stbl->end, tag("stts"));
  if (!stsd || !stts) return std::nullopt;
  // The samples' durations add up to the track's: libavformat's index
  // then ends where the header says.
  uint32_t entries = 0;
  if (!m.u32(stts->body + 4, &entries) || uint64_t{entries} * 8 > stts->end - stts->body - 8)
    return std::nullopt;
  unsigned __int128 samples = 0;
  for (uint32_t i = 0; i < entries; ++i) {
    uint32_t count = 0, delta = 0;
    if (!m.u32(stts->body + 8 + 8 * uint64_t{i}, &count) ||
        !m.u32(stts->body + 12 + 8 * uint64_t{i}, &delta))
      return std::nullopt;
    samples += static_cast<unsigned __int128>(count) * delta;
  }
  if (samples != duration) return std::nullopt;
  // The tables libavformat will not index a track without: chunks, and
  // samples as many as the durations count, in chunks.
  auto stsc = only(m, stbl->body, stbl->end, tag("stsc"));
  auto stsz = only(m, stbl->body, stbl->end, tag("stsz"));
  auto stco = only(m, stbl->body, stbl->end, tag("stco"));
  auto co64 = only(m, stbl->body, stbl->end, tag("co64"));
  uint32_t chunks = 0, runs = 0, sampleCount = 0;
  uint64_t counted = 0;
  for (uint32_t i = 0; i < entries; ++i) {
    uint32_t count = 0;
    m.u32(stts->body + 8 + 8 * uint64_t{i}, &count);
    counted += count;
  }
  if (!stsc || !stsz || stco.has_value() == co64.has_value() ||
      !m.u32((stco ? stco : co64)->body + 4, &chunks) || chunks == 0 ||
      !m.u32(stsc->body + 4, &runs) || runs == 0 || !m.u32(stsz->body + 8, &sampleCount) ||
      sampleCount == 0 || sampleCount != counted)
    return std::nullopt;
  // The runs of samples per chunk, from the first chunk on, give every
  // chunk its samples and count them all: libavformat's index is then the
  // header's.
  if (uint64_t{runs} * 12 > stsc->end - stsc->body - 8) return std::nullopt;
  uint64_t inRuns = 0;
  for (uint32_t i = 0; i < runs; ++i) {
    uint32_t firstChunk = 0, perChunk = 0, description = 0, nextChunk = chunks + uint64_t{1};
    const uint64_t at = stsc->body + 8 + 12 * uint64_t{i};
    if (!m.u32(at, &firstChunk) || !m.u32(at + 4, &perChunk) || !m.u32(at + 8, &description) ||
        (i + 1 < runs && !m.u32(at + 12, &nextChunk)))
      return std::nullopt;
    if ((i == 0 ? firstChunk != 1 : firstChunk == 0) || nextChunk <= firstChunk ||
        nextChunk > chunks + uint64_t{1} || perChunk == 0 || description != 1)
      return std::nullopt;
    inRuns += (uint64_t{nextChunk} - firstChunk) * perChunk;
  }
  if (inRuns != sampleCount) return std::nullopt;
  // Each sample's size, where they differ, as libavformat takes them,
  // and all of them within the file, as every chunk is.
  uint32_t commonSize = 0;
  if (!m.u32(stsz->body + 4, &commonSize)) return std::nullopt;
  uint64_t sampleBytes = uint64_t{commonSize} * sampleCount;
  if (commonSize == 0) {
    if (uint64_t{sampleCount} * 4 > stsz->end - stsz->body - 12) return std::nullopt;
    for (uint32_t i = 0; i < sampleCount; ++i) {
      uint32_t size = 0;
      if (!m.u32(stsz->body + 12 + 4 * uint64_t{i}, &size) || size > INT32_MAX) return std::nullopt;
      sampleBytes += size;
    }
  } else if (commonSize > INT32_MAX) {
    return std::nullopt;
  }
  if (sampleBytes > fileSize) return std::nullopt;
  const Box& offsets = stco ? *stco : *co64;
  const uint64_t offsetBytes = stco ? 4 : 8;
  if (uint64_t{chunks} * offsetBytes > offsets.end - offsets.body - 8) return std::nullopt;
  for (uint32_t i = 0; i < chunks; ++i) {
    uint64_t offset = 0;
    uint32_t small = 0;
    const uint64_t at = offsets.body + 8 + offsetBytes * i;
    if (stco ? !m.u32(at, &small) : !m.u64(at, &offset)) return std::nullopt;
    if (stco) offset = small;
    if (offset >= fileSize) return std::nullopt;
  }
  // One sample description, of a sound of this version's plain form.
  uint32_t descriptions = 0;
  if (!m.u32(stsd->body + 4, &descriptions) || descriptions != 1) return std::nullopt;
  auto entry = boxAt(m, stsd->body + 8, stsd->end);
  uint32_t soundVersion = 0, rate = 0;
  if (!entry || !m.u16(entry->body + 8, &soundVersion) || soundVersion != 0 ||
      !m.u32(entry->body + 24, &rate) || (rate >> 16) == 0)
    return std::nullopt;
  std::string codec;
  // libavformat takes the codec from an esds box wherever the sample
  // description holds one.
  if (entry->type == tag("alac") && none(m, entry->body + 28, entry->end, tag("esds"))) {
    // Its channels and rate are the cookie's, as libavformat takes them.
    auto cookie = only(m, entry->body + 28, entry->end, tag("alac"));
    uint32_t cookieChannels = 0, cookieRate = 0;
    if (!cookie || cookie->end - cookie->body < 28 || !m.u8(cookie->body + 13, &cookieChannels) ||
        !m.u32(cookie->body + 24, &cookieRate) || cookieChannels == 0 || cookieRate == 0 ||
        cookieRate > INT32_MAX)
      return std::nullopt;
    codec = "alac";
  } else if (entry->type == tag("mp4a")) {
    auto esds = only(m, entry->body + 28, entry->end, tag("esds"));
    if (!esds || !isAac(m, *esds)) return std::nullopt;
    codec = "aac";
  } else {
    return std::nullopt;
  }
  // An edit list of one plain entry ends the track where it says, within
  // the media's length; any other is left to libavformat.
  if (auto edts = only(m, trak->body, trak->end, tag("edts"))) {
    auto elst = only(m, edts->body, edts->end, tag("elst"));
    if (!onlyOf(m, edts->body, edts->end, {tag("elst")})) return std::nullopt;
    uint32_t count = 0, playRate = 0;
    if (!elst || !m.u8(elst->body, &version) || version > 1 || !m.u32(elst->body + 4, &count) ||
        count != 1 || movieScale == 0)
      return std::nullopt;
    uint64_t segment = 0, mediaTime = 0;
    if (version == 1) {
      if (!m.u64(elst->body + 8, &segment) || !m.u64(elst->body + 16, &mediaTime) ||
          !m.u32(elst->body + 24, &playRate))
        return std::nullopt;
    } else {
      uint32_t s = 0, t = 0;
      if (!m.u32(elst->body + 8, &s) || !m.u32(elst->body + 12, &t) ||
          !m.u32(elst->body + 16, &playRate))
        return std::nullopt;
      if (t > INT32_MAX) return std::nullopt;  // negative: an empty edit
      segment = s;
      mediaTime = t;
    }
    if (segment > INT64_MAX || mediaTime > INT64_MAX) return std::nullopt;
    // A negative media time (an empty edit) reads as a huge one here.
    if (playRate != 0x10000 || mediaTime >= duration || segment == 0) return std::nullopt;
    duration = std::min(duration, rescale(segment, scale, movieScale));
    // No length left: libavformat reads frames to find one.
    if (duration == 0) return std::nullopt;
  }
  Probed p;
  p.format = {"mp4", codec};
  p.seconds = static_cast<double>(duration) * (1.0 / static_cast<double>(scale));
  return p;
}

bool readWhole(fs::ReadableFile& file, uint64_t at, std::vector<uint8_t>& into) {
  size_t done = 0;
  while (done < into.size()) {
    int64_t n = file.readAt(at + done, into.data() + done, into.size() - done);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

std::optional<Probed> probeMp4Header(fs::ReadableFile& file) {
  const uint64_t size = file.size();
  std::vector<uint8_t> head(static_cast<size_t>(std::min<uint64_t>(kHeadBytes, size)));
  if (head.size() < 16 || !readWhole(file, 0, head)) return std::nullopt;
  const Bytes first(head.data(), head.size());
  // The top-level boxes are walked by their headers, read from the head
  // where it holds them, to the file's end: libavformat reads what any
  // of them holds into the track, so only those that hold nothing of it
  // (or bytes that name no box) may stand beside the one movie box,
  // which is read whole.
  std::vector<uint8_t> header(16);
  std::optional<Box> moov;
  uint64_t at = 0, moovAt = 0;
  for (int n = 0; at < size; ++n) {
    if (n == kMaxTopBoxes || size - at < 8) return std::nullopt;
    std::optional<Box> box;
    uint32_t type = 0;
    if (at + 16 <= head.size()) {
      box = boxAt(Bytes(head.data() + at, 16), 0, size - at);
      Bytes(head.data() + at, 16).u32(4, &type);
    } else {
      header.resize(static_cast<size_t>(std::min<uint64_t>(16, size - at)));
      if (!readWhole(file, at, header)) return std::nullopt;
      box = boxAt(Bytes(header.data(), header.size()), 0, size - at);
      Bytes(header.data(), header.size()).u32(4, &type);
    }
    // Bytes after the last box that name none (padding) end the walk.
    if (!box && n > 0 && !namesABox(type)) break;
    if (!box) return std::nullopt;
    box->body += at;
    box->end += at;
    if (n == 0 && box->type != tag("ftyp")) return std::nullopt;
    if (box->type == tag("moov")) {
      if (moov) return std::nullopt;
      moov = box;
      moovAt = at;
    } else if (box->type != tag("ftyp") && box->type != tag("mdat") && box->type != tag("free") &&
               box->type != tag("skip") && box->type != tag("wide") && namesABox(box->type)) {
      return std::nullopt;
    }
    at = box->end;
  }
  if (!moov) return std::nullopt;
  if (moov->end <= head.size()) return fromMovie(first, *moov, size);
  if (moov->end - moovAt > kMaxHeaderBytes) return std::nullopt;
  std::vector<uint8_t> movie(static_cast<size_t>(moov->end - moovAt));
  if (!readWhole(file, moovAt, movie)) return std::nullopt;
  const Box inside{moov->type, moov->body - moovAt, moov->end - moovAt};
  return fromMovie(Bytes(movie.data(), movie.size()), inside, size);
}

base::Result<Probed> probeFormat(fs::FileManager& files, const std::string& path) {
  base::FileError why;
  if (auto file = files.openForReading(path, &why)) {
    if (auto told = probeMp4Header(*file)) return *told;
  }
  return probeMedia(files, path);
}

}  // namespace session
