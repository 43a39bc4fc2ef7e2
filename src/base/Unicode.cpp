#include "base/Unicode.h"

#include <unicode/bytestream.h>
#include <unicode/normalizer2.h>
#include <unicode/ucasemap.h>
#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <memory>

namespace base::unicode {
namespace {

bool isAscii(std::string_view s) {
  for (unsigned char c : s)
    if (c >= 0x80) return false;
  return true;
}

const icu::Normalizer2* nfdInstance() {
  static const icu::Normalizer2* n = [] {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* p = icu::Normalizer2::getNFDInstance(status);
    return U_SUCCESS(status) ? p : nullptr;
  }();
  return n;
}

const icu::Normalizer2* nfcInstance() {
  static const icu::Normalizer2* n = [] {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* p = icu::Normalizer2::getNFCInstance(status);
    return U_SUCCESS(status) ? p : nullptr;
  }();
  return n;
}

std::string normalized(const icu::Normalizer2* n, std::string_view s) {
  if (isAscii(s) || !isValidUtf8(s) || !n) return std::string(s);
  UErrorCode status = U_ZERO_ERROR;
  icu::StringPiece piece(s.data(), static_cast<int32_t>(s.size()));
  if (n->isNormalizedUTF8(piece, status) && U_SUCCESS(status)) return std::string(s);
  status = U_ZERO_ERROR;
  std::string out;
  out.reserve(s.size() + s.size() / 2);
  icu::StringByteSink<std::string> sink(&out);
  n->normalizeUTF8(0, piece, sink, nullptr, status);
  if (U_FAILURE(status)) return std::string(s);
  return out;
}

struct CaseMapCloser {
  void operator()(UCaseMap* m) const { ucasemap_close(m); }
};

UCaseMap* rootCaseMap() {
  // A UCaseMap is read-only once opened and may be shared between threads.
  static std::unique_ptr<UCaseMap, CaseMapCloser> map = [] {
    UErrorCode status = U_ZERO_ERROR;
    UCaseMap* m = ucasemap_open("", 0, &status);
    return std::unique_ptr<UCaseMap, CaseMapCloser>(U_SUCCESS(status) ? m : nullptr);
  }();
  return map.get();
}

}  // namespace

bool isValidUtf8(std::string_view s) {
  const auto* p = reinterpret_cast<const uint8_t*>(s.data());
  int32_t length = static_cast<int32_t>(s.size());
  if (static_cast<size_t>(length) != s.size()) return false;
  int32_t i = 0;
  while (i < length) {
    if (p[i] < 0x80) {
      ++i;
      continue;
    }
    UChar32 c;
    U8_NEXT(p, i, length, c);
    if (c < 0) return false;
  }
  return true;
}

void appendUtf8(std::string& out, char32_t c) {
  uint8_t bytes[4];
  int32_t length = 0;
  UBool error = false;
  U8_APPEND(bytes, length, 4, static_cast<UChar32>(c), error);
  if (!error) out.append(reinterpret_cast<const char*>(bytes), static_cast<size_t>(length));
}

std::string nfd(std::string_view s) { return normalized(nfdInstance(), s); }

std::string nfc(std::string_view s) {
  // Below U+0300 (whose UTF-8 begins with 0xCC) no character changes in
  // NFC and none combines with the next: such a text is in NFC as it
  // stands, the accented names of most libraries among them.
  for (unsigned char c : s)
    if (c >= 0xCC) return normalized(nfcInstance(), s);
  return std::string(s);
}

std::string upper(std::string_view s) {
  if (isAscii(s)) {
    std::string out(s);
    for (char& c : out)
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return out;
  }
  if (!isValidUtf8(s)) return std::string(s);
  UCaseMap* map = rootCaseMap();
  if (!map) return std::string(s);
  std::string out(s.size() + 16, '\0');
  for (int attempt = 0; attempt < 2; ++attempt) {
    UErrorCode status = U_ZERO_ERROR;
    int32_t length = ucasemap_utf8ToUpper(map, out.data(), static_cast<int32_t>(out.size()),
                                          s.data(), static_cast<int32_t>(s.size()), &status);
    if (status == U_BUFFER_OVERFLOW_ERROR) {
      out.assign(static_cast<size_t>(length) + 1, '\0');
      continue;
    }
    if (U_FAILURE(status)) return std::string(s);
    out.resize(static_cast<size_t>(length));
    return out;
  }
  return std::string(s);
}

std::string trimBlanksAndTabs(std::string_view s) {
  const auto* p = reinterpret_cast<const uint8_t*>(s.data());
  int32_t length = static_cast<int32_t>(s.size());
  int32_t begin = 0;
  while (begin < length) {
    int32_t next = begin;
    UChar32 c;
    U8_NEXT(p, next, length, c);
    if (c < 0 || !u_isblank(c)) break;
    begin = next;
  }
  int32_t end = length;
  while (end > begin) {
    int32_t prev = end;
    UChar32 c;
    U8_PREV(p, 0, prev, c);
    if (c < 0 || !u_isblank(c)) break;
    end = prev;
  }
  return std::string(s.substr(static_cast<size_t>(begin), static_cast<size_t>(end - begin)));
}

void appendFoldedName(std::string& out, std::string_view name) {
  if (isAscii(name)) {
    for (char c : name) out.push_back(c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c);
  } else {
    out += upper(nfd(name));
  }
}

bool sameDecomposed(std::string_view name, std::string_view decomposed) {
  return name == decomposed || (!isAscii(name) && nfd(name) == decomposed);
}

}  // namespace base::unicode
