// Formatting, Unicode and the string table: the texts every log line and
// every path comparison depend on.
#include <gtest/gtest.h>

#include <cmath>

#include "base/Format.h"
#include "base/LocalizedStrings.h"
#include "base/Text.h"
#include "base/Unicode.h"
#include "base/Value.h"

using base::format;
namespace unicode = base::unicode;

TEST(Format, ObjectAndNumberPlaceholders) {
  EXPECT_EQ(
      format("exeception %@ Exception: %@ Reason: %@", "walk", "NSGenericException", "mutated"),
      "exeception walk Exception: NSGenericException Reason: mutated");
  EXPECT_EQ(format("%@ (%d)", std::string("id7"), 3), "id7 (3)");
  EXPECT_EQ(format("%llu", UINT64_MAX), "18446744073709551615");
  EXPECT_EQ(format("%u of %d", 4u, -2), "4 of -2");
  EXPECT_EQ(format("%.1f GB", 500.06), "500.1 GB");
  EXPECT_EQ(format("%@", 42), "42");
  EXPECT_EQ(format("100%% done"), "100% done");
}

TEST(Format, PositionalArgumentsReorder) {
  EXPECT_EQ(format("%2$@ before %1$@", "a", "b"), "b before a");
  EXPECT_EQ(format("%1$@/%1$@", "x"), "x/x");
}

TEST(Format, MissingOrMismatchedArgumentsAreSafe) {
  EXPECT_EQ(format("%@ and %@", "one"), "one and (null)");
  EXPECT_EQ(format("%d", "12"), "12");
  EXPECT_EQ(format("%@", base::Value()), "(null)");
  EXPECT_EQ(format("trailing %"), "trailing %");
  EXPECT_EQ(format("%k stays"), "%k stays");
}

TEST(Format, RealsOutsideTheIntegerRangeSaturate) {
  EXPECT_EQ(format("%d", 1e300), "9223372036854775807");
  EXPECT_EQ(format("%d", -1e300), "-9223372036854775808");
  EXPECT_EQ(format("%d|%u", std::nan(""), std::nan("")), "0|0");
  EXPECT_EQ(format("%llu", 1e20), "18446744073709551615");
}

TEST(Format, LongFieldsComeWholeAndAbsurdOnesStayAsWritten) {
  EXPECT_EQ(format("%.300f", 1e300).size(), 602u);  // 301 digits, the point, 300 decimals
  EXPECT_EQ(format("[%.2000f|%99999999999d] %d", 1.0, 7), "[%.2000f|%99999999999d] 1");
}

TEST(Unicode, DecomposesPrecomposedText) {
  EXPECT_EQ(unicode::nfd("Beyonc\xC3\xA9"), "Beyonce\xCC\x81");
  EXPECT_EQ(unicode::nfd("Beyonce\xCC\x81"), "Beyonce\xCC\x81");
  EXPECT_EQ(unicode::nfd("plain/ascii"), "plain/ascii");
  // Hangul syllables decompose algorithmically.
  EXPECT_EQ(unicode::nfd("\xED\x95\x9C"), "\xE1\x84\x92\xE1\x85\xA1\xE1\x86\xAB");
}

TEST(Unicode, UpperUsesFullCaseMapping) {
  EXPECT_EQ(unicode::upper("stra\xC3\x9F"
                           "e"),
            "STRASSE");
  EXPECT_EQ(unicode::upper("folder.jpg"), "FOLDER.JPG");
  EXPECT_EQ(unicode::upper("e\xCC\x81t\xC3\xA9"), "E\xCC\x81T\xC3\x89");
}

TEST(Unicode, InvalidUtf8IsLeftAsItIs) {
  std::string bad = "caf\xE9.mp3";  // Latin-1 bytes in a Linux file name
  EXPECT_FALSE(unicode::isValidUtf8(bad));
  EXPECT_EQ(unicode::nfd(bad), bad);
  EXPECT_EQ(unicode::upper(bad), bad);
}

TEST(Unicode, TrimsBlanksAndTabsButNotLineBreaks) {
  EXPECT_EQ(unicode::trimBlanksAndTabs(" \t 123\t "), "123");
  EXPECT_EQ(unicode::trimBlanksAndTabs("\xC2\xA0"
                                       "42"
                                       "\xE2\x80\x83"),
            "42");  // no-break and em space
  EXPECT_EQ(unicode::trimBlanksAndTabs("\n7\n"), "\n7\n");
  EXPECT_EQ(unicode::trimBlanksAndTabs("   "), "");
}

TEST(Value, BooleanValueOfScriptObjects) {
  using base::Value;
  const std::pair<Value, bool> cases[] = {
      {Value(true), true},  {Value(0), false},     {Value(2.5), true},
      {Value("YES"), true}, {Value("true"), true}, {Value("  -0012"), true},
      {Value("no"), false}, {Value("000"), false}, {Value(), false}};
  for (size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(cases[i].first.boolValue(), cases[i].second) << "case " << i;
  }
}

TEST(Value, IdentifierTextOfNumbers) {
  using base::Value;
  EXPECT_EQ(*Value(int64_t{1234}).identifierText(), "1234");
  EXPECT_EQ(*Value(int64_t{-1}).identifierText(), "18446744073709551615");
  EXPECT_EQ(*Value(3.9).identifierText(), "3");
  EXPECT_EQ(*Value(" 12 ").identifierText(), " 12 ");
  EXPECT_FALSE(Value(true).identifierText());
  EXPECT_FALSE(Value().identifierText());
}

// Kernel, udev and file-URL escapes: what each decodes, and the one rule
// for a malformed percent escape (the whole path is refused).
TEST(TextEscapes, DecodeOrRefuse) {
  namespace text = base::text;
  EXPECT_EQ(text::unescapeOctal("a\\040b\\011c\\134"), "a b\tc\\");
  EXPECT_EQ(text::unescapeOctal("trailing\\04 \\400"), "trailing\\04 \\400");
  EXPECT_EQ(text::unescapeHex("My\\x20Disk\\x2"), "My Disk\\x2");
  struct Case {
    const char* encoded;
    std::optional<std::string> decoded;
  } cases[] = {
      {"/a/b%20c%2fd", "/a/b c/d"}, {"/Caf%C3%A9", "/Caf\xC3\xA9"}, {"/100%25", "/100%"},
      {"/a%zz", std::nullopt},      {"/a%4", std::nullopt},         {"/a%", std::nullopt},
      {"/a%00b", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(text::percentDecode(c.encoded), c.decoded) << c.encoded;
  EXPECT_TRUE(text::startsWithNoCase("FILE://x", "file:"));
  EXPECT_FALSE(text::startsWithNoCase("fil", "file:"));
}

TEST(LocalizedStrings, ParsesCommentsEscapesAndDefaults) {
  std::string error;
  auto table = base::LocalizedStrings::parse(
      "/* sizes */\n\"KBFormat\" = \"%.1f KB\";\n// note\n\"Quote\" = \"say \\\"hi\\\"\\n\";\n"
      "\"Uni\" = \"\\U00e9\";",
      &error);
  ASSERT_TRUE(table) << error;
  EXPECT_EQ(table->lookup("KBFormat"), "%.1f KB");
  EXPECT_EQ(table->lookup("Quote"), "say \"hi\"\n");
  EXPECT_EQ(table->lookup("Uni"), "\xC3\xA9");
  EXPECT_EQ(table->lookup("Missing"), "Missing");
  EXPECT_EQ(table->lookup("Missing", "Unknown File System"), "Unknown File System");
}

TEST(LocalizedStrings, ReadsUtf16WithByteOrderMark) {
  std::string be("\xFE\xFF", 2);
  for (char c : std::string("\"k\" = \"v\";")) {
    be.push_back('\0');
    be.push_back(c);
  }
  auto table = base::LocalizedStrings::parse(be, nullptr);
  ASSERT_TRUE(table);
  EXPECT_EQ(table->lookup("k"), "v");
}

TEST(LocalizedStrings, ReportsTheLineOfASyntaxError) {
  std::string error;
  EXPECT_FALSE(base::LocalizedStrings::parse("\"a\" = \"b\";\n\"c\" \"d\";", &error));
  EXPECT_EQ(error, "line 2: expected '=' after the key");
}
