// The one rule by which the program splits and joins paths.
#include <gtest/gtest.h>

#include "base/Path.h"

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
    base::splitPath(c.path, &folder, &name);
    EXPECT_EQ(folder, c.folder) << c.path;
    EXPECT_EQ(name, c.name) << c.path;
    EXPECT_EQ(base::lastComponent(c.path), c.name) << c.path;
    EXPECT_EQ(base::parentOf(c.path), c.parent) << c.path;
  }
  EXPECT_EQ(base::joinPath("/media/x//", "//Music/a.mp3"), "/media/x/Music/a.mp3");
  EXPECT_EQ(base::joinPath("/", "a"), "/a");
  EXPECT_EQ(base::joinPath("/media/x/", ""), "/media/x");
  EXPECT_EQ(base::pathComponents("//Users/me//Music/"),
            (std::vector<std::string>{"Users", "me", "Music"}));
}
