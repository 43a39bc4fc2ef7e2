#include "session/ExportReport.h"

namespace app {

using nlohmann::json;

json planReport(const ExportPlan& plan) {
  json rows = json::array();
  for (const auto& p : plan.playlists) {
    rows.push_back({{"name", p.name},
                    {"id", p.id},
                    {"file", p.file},
                    {"tracks", p.tracks},
                    {"bytesToCopy", p.bytesToCopy},
                    {"bytesThisExport", p.bytesThisExport}});
  }
  json unplayable = json::array();
  for (const auto& u : plan.unplayable)
    unplayable.push_back(
        {{"title", u.title}, {"artist", u.artist}, {"location", u.location}, {"reason", u.reason}});
  json refused = json::array();
  for (const auto& c : plan.cannotHold) {
    refused.push_back({{"title", c.title},
                       {"artist", c.artist},
                       {"destination", c.destination},
                       {"bytes", c.bytes},
                       {"reason", c.reason}});
  }
  json beside = json::array();
  for (const auto& b : plan.copiedBeside)
    beside.push_back({{"kept", b.kept}, {"copiedAs", b.copiedAs}, {"changedCopy", b.changedCopy}});
  const LeftOut& l = plan.leftOut;
  json out = {{"unplayable", unplayable},
              {"cannotBeCopied", refused},
              {"toRename", plan.toRename},
              {"toMove", plan.toMove},
              {"copiedBeside", beside},
              {"playlistFilesToWrite", plan.playlistFilesToWrite},
              {"playlists", rows},
              {"bytesToCopy", plan.bytesToCopy},
              {"spaceNeeded", plan.spaceNeeded},
              {"freeSpace", plan.freeSpaceKnown ? json(plan.freeSpace) : json(nullptr)},
              {"fileSystem", plan.fileSystem},
              {"skippedBuiltInPlaylists", plan.skippedBuiltIn},
              {"leftOut",
               {{"tracksWithoutFile", l.tracksWithoutFile},
                {"tracksNotOnThisComputer", l.tracksNotOnThisComputer},
                {"itemsNamingMissingTrack", l.itemsNamingMissingTrack},
                {"tracksWithoutIdentifier", l.tracksWithoutIdentifier},
                {"playlistsWithoutIdentifier", l.playlistsWithoutIdentifier}}}};
  if (!plan.conversion.empty())
    out["convert"] = {{"to", plan.conversion},
                      {"tracks", plan.tracksToConvert},
                      {"estimatedBytes", plan.convertedBytes}};
  if (!plan.cleanUpRefusal.empty()) out["stale"] = {{"skipped", plan.cleanUpRefusal}};
  return out;
}

json copyReport(const CopyOutcome& c) {
  json failed = json::array();
  for (const auto& f : c.notCopied) {
    json entry = {{"title", f.title},       {"artist", f.artist},           {"source", f.source},
                  {"location", f.location}, {"destination", f.destination}, {"reason", f.reason}};
    if (f.code != 0) {
      entry["path"] = f.path;
      entry["errno"] = f.code;
    }
    failed.push_back(entry);
  }
  return {{"bytesCopied", c.bytesCopied},
          {"notCopied", failed},
          {"uncheckedNotCopied", c.uncheckedNotCopied},
          {"copied", c.copied},
          {"converted", c.converted}};
}

json playlistReport(const PlaylistOutcome& p) {
  json failures = json::array();
  for (const auto& f : p.notWritten)
    failures.push_back({{"name", f.name}, {"file", f.file}, {"reason", f.reason}});
  json beside = json::array();
  for (const auto& [users, ours] : p.besideUsers)
    beside.push_back({{"usersFile", users}, {"written", ours}});
  // Every file standing for the playlists exported, written now or left
  // as it already read.
  std::vector<std::string> files = p.written;
  files.insert(files.end(), p.unchanged.begin(), p.unchanged.end());
  return {{"playlistFiles", files},
          {"playlistFilesUnchanged", p.unchanged},
          {"playlistFilesTrimmed", p.trimmed},
          {"playlistFilesNotWritten", failures},
          {"playlistFilesBesideUsers", beside},
          {"entriesNotOnDrive", {{"unchecked", p.entriesUnchecked}, {"missing", p.entriesMissing}}},
          {"leftOutOfPlaylistFiles", p.notEncodable}};
}

json renameReport(const ExportSession::Renamed& renamed) {
  return {{"renamed", renamed.done.size()},
          {"moved", renamed.moved.size()},
          {"notMoved", renamed.notMoved},
          {"notRenamed", renamed.failed}};
}

json staleReport(const ExportPlan& plan, const CleanOutcome& c) {
  json files = json::array(), playlists = json::array(), kept = json::array();
  uint64_t keptBytes = 0;
  size_t ours = 0;
  for (const auto& item : plan.stale) {
    if (item.ours) {
      ++ours;
      (item.playlistFile ? playlists : files).push_back(item.path);
    } else {
      kept.push_back(item.path);
      keptBytes += item.bytes;
    }
  }
  json items = json::array();
  for (const auto& i : c.items) {
    json entry = {{"path", i.item.path},
                  {"bytes", i.item.bytes},
                  {"writtenByExporter", i.item.written && !i.kept},
                  {"deleted", i.deleted}};
    if (!i.reason.empty()) entry["reason"] = i.reason;
    if (i.item.changed && !i.deleted) entry["reason"] = "changed since the exporter wrote it";
    if (i.item.possiblyYours && !i.deleted)
      entry["reason"] = "possibly yours: only an older record names it";
    items.push_back(entry);
  }
  return {
      {"files", files},
      {"playlistFiles", playlists},
      {"bytes", plan.staleBytes},
      {"deleted", c.attempted ? c.notDeleted == 0 && !c.stopped : ours == 0},
      {"kept", {{"reason", "not written by the exporter"}, {"files", kept}, {"bytes", keptBytes}}},
      {"items", items}};
}

}  // namespace app
