#include "compat/bridge/ScriptMethods.h"

#include <algorithm>

#include "compat/catalogue/CTrack.h"
#include "compat/catalogue/CTrackCarrier.h"
#include "compat/catalogue/CTrackList.h"
#include "compat/drawing/ImageView.h"
#include "compat/export/CThreadCopier.h"
#include "compat/export/CThreadPlaylistGenerator.h"
#include "compat/export/CTrackSync.h"
#include "compat/export/ExecOnThread.h"
#include "compat/finder/FSNamesAndTags.h"
#include "compat/finder/TessalineFinder.h"
#include "compat/finder/TessalineVolume.h"
#include "compat/ui/ImageViewIconSetter.h"
#include "compat/ui/PlaylistSpaceUsageCell.h"
#include "compat/ui/SelectorText.h"
#include "compat/ui/VrelPlaylistDelagate.h"
#include "library/LibraryReader.h"
#include "session/DestinationLayout.h"

namespace app {

using base::Value;
using catalogue::CTrack;
using catalogue::CTrackCarrier;
using catalogue::CTrackList;
using exporter::CThreadCopier;
using exporter::CThreadPlaylistGenerator;
using exporter::CTrackSync;
using ui::ImageViewIconSetter;
using ui::SelectorText;
using Texts = std::vector<std::string>;
using Values = std::vector<Value>;

template <>
inline constexpr const char* kScriptClass<CTrack> = "CTrack";
template <>
inline constexpr const char* kScriptClass<CTrackCarrier> = "CTrackCarrier";
template <>
inline constexpr const char* kScriptClass<CTrackList> = "CTrackList";
template <>
inline constexpr const char* kScriptClass<CThreadCopier> = "CThreadCopier";
template <>
inline constexpr const char* kScriptClass<CThreadPlaylistGenerator> = "CThreadPlaylistGenerator";
template <>
inline constexpr const char* kScriptClass<CTrackSync> = "CTrackSync";
template <>
inline constexpr const char* kScriptClass<SelectorText> = "SelectorText";
template <>
inline constexpr const char* kScriptClass<finder::FSNamesAndTags> = "FSNamesAndTags";
template <>
inline constexpr const char* kScriptClass<ui::VrelPlaylistDelagate> = "VrelPlaylistDelagate";
template <>
inline constexpr const char* kScriptClass<exporter::ExecOnThread> = "ExecOnThread";
template <>
inline constexpr const char* kScriptClass<finder::TessalineFinder> = "TessalineFinder";

void throwWrongKind(const ArgContext& ctx, const char* expected, const Json& got) {
  throw BridgeFault{-32602, ctx.method + ": argument " + std::to_string(ctx.index + 1) +
                                " must be " + expected + ", got " + shownValue(got)};
}

base::Value scalarValue(const Json& j, const ArgContext& c) {
  if (j.is_boolean()) return Value(j.get<bool>());
  if (j.is_number_unsigned()) return Value(j.get<uint64_t>());
  if (j.is_number_integer()) return Value(j.get<int64_t>());
  if (j.is_number_float()) return Value(j.get<double>());
  if (j.is_string()) return Value(j.get<std::string>());
  throwWrongKind(c, "a boolean, a number or a string", j);
}

void checkMethodName(const std::string& name, const std::vector<ArgSpec>& args) {
  auto fail = [&](const std::string& why) {
    throw std::logic_error("script method " + name + ": " + why);
  };
  if (name.size() < 5 || (name[0] != '+' && name[0] != '-') || name[1] != '[' ||
      name.back() != ']') {
    fail("not of the form +[Class selector] or -[Class selector]");
  }
  size_t blank = name.find(' ');
  if (blank == std::string::npos) fail("no selector");
  std::string cls = name.substr(2, blank - 2);
  std::string selector = name.substr(blank + 1, name.size() - blank - 2);
  size_t labels = static_cast<size_t>(std::count(selector.begin(), selector.end(), ':'));
  size_t expected = labels + (name[0] == '-' ? 1 : 0);
  if (args.size() != expected)
    fail("its labels do not match its " + std::to_string(args.size()) + " arguments");
  if (name[0] == '-' && (args[0].kind != ArgKind::kObject || args[0].cls != cls)) {
    fail("the receiver is not a " + cls);
  }
}

namespace {

// The registries cross as JSON objects from identifier to handle; a
// track registry entry is a carrier, which does not keep its track alive.
Json trackDictJson(ScriptBridge& b) {
  Json out = Json::object();
  for (const auto& [id, carrier] : CTrack::trackDict().snapshot()) {
    CTrack::Ptr track = carrier.track();
    if (!track) continue;  // dying while we looked
    out[id] = b.handleFor("CTrackCarrier", std::make_shared<CTrackCarrier>(carrier));
  }
  return out;
}

Json trackListDictJson(ScriptBridge& b) {
  Json out = Json::object();
  for (const auto& [id, list] : CTrackList::trackListDict().snapshot()) out[id] = toJson(b, list);
  return out;
}

void registerCTrack(ScriptBridge& b) {
  // Class methods.
  b.add(
      {"+[CTrack trackDict]", {}, [](ScriptBridge& br, const Json&) { return trackDictJson(br); }});
  fn(
      b, "+[CTrack trackForUniqueID:]",
      +[](const std::string& id) { return CTrack::trackForUniqueID(id); });
  fn(b, "+[CTrack updateTrackForUniqueID:enable:]", &CTrack::updateTrackForUniqueID);
  fn(
      b, "+[CTrack trackForUniqueID:enable:sourcePath:destPath:title:artist:duration:]",
      +[](const std::string& id, const Value& enable, const std::string& source,
          const std::string& dest, const std::string& title, const std::string& artist,
          const std::string& duration) {
        return CTrack::trackForUniqueID(id, enable, source, dest, title, artist, duration);
      });
  fn(b, "+[CTrack destinationBasePath]", &CTrack::destinationBasePath);
  fn(b, "+[CTrack setDestinationBasePath:]", &CTrack::setDestinationBasePath);
  fn(b, "+[CTrack invalidateAllTrackDestinations]", &CTrack::invalidateAllTrackDestinations);
  fn(b, "+[CTrack clearFirstExportFlags]", &CTrack::clearFirstExportFlags);
  fn(b, "+[CTrack artFileName]", &CTrack::artFileName);
  // The script's numbers 0 to 3 become the core's treatment here; any
  // other number counts nothing.
  fn(
      b, "+[CTrack getTotalTrackSize:unknownDestState:]", +[](bool exportedOnly, int32_t unknown) {
        if (unknown < 0 || unknown > 3) return 0.0;
        return CTrack::getTotalTrackSize(exportedOnly,
                                         static_cast<CTrack::UnknownDestination>(unknown));
      });
  fn(b, "+[CTrack tracksNeedingArtMkdir:]", &CTrack::tracksNeedingArtMkdir);

  // Fields.
  member(b, "-[CTrack uniqueID]", &CTrack::uniqueID);
  member(b, "-[CTrack setUniqueID:]", &CTrack::setUniqueID);
  member(b, "-[CTrack sourcePath]", &CTrack::sourcePath);
  member(b, "-[CTrack setSourcePath:]", &CTrack::setSourcePath);
  member(b, "-[CTrack destPathRel]", &CTrack::destPathRel);
  member(b, "-[CTrack setDestPathRel:]", &CTrack::setDestPathRel);
  member(b, "-[CTrack trackTitle]", &CTrack::trackTitle);
  member(b, "-[CTrack setTrackTitle:]", &CTrack::setTrackTitle);
  member(b, "-[CTrack trackArtist]", &CTrack::trackArtist);
  member(b, "-[CTrack setTrackArtist:]", &CTrack::setTrackArtist);
  member(b, "-[CTrack trackDuration]", &CTrack::trackDuration);
  member(b, "-[CTrack setTrackDuration:]", &CTrack::setTrackDuration);
  member(b, "-[CTrack trackSize]", &CTrack::trackSize);
  member(b, "-[CTrack setTrackSize:]", &CTrack::setTrackSize);
  member(b, "-[CTrack exportCount]", &CTrack::exportCount);
  member(b, "-[CTrack setExportCount:]", &CTrack::setExportCount);
  member(b, "-[CTrack trackEnabled]", &CTrack::trackEnabled);
  member(b, "-[CTrack setTrackEnabled:]", &CTrack::setTrackEnabled);
  member(b, "-[CTrack trackTested]", &CTrack::trackTested);
  member(b, "-[CTrack setTrackTested:]", &CTrack::setTrackTested);
  member(b, "-[CTrack trackPresent]", &CTrack::trackPresent);
  member(b, "-[CTrack setTrackPresent:]", &CTrack::setTrackPresent);
  member(b, "-[CTrack firstExport]", &CTrack::firstExport);
  member(b, "-[CTrack setFirstExport:]", &CTrack::setFirstExport);
  member(b, "-[CTrack presentSetInResolve]", &CTrack::presentSetInResolve);
  member(b, "-[CTrack setPresentSetInResolve:]", &CTrack::setPresentSetInResolve);

  // Instance methods.
  member(b, "-[CTrack absDestinationPath]", &CTrack::absDestinationPath);
  member(b, "-[CTrack trackShouldCopy]", &CTrack::trackShouldCopy);
  member(b, "-[CTrack outputContribution]", &CTrack::outputContribution);
  member(b, "-[CTrack incrementExport:]", &CTrack::incrementExport);
  member(b, "-[CTrack decrementExport:]", &CTrack::decrementExport);
  member(b, "-[CTrack artDir]", &CTrack::artDir);
  member(b, "-[CTrack artPath]", &CTrack::artPath);

  member(b, "-[CTrackCarrier track]", &CTrackCarrier::track);
}

void registerCTrackList(ScriptBridge& b) {
  fn(
      b, "+[CTrackList retainedTrackListForUniqueID:exported:trackIDs:]",
      +[](const std::string& id, bool exported, const Values& trackIDs) {
        return CTrackList::retainedTrackListForUniqueID(id, exported, trackIDs);
      });
  fn(
      b, "+[CTrackList retainedTrackListForUniqueID:exported:trackIDs:enables:]",
      +[](const std::string& id, bool exported, const Values& trackIDs, const Values& enables) {
        return CTrackList::retainedTrackListForUniqueID(id, exported, trackIDs, enables);
      });
  fn(
      b,
      "+[CTrackList "
      "retainedTrackListForUniqueID:exported:trackIDs:enables:sourcePaths:destPaths:titles:artists:"
      "durations:]",
      +[](const std::string& id, bool exported, const Values& trackIDs, const Values& enables,
          const Texts& sources, const Texts& dests, const Texts& titles, const Texts& artists,
          const Texts& durations) {
        return CTrackList::retainedTrackListForUniqueID(id, exported, trackIDs, enables, sources,
                                                        dests, titles, artists, durations);
      });
  fn(
      b, "+[CTrackList setIsExported:forUniqueID:]",
      +[](bool exported, const std::string& id) { CTrackList::setIsExported(exported, id); });
  fn(b, "+[CTrackList setCopyOnlyCheckedItems:]", &CTrackList::setCopyOnlyCheckedItems);
  fn(b, "+[CTrackList copyOnlyCheckedItems]", &CTrackList::copyOnlyCheckedItems);
  b.add({"+[CTrackList trackListDict]", {}, [](ScriptBridge& br, const Json&) {
           return trackListDictJson(br);
         }});
  fn(b, "+[CTrackList invalidateFirstExportTotals]", &CTrackList::invalidateFirstExportTotals);
  fn(b, "+[CTrackList invalidateUnCopiedTotals]", &CTrackList::invalidateUnCopiedTotals);
  fn(b, "+[CTrackList clearFirstExportTotals]", &CTrackList::clearFirstExportTotals);

  // Space accounting.
  fn(b, "+[CTrackList netCopyTotalUniqueIDs:]",
     static_cast<double (*)(const catalogue::Texts&)>(&CTrackList::netCopyTotalUniqueIDs));
  fn(b, "+[CTrackList recalcAllTotalsforUniqueIDs:]", &CTrackList::recalcAllTotalsforUniqueIDs);
  fn(b, "+[CTrackList recalcUncopiedTotalsForPlaylistUniqueIDs:]",
     &CTrackList::recalcUncopiedTotalsForPlaylistUniqueIDs);
  fn(b, "+[CTrackList recalcFirstExportTotalsForPlaylistUniqueIDs:]",
     &CTrackList::recalcFirstExportTotalsForPlaylistUniqueIDs);
  fn(b, "+[CTrackList conditionalRecalcUncopiedTotalsForPlaylistUniqueIDs:]",
     &CTrackList::conditionalRecalcUncopiedTotalsForPlaylistUniqueIDs);
  fn(b, "+[CTrackList conditionalRecalcFirstExportTotalsForPlaylistUniqueIDs:]",
     &CTrackList::conditionalRecalcFirstExportTotalsForPlaylistUniqueIDs);
  fn(b, "+[CTrackList unCopiedTotalforUniqueID:]", &CTrackList::unCopiedTotalforUniqueID);
  fn(b, "+[CTrackList firstExportTotalforUniqueID:]", &CTrackList::firstExportTotalforUniqueID);
  // The whole copy run on the main thread, without states.
  fn(b, "+[CTrackList copyPlaylistUniqueIDs:]", &CTrackList::copyPlaylistUniqueIDs);

  // Fields.
  member(b, "-[CTrackList uniqueID]", &CTrackList::uniqueID);
  member(b, "-[CTrackList setUniqueID:]", &CTrackList::setUniqueID);
  member(b, "-[CTrackList playlistFileName]", &CTrackList::playlistFileName);
  member(b, "-[CTrackList setPlaylistFileName:]", &CTrackList::setPlaylistFileName);
  member(b, "-[CTrackList isExported]", &CTrackList::isExported);
  fn(
      b, "-[CTrackList setIsExported:]",
      +[](const CTrackList::Ptr& l, bool exported) { l->setIsExported(exported); });
  fn(
      b, "-[CTrackList trackList]", +[](const CTrackList::Ptr& l) { return *l->trackList(); });
  fn(
      b, "-[CTrackList setTrackList:]",
      +[](const CTrackList::Ptr& l, const std::vector<CTrack::Ptr>& tracks) {
        l->setTrackList(std::make_shared<const catalogue::TrackArray>(tracks));
      });
  member(b, "-[CTrackList firstExportTotal]", &CTrackList::firstExportTotal);
  member(b, "-[CTrackList setFirstExportTotal:]", &CTrackList::setFirstExportTotal);
  member(b, "-[CTrackList unCopiedTotal]", &CTrackList::unCopiedTotal);
  member(b, "-[CTrackList setUnCopiedTotal:]", &CTrackList::setUnCopiedTotal);

  // Instance methods.
  member(b, "-[CTrackList netcopyValid]", &CTrackList::netcopyValid);
  member(b, "-[CTrackList netcopyTotal]", &CTrackList::netcopyTotal);
  member(b, "-[CTrackList uncopiedTotal]", &CTrackList::uncopiedTotal);
  member(b, "-[CTrackList calcUncopiedTotal]", &CTrackList::calcUncopiedTotal);
  member(b, "-[CTrackList calcFirstExportTotal]", &CTrackList::calcFirstExportTotal);
  fn(
      b, "-[CTrackList loadTrackListForTrackIDs:]",
      +[](const CTrackList::Ptr& l, const Values& ids) { l->loadTrackListForTrackIDs(ids); });
  fn(
      b, "-[CTrackList loadTrackListForTrackIDs:enables:]",
      +[](const CTrackList::Ptr& l, const Values& ids, const Values& enables) {
        l->loadTrackListForTrackIDs(ids, enables);
      });
  fn(
      b,
      "-[CTrackList "
      "loadTrackListForTrackIDs:enables:sourcePaths:destPaths:titles:artists:durations:]",
      +[](const CTrackList::Ptr& l, const Values& ids, const Values& enables, const Texts& sources,
          const Texts& dests, const Texts& titles, const Texts& artists, const Texts& durations) {
        l->loadTrackListForTrackIDs(ids, enables, sources, dests, titles, artists, durations);
      });
  member(b, "-[CTrackList doGeneratePlaylistinFolder:]",
         static_cast<void (CTrackList::*)(const std::string&)>(
             &CTrackList::doGeneratePlaylistinFolder));
  fn(
      b, "-[CTrackList playlistFileText]",
      +[](const CTrackList::Ptr& list) { return list->playlistFileText(); });
}

void registerExportRuns(ScriptBridge& b) {
  b.add({"+[CThreadCopier CThreadCopierForUniqueIDs:]",
         {Arg<Texts>::spec()},
         [](ScriptBridge& br, const Json& params) {
           auto ids = Arg<Texts>::from(
               params[0], br, ArgContext{"+[CThreadCopier CThreadCopierForUniqueIDs:]", 0});
           auto copier = CThreadCopier::CThreadCopierForUniqueIDs(ids);
           br.trackRun([copier] { return !copier->isRunning(); });
           return toJson(br, copier);
         }});
  // Scripts see the state as its number; a number a script sets comes
  // back as it was set.
  fn(
      b, "-[CThreadCopier copyState]",
      +[](const CThreadCopier::Ptr& c) { return static_cast<int32_t>(c->copyState()); });
  fn(
      b, "-[CThreadCopier setCopyState:]", +[](const CThreadCopier::Ptr& c, int32_t v) {
        c->setCopyState(static_cast<CThreadCopier::CopyState>(v));
      });
  member(b, "-[CThreadCopier copiedSize]", &CThreadCopier::copiedSize);
  member(b, "-[CThreadCopier setCopiedSize:]", &CThreadCopier::setCopiedSize);
  member(b, "-[CThreadCopier totalSize]", &CThreadCopier::totalSize);
  member(b, "-[CThreadCopier committedSize]", &CThreadCopier::committedBytes);
  member(b, "-[CThreadCopier committedCount]", &CThreadCopier::committedCount);
  member(b, "-[CThreadCopier failedCount]", &CThreadCopier::failedCount);
  member(b, "-[CThreadCopier setTotalSize:]", &CThreadCopier::setTotalSize);
  member(b, "-[CThreadCopier copyPlaylistUniqueIDs:]", &CThreadCopier::copyPlaylistUniqueIDs);
  member(b, "-[CThreadCopier MTSetupDockProgress]", &CThreadCopier::MTSetupDockProgress);
  member(b, "-[CThreadCopier MTEndDockProgress]", &CThreadCopier::MTEndDockProgress);

  b.add({"+[CThreadPlaylistGenerator CThreadPlaylistGeneratorForUniqueIDs:inFolder:]",
         {Arg<Texts>::spec(), Arg<std::string>::spec()},
         [](ScriptBridge& br, const Json& params) {
           const std::string name =
               "+[CThreadPlaylistGenerator CThreadPlaylistGeneratorForUniqueIDs:inFolder:]";
           auto ids = Arg<Texts>::from(params[0], br, ArgContext{name, 0});
           auto folder = Arg<std::string>::from(params[1], br, ArgContext{name, 1});
           auto generator =
               CThreadPlaylistGenerator::CThreadPlaylistGeneratorForUniqueIDs(ids, folder);
           br.trackRun([generator] { return !generator->isRunning(); });
           return toJson(br, generator);
         }});
  member(b, "-[CThreadPlaylistGenerator playlistState]", &CThreadPlaylistGenerator::playlistState);
  member(b, "-[CThreadPlaylistGenerator setPlaylistState:]",
         &CThreadPlaylistGenerator::setPlaylistState);
  member(b, "-[CThreadPlaylistGenerator playlistPath]", &CThreadPlaylistGenerator::playlistPath);
  member(b, "-[CThreadPlaylistGenerator setPlaylistPath:]",
         &CThreadPlaylistGenerator::setPlaylistPath);
  member(b, "-[CThreadPlaylistGenerator generatePlaylistUniqueIDs:]",
         &CThreadPlaylistGenerator::generatePlaylistUniqueIDs);

  fn(
      b, "+[CTrackSync deleteList]", +[] { return CTrackSync::deleteList(nullptr); });
  fn(
      b, "-[CTrackSync deleteList]", +[](const CTrackSync::Ptr& s) { return s->deleteList(); });
  fn(
      b, "-[CTrackSync setDeleteList:]",
      +[](const CTrackSync::Ptr& s, const std::optional<Texts>& list) { s->setDeleteList(list); });
  member(b, "-[CTrackSync deleteSize]", &CTrackSync::deleteSize);
  member(b, "-[CTrackSync setDeleteSize:]", &CTrackSync::setDeleteSize);
  member(b, "-[CTrackSync deleteAllInList]", &CTrackSync::deleteAllInList);
  fn(
      b, "-[CTrackSync pathMinusBaseFromPath:forBasePath:]",
      +[](const CTrackSync::Ptr&, const std::string& path, const std::string& base) {
        return CTrackSync::pathMinusBaseFromPath(path, base);
      });
  fn(
      b, "-[CTrackSync pathMinusBaseFromURL:forBasePath:]",
      +[](const CTrackSync::Ptr&, const std::string& url, const std::string& base) {
        return CTrackSync::pathMinusBaseFromURL(url, base);
      });
}

// Where the command line puts a library's tracks and playlist files, so
// that a script lays the same library out the same way: {"tracks":
// {persistent ID: path below the drive's Music folder}, "playlists":
// {persistent ID: file name without ".m3u8"}}.
void registerLayout(ScriptBridge& b) {
  b.add({"+[DestinationLayout pathsForLibrary:]",
         {{ArgKind::kString, ""}},
         [](ScriptBridge&, const Json& params) {
           if (!params[0].is_string()) {
             throw BridgeFault{
                 -32602, "+[DestinationLayout pathsForLibrary:]: argument 1 must be a string"};
           }
           auto paths =
               DestinationLayout::forLibrary(LibraryReader().read(params[0].get<std::string>()));
           Json tracks(paths.tracks), playlists(paths.playlists);
           return Json{{"tracks", tracks}, {"playlists", playlists}};
         }});
}

void registerUi(ScriptBridge& b) {
  fn(b, "+[ImageViewIconSetter sanitizeFileName:]", &ImageViewIconSetter::sanitizeFileName);
  fn(b, "+[ImageViewIconSetter nslog:]", &ImageViewIconSetter::nslog);
  fn(b, "+[ImageViewIconSetter formatString1_1:fs_2:]", &ImageViewIconSetter::formatString1_1);
  fn(b, "+[ImageViewIconSetter formatString2_1:fs_2:fs_3:]", &ImageViewIconSetter::formatString2_1);
  fn(b, "+[ImageViewIconSetter formatString3_1:fs_2:fs_3:fs_4:]",
     &ImageViewIconSetter::formatString3_1);
  fn(b, "+[ImageViewIconSetter formatString4_1:fs_2:fs_3:fs_4:fs_5:]",
     &ImageViewIconSetter::formatString4_1);

  b.add({"+[ImageViewIconSetter displayStandardIconInImageView:forIconType:]",
         {{ArgKind::kObject, "NSImageView"}, {ArgKind::kString, ""}},
         [](ScriptBridge& br, const Json& p) -> Json {
           auto view = br.object<platform::ImageView>(p[0], "NSImageView");
           if (!p[1].is_string()) {
             throw BridgeFault{
                 -32602,
                 "+[ImageViewIconSetter displayStandardIconInImageView:forIconType:]: "
                 "argument 2 must be a string, got " +
                     shownValue(p[1])};
           }
           ImageViewIconSetter::displayStandardIconInImageView(*view, p[1].get<std::string>());
           return nullptr;
         }});
  // An object's class: a handle's own, or the class a plain value has on
  // the script's side.
  b.add({"+[VrelPlaylistDelagate object_getClassName:]",
         {{ArgKind::kAny, ""}},
         [](ScriptBridge& br, const Json& p) -> Json {
           const Json& v = p[0];
           if (v.is_object() && v.contains("$object")) {
             for (const auto& [id, cls] : br.liveHandles()) {
               if (v["$object"].is_number_integer() && v["$object"].get<int64_t>() == id)
                 return cls;
             }
             throw BridgeFault{
                 -32602,
                 "+[VrelPlaylistDelagate object_getClassName:]: argument 1 is a stale handle"};
           }
           if (v.is_string()) return "NSString";
           if (v.is_boolean() || v.is_number()) return "NSNumber";
           if (v.is_array()) return "NSArray";
           if (v.is_object()) return "NSDictionary";
           return "NSNull";
         }});
  member(b, "-[VrelPlaylistDelagate setOverflow:]", &ui::VrelPlaylistDelagate::setOverflow);

  member(b, "-[SelectorText confirmPrompt]", &SelectorText::confirmPrompt);
  member(b, "-[SelectorText completionPrompt]", &SelectorText::completionPrompt);
  member(b, "-[SelectorText failurePrompt]", &SelectorText::failurePrompt);

  // What loading the window's interface description creates; the window
  // keeps its objects for the whole session, so a second load hands out
  // the same ones.
  // Loading the interface made the drive popup (which scans at once) and
  // the prompt texts' object.
  b.add({"+[Interface load]", {}, [](ScriptBridge& br, const Json&) {
           auto selector = std::static_pointer_cast<SelectorText>(
               br.interfaceObject("selectorText", [] { return std::make_shared<SelectorText>(); }));
           auto popup = std::static_pointer_cast<finder::TessalineFinder>(
               br.interfaceObject("drivePopup", [] {
                 auto finder = std::make_shared<finder::TessalineFinder>();
                 finder->awakeFromNib();
                 return finder;
               }));
           // The playlist table's delegate and space usage cell, and the
           // image view that shows a file type's icon.
           auto delegate = br.interfaceObject(
               "playlistDelegate", [] { return std::make_shared<ui::VrelPlaylistDelagate>(); });
           auto cell = br.interfaceObject(
               "spaceUsageCell", [] { return std::make_shared<ui::PlaylistSpaceUsageCell>(); });
           auto icon = br.interfaceObject("iconView",
                                          [] { return std::make_shared<platform::ImageView>(); });
           return Json{{"selectorText", toJson(br, selector)},
                       {"drivePopup", toJson(br, popup)},
                       {"playlistDelegate", br.handleFor("VrelPlaylistDelagate", delegate)},
                       {"spaceUsageCell", br.handleFor("PlaylistSpaceUsageCell", cell)},
                       {"iconView", br.handleFor("NSImageView", icon)}};
         }});
}

namespace {

// The script's completion target: the finished operation reaches the
// script as the notification {"method": "completion", "params": [handle]}.
class NotifyingTarget : public exporter::ExecCompletionTarget {
 public:
  explicit NotifyingTarget(ScriptBridge& bridge, std::shared_ptr<bool> done)
      : bridge_(bridge), done_(std::move(done)) {}
  void shellCommandDidFinish(const std::shared_ptr<exporter::ExecOnThread>& operation) override {
    *done_ = true;
    bridge_.notify("completion", Json::array({bridge_.handleFor("ExecOnThread", operation)}));
  }

 private:
  ScriptBridge& bridge_;
  std::shared_ptr<bool> done_;
};

std::shared_ptr<exporter::ExecOnThread> execReceiver(ScriptBridge& b, const Json& params) {
  return b.object<exporter::ExecOnThread>(params[0], "ExecOnThread");
}

}  // namespace

void registerShellRunner(ScriptBridge& b) {
  using exporter::ExecOnThread;
  // The completion selector and target of the platform are the script
  // itself here: whatever it passes, the completion comes back to it as a
  // notification, and the context it gave comes back from -context.
  b.add({"+[ExecOnThread executeShellCommand:withContext:completionTo:andTarget:]",
         {{ArgKind::kString, ""}, {ArgKind::kAny, ""}, {ArgKind::kAny, ""}, {ArgKind::kAny, ""}},
         [](ScriptBridge& br, const Json& params) -> Json {
           if (!params[0].is_string()) {
             throw BridgeFault{
                 -32602,
                 "+[ExecOnThread executeShellCommand:withContext:completionTo:andTarget:]: "
                 "argument 1 must be a string"};
           }
           auto done = std::make_shared<bool>(false);
           auto target = std::make_shared<NotifyingTarget>(br, done);
           auto context = std::make_shared<Json>(params[1]);
           auto op = ExecOnThread::executeShellCommand(
               params[0].get<std::string>(), context,
               &exporter::ExecCompletionTarget::shellCommandDidFinish, target);
           br.trackRun([done] { return *done; });
           return br.handleFor("ExecOnThread", op);
         }});
  b.add(
      {"-[ExecOnThread shellResult]",
       {{ArgKind::kObject, "ExecOnThread"}},
       [](ScriptBridge& br, const Json& p) -> Json { return execReceiver(br, p)->shellResult(); }});
  b.add({"-[ExecOnThread outResult]",
         {{ArgKind::kObject, "ExecOnThread"}},
         [](ScriptBridge& br, const Json& p) -> Json {
           auto out = execReceiver(br, p)->outResult();
           return out ? Json(*out) : Json(nullptr);
         }});
  b.add({"-[ExecOnThread command]",
         {{ArgKind::kObject, "ExecOnThread"}},
         [](ScriptBridge& br, const Json& p) -> Json { return execReceiver(br, p)->command(); }});
  b.add({"-[ExecOnThread context]",
         {{ArgKind::kObject, "ExecOnThread"}},
         [](ScriptBridge& br, const Json& p) -> Json {
           auto context = std::static_pointer_cast<Json>(execReceiver(br, p)->context());
           return context ? *context : Json(nullptr);
         }});
  b.add({"-[ExecOnThread completionTarget]",
         {{ArgKind::kObject, "ExecOnThread"}},
         [](ScriptBridge& br, const Json& p) -> Json {
           // The target is the script's own session; it has no handle of its own.
           return execReceiver(br, p)->completionTarget() ? Json("script") : Json(nullptr);
         }});
}

void registerVolume(ScriptBridge& b) {
  using finder::TessalineVolume;
  const ArgSpec self{ArgKind::kObject, "TessalineVolume"};
  auto volume = [](ScriptBridge& br, const Json& p) {
    return br.object<TessalineVolume>(p[0], "TessalineVolume");
  };
  auto optional = [](const auto& v) { return v ? Json(*v) : Json(nullptr); };
  // A script makes a volume the platform's way: alloc, then init.
  b.add({"+[TessalineVolume alloc]", {}, [](ScriptBridge& br, const Json&) {
           auto runShell = [](const std::string& command, std::optional<std::string>* output) {
             return exporter::ExecOnThread::execShellCommand(command.c_str(), output);
           };
           return br.handleFor("TessalineVolume", std::make_shared<TessalineVolume>(runShell));
         }});
  b.add({"-[TessalineVolume initWithSliceName:]",
         {self, {ArgKind::kString, ""}},
         [volume](ScriptBridge& br, const Json& p) -> Json {
           if (!p[1].is_string())
             throw BridgeFault{
                 -32602, "-[TessalineVolume initWithSliceName:]: argument 2 must be a string"};
           volume(br, p)->initWithSliceName(p[1].get<std::string>());
           return p[0];
         }});
  b.add({"+[TessalineVolume parseDiskSize:]",
         {{ArgKind::kString, ""}},
         [](ScriptBridge&, const Json& p) -> Json {
           if (!p[0].is_string())
             throw BridgeFault{-32602,
                               "+[TessalineVolume parseDiskSize:]: argument 1 must be a string"};
           return TessalineVolume::parseDiskSize(p[0].get<std::string>());
         }});
  b.add({"-[TessalineVolume diskSlice]", {self}, [volume](ScriptBridge& br, const Json& p) -> Json {
           return volume(br, p)->diskSlice();
         }});
  b.add({"-[TessalineVolume fsName]", {self}, [=](ScriptBridge& br, const Json& p) -> Json {
           return optional(volume(br, p)->fsName());
         }});
  b.add({"-[TessalineVolume contentTag]", {self}, [=](ScriptBridge& br, const Json& p) -> Json {
           return optional(volume(br, p)->contentTag());
         }});
  b.add({"-[TessalineVolume totalBytes]", {self}, [=](ScriptBridge& br, const Json& p) -> Json {
           return optional(volume(br, p)->totalBytes());
         }});
  b.add({"-[TessalineVolume freeBytes]", {self}, [=](ScriptBridge& br, const Json& p) -> Json {
           return optional(volume(br, p)->freeBytes());
         }});
  b.add({"-[TessalineVolume fsIsWritable]",
         {self},
         [volume](ScriptBridge& br, const Json& p) -> Json {
           return volume(br, p)->fsIsWritable();
         }});
  b.add({"-[TessalineVolume fsIsCompatible]",
         {self},
         [volume](ScriptBridge& br, const Json& p) -> Json {
           return volume(br, p)->fsIsCompatible();
         }});
  b.add({"-[TessalineVolume fsIsNTFS]", {self}, [volume](ScriptBridge& br, const Json& p) -> Json {
           return volume(br, p)->fsIsNTFS();
         }});
  b.add({"-[TessalineVolume fsLimit4G]", {self}, [volume](ScriptBridge& br, const Json& p) -> Json {
           return volume(br, p)->fsLimit4G();
         }});
}

void registerDrive(ScriptBridge& b) {
  registerVolume(b);
  using finder::TessalineFinder;
  fn(
      b, "+[TessalineFinder getPathForDiskID:]",
      +[](int32_t refNum) { return TessalineFinder::getPathForDiskID(refNum); });
  fn(
      b, "+[TessalineFinder noTessalineExplain]",
      +[] { return TessalineFinder::noTessalineExplain(); });
  b.add({"-[TessalineFinder noTessalineExplain]",
         {{ArgKind::kObject, "TessalineFinder"}},
         [](ScriptBridge& br, const Json& p) -> Json {
           br.object<TessalineFinder>(p[0], "TessalineFinder");  // a live handle is required
           auto text = TessalineFinder::noTessalineExplain();
           return text ? Json(*text) : Json(nullptr);
         }});
  using finder::FSNamesAndTags;
  // The single instance lives for the whole process; the handle does not own it.
  fn(
      b, "+[FSNamesAndTags sharedManager]", +[] {
        return std::shared_ptr<FSNamesAndTags>(FSNamesAndTags::sharedManager(),
                                               [](FSNamesAndTags*) {});
      });
  member(b, "-[FSNamesAndTags userFSNameForContentHint:]",
         &FSNamesAndTags::userFSNameForContentHint);
  member(b, "-[FSNamesAndTags useFAT32Formatter]", &FSNamesAndTags::useFAT32Formatter);
  member(b, "-[FSNamesAndTags preferredFormatterUserName]",
         &FSNamesAndTags::preferredFormatterUserName);
  member(b, "-[FSNamesAndTags outputVolumeName]", &FSNamesAndTags::outputVolumeName);
}

}  // namespace

void registerScriptMethods(ScriptBridge& bridge) {
  registerDrive(bridge);
  registerShellRunner(bridge);
  registerCTrack(bridge);
  registerCTrackList(bridge);
  registerExportRuns(bridge);
  registerUi(bridge);
  registerLayout(bridge);
}

}  // namespace app
