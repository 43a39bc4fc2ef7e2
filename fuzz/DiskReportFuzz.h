// The volume inspection fed with one disk-tool report from the input, in
// place of the tool's output: no program runs and no drive is read.
//
// Thread: the fuzz thread only. Ownership: the catalogue is built once.
// Errors: none; the inspection itself never throws.
#pragma once

#include <cstdlib>
#include <memory>

#include "FuzzSupport.h"
#include "compat/finder/FSNamesAndTags.h"
#include "compat/finder/TessalineVolume.h"
#include "drive/FakeFileSystemSource.h"

namespace fuzz {

// A catalogue that knows the personalities the inspection singles out.
inline const finder::FSNamesAndTags& diskCatalogue() {
  using drive::fakes::FakeFileSystemSource;
  static const std::unique_ptr<finder::FSNamesAndTags> catalogue = [] {
    auto source = std::make_shared<FakeFileSystemSource>();
    source->add(
        "/fs/msdos.fs",
        {{"MS-DOS FAT32", FakeFileSystemSource::formatter("DOS_FAT_32", "MS-DOS (FAT32)")}});
    source->add("/fs/ntfs.fs",
                {{"NTFS", FakeFileSystemSource::formatter("Windows_NTFS",
                                                          "Windows NT File System (NTFS)", "")}});
    return finder::FSNamesAndTags::makeUnshared(source);
  }();
  return *catalogue;
}

enum class ReportForm { kPropertyList, kText };

inline void inspectReport(std::string_view report, ReportForm form) {
  QuietLog quiet;
  // Named outright, the tool is not looked for on every input (a stat
  // and a read of /proc/self/exe); no program runs either way.
  static const bool named = [] { return ::setenv("TESSALINE_DISKUTIL", "diskutil", 1) == 0; }();
  (void)named;
  finder::TessalineVolume volume(
      [report](const std::string&, std::optional<std::string>* output) {
        *output = std::string(report);
        return 0;
      },
      &diskCatalogue());
  volume.setDiskSlice("sdz1");
  if (form == ReportForm::kPropertyList) {
    volume.initFSVars10_5();
  } else {
    volume.initFSVars10_4();
    (void)finder::TessalineVolume::parseDiskSize(std::string(report));
  }
}

}  // namespace fuzz
