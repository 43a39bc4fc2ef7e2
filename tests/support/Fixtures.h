// The real files other programs wrote, kept beside the checkout in
// ../shared/fixtures (never copied into the repository). A test that
// needs one and finds it missing skips with a message that says where it
// looked, and fails when CI is set: a CI run that tests nothing of the
// real data must not pass as green.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace testsupport {

inline bool runningInCi() {
  const char* ci = std::getenv("CI");
  return ci != nullptr && *ci != '\0';
}

}  // namespace testsupport

#define TESSALINE_REQUIRE_FIXTURE(present, where)                                        \
  if (!(present)) {                                                                      \
    if (testsupport::runningInCi()) {                                                    \
      FAIL() << "fixture missing: " << (where) << " (CI is set, so this is a failure)"; \
    } else {                                                                             \
      GTEST_SKIP() << "fixture missing: " << (where);                                    \
    }                                                                                    \
  }
