// Looks up many items at once (existence, type, and size where wanted),
// the engine behind PosixFileManager::attributesOfItems.
//
// Items are grouped by folder through a hash table of their own; each
// folder is opened once and its items are looked at relative to it, and
// where only existence and type are wanted one listing of the folder
// answers for all its items. Folders are shared out among `threads`
// threads (the calling one included).
//
// Thread: no shared state; safe from any thread. The queries' text must
// stay alive during the call.
// Errors: an item that cannot be looked at is answered as absent; paths
// the engine does not group (relative, "/", trailing slash, with a NUL)
// go to `single`, which answers as one lookup would.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "fs/FileManager.h"

namespace fs {

using SingleLookup = std::function<std::optional<FileAttributes>(const std::string& path)>;

// The type of an item from a listing entry's type (DT_UNKNOWN gives
// kOther: ask stat then).
FileType typeOfDirent(unsigned char type);
// The type of an item from its stat mode.
FileType typeOfMode(mode_t mode);
// Type, size and modification time from a stat result.
FileAttributes attributesOfStat(const struct stat& st);
// The entries of the open folder `dir` in the order the file system gives
// them, without "." and "..", typed by the listing (by a stat of the
// entry where the file system gives no type): 0, or an errno value.
int readFolder(int dir, std::vector<DirectoryEntry>* entries);

class FolderListings;

// At most UINT32_MAX - 1 queries (item numbers are kept in 32 bits).
// With `keep`, every folder of existence-only items, or of items that ask
// for it (keepListing), is listed (whatever its count of items) and its
// listing kept there, for a walk that would list it again.
std::vector<std::optional<FileAttributes>> lookUpItems(
    const std::vector<FileManager::ItemQuery>& queries, unsigned threads,
    const SingleLookup& single, FolderListings* keep = nullptr,
    const std::function<void(int code, std::string_view path)>& noteFailure = nullptr);

}  // namespace fs
