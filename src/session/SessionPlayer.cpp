// What the drive's player plays and how it wants its files: the
// drive's .is_audio_player under the command line's choices, and the
// tracks of the export the player cannot play.
#include <algorithm>
#include <atomic>
#include <set>
#include <string_view>
#include <thread>
#include <unordered_set>

#include "base/Log.h"
#include "fs/DriveRecord.h"
#include "session/DestinationLayout.h"
#include "session/ExportSession.h"
#include "session/ExportSessionParts.h"
#include "session/MediaConvert.h"
#include "session/MediaHeader.h"
#include "session/MediaProbe.h"
#include "session/PlayableFormats.h"
#include "session/PlayerProfile.h"

namespace app {

using namespace detail;

base::Result<base::Done> ExportSession::applyPlayerProfile() {
  auto read = session::readPlayerProfile(*files(), root_);
  if (!read) return fail(base::Status::Kind::kUsage, read.status().message());
  session::AskedSettings asked;
  if (o_.playableFormatsGiven) asked.formats = o_.playableFormats;
  if (o_.playlistFormatGiven || o_.absolutePaths) asked.playlistFormat = o_.playlistFormat;
  player_ = session::resolveSettings(*read, asked);
  o_.playableFormats = player_.formats.value;
  if (player_.playlistFormat.origin.kind == session::Origin::Kind::kProfile) {
    // Named by the profile's own table: always one the writer knows.
    if (auto format = session::PlaylistFormat::named(player_.playlistFormat.value)) {
      playlistFormat_ = *format;
      playlistExtension_ = playlistFormat_.extension();
    }
  }
  return base::Done{};
}

void ExportSession::probeSources(const std::vector<uint32_t>& tracks) {
  probed_.assign(snapshot_.tracks.size(), std::nullopt);
  // A source is looked into once while its size and time stay: the
  // drive's record remembers what earlier exports found.
  std::vector<uint32_t> toProbe;
  for (uint32_t track : tracks) {
    const session::SnapshotTrack& t = snapshot_.tracks[track];
    if (t.source.empty() || !observed_.sourceFound[track] || !observed_.sourcePlainFile[track])
      continue;
    fs::FileStamp stamp{observed_.sourceBytes[track], observed_.sourceTimeNs[track]};
    auto known = probedNow_.empty() ? probedNow_.end() : probedNow_.find(t.source);
    if (known == probedNow_.end() || known->second.stamp != stamp) {
      known = driveRecord_.probed.find(t.source);
      if (known == driveRecord_.probed.end() || known->second.stamp != stamp) {
        toProbe.push_back(track);
        continue;
      }
    }
    // One FFmpeg could not tell is judged by its name, as when first found.
    const fs::ProbedSource& p = known->second;
    if (p.told) probed_[track] = SourceFormat{p.container, p.codec, p.millis};
  }
  if (toProbe.empty()) return;
  std::vector<std::optional<fs::ProbedSource>> found(toProbe.size());
  std::atomic<size_t> next{0};
  auto work = [&] {
    auto fm = files();
    for (size_t i; (i = next.fetch_add(1)) < toProbe.size();) {
      uint32_t track = toProbe[i];
      const std::string& source = snapshot_.tracks[track].source;
      auto probed = session::probeFormat(*fm, source);
      // A file FFmpeg cannot tell is judged by its name, and not looked
      // into again while it stays as it is; one that could not be read
      // (or FFmpeg not loaded) is looked into next time.
      if (!probed) {
        if (probed.status().code() == 0) {
          found[i] = fs::ProbedSource{
              source, {observed_.sourceBytes[track], observed_.sourceTimeNs[track]}, {}, {}, 0,
              false};
        }
        continue;
      }
      found[i] = fs::ProbedSource{source,
                                  {observed_.sourceBytes[track], observed_.sourceTimeNs[track]},
                                  probed->format.container,
                                  probed->format.codec,
                                  static_cast<int64_t>(probed->seconds * 1000 + 0.5)};
    }
  };
  size_t threads =
      std::min<size_t>(std::max(1u, std::thread::hardware_concurrency()), (toProbe.size() + 7) / 8);
  std::vector<std::thread> pool;
  for (size_t i = 1; i < threads; ++i) pool.emplace_back(work);
  work();
  for (auto& t : pool) t.join();
  for (size_t i = 0; i < toProbe.size(); ++i) {
    if (!found[i]) continue;
    if (found[i]->told)
      probed_[toProbe[i]] = SourceFormat{found[i]->container, found[i]->codec, found[i]->millis};
    probedNow_.insert_or_assign(found[i]->source, *found[i]);
  }
}

void ExportSession::noteProbes(fs::DriveRecord& writer) {
  std::vector<fs::ProbedSource> news;
  for (const auto& [source, p] : probedNow_) {
    auto known = driveRecord_.probed.find(source);
    if (known == driveRecord_.probed.end() || !(known->second == p)) news.push_back(p);
  }
  // What a source holds is a finding, not a file of the drive's: one
  // that is not noted is found again next time.
  base::logIfFailed(writer.noteProbed(news, false), "The formats of the sources were not noted");
  for (auto& p : news) driveRecord_.probed.insert_or_assign(p.source, std::move(p));
}

bool ExportSession::chooseConversions() {
  if (o_.convertTo.empty() && plainDestination_.empty()) return false;
  if (plainDestination_.empty()) {
    for (const auto& t : snapshot_.tracks) plainDestination_.push_back(t.destination);
  }
  // Every plan decides afresh (a source may have changed to one the drive
  // plays); what the drive showed holds while nothing changed.
  std::vector<std::pair<std::string, std::string>> before;
  for (uint32_t track = 0; track < snapshot_.tracks.size(); ++track) {
    session::SnapshotTrack& t = snapshot_.tracks[track];
    before.emplace_back(std::move(t.destination), std::move(t.conversion));
    t.destination = plainDestination_[track];
    t.conversion.clear();
    t.estimatedBytes = 0;
  }
  auto changed = [&] {
    for (uint32_t track = 0; track < snapshot_.tracks.size(); ++track) {
      const session::SnapshotTrack& t = snapshot_.tracks[track];
      if (before[track].first != t.destination || before[track].second != t.conversion) return true;
    }
    return false;
  };
  if (o_.convertTo.empty()) return changed();
  std::vector<uint32_t> all(snapshot_.tracks.size());
  for (uint32_t track = 0; track < all.size(); ++track) all[track] = track;
  probeSources(all);
  const session::PlayableFormats playable = session::PlayableFormats::of(o_.playableFormats);
  const session::ConvertSettings settings{o_.convertTo, o_.quality};
  const std::string extension = session::extensionOf(settings);
  const std::string conversion = session::describe(settings);
  // A converted name is the usual one with the codec's extension, numbered
  // like any other when another track has it.
  std::unordered_set<std::string> taken;
  std::vector<uint32_t> converted;
  for (uint32_t track = 0; track < snapshot_.tracks.size(); ++track) {
    const auto& probed = probed_[track];
    if (probed && !probed->codec.empty() &&
        !playable.plays(session::MediaFormat{probed->container, probed->codec}))
      converted.push_back(track);
    else
      taken.insert(DestinationLayout::collisionKey(snapshot_.tracks[track].destination));
  }
  for (uint32_t track : converted) {
    session::SnapshotTrack& t = snapshot_.tracks[track];
    size_t slash = t.destination.rfind('/') + 1;  // npos + 1: no folder
    std::string folder = t.destination.substr(0, slash), name = t.destination.substr(slash);
    size_t dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0) name.resize(dot);
    name += "." + extension;
    std::string candidate = folder + name;
    for (int n = 2; !taken.insert(DestinationLayout::collisionKey(candidate)).second; ++n)
      candidate = folder + DestinationLayout::numbered(name, n);
    t.destination = std::move(candidate);
    t.conversion = conversion;
    // The playing time at the codec's rate; a source of unknown length
    // is reckoned at its own size.
    t.estimatedBytes = probed_[track]->millis > 0 ? static_cast<uint64_t>(probed_[track]->millis) *
                                                        session::bytesPerSecond(settings) / 1000
                                                  : observed_.sourceBytes[track];
  }
  // A converted track is made anew rather than renamed from an earlier
  // spelling: the file there may be a copy of another kind. A move
  // checks the copy's conversion where it is (observeMoves).
  std::erase_if(pendingRenames_, [&](const PendingRename& p) {
    return !p.across && !snapshot_.tracks[p.track].conversion.empty();
  });
  return changed();
}

void ExportSession::findUnplayable(const session::Plan& sized) {
  plan_.unplayable.clear();
  const session::PlayableFormats playable = session::PlayableFormats::of(o_.playableFormats);
  const std::string where = player_.formats.origin.kind == session::Origin::Kind::kProfile
                                ? player_.formats.origin.text()
                                : std::string("--formats");
  // The tracks are judged in their own order, which reads them one after
  // another (the playlists' order jumps about), and then told in the
  // playlists' order. A track's reason: none (0), or 1 + its place in
  // `reasons`.
  std::vector<uint8_t> listed(snapshot_.tracks.size());
  for (const auto& figures : sized.playlists) {
    for (uint32_t track : snapshot_.playlists[figures.playlist].items) listed[track] = 1;
  }
  std::vector<uint32_t> judged;
  for (uint32_t track = 0; track < snapshot_.tracks.size(); ++track) {
    const session::SnapshotTrack& st = snapshot_.tracks[track];
    // A converted track plays.
    if (listed[track] && (st.enabled || o_.allTracks) && st.conversion.empty())
      judged.push_back(track);
  }
  probeSources(judged);
  std::vector<std::string> reasons;
  std::vector<uint32_t> reasonOf(snapshot_.tracks.size());
  auto reasonIndex = [&](std::string reason) {
    auto at = std::find(reasons.begin(), reasons.end(), reason);
    if (at == reasons.end()) at = reasons.insert(reasons.end(), std::move(reason));
    return static_cast<uint32_t>(at - reasons.begin()) + 1;
  };
  for (uint32_t track : judged) {
    const session::SnapshotTrack& st = snapshot_.tracks[track];
    // The extension of the file's name: after its last dot, unless the
    // name is all extension (".m4a" has none, as a path's would).
    std::string_view name = st.destination;
    name.remove_prefix(std::min(name.size(), name.rfind('/') + 1));
    size_t dot = name.rfind('.');
    std::string ext(dot == std::string_view::npos || dot == 0 ? std::string_view()
                                                              : name.substr(dot + 1));
    for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::string reason;
    const auto& probed = probed_[track];
    if (ext == "m4p") {
      reason = "protected (.m4p): no player outside Apple's plays it";
    } else if (probed && probed->codec.empty()) {
      reason = "its file holds no sound FFmpeg knows (" + probed->container + ")";
    } else if (probed) {
      session::MediaFormat format{probed->container, probed->codec};
      if (!playable.plays(format)) {
        auto usual = session::formatsOfExtension(ext);
        bool odd = !usual.empty() && std::find(usual.begin(), usual.end(), format) == usual.end();
        reason = (odd ? "its ." + ext + " file holds " : std::string("it holds ")) +
                 session::describe(format) + ", which the drive does not play (" + where + ")";
      }
    } else if (auto byName = playable.playsExtension(ext); !byName.value_or(false)) {
      reason =
          (ext.empty() ? std::string("its file has no extension") : "its format (." + ext + ")") +
          (byName ? " is not one the drive plays (" + where + ")"
                  : " may hold a codec the drive does not play (" + where +
                        "), and its file could not be looked into");
    }
    if (!reason.empty()) reasonOf[track] = reasonIndex(std::move(reason));
  }
  if (reasons.empty()) return;
  std::vector<uint8_t> seen(snapshot_.tracks.size());
  for (const auto& figures : sized.playlists) {
    for (uint32_t track : snapshot_.playlists[figures.playlist].items) {
      if (seen[track] || reasonOf[track] == 0) continue;
      seen[track] = 1;
      const LibraryTrack& t = *snapshotLibraryTrack_[track];
      plan_.unplayable.push_back({std::string(t.name), std::string(t.artist),
                                  std::string(t.location), reasons[reasonOf[track] - 1]});
    }
  }
}

}  // namespace app
