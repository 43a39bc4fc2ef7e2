// A fresh folder under $TMPDIR (or /tmp) for one test, removed with
// everything in it when the object goes. Helpers write and read small
// files by path.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>

namespace testsupport {

class TempDir {
 public:
  TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/tessaline-test-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    // Give back permissions that a test took away, so that all can go.
    for (auto it = std::filesystem::recursive_directory_iterator(
             path_, std::filesystem::directory_options::skip_permission_denied, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
      if (it->is_directory(ec) && !it->is_symlink(ec)) chmod(it->path().c_str(), 0755);
    }
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }

 private:
  std::string path_;
};

// Writes `bytes` to `path`, creating the parent folders.
inline void writeFile(const std::string& path, const std::string& bytes) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  if (!out) throw std::runtime_error("cannot write " + path);
}

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

inline bool exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// The smallest library an export can copy from: the track "A"
// (folder/music/a.mp3, 11 bytes) in the playlist "Mix" (ID P1), written as
// folder/Library.xml.
inline void writeOneTrackLibrary(const std::string& folder) {
  writeFile(folder + "/music/a.mp3", "ID3 a track");
  writeFile(
      folder + "/Library.xml",
      "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>Tracks</key><dict><key>1</key>"
      "<dict><key>Track ID</key><integer>1</integer><key>Persistent ID</key><string>T1</string>"
      "<key>Name</key><string>A</string><key>Location</key><string>file://" +
          folder + "/music/a.mp3" +
          "</string></dict></dict><key>Playlists</key><array><dict><key>Name</key><string>Mix"
          "</string><key>Playlist Persistent ID</key><string>P1</string><key>Playlist Items"
          "</key><array><dict><key>Track ID</key><integer>1</integer></dict></array></dict>"
          "</array></dict></plist>");
}

#ifdef TESSALINE_SOURCE_DIR
// The bundled sample library (tracks and their files) written to `folder`.
inline bool makeSampleLibrary(const std::string& folder) {
  return std::system(("python3 '" TESSALINE_SOURCE_DIR "/scripts/make_sample_library.py' '" +
                      folder + "' >/dev/null")
                         .c_str()) == 0;
}
#endif

}  // namespace testsupport
