// Giving a finished temporary the name of the file it replaces, also on
// file systems that refuse to rename over an existing file (FAT through
// some FUSE drivers answers EPERM or EACCES). There the old file is first
// renamed aside (kAsidePrefix + its name), the temporary takes the name
// and the aside file goes. At every moment the old file or the new one
// stands under the name or the aside name; recoverAside() finishes what a
// kill or a power cut interrupted: an aside file whose name is empty is
// put back, one whose name holds the new file is removed.
//
// Thread: any thread; writers of one name are kept apart by the caller
// (the destination's lock).
// Errors: errno values; 0 is success. A failed replacement leaves the old
// file under its name.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace fs {

inline constexpr std::string_view kAsidePrefix = ".tessaline-aside-";

// The aside name of `name`, and whether a name is one.
std::string asideName(std::string_view name);
bool isAsideName(std::string_view name);

// Renames `temporary` over `name`, both in the open folder `folder`.
// Where the driver refuses to rename over a file, the old one is set
// aside first, once `beforeAside` (when given) has noted it and said 0.
int replaceByRename(int folder, const std::string& temporary, const std::string& name,
                    const std::function<int()>& beforeAside = nullptr);

// Settles the aside file `aside` of the open folder `folder`, if there is
// one: put back under its name when that is empty (*restored set), else
// removed. 0 when there was nothing to do or it is done.
int recoverAside(int folder, const std::string& aside, bool* restored = nullptr);
// The same for the aside file of `name`, before `name` is read.
inline int recoverAsideOf(int folder, std::string_view name) {
  return recoverAside(folder, asideName(name));
}

// Tests only: every rename over an existing file fails with `code`, as
// such a driver answers; 0 restores the system's rename.
void refuseRenameOverForTesting(int code);

}  // namespace fs
