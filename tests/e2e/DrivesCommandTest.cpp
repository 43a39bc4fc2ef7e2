// End to end: the built `tessaline` program on the fake hardware tree
// shipped in resources/, as a user would run it.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "base/Format.h"
#include "base/LocalizedStrings.h"
#include "support/TempDir.h"

namespace app {
namespace {

namespace stdfs = std::filesystem;

const stdfs::path kProgram = TESSALINE_EXECUTABLE;
const stdfs::path kTree = TESSALINE_SOURCE_DIR "/resources/fake-hardware/tessaline-drive";

base::LocalizedStrings englishTexts() {
  auto strings =
      base::LocalizedStrings::load(TESSALINE_SOURCE_DIR "/resources/Localizable.strings");
  return strings ? *strings : base::LocalizedStrings();
}

class DrivesCommand : public testing::Test {
 protected:
  void SetUp() override {
    if (!stdfs::exists(kProgram)) GTEST_SKIP() << "program not built: " << kProgram;
  }

  // Runs the program with a private config folder; returns its status.
  int run(const std::string& args, std::string* out) {
    std::string command = "env -u TESSALINE_FAKE_HARDWARE XDG_CONFIG_HOME='" + config_.string() +
                          "' TESSALINE_RESOURCES='" TESSALINE_SOURCE_DIR "/resources' '" +
                          kProgram.string() + "' " + args + " 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return -1;
    std::array<char, 4096> buf;
    size_t n;
    while ((n = fread(buf.data(), 1, buf.size(), pipe)) > 0) out->append(buf.data(), n);
    int status = pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  testsupport::TempDir dir_;
  const stdfs::path config_{dir_.path()};
};

TEST_F(DrivesCommand, OffersTheFat32VolumeAndExplainsTheReadOnlyNtfsOne) {
  std::string out;
  ASSERT_EQ(run("--fake-hardware '" + kTree.string() + "' drives --json", &out), 0) << out;
  auto json = nlohmann::json::parse(out);
  EXPECT_EQ(json["drives"], nlohmann::json::array({"sdb"}));
  ASSERT_EQ(json["volumes"].size(), 2u) << out;

  const auto& music = json["volumes"][0];
  EXPECT_EQ(music["title"], "TESSA MUSIC");
  EXPECT_EQ(music["path"], "/media/alex/TESSA MUSIC/");
  EXPECT_TRUE(music["enabled"].get<bool>());
  EXPECT_TRUE(music["selected"].get<bool>());  // first volume met, usable: remembered and chosen
  std::string tip = music["toolTip"];
  EXPECT_NE(tip.find("TESSA MUSIC"), std::string::npos) << tip;
  EXPECT_NE(tip.find("7.21 GB"), std::string::npos) << tip;   // free space
  EXPECT_NE(tip.find("14.89 GB"), std::string::npos) << tip;  // total size

  const auto& archive = json["volumes"][1];
  EXPECT_EQ(archive["title"], "ARCHIVE");
  EXPECT_FALSE(archive["enabled"].get<bool>());
  EXPECT_FALSE(archive["selected"].get<bool>());
  EXPECT_EQ(archive["toolTip"],
            base::format(englishTexts().lookup("TessalineDiskCantWriteNTFS"), "ARCHIVE"));
  EXPECT_EQ(json["explanation"], archive["toolTip"]);

  // Only looking (and at a fake machine): nothing is remembered.
  EXPECT_FALSE(stdfs::exists(config_ / "tessaline" / "preferences.plist"));
}

TEST_F(DrivesCommand, TextFormShowsEachItemAndTheExplanation) {
  std::string out;
  ASSERT_EQ(run("--fake-hardware '" + kTree.string() + "' drives", &out), 0);
  EXPECT_NE(out.find("* TESSA MUSIC  (can be chosen)"), std::string::npos) << out;
  EXPECT_NE(out.find("  ARCHIVE  (cannot be chosen)"), std::string::npos) << out;
  EXPECT_NE(out.find("Explanation: "), std::string::npos) << out;
}

// The same machine for a user without the right to send the adapter's
// drive raw commands: the drive is there but cannot be identified.
TEST_F(DrivesCommand, SaysWhyADriveBehindTheAdapterWasNotIdentified) {
  stdfs::path tree = config_ / "machine";
  stdfs::copy(kTree, tree, stdfs::copy_options::recursive | stdfs::copy_options::copy_symlinks);
  std::ofstream(tree / "smart" / "sdb" / "log-88", std::ios::trunc) << "EPERM\n";
  std::string why = base::format(englishTexts().lookup("TessalineDiskNotPermitted"), "/dev/sdb");
  std::string out;
  ASSERT_EQ(run("--fake-hardware '" + tree.string() + "' drives --json", &out), 0) << out;
  auto json = nlohmann::json::parse(out);
  EXPECT_TRUE(json["drives"].empty());
  EXPECT_EQ(json["unidentified"], nlohmann::json::parse(R"([{"drive": "sdb", "reason": )" +
                                                        nlohmann::json(why).dump() + "}]"));
  EXPECT_EQ(json["explanation"], why);
  out.clear();
  ASSERT_EQ(run("--fake-hardware '" + tree.string() + "' drives", &out), 0);
  EXPECT_NE(out.find("Not identified: sdb\n      " + why + "\n"), std::string::npos) << out;
}

TEST_F(DrivesCommand, MissingTreeIsAUsageError) {
  std::string out;
  EXPECT_EQ(run("--fake-hardware /nonexistent/tree drives", &out), 2);
}

TEST_F(DrivesCommand, TreeWithoutATessalineLeavesThePopupEmpty) {
  stdfs::path empty = config_ / "machine";
  stdfs::create_directories(empty / "sys" / "block");
  std::string out;
  ASSERT_EQ(run("--fake-hardware '" + empty.string() + "' drives --json", &out), 0);
  auto json = nlohmann::json::parse(out);
  EXPECT_TRUE(json["drives"].empty());
  EXPECT_TRUE(json["volumes"].empty());
  EXPECT_EQ(json["explanation"], englishTexts().lookup("NoTessalineFound"));
  EXPECT_FALSE(stdfs::exists(config_ / "tessaline"));  // nothing remembered
}

}  // namespace
}  // namespace app
