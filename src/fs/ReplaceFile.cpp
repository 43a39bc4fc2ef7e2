#include "fs/ReplaceFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>

namespace fs {
namespace {

std::atomic<int> refusedOver{0};

int renameOver(int folder, const char* from, const char* to) {
  struct stat st;
  if (int code = refusedOver.load(std::memory_order_relaxed);
      code != 0 && fstatat(folder, to, &st, AT_SYMLINK_NOFOLLOW) == 0) {
    return code;
  }
  return renameat(folder, from, folder, to) == 0 ? 0 : errno;
}

bool exists(int folder, const std::string& name) {
  struct stat st;
  return fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

}  // namespace

std::string asideName(std::string_view name) {
  return std::string(kAsidePrefix) + std::string(name);
}

bool isAsideName(std::string_view name) {
  return name.size() > kAsidePrefix.size() && name.substr(0, kAsidePrefix.size()) == kAsidePrefix;
}

int replaceByRename(int folder, const std::string& temporary, const std::string& name,
                    const std::function<int()>& beforeAside) {
  int e = renameOver(folder, temporary.c_str(), name.c_str());
  if (e != EPERM && e != EACCES) return e;
  // Refused: the driver may refuse only to replace. Nothing to set aside
  // means the refusal was about the rename itself.
  if (!exists(folder, name)) return e;
  const std::string aside = asideName(name);
  // One left by a run that was cut short is settled first: it is either
  // this name's old file, put back now, or a copy of an older one.
  if (recoverAside(folder, aside) != 0) return e;
  if (beforeAside && beforeAside() != 0) return e;
  if (renameOver(folder, name.c_str(), aside.c_str()) != 0) return e;
  if (int named = renameOver(folder, temporary.c_str(), name.c_str())) {
    // The old file goes back; should even that fail, the next run does it.
    renameOver(folder, aside.c_str(), name.c_str());
    return named;
  }
  // A leftover here is removed by the next run.
  unlinkat(folder, aside.c_str(), 0);
  return 0;
}

int recoverAside(int folder, const std::string& aside, bool* restored) {
  if (restored) *restored = false;
  struct stat st;
  if (fstatat(folder, aside.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
    return errno == ENOENT ? 0 : errno;
  // Only a plain file is ever set aside: anything else at such a name is
  // not the exporter's.
  if (!S_ISREG(st.st_mode) || !isAsideName(aside)) return 0;
  const std::string name = aside.substr(kAsidePrefix.size());
  if (exists(folder, name)) return unlinkat(folder, aside.c_str(), 0) == 0 ? 0 : errno;
  if (errno != ENOENT) return errno;
  if (renameat(folder, aside.c_str(), folder, name.c_str()) != 0) return errno;
  if (restored) *restored = true;
  return 0;
}

void refuseRenameOverForTesting(int code) { refusedOver.store(code, std::memory_order_relaxed); }

}  // namespace fs
