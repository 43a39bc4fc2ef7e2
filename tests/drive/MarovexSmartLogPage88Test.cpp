#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "drive/MarovexSmartLogPage88.h"

namespace drive {
namespace {

using Page = std::array<uint8_t, 512>;

Page makePage(const std::string& vendor, const std::string& model, const char* signature = "Rock") {
  Page p{};
  std::memcpy(p.data() + 17, signature, 4);
  p[23] = static_cast<uint8_t>(vendor.size());
  std::memcpy(p.data() + 24, vendor.data(), vendor.size());
  p[88] = 0x12;
  p[89] = 0x34;
  std::memcpy(p.data() + 92, "SN000042", 8);
  p[177] = 0xAB;
  p[178] = 0xCD;
  std::memcpy(p.data() + 179, model.data(), std::min<size_t>(model.size(), 16));
  p[195] = static_cast<uint8_t>(model.size());
  return p;
}

std::string text(const std::map<std::string, base::Value>& d, const char* key) {
  auto it = d.find(key);
  return it != d.end() && it->second.string() ? *it->second.string() : "<absent>";
}

TEST(MarovexLog88, DecodesEveryFieldOfTheDictionary) {
  Page p = makePage("Marovex Inc.  ", "Vextra Tessaline");
  MarovexLog88 page(p);
  EXPECT_TRUE(page.hasSignature());
  EXPECT_TRUE(page.textsFitTheirFields());
  auto d = page.driveDictionary();
  EXPECT_EQ(text(d, "Vendor Identification"), "Marovex Inc.  ");  // trailing blanks kept
  EXPECT_EQ(d.at("Marovex_Vendor_ID").unsignedValue(), 0x1234u);
  EXPECT_EQ(d.at("Marovex_Model_ID").unsignedValue(), 0xABCDu);
  EXPECT_EQ(text(d, "Marovex_Serial_Number"), "SN000042");
  EXPECT_EQ(text(d, "Marovex_Model_Name"), "Vextra Tessaline");
  EXPECT_EQ(text(d, "Marovex_Feature_Set"), "{0}");
  EXPECT_EQ(d.size(), 6u);
}

TEST(MarovexLog88, ZeroLengthsGiveEmptyTexts) {
  Page p{};
  auto d = MarovexLog88(p).driveDictionary();
  EXPECT_EQ(text(d, "Vendor Identification"), "");
  EXPECT_EQ(text(d, "Marovex_Model_Name"), "");
  EXPECT_EQ(d.at("Marovex_Vendor_ID").unsignedValue(), 0u);
}

TEST(MarovexLog88, LongLengthsStayInsideThePageButMarkItCorrupt) {
  Page p{};
  std::memset(p.data() + 24, 'v', 255);
  p[23] = 255;
  MarovexLog88 page(p);
  EXPECT_EQ(page.vendorIdentification()->size(), 255u);
  EXPECT_FALSE(page.textsFitTheirFields());

  Page q = makePage("ok", "Vextra Tessaline");
  q[195] = 17;  // one byte past the model's room: would swallow the length byte
  EXPECT_FALSE(MarovexLog88(q).textsFitTheirFields());
  q[195] = 16;
  q[23] = 64;
  EXPECT_TRUE(MarovexLog88(q).textsFitTheirFields());
  q[23] = 65;
  EXPECT_FALSE(MarovexLog88(q).textsFitTheirFields());
  EXPECT_TRUE(MarovexLog88(q).modelNameFitsItsField());  // the vendor text is not the model's
}

TEST(MarovexLog88, InvalidUtf8TextIsAbsent) {
  Page p = makePage("ok", "Vextra Tessaline");
  p[180] = 0xFF;
  auto d = MarovexLog88(p).driveDictionary();
  EXPECT_EQ(d.count("Marovex_Model_Name"), 0u);
  EXPECT_EQ(text(d, "Vendor Identification"), "ok");
}

}  // namespace
}  // namespace drive
