#include "drive/MarovexSmartLogPage88.h"

#include <cstring>

#include "base/Unicode.h"

namespace drive {
namespace {

constexpr size_t kSignatureAt = 17;
constexpr size_t kVendorTextAt = 24;
constexpr size_t kVendorIdAt = 88;
constexpr size_t kModelNameAt = 179;
constexpr size_t kModelNameLengthAt = 195;

}  // namespace

bool MarovexLog88::hasSignature() const {
  return std::memcmp(page_.data() + kSignatureAt, "Rock", 4) == 0;
}

bool MarovexLog88::textsFitTheirFields() const {
  return kVendorTextAt + page_[23] <= kVendorIdAt && modelNameFitsItsField();
}

bool MarovexLog88::modelNameFitsItsField() const {
  return kModelNameAt + page_[kModelNameLengthAt] <= kModelNameLengthAt;
}

std::optional<std::string> MarovexLog88::text(size_t at, size_t length) const {
  // Every length is one byte and every text starts below 256, so the
  // text always lies inside the page.
  std::string s(reinterpret_cast<const char*>(page_.data() + at), length);
  if (!base::unicode::isValidUtf8(s)) return std::nullopt;
  return s;
}

std::map<std::string, base::Value> MarovexLog88::driveDictionary() const {
  std::map<std::string, base::Value> dict;
  if (auto v = vendorIdentification()) dict[kVendorIdentificationKey] = *v;
  dict[kVendorIdKey] = base::Value(uint64_t{vendorId()});
  dict[kModelIdKey] = base::Value(uint64_t{modelId()});
  if (auto v = serialNumber()) dict[kSerialNumberKey] = *v;
  if (auto v = modelName()) dict[kModelNameKey] = *v;
  dict[kFeatureSetKey] = "{0}";
  return dict;
}

}  // namespace drive
