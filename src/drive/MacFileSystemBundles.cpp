#include "drive/MacFileSystemBundles.h"

#include <algorithm>
#include <filesystem>
#include <sstream>

#include "base/LocalizedStrings.h"
#include "base/WholeFile.h"
#include "drive/PropertyList.h"

namespace drive {
namespace stdfs = std::filesystem;

namespace {

std::optional<std::string> readFile(const stdfs::path& path) {
  return base::readWholeFile(path.string(), base::kSmallFileLimit).take();
}

std::optional<std::string> stringFor(const PropertyList& dict, const char* key) {
  const PropertyList* v = dict.find(key);
  if (v == nullptr || v->asString() == nullptr) return std::nullopt;
  return *v->asString();
}

std::optional<FSPersonalityList> personalitiesOf(const PropertyList* personalities) {
  if (personalities == nullptr || !personalities->isDict()) return std::nullopt;
  FSPersonalityList list;
  for (const auto& [name, entry] : *personalities->asDict()) {
    // A personality that is not a dictionary has no keys to read; it is
    // left out, as a missing one would be.
    if (!entry.isDict()) continue;
    list.emplace_back(
        name, FSPersonality{stringFor(entry, "FSFormatContentMask"),
                            stringFor(entry, "FSFormatExecutable"), stringFor(entry, "FSName")});
  }
  return list;
}

// The localised InfoPlist.strings of a bundle, as a property list.
std::optional<PropertyList> localizedInfo(const stdfs::path& contents) {
  for (const char* lproj : {"English.lproj", "en.lproj"}) {
    auto bytes = readFile(contents / "Resources" / lproj / "InfoPlist.strings");
    if (!bytes) continue;
    std::string text = base::decodeTextBytes(*bytes);
    if (auto parsed = PropertyList::parse(text); parsed && parsed->isDict()) return parsed;
    if (auto parsed = PropertyList::parse(*bytes); parsed && parsed->isDict()) return parsed;
    return std::nullopt;  // the flat strings form: texts only
  }
  return std::nullopt;
}

}  // namespace

MacFileSystemBundles::MacFileSystemBundles(std::string bundleFolder, std::string ntfs3gSettings)
    : folder_(std::move(bundleFolder)), settings_(std::move(ntfs3gSettings)) {}

FSBundleDescription MacFileSystemBundles::describeBundle(const std::string& bundlePath) {
  FSBundleDescription d;
  stdfs::path bundle(bundlePath);
  stdfs::path contents = bundle / "Contents";
  d.path = bundlePath;
  d.descriptionPath = (contents / "Info.plist").string();
  std::error_code ec;
  stdfs::directory_iterator probe(bundle, ec);
  if (ec) {
    d.opened = false;
    return d;
  }
  auto info = PropertyList::load(d.descriptionPath);
  if (!info || !info->isDict()) return d;
  const PropertyList* raw = info->find("FSPersonalities");
  d.rawPersonalities = personalitiesOf(raw);
  const PropertyList* shown = raw;
  auto localized = localizedInfo(contents);
  if (localized) {
    if (const PropertyList* l = localized->find("FSPersonalities")) shown = l;
  }
  d.bundlePersonalities = personalitiesOf(shown);
  return d;
}

std::vector<FSBundleDescription> MacFileSystemBundles::bundles() {
  std::vector<std::string> paths;
  std::error_code ec;
  stdfs::recursive_directory_iterator it(folder_, stdfs::directory_options::skip_permission_denied,
                                         ec);
  for (; !ec && it != stdfs::recursive_directory_iterator(); it.increment(ec)) {
    const stdfs::path& p = it->path();
    if (p.extension() != ".fs") continue;
    std::error_code typeError;
    if (!stdfs::is_directory(p, typeError)) continue;
    paths.push_back(p.string());
  }
  // Directory listings come in no particular order; sorting makes the
  // "later entry replaces" rule of the catalogue repeatable.
  std::sort(paths.begin(), paths.end());
  std::vector<FSBundleDescription> result;
  for (const auto& p : paths) result.push_back(describeBundle(p));
  return result;
}

bool MacFileSystemBundles::ntfs3gDriverDisabled() { return settingsDisableDriver(settings_); }

}  // namespace drive
