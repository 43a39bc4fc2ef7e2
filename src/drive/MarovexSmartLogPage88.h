// MarovexLog88: a view of the vendor SMART log page 0x88 (one 512-byte
// sector) by which a Tessaline drive behind a tunnelled adapter names
// itself. The view is laid over the caller's buffer; it owns nothing and
// must not outlive the buffer.
//
// Layout (offsets in bytes):
//   17..20  signature, ASCII "Rock"
//   23      length of the vendor identification text (at 24)
//   88..89  vendor ID, big-endian
//   92..99  serial number text, always 8 bytes
//   177..178 model ID, big-endian
//   179     model name text, length at 195
// Texts are UTF-8 without terminator; a text that is not valid UTF-8 is
// left out of the identity dictionary.
//
// Thread: a read-only view; safe wherever its buffer is.
// Errors: none thrown; see textsFitTheirFields() and
// modelNameFitsItsField() for pages whose lengths run into the
// neighbouring fields.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>

#include "base/Value.h"

namespace drive {

class MarovexLog88 {
 public:
  static constexpr size_t kPageSize = 512;
  static constexpr uint8_t kLogAddress = 0x88;

  static constexpr const char* kVendorIdentificationKey = "Vendor Identification";
  static constexpr const char* kVendorIdKey = "Marovex_Vendor_ID";
  static constexpr const char* kModelIdKey = "Marovex_Model_ID";
  static constexpr const char* kSerialNumberKey = "Marovex_Serial_Number";
  static constexpr const char* kModelNameKey = "Marovex_Model_Name";
  static constexpr const char* kFeatureSetKey = "Marovex_Feature_Set";

  explicit MarovexLog88(std::span<const uint8_t, kPageSize> page) : page_(page) {}

  // Bytes 17..20 are exactly "Rock".
  bool hasSignature() const;

  // The vendor text fits in its 64 bytes before the vendor ID and the
  // model name in its 16 bytes before its own length byte. A page that
  // fails this is corrupt: its texts would swallow other fields.
  bool textsFitTheirFields() const;
  // The model name alone fits its 16 bytes: what a reader of the model
  // name only needs, whatever the vendor text's length byte says.
  bool modelNameFitsItsField() const;

  uint16_t vendorId() const { return bigEndian16(88); }
  uint16_t modelId() const { return bigEndian16(177); }
  std::optional<std::string> vendorIdentification() const { return text(24, page_[23]); }
  std::optional<std::string> serialNumber() const { return text(92, 8); }
  std::optional<std::string> modelName() const { return text(179, page_[195]); }

  // "Vendor Identification", "Marovex_Vendor_ID", "Marovex_Model_ID",
  // "Marovex_Serial_Number", "Marovex_Model_Name" and
  // "Marovex_Feature_Set" (always "{0}"); texts that are not valid UTF-8
  // are absent.
  std::map<std::string, base::Value> driveDictionary() const;

 private:
  uint16_t bigEndian16(size_t at) const {
    return static_cast<uint16_t>(page_[at] << 8 | page_[at + 1]);
  }
  std::optional<std::string> text(size_t at, size_t length) const;

  std::span<const uint8_t, kPageSize> page_;
};

}  // namespace drive
