// The destination handle: writes and removals stay below it and never go
// through a link, it is never created, and its record and lock hold.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <optional>

#include "fs/DestinationRoot.h"
#include "fs/PosixFileManager.h"
#include "fs/ReplaceFile.h"
#include "fs/StateFile.h"
#include "support/FaultInjectingFileManager.h"
#include "support/TempDir.h"

using namespace fs;
using namespace base;
using testsupport::readFile;
using testsupport::TempDir;
using testsupport::writeFile;
namespace stdfs = std::filesystem;

TEST(DestinationRoot, AMissingOrEmptyRootIsNeverCreatedAndFailsEveryWrite) {
  TempDir dir;
  writeFile(dir / "a.mp3", "data");
  for (std::string root : {dir / "unmounted", std::string()}) {
    SCOPED_TRACE(root);
    auto destination = DestinationRoot::open(root);
    EXPECT_FALSE(destination->isOpen());
    PosixFileManager fm;
    auto batch = fm.makeCopyBatch(CopyBatchOptions{destination, nullptr});
    FileError error;
    EXPECT_FALSE(batch->addCopy(dir / "a.mp3", root + "/Music/A/a.mp3", &error));
    EXPECT_NE(error.code, 0);
    EXPECT_FALSE(fm.writeStringBelowRoot(*destination, "x", root + "/Playlists/p.m3u8", &error));
    EXPECT_FALSE(stdfs::exists(dir / "unmounted"));
    EXPECT_FALSE(stdfs::exists("/Music/A/a.mp3"));
    EXPECT_FALSE(stdfs::exists("/Playlists/p.m3u8"));
  }
}

TEST(DestinationRoot, PathsBelowTheRootOnly) {
  TempDir dir;
  auto root = DestinationRoot::open(dir.path() + "/");
  struct Case {
    std::string path;
    std::optional<std::string> relative;
  } cases[] = {{dir.path(), ""},
               {dir / "Music/a.mp3", "Music/a.mp3"},
               {dir.path() + "2/a.mp3", std::nullopt},
               {dir / "Music/../../x", std::nullopt},
               {dir / "Music//a.mp3", std::nullopt},
               {"/elsewhere", std::nullopt}};
  for (const auto& c : cases) EXPECT_EQ(root->relativePath(c.path), c.relative) << c.path;
}

TEST(DestinationRoot, CommittedCopiesAreRecordedBeforeTheyAreNamed) {
  TempDir dir;
  stdfs::create_directories(dir / "drive");
  writeFile(dir / "a.mp3", "data");
  auto root = DestinationRoot::open(dir / "drive");
  PosixFileManager fm;
  auto batch = fm.makeCopyBatch(CopyBatchOptions{root, nullptr});
  std::string odd = "Music/new\nline%0A/a.mp3";
  ASSERT_TRUE(batch->addCopy(dir / "a.mp3", dir / "drive/Music/A/a.mp3", nullptr));
  ASSERT_TRUE(batch->addCopy(dir / "a.mp3", dir / ("drive/" + odd), nullptr));
  EXPECT_EQ(batch->commit(nullptr), (std::vector<bool>{true, true}));
  EXPECT_EQ(readFile(dir / ("drive/" + odd)), "data");
  EXPECT_EQ(root->readRecord(), (fs::PathSet{"Music/A/a.mp3", odd}));
  // A line a kill cut short names nothing.
  writeFile(dir / "drive/.tessaline/written",
            readFile(dir / "drive/.tessaline/written") + "Music/half");
  EXPECT_EQ(root->readRecord().size(), 2u);
  // What was deleted leaves the record.
  EXPECT_EQ(root->forget({odd}), 0);
  EXPECT_EQ(root->readRecord(), (fs::PathSet{"Music/A/a.mp3"}));
}

TEST(DestinationRoot, ADriveReplacedBeforeTheCommitNamesNothing) {
  TempDir dir;
  stdfs::create_directories(dir / "drive");
  writeFile(dir / "a.mp3", "data");
  auto root = DestinationRoot::open(dir / "drive");
  PosixFileManager fm;
  auto batch = fm.makeCopyBatch(CopyBatchOptions{root, nullptr});
  ASSERT_TRUE(batch->addCopy(dir / "a.mp3", dir / "drive/Music/a.mp3", nullptr));
  stdfs::rename(dir / "drive", dir / "pulled");
  stdfs::create_directories(dir / "drive");
  std::vector<FileError> errors;
  EXPECT_EQ(batch->commit(&errors), std::vector<bool>{false});
  EXPECT_EQ(errors[0].code, ENODEV);
  EXPECT_TRUE(stdfs::is_empty(dir / "drive"));
  EXPECT_TRUE(stdfs::is_empty(dir / "pulled/Music"));
  // It stays gone even when the old folder comes back.
  stdfs::remove(dir / "drive");
  stdfs::rename(dir / "pulled", dir / "drive");
  EXPECT_EQ(root->check(), ENODEV);
}

TEST(DestinationRoot, PipesAndDevicesAreRefusedBeforeTheyAreRead) {
  TempDir dir;
  ASSERT_EQ(mkfifo((dir / "pipe").c_str(), 0644), 0);
  PosixFileManager fm;
  for (std::string source : {dir / "pipe", std::string("/dev/zero")}) {
    FileError error;
    EXPECT_FALSE(fm.copyItemAtPath(source, dir / "copy", &error));
    EXPECT_EQ(error.code, kNotRegularFile);
    EXPECT_EQ(error.path, source);
    EXPECT_FALSE(stdfs::exists(dir / "copy"));
  }
}

TEST(DestinationRoot, AStopRequestEndsACopyUnderWayAndLeavesNothing) {
  TempDir dir;
  stdfs::create_directories(dir / "drive");
  writeFile(dir / "big", std::string(4 << 20, 'b'));
  std::atomic<bool> stop{true};
  PosixFileManager fm;
  auto batch = fm.makeCopyBatch(CopyBatchOptions{DestinationRoot::open(dir / "drive"), &stop});
  FileError error;
  EXPECT_FALSE(batch->addCopy(dir / "big", dir / "drive/big", &error));
  EXPECT_EQ(error.code, ECANCELED);
  // Nothing but the note that this run's temporaries are the exporter's.
  std::vector<std::string> left;
  for (const auto& e : stdfs::recursive_directory_iterator(dir / "drive"))
    left.push_back(stdfs::relative(e.path(), dir / "drive").string());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{".tessaline", ".tessaline/temporaries"}));
  EXPECT_EQ(DestinationRoot::open(dir / "drive")->intents(),
            (std::unordered_set<std::string>{"run " + DestinationRoot::runToken()}));
}

// Several files written at once (one flush for all): each fails or lands
// on its own, as one written alone would.
TEST(DestinationRoot, FilesWrittenTogetherFailOnlyOneByOne) {
  TempDir dir;
  writeFile(dir / "drive/Playlists/p.m3u8", "old");
  stdfs::create_directories(dir / "drive/Playlists/q.m3u8/inside");
  stdfs::create_directories(dir / "outside");
  stdfs::create_directory_symlink(dir / "outside", dir / "drive/Linked");
  auto root = DestinationRoot::open(dir / "drive");
  PosixFileManager fm;
  std::vector<FileError> errors;
  std::vector<bool> inPlace =
      fm.writeStringsBelowRoot(*root,
                               {{dir / "drive/Playlists/p.m3u8", "new p"},
                                {dir / "drive/Playlists/q.m3u8", "new q"},
                                {dir / "drive/Linked/p.m3u8", "linked"},
                                {dir / "outside/o.m3u8", "outside"},
                                {dir / "drive/Playlists/Sub/r.m3u8", "new r"}},
                               &errors);
  EXPECT_EQ(inPlace, (std::vector<bool>{true, false, false, false, true}));
  EXPECT_EQ(errors[1].code, EISDIR);
  EXPECT_EQ(errors[2].code, ELOOP);
  EXPECT_EQ(errors[3].code, EXDEV);
  EXPECT_EQ(readFile(dir / "drive/Playlists/p.m3u8"), "new p");
  EXPECT_EQ(readFile(dir / "drive/Playlists/Sub/r.m3u8"), "new r");
  EXPECT_TRUE(stdfs::exists(dir / "drive/Playlists/q.m3u8/inside"));
  EXPECT_TRUE(stdfs::is_empty(dir / "outside"));
  auto record = root->readRecord();
  EXPECT_EQ(record.count("Playlists/p.m3u8") + record.count("Playlists/Sub/r.m3u8"), 2u);
  for (const auto& e : stdfs::recursive_directory_iterator(dir / "drive"))
    EXPECT_FALSE(FileManager::isPartialCopyName(e.path().filename().string())) << e.path();
}

TEST(DestinationRoot, AReplacedFileKeepsItsOldTextWhenTheWriteFails) {
  TempDir dir;
  writeFile(dir / "drive/Playlists/p.m3u8", "old");
  auto root = DestinationRoot::open(dir / "drive");
  PosixFileManager fm;
  EXPECT_TRUE(fm.writeStringBelowRoot(*root, "new", dir / "drive/Playlists/p.m3u8", nullptr));
  EXPECT_EQ(readFile(dir / "drive/Playlists/p.m3u8"), "new");
  EXPECT_EQ(root->readRecord().count("Playlists/p.m3u8"), 1u);
  // A folder in the way, and a link planted for the folder.
  stdfs::create_directories(dir / "drive/Playlists/q.m3u8/inside");
  FileError error;
  EXPECT_FALSE(fm.writeStringBelowRoot(*root, "new", dir / "drive/Playlists/q.m3u8", &error));
  EXPECT_EQ(error.code, EISDIR);
  EXPECT_TRUE(stdfs::exists(dir / "drive/Playlists/q.m3u8/inside"));
  stdfs::create_directories(dir / "outside");
  stdfs::create_directory_symlink(dir / "outside", dir / "drive/Linked");
  EXPECT_FALSE(fm.writeStringBelowRoot(*root, "new", dir / "drive/Linked/p.m3u8", &error));
  EXPECT_EQ(error.code, ELOOP);
  EXPECT_TRUE(stdfs::is_empty(dir / "outside"));
  std::vector<std::string> left;
  for (const auto& e : stdfs::recursive_directory_iterator(dir / "drive"))
    if (FileManager::isPartialCopyName(e.path().filename().string())) left.push_back(e.path());
  EXPECT_TRUE(left.empty());
}

// Each step of a write of texts failed in turn, for one file flushed on
// its own and for many flushed together, through a wrapper: the steps go
// in order and stop at the failed one; failed before the names, the old
// texts stay and no temporary is left; failed at the flush of the names,
// the new texts stand but the write does not count.
TEST(DestinationRoot, TextsWrittenBelowTheRootFailAtAnyStepAsTheyWouldThere) {
  using Step = CopyStep;
  const std::vector<Step> order = {Step::kWritten, Step::kRecorded, Step::kFlushed, Step::kNamed,
                                   Step::kNamesFlushed};
  for (size_t count : {size_t{1}, size_t{6}}) {
    for (std::optional<Step> failed :
         {std::optional<Step>(), std::optional(Step::kWritten), std::optional(Step::kRecorded),
          std::optional(Step::kFlushed), std::optional(Step::kNamed),
          std::optional(Step::kNamesFlushed)}) {
      SCOPED_TRACE(std::to_string(count) + " files, step " +
                   (failed ? std::to_string(int(*failed)) : "none") + " failed");
      TempDir dir;
      std::vector<FileManager::TextFile> files;
      for (size_t i = 0; i < count; ++i) {
        files.push_back({dir / ("drive/Playlists/" + std::to_string(i) + ".m3u8"), "new"});
        writeFile(files.back().path, "old");
      }
      PosixFileManager::Options options;
      std::vector<Step> seen;
      options.stepHook = [&](Step step, const std::string&) {
        seen.push_back(step);
        return step == failed ? EIO : 0;
      };
      FaultInjectingFileManager fm(std::make_shared<PosixFileManager>(options));
      auto root = DestinationRoot::open(dir / "drive");
      std::vector<FileError> errors;
      EXPECT_EQ(fm.writeStringsBelowRoot(*root, files, &errors), std::vector<bool>(count, !failed));
      if (failed) {
        EXPECT_EQ(errors[0].code, EIO);
      }
      EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
      EXPECT_EQ(seen.back(), failed.value_or(Step::kNamesFlushed));
      if (count == 1 && !failed) {
        EXPECT_EQ(seen, order);
      }
      const bool named = !failed || *failed == Step::kNamesFlushed;
      for (const auto& f : files) EXPECT_EQ(readFile(f.path), named ? "new" : "old");
      for (const auto& e : stdfs::recursive_directory_iterator(dir / "drive"))
        EXPECT_FALSE(FileManager::isPartialCopyName(e.path().filename().string())) << e.path();
    }
  }
}

TEST(DestinationRoot, RemovalsTakeOnlyFilesAndEmptyFoldersAndNeverFollowLinks) {
  TempDir dir;
  writeFile(dir / "drive/A/kept.mp3", "x");
  writeFile(dir / "outside/user.mp3", "x");
  stdfs::create_directories(dir / "drive/Empty");
  stdfs::create_directory_symlink(dir / "outside", dir / "drive/Link");
  auto root = DestinationRoot::open(dir / "drive");
  FaultInjectingFileManager fm;
  struct Case {
    std::string path;
    RemoveKind kind;
    int code;
  } cases[] = {{dir / "drive/A", RemoveKind::kEmptyFolder, ENOTEMPTY},
               {dir / "drive/A", RemoveKind::kFile, EISDIR},
               {dir / "drive/Link/user.mp3", RemoveKind::kFile, ELOOP},
               {dir / "outside/user.mp3", RemoveKind::kFile, EXDEV},
               {dir / "drive/Empty", RemoveKind::kEmptyFolder, 0},
               {dir / "drive/Link", RemoveKind::kFile, 0}};
  for (const auto& c : cases) {
    FileError error;
    EXPECT_EQ(fm.removeItemBelowRoot(*root, c.path, c.kind, &error), c.code == 0) << c.path;
    EXPECT_EQ(error.code, c.code) << c.path;
  }
  EXPECT_TRUE(stdfs::exists(dir / "drive/A/kept.mp3"));
  EXPECT_TRUE(stdfs::exists(dir / "outside/user.mp3"));
  EXPECT_EQ(fm.count(FileOp::kRemove), 6u);
}

TEST(DestinationRoot, OneLockPerProcessThatItsHoldersShareAndOtherProcessesFindTaken) {
  TempDir dir;
  auto first = DestinationRoot::open(dir.path());
  auto second = DestinationRoot::open(dir.path());
  ASSERT_EQ(first->lock(nullptr), 0);
  EXPECT_EQ(second->lock(nullptr), 0);
  EXPECT_EQ(readFile(dir / ".tessaline/lock"), std::to_string(getpid()) + "\n");
  // Another process opens the file anew, as this does.
  auto takenByOthers = [&] {
    int fd = open((dir / ".tessaline/lock").c_str(), O_RDWR);
    bool taken = flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    close(fd);
    return taken;
  };
  EXPECT_TRUE(takenByOthers());
  first.reset();
  EXPECT_TRUE(takenByOthers());
  second.reset();
  EXPECT_FALSE(takenByOthers());
  // Another process's lock, with its number.
  writeFile(dir / ".tessaline/lock", "4242\n");
  int other = open((dir / ".tessaline/lock").c_str(), O_RDWR);
  ASSERT_EQ(flock(other, LOCK_EX), 0);
  std::string holder;
  EXPECT_EQ(DestinationRoot::open(dir.path())->lock(&holder), EWOULDBLOCK);
  EXPECT_EQ(holder, "4242");
  close(other);
}

TEST(DestinationRoot, ProgressMovesWithTheBytesWrittenAndDropsWhatFails) {
  TempDir dir;
  stdfs::create_directories(dir / "drive");
  writeFile(dir / "big", std::string(3 << 20, 'b'));
  std::atomic<uint64_t> written{0};
  PosixFileManager fm;
  auto batch = fm.makeCopyBatch(
      CopyBatchOptions{DestinationRoot::open(dir / "drive"), nullptr, {}, &written});
  ASSERT_TRUE(batch->addCopy(dir / "big", dir / "drive/a", nullptr));
  EXPECT_EQ(written.load(), 3u << 20);  // before anything is named
  // A copy that fills the drive half-way takes its bytes back out.
  CopyBatchOptions full{DestinationRoot::open(dir / "drive"), nullptr, {}, &written};
  full.chunkGate = [](uint64_t done, uint64_t*) { return done >= (1u << 20) ? ENOSPC : 0; };
  auto second = fm.makeCopyBatch(full);
  EXPECT_FALSE(second->addCopy(dir / "big", dir / "drive/b", nullptr));
  EXPECT_EQ(written.load(), 3u << 20);
  batch.reset();  // dropped before its commit
  EXPECT_EQ(written.load(), 0u);
  // Within one large file the count rises chunk by chunk.
  std::vector<uint64_t> seen;
  CopyBatchOptions watched{DestinationRoot::open(dir / "drive"), nullptr, {}, &written};
  watched.chunkGate = [&](uint64_t, uint64_t*) { return seen.push_back(written.load()), 0; };
  ASSERT_TRUE(fm.makeCopyBatch(watched)->addCopy(dir / "big", dir / "drive/c", nullptr));
  std::vector<uint64_t> chunks;
  for (uint64_t at = 0; at < (3u << 20); at += PosixFileManager::Options().bufferBytes)
    chunks.push_back(at);
  EXPECT_EQ(seen, chunks);
}

// Where renaming over a file is refused (FAT through fusefat), each of the
// exporter's replacements sets the old file aside and still ends with
// the new one under its name; a replacement cut short is settled by the
// next run.
TEST(DestinationRoot, ReplacementsWorkWhereRenamingOverAFileIsRefused) {
  TempDir dir;
  stdfs::create_directories(dir / "drive/Music");
  auto root = DestinationRoot::open(dir / "drive");
  const std::string playlist = dir / "drive/Playlists/p.m3u8", track = dir / "drive/Music/t.mp3";
  writeFile(playlist, "old");
  writeFile(track, "old copy");
  writeFile(dir / "src.mp3", "repaired");
  auto fm = std::make_shared<FaultInjectingFileManager>();
  fm->refuseRenameOver(EPERM);
  EXPECT_TRUE(fm->writeStringBelowRoot(*root, "new", playlist, nullptr));
  CopyBatchOptions repair{root};
  repair.replace = true;
  auto batch = fm->makeCopyBatch(repair);
  ASSERT_TRUE(batch->addCopy(dir / "src.mp3", track, nullptr));
  EXPECT_EQ(batch->commit(nullptr), std::vector<bool>{true});
  EXPECT_EQ(root->forget({"Music/t.mp3"}), 0);
  int state = root->openFolder(".tessaline", false);
  ASSERT_GE(state, 0);
  EXPECT_TRUE(fs::replaceStateFile(state, "record", "new record", "record").ok());
  EXPECT_TRUE(replaceStateFile(state, "record", "newer record", "record").ok());
  EXPECT_EQ(readFile(playlist), "new");
  EXPECT_EQ(readFile(track), "repaired");
  EXPECT_EQ(readFile(dir / "drive/.tessaline/record"), "newer record");
  for (const auto& e : stdfs::recursive_directory_iterator(dir / "drive"))
    EXPECT_FALSE(isAsideName(e.path().filename().string())) << e.path();

  // Cut short after the old file went aside (no file under its name), or
  // after the new one took the name (both there).
  struct Case {
    bool finalThere;
    const char* expected;
  };
  for (const Case& c : {Case{false, "before"}, Case{true, "after"}}) {
    std::string name = c.finalThere ? "b" : "a";
    writeFile(dir / ("drive/.tessaline/" + asideName(name)), "before");
    if (c.finalThere) writeFile(dir / ("drive/.tessaline/" + name), "after");
    struct stat st;
    auto read = openStateFile(state, name, O_RDONLY, name, &st);
    ASSERT_TRUE(read.ok()) << name;  // a reader takes the aside file, changing nothing
    EXPECT_EQ(readStateFile(*read, 100, name).take(), std::optional<std::string>(c.expected));
    close(*read);
    EXPECT_EQ(recoverAsideOf(state, name), 0);
    EXPECT_EQ(readFile(dir / ("drive/.tessaline/" + name)), c.expected);
    EXPECT_FALSE(stdfs::exists(dir / ("drive/.tessaline/" + asideName(name))));
  }
  close(state);
}

// A drive that filled up while the list of paths was appended leaves a
// line cut short: it ends there, and the next path is read whole.
TEST(DestinationRoot, ALineCutShortEndsBeforeTheNextPath) {
  TempDir dir;
  auto root = DestinationRoot::open(dir.path());
  ASSERT_EQ(root->record({"Music/a.mp3", "Playlists/List 0.m3u8"}, true), 0);
  std::string written =
      dir / (std::string(DestinationRoot::kStateFolder) + "/" + DestinationRoot::kRecordFile);
  ASSERT_TRUE(stdfs::exists(written));
  stdfs::resize_file(written, stdfs::file_size(written) - 4);
  ASSERT_EQ(root->record({"Playlists/List 1.m3u8"}, true), 0);
  auto paths = root->readRecord();
  EXPECT_EQ(paths.count("Music/a.mp3"), 1u);
  EXPECT_EQ(paths.count("Playlists/List 1.m3u8"), 1u);
  EXPECT_EQ(paths.count("Playlists/List 0.m3u8"), 0u);
}

// A script's copy into an export's music folder takes that export's lock
// however the folder is spelled: "Music/.", through a link, or by another
// case; a folder of another name takes none.
TEST(DestinationRoot, TheExportsLockGoesByTheFolderNotItsSpelling) {
  TempDir dir;
  stdfs::create_directories(dir / "drive/Music");
  stdfs::create_directory_symlink(dir / "drive/Music", dir / "linked");
  writeFile(dir / "drive/.tessaline/lock", "4242\n");
  int other = open((dir / "drive/.tessaline/lock").c_str(), O_RDWR);
  ASSERT_EQ(flock(other, LOCK_EX), 0);
  for (std::string spelled : {dir / "drive/Music", dir / "drive/Music/.", dir / "drive/Music/",
                              dir / "linked", dir / "drive/./Music"}) {
    SCOPED_TRACE(spelled);
    std::string holder;
    auto lock = DestinationRoot::lockExportOf(spelled, &holder);
    ASSERT_TRUE(lock.has_value());
    EXPECT_EQ(lock->status().code(), EWOULDBLOCK);
    EXPECT_EQ(holder, "4242");
  }
  EXPECT_FALSE(DestinationRoot::lockExportOf(dir / "drive", nullptr).has_value());
  close(other);
}
