// A real temporary library folder and drive folder for the destination,
// copy and totals tests.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "CatalogueFixture.h"

namespace testsupport {

class DestinationTest : public CatalogueTest {
 protected:
  void SetUp() override {
    CatalogueTest::SetUp();
    char tmpl[] = "/tmp/tessaline-dest-XXXXXX";
    base_ = mkdtemp(tmpl);
    std::filesystem::create_directories(base_ + "/lib");
    std::filesystem::create_directories(base_ + "/drive");
  }
  void TearDown() override {
    CatalogueTest::TearDown();
    std::error_code ec;
    std::filesystem::remove_all(base_, ec);
  }

  std::string lib(const std::string& rel) const { return base_ + "/lib/" + rel; }
  std::string drive(const std::string& rel = "") const {
    return base_ + "/drive" + (rel.empty() ? "" : "/" + rel);
  }

  // Writes `size` bytes at `path`, making its folders.
  static void writeFile(const std::string& path, size_t size, char fill = 'x') {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << std::string(size, fill);
  }
  static std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  // A track whose source of `size` bytes lies in the library folder and
  // whose copy goes to the same relative path on the drive.
  TrackSpec source(const std::string& id, size_t size, bool enabled = true) {
    std::string rel = "Artist/" + id + ".mp3";
    writeFile(lib(rel), size);
    return TrackSpec{id, enabled, lib(rel), rel};
  }

  std::string base_;
};

}  // namespace testsupport
