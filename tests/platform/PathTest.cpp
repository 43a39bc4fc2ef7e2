// The one rule by which the program splits and joins paths.
#include <gtest/gtest.h>

#include "platform/Path.h"

TEST(Path, SplitsAndJoinsByOneRule) {
  struct Case {
    const char *path, *folder, *name, *parent;
  };
  for (const Case& c : std::initializer_list<Case>{{"/a/b/c", "/a/b", "c", "/a/b"},
                                                   {"/a/b/", "/a", "b", "/a/b"},
                                                   {"/c", "/", "c", "/"},
                                                   {"c", ".", "c", ""},
                                                   {"/", "/", "", "/"}}) {
    std::string folder, name;
    platform::splitPath(c.path, &folder, &name);
    EXPECT_EQ(folder, c.folder) << c.path;
    EXPECT_EQ(name, c.name) << c.path;
    EXPECT_EQ(platform::lastComponent(c.path), c.name) << c.path;
    EXPECT_EQ(platform::parentOf(c.path), c.parent) << c.path;
  }
  EXPECT_EQ(platform::joinPath("/media/x//", "//Music/a.mp3"), "/media/x/Music/a.mp3");
  EXPECT_EQ(platform::joinPath("/", "a"), "/a");
  EXPECT_EQ(platform::joinPath("/media/x/", ""), "/media/x");
  EXPECT_EQ(platform::pathComponents("//Users/me//Music/"),
            (std::vector<std::string>{"Users", "me", "Music"}));
}
