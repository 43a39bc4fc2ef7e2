// The watch flag lives beside a destination's remembered playlists: each
// change keeps the other, and a flag of the wrong type watches nothing.
#include <gtest/gtest.h>

#include "fs/FileManager.h"
#include "session/RememberedChoices.h"
#include "support/TempDir.h"

namespace session {
namespace {

TEST(RememberedChoices, WatchAndPlaylistsKeepEachOther) {
  testsupport::TempDir dir;
  RememberedChoices choices(dir / "tessaline/remembered-playlists.json",
                            fs::FileManager::makePrivate());
  ASSERT_TRUE(choices.remember("uuid:A", {"P1"}));
  ASSERT_TRUE(choices.setWatched("uuid:A", true));
  ASSERT_TRUE(choices.remember("uuid:A", {"P2", "P3"}));
  ASSERT_TRUE(choices.setWatched("uuid:B", true));
  ASSERT_TRUE(choices.setWatched("uuid:B", false));
  EXPECT_TRUE(choices.watched("uuid:A"));
  EXPECT_EQ(choices.playlists("uuid:A"), (std::vector<std::string>{"P2", "P3"}));
  EXPECT_EQ(choices.watchedKeys(), std::vector<std::string>{"uuid:A"});
  EXPECT_FALSE(choices.playlists("uuid:B"));  // watched once, nothing ticked

  testsupport::writeFile(choices.file(),
                         R"({"destinations":{"uuid:C":{"watch":"yes"},"uuid:D":7}})");
  EXPECT_FALSE(choices.watched("uuid:C"));
  EXPECT_FALSE(choices.watched("uuid:D"));
  EXPECT_TRUE(choices.watchedKeys().empty());
}

}  // namespace
}  // namespace session
