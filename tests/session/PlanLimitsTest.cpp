// The plan against the drive's file system: what FAT or exFAT cannot hold
// is named and left out, the rest is charged in the drive's clusters.
#include <gtest/gtest.h>

#include "fs/DriveLimits.h"
#include "session/Plan.h"

using namespace session;

TEST(PlanLimits, WhatTheFileSystemCannotHoldIsLeftOutAndSpaceIsCountedInClusters) {
  fs::DriveLimits fat{"FAT32", fs::kFat32MaxFileBytes, 255, true, false, 32768, {}};
  fs::DriveLimits fusefat = fat;
  fusefat.asciiNamesOnly = true;
  fs::DriveLimits ext4;                      // names in bytes, no file size limit, 1-byte units
  const std::string longUtf8(200 * 2, 'x');  // 400 bytes
  std::string accents;
  for (int i = 0; i < 200; ++i) accents += "\xC3\xA9";  // 200 UTF-16 units, 400 bytes
  struct Case {
    const char* what;
    fs::DriveLimits limits;
    uint64_t bytes;
    std::string destination;
    std::optional<Refused::Why> refused;
  };
  const uint64_t g4 = uint64_t{1} << 32;
  const Case cases[] = {
      {"4 GiB on FAT", fat, g4, "A/a.mov", Refused::Why::kTooLarge},
      {"4 GiB - 1 on FAT", fat, g4 - 1, "A/a.mov", std::nullopt},
      {"4 GiB elsewhere", ext4, g4, "A/a.mov", std::nullopt},
      {"200 accents on FAT", fat, 1, "A/" + accents, std::nullopt},
      {"200 accents elsewhere", ext4, 1, "A/" + accents, Refused::Why::kNameTooLong},
      {"an accent through fusefat", fusefat, 1, "Caf\xC3\xA9/a.mp3", Refused::Why::kNameNotAscii},
      {"a long folder", fat, 1, longUtf8 + longUtf8 + "/a", Refused::Why::kNameTooLong},
      {"a path past PATH_MAX", ext4, 1, std::string(4000, 'x').replace(200, 1, "/"),
       Refused::Why::kPathTooLong},
  };
  for (const Case& c : cases) {
    Snapshot snapshot{{{"T1", "/s/1", c.destination, true}, {"T2", "/s/2", "B/b.mp3", true}},
                      {{"P", "P", {0, 1}}}};
    Observed observed;
    observed.onDrive = {0, 0};
    observed.sourceBytes = {c.bytes, 10};
    Choice choice{{0}, true, c.limits, 100};
    Plan plan = makePlan(snapshot, observed, choice);
    ASSERT_EQ(plan.refused.size(), c.refused ? 1u : 0u) << c.what;
    if (c.refused) {
      EXPECT_EQ(plan.refused[0].why, *c.refused) << c.what;
    }
    EXPECT_EQ(plan.copies.size(), c.refused ? 1u : 2u) << c.what;
    EXPECT_EQ(plan.bytesToCopy, (c.refused ? 0 : c.bytes) + 10) << c.what;
  }
  // 20,000 files of 2 KB take 20,000 clusters of 32 KiB (640,000 KiB).
  Snapshot many;
  Observed seen;
  many.playlists.push_back({"P", "P", {}});
  for (uint32_t i = 0; i < 20000; ++i) {
    many.tracks.push_back({"T" + std::to_string(i), "/s", "f" + std::to_string(i), true});
    many.playlists[0].items.push_back(i);
  }
  seen.onDrive.assign(20000, 0);
  seen.sourceBytes.assign(20000, 2000);
  Plan plan = makePlan(many, seen, Choice{{0}, true, fat, 1});
  EXPECT_EQ(plan.bytesToCopy, 40'000'000u);
  EXPECT_EQ(plan.spaceNeeded, 20000u * 32768u);
}

TEST(PlanLimits, BootSectorsTellFatFromExFat) {
  auto sector = [](size_t at, std::string_view text) {
    std::string s(512, '\0');
    s.replace(at, text.size(), text);
    s[510] = '\x55';
    s[511] = '\xAA';
    return s;
  };
  EXPECT_EQ(fs::fileSystemOfBootSector(sector(3, "EXFAT   ")), "exFAT");
  EXPECT_EQ(fs::fileSystemOfBootSector(sector(82, "FAT32   ")), "FAT32");
  EXPECT_EQ(fs::fileSystemOfBootSector(sector(54, "FAT16   ")), "FAT");
  EXPECT_EQ(fs::fileSystemOfBootSector(sector(3, "NTFS    ")), "");
  EXPECT_EQ(fs::fileSystemOfBootSector(std::string(512, '\0')), "");
}
