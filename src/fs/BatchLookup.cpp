#include "fs/BatchLookup.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <linux/magic.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "base/TextHash.h"
#include "fs/FolderListings.h"

namespace fs {

namespace {

// ZFS lives outside the kernel tree, so <linux/magic.h> lacks it.
constexpr unsigned long kZfsSuperMagic = 0x2FC12FC1;

// Whether a name that a folder's listing lacks may still be found by
// looking it up: on file systems that compare names without regard to
// case (or to Unicode composition), and in case-folding ext4 folders.
bool lookupMayMatchOtherNames(int dir) {
  struct statfs fs;
  if (fstatfs(dir, &fs) != 0) return true;
  switch (static_cast<unsigned long>(fs.f_type)) {
    case EXT4_SUPER_MAGIC:  // ext2/3/4 share it
    case XFS_SUPER_MAGIC:
    case BTRFS_SUPER_MAGIC:
    case TMPFS_MAGIC:
    case OVERLAYFS_SUPER_MAGIC:
    case kZfsSuperMagic:
    case F2FS_SUPER_MAGIC: {
      unsigned int flags = 0;
      if (ioctl(dir, FS_IOC_GETFLAGS, &flags) != 0) return false;
      return (flags & FS_CASEFOLD_FL) != 0;
    }
    default:
      return true;  // vfat, exfat, ntfs, hfs+, fuse, network shares...
  }
}

// The type of a listing entry, from a stat of it where the listing has
// none.
FileType typeOfEntry(int dir, const struct dirent64& entry) {
  if (entry.d_type != DT_UNKNOWN) return typeOfDirent(entry.d_type);
  struct stat st;
  if (fstatat(dir, entry.d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) return FileType::kOther;
  return typeOfMode(st.st_mode);
}

// Calls `each` with every entry of the open folder `dir` but "." and "..";
// 0, or the errno value of a failed read.
template <class Each>
int forEachEntry(int dir, Each each) {
  alignas(struct dirent64) char buffer[32768];
  for (;;) {
    ssize_t got = getdents64(dir, buffer, sizeof buffer);
    if (got < 0) return errno;
    if (got == 0) return 0;
    for (ssize_t at = 0; at < got;) {
      auto* entry = reinterpret_cast<struct dirent64*>(buffer + at);
      at += entry->d_reclen;
      std::string_view name(entry->d_name);
      if (name == "." || name == "..") continue;
      each(name, *entry);
    }
  }
}

// A folder's names and their entry types, read in one pass and kept in
// one buffer; the buffers are reused from one folder to the next.
class FolderListing {
 public:
  // False when the folder cannot be read; the listing is then unusable.
  // With `inOrder`, the entries also go there as read, typed as
  // contentsOfDirectoryAtPath types them.
  bool read(int dir, std::vector<DirectoryEntry>* inOrder) {
    names_.clear();
    entries_.clear();
    int e = forEachEntry(dir, [&](std::string_view name, const struct dirent64& entry) {
      entries_.push_back(Entry{names_.size(), name.size(), entry.d_type});
      names_.append(name);
      if (inOrder) inOrder->push_back(DirectoryEntry{std::string(name), typeOfEntry(dir, entry)});
    });
    if (e != 0) return false;
    std::sort(entries_.begin(), entries_.end(),
              [this](const Entry& a, const Entry& b) { return nameOf(a) < nameOf(b); });
    return true;
  }

  // The entry type of `name` (DT_UNKNOWN where the file system gives
  // none), or none when the folder lacks the name.
  std::optional<unsigned char> find(std::string_view name) const {
    auto it =
        std::lower_bound(entries_.begin(), entries_.end(), name,
                         [this](const Entry& e, std::string_view n) { return nameOf(e) < n; });
    if (it == entries_.end() || nameOf(*it) != name) return std::nullopt;
    return it->type;
  }

 private:
  struct Entry {
    size_t offset;
    size_t length;
    unsigned char type;
  };
  std::string_view nameOf(const Entry& e) const {
    return std::string_view(names_).substr(e.offset, e.length);
  }

  std::string names_;
  std::vector<Entry> entries_;
};

// An open-addressing table from folder texts (and whether sizes are
// wanted) to group numbers, sized to stay at most half full.
class FolderTable {
 public:
  // The group of `folder`, or `fresh` (then recorded) when it has none;
  // `same(g)` tells whether group g is the one looked for.
  template <class Same>
  uint32_t find(std::string_view folder, bool needSize, size_t fresh, Same same) {
    if (2 * (used_ + 1) > slots_.size()) grow();
    size_t hash = (hasher_(folder) & ~size_t{1}) | (needSize ? 1 : 0);
    size_t mask = slots_.size() - 1;
    for (size_t at = hash & mask;; at = (at + 1) & mask) {
      Slot& slot = slots_[at];
      if (slot.group == kEmpty) {
        slot = Slot{hash, static_cast<uint32_t>(fresh)};
        ++used_;
        return slot.group;
      }
      if (slot.hash == hash && same(slot.group)) return slot.group;
    }
  }

 private:
  static constexpr uint32_t kEmpty = UINT32_MAX;
  struct Slot {
    size_t hash = 0;
    uint32_t group = kEmpty;
  };
  void grow() {
    std::vector<Slot> old(std::max<size_t>(64, 2 * slots_.size()));
    old.swap(slots_);
    size_t mask = slots_.size() - 1;
    for (const Slot& slot : old) {
      if (slot.group == kEmpty) continue;
      size_t at = slot.hash & mask;
      while (slots_[at].group != kEmpty) at = (at + 1) & mask;
      slots_[at] = slot;
    }
  }

  std::hash<std::string_view> hasher_;
  std::vector<Slot> slots_;
  size_t used_ = 0;
};

}  // namespace

// Items are grouped by folder (and by whether their size is wanted); each
// folder is opened once and its items are looked at relative to it, so
// the kernel walks the folder's path once rather than once per item.
// When only existence and type are wanted, one listing of a folder
// answers for all its items (a name it lacks is still looked up where the
// file system may match it under another spelling). Folders are shared
// out among the threads; since the work is mostly waiting on the kernel,
// more threads than cores may pay.
std::vector<std::optional<FileAttributes>> lookUpItems(
    const std::vector<FileManager::ItemQuery>& queries, unsigned threads,
    const SingleLookup& single, FolderListings* keep,
    const std::function<void(int code, std::string_view path)>& noteFailure) {
  std::vector<std::optional<FileAttributes>> out(queries.size());
  auto failed = [&](int code, std::string_view path) {
    if (noteFailure) noteFailure(code, path);
  };
  // The folder is the text before the last slash, the name the rest.
  // Items are grouped by folder through a hash table of the folders met,
  // then laid out group after group (each group in the order given). The
  // layout holds only item numbers: fresh memory is costly to touch.
  struct Group {
    std::string_view folder;
    bool needSize;
    bool keepListing = false;
    size_t begin = 0;  // in `ordered`, once laid out
    size_t end = 0;
  };
  auto slashOf = [](std::string_view p) {
    const void* last = p.empty() ? nullptr : memrchr(p.data(), '/', p.size());
    return last ? static_cast<size_t>(static_cast<const char*>(last) - p.data())
                : std::string_view::npos;
  };
  std::vector<uint32_t> groupOf(queries.size());
  std::vector<Group> groups;
  FolderTable table;
  constexpr uint32_t kAlone = UINT32_MAX;  // answered one by one
  for (size_t i = 0; i < queries.size(); ++i) {
    std::string_view p = queries[i].path;
    size_t slash = slashOf(p);
    // "/", relative and trailing-slash paths, and those that a NUL cuts
    // short, are answered as one lookup would answer them.
    if (p.empty() || p.back() == '/' || slash == std::string_view::npos || slash == 0 ||
        p.find('\0') != std::string_view::npos) {
      out[i] = single(std::string(p));
      groupOf[i] = kAlone;
      continue;
    }
    std::string_view folder = p.substr(0, slash);
    bool needSize = queries[i].needSize;
    uint32_t g = table.find(folder, needSize, groups.size(), [&](uint32_t candidate) {
      return groups[candidate].needSize == needSize && groups[candidate].folder == folder;
    });
    if (g == groups.size()) groups.push_back(Group{folder, needSize});
    groups[g].keepListing = groups[g].keepListing || queries[i].keepListing;
    ++groups[g].end;  // a count until laid out
    groupOf[i] = g;
  }
  size_t at = 0;
  for (auto& group : groups) {
    size_t count = group.end;
    group.begin = group.end = at;
    at += count;
  }
  std::vector<uint32_t> ordered(at);  // query numbers, group after group
  for (size_t i = 0; i < queries.size(); ++i) {
    if (groupOf[i] != kAlone) ordered[groups[groupOf[i]].end++] = static_cast<uint32_t>(i);
  }
  std::atomic<size_t> next{0};
  auto work = [&] {
    FolderListing listing;
    std::vector<DirectoryEntry> inOrder;  // what is kept, as read
    std::string folder, name;             // NUL-terminated copies for the system calls
    // Folders this thread found missing, and those above them that are
    // missing too: a drive's first export asks about twenty thousand album
    // folders below one music folder that is not there yet.
    base::TextSet gone;
    auto underGone = [&](std::string_view path) {
      if (gone.count(path)) return true;
      for (size_t slash = slashOf(path); slash != std::string_view::npos && slash > 0;
           slash = slashOf(path.substr(0, slash))) {
        if (gone.count(path.substr(0, slash))) return true;
      }
      return false;
    };
    auto learnGone = [&](std::string_view path) {
      gone.emplace(path);
      std::string above;
      for (size_t slash = slashOf(path); slash != std::string_view::npos && slash > 0;
           slash = slashOf(path.substr(0, slash))) {
        above.assign(path.substr(0, slash));
        if (gone.count(above)) return;
        struct stat st;
        if (stat(above.c_str(), &st) == 0 || (errno != ENOENT && errno != ENOTDIR)) return;
        gone.insert(above);
      }
    };
    for (size_t g; (g = next.fetch_add(1)) < groups.size();) {
      const Group& group = groups[g];
      size_t begin = group.begin, end = group.end;
      if (!gone.empty() && underGone(group.folder)) continue;  // none of its items exist
      // A walk that lists the folder anyway takes the listing from here.
      bool share = keep != nullptr && (!group.needSize || group.keepListing);
      if (end - begin == 1 && !share) {
        // A folder of one item (one track per album folder): opening the
        // folder would cost two calls more than looking the item up.
        name.assign(queries[ordered[begin]].path);
        struct stat st;
        if (lstat(name.c_str(), &st) == 0)
          out[ordered[begin]] = attributesOfStat(st);
        else
          failed(errno, name);
        continue;
      }
      bool listed = share || (!group.needSize && end - begin >= 4);
      folder.assign(group.folder);
      int flags = (listed ? O_RDONLY : O_PATH) | O_DIRECTORY | O_CLOEXEC;
      // Only a real folder's listing is kept, as a walk reads it: one
      // reached through a link is looked at as before, and not kept.
      int dir = open(folder.c_str(), flags | (share ? O_NOFOLLOW : 0));
      if (dir < 0 && share && (errno == ELOOP || errno == ENOTDIR)) {
        share = false;
        dir = open(folder.c_str(), flags);
      }
      if (dir < 0 && listed && errno != ENOENT && errno != ENOTDIR) {
        // Searchable but not readable: look items up.
        listed = share = false;
        dir = open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
      }
      if (dir < 0) {
        if (errno == ENOENT || errno == ENOTDIR) {  // none of its items exist
          learnGone(group.folder);
          continue;
        }
        // Anything else (no descriptor left, a name too long...) says
        // nothing about the items: ask for each as a single lookup would.
        for (size_t k = begin; k < end; ++k) {
          size_t index = ordered[k];
          struct stat st;
          name.assign(queries[index].path);
          if (lstat(name.c_str(), &st) == 0)
            out[index] = attributesOfStat(st);
          else
            failed(errno, name);
        }
        continue;
      }
      // Whether a name the listing lacks must still be looked up, asked
      // of the folder at the first such name.
      enum class Missing { kUnasked, kAbsent, kLookUp };
      Missing missing = listed ? Missing::kUnasked : Missing::kLookUp;
      if (listed) {
        inOrder.clear();
        listed = listing.read(dir, share ? &inOrder : nullptr);
        if (!listed) missing = Missing::kLookUp;
        if (listed && share) keep->keep(folder, std::move(inOrder));
      }
      for (size_t k = begin; k < end; ++k) {
        size_t index = ordered[k];
        std::string_view path = queries[index].path;
        std::string_view itemName = path.substr(slashOf(path) + 1);
        if (listed) {
          auto found = listing.find(itemName);
          if (!found && missing == Missing::kUnasked) {
            missing = lookupMayMatchOtherNames(dir) ? Missing::kLookUp : Missing::kAbsent;
          }
          if (!found && missing == Missing::kAbsent) continue;
          if (found && *found != DT_UNKNOWN && !group.needSize) {
            FileAttributes attributes;
            attributes.type = typeOfDirent(*found);
            out[index] = attributes;
            continue;
          }
        }
        name.assign(itemName);
        struct stat st;
        if (fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
          failed(errno, path);
          continue;
        }
        out[index] = attributesOfStat(st);
      }
      close(dir);
    }
  };
  unsigned extra = std::min<size_t>(threads > 0 ? threads - 1 : 0, groups.size() / 8);
  std::vector<std::thread> helpers;
  for (unsigned t = 0; t < extra; ++t) helpers.emplace_back(work);
  work();
  for (auto& h : helpers) h.join();
  return out;
}

int readFolder(int dir, std::vector<DirectoryEntry>* entries) {
  return forEachEntry(dir, [&](std::string_view name, const struct dirent64& entry) {
    entries->push_back(DirectoryEntry{std::string(name), typeOfEntry(dir, entry)});
  });
}

FileAttributes attributesOfStat(const struct stat& st) {
  FileAttributes attributes;
  attributes.type = typeOfMode(st.st_mode);
  attributes.size = static_cast<uint64_t>(st.st_size);
  attributes.modificationTimeNs =
      static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  return attributes;
}

FileType typeOfDirent(unsigned char type) {
  switch (type) {
    case DT_REG:
      return FileType::kRegular;
    case DT_DIR:
      return FileType::kDirectory;
    case DT_LNK:
      return FileType::kSymbolicLink;
    default:
      return FileType::kOther;
  }
}

FileType typeOfMode(mode_t mode) {
  if (S_ISREG(mode)) return FileType::kRegular;
  if (S_ISDIR(mode)) return FileType::kDirectory;
  if (S_ISLNK(mode)) return FileType::kSymbolicLink;
  return FileType::kOther;
}

}  // namespace fs
