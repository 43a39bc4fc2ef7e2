// Copies a script makes below an export's "Music" folder are recorded by
// identity in that export's record, as the exporter's own copies are: a
// clean-up then deletes such a copy only while it is as it was written.
// Thread: the hook prepare() installs runs on whichever thread commits the
// batch; the IDs it reads are all added before that batch is committed.
// Errors: a record that cannot be opened is logged and the copies go on
// recorded by path alone, which a clean-up keeps unless told otherwise.
#pragma once

#include <memory>
#include <string>
#include <unordered_map>

#include "fs/DriveRecord.h"
#include "fs/FileManager.h"

namespace catalogue {

class ScriptCopyRecord : public std::enable_shared_from_this<ScriptCopyRecord> {
 public:
  // Destination path → the persistent ID of the track copied there.
  using Ids = std::unordered_map<std::string, std::string>;

  // None when `tracksFolder` is no export's "Music" or its record cannot
  // be opened; *lockCode is then EWOULDBLOCK while another process exports
  // there (else 0). Holds a share of the export's lock while it lives.
  static std::shared_ptr<ScriptCopyRecord> of(const std::string& tracksFolder,
                                              int* lockCode = nullptr);

  // Makes the batch (whose root is the tracks folder) hash each copy and
  // record it, and the folders it makes, before it is named.
  void prepare(fs::CopyBatchOptions& options, std::shared_ptr<const Ids> ids) const;
  // The hook that records playlist files written below the export's root.
  fs::FileManager::BeforeNaming playlistFiles() const;

 private:
  explicit ScriptCopyRecord(fs::DriveRecord::OfTracks of) : of_(std::move(of)) {}
  fs::DriveRecord::OfTracks of_;
};

}  // namespace catalogue
