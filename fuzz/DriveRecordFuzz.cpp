// The drive's record as a drive may hold it after kills, older versions
// and hand edits: it loads without harm, and a compaction keeps exactly
// what the load found (entries, converted copies' settings, what each
// source holds). Each line's checksum is sealed anew first, so that the
// fields behind it are reached rather than every mutated line being
// dropped as damaged.
#include <xxhash.h>

#include <cstdlib>

#include "FuzzSupport.h"
#include "fs/DriveRecord.h"

namespace {

std::string sealed(std::string_view text) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    std::string line(text.substr(start, end == std::string_view::npos ? end : end - start));
    if (line.size() >= 17 && line[line.size() - 17] == '\t') {
      uint64_t sum = XXH3_64bits(line.data(), line.size() - 17);
      for (size_t i = line.size(); i-- > line.size() - 16; sum >>= 4) line[i] = kDigits[sum & 15];
    }
    out += line;
    if (end == std::string_view::npos) break;
    out += '\n';
    start = end + 1;
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::QuietLog quiet;
  static const fuzz::ScratchDir dir;
  dir.write(".tessaline/record", sealed(fuzz::bytesOf(data, size)));
  auto root = fs::DestinationRoot::open(dir.root().string());
  if (!root) std::abort();
  auto first = fs::DriveRecord::load(*root, &fs::recordKey);
  if (!first.ok()) return 0;
  {
    auto writer = fs::DriveRecord::open(root, &fs::recordKey);
    if (!writer.ok()) std::abort();
    if (!(*writer)->compact().ok()) return 0;
  }
  auto again = fs::DriveRecord::load(*root, &fs::recordKey);
  if (!again.ok() || again->entries != first->entries || again->probed != first->probed ||
      again->damagedLines != 0)
    std::abort();
  return 0;
}
