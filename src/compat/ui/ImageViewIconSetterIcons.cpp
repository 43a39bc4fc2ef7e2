// The icon half of ImageViewIconSetter, apart from its text functions:
// it asks Qt's MIME database, and the command-line program, which uses
// only the file name cleaner, is built without Qt.
#include <QMimeDatabase>
#include <QMimeType>
#include <map>

#include "compat/ui/ImageViewIconSetter.h"

namespace ui {

std::pair<std::string, std::string> ImageViewIconSetter::iconNamesForFileType(
    const std::string& type) {
  // The type codes a script is likely to ask for, as the icon theme names them.
  static const std::map<std::string, std::pair<std::string, std::string>> kCodes = {
      {"fold", {"folder", "folder"}},
      {"APPL", {"application-x-executable", "application-x-executable"}},
      {"hdsk", {"drive-harddisk", "drive-harddisk"}},
      {"ejec", {"media-eject", "media-eject"}},
      {"trsh", {"user-trash", "user-trash"}},
      {"docu", {"text-x-generic", "text-x-generic"}},
  };
  if (type.size() == 6 && type.front() == '\'' && type.back() == '\'') {
    auto it = kCodes.find(type.substr(1, 4));
    return it == kCodes.end() ? std::pair<std::string, std::string>{"unknown", "unknown"}
                              : it->second;
  }
  std::string extension = !type.empty() && type.front() == '.' ? type.substr(1) : type;
  if (extension.empty()) return {"unknown", "unknown"};
  QMimeType mime = QMimeDatabase().mimeTypeForFile(QString::fromStdString("file." + extension),
                                                   QMimeDatabase::MatchExtension);
  if (mime.isDefault()) return {"unknown", "unknown"};
  return {mime.iconName().toStdString(), mime.genericIconName().toStdString()};
}

void ImageViewIconSetter::displayStandardIconInImageView(platform::ImageView& view,
                                                         const std::string& iconType) {
  auto [name, fallback] = iconNamesForFileType(iconType);
  view.setIcon(std::move(name), std::move(fallback));
}

}  // namespace ui
