#include "gui/QtDockTile.h"

#include <QIcon>
#include <QPixmap>
#include <QWidget>

namespace app {
namespace {

QIcon iconOf(const platform::Image& image) {
  std::string png = image.pngRepresentation();
  QPixmap pixmap;
  pixmap.loadFromData(reinterpret_cast<const uchar*>(png.data()), static_cast<uint>(png.size()),
                      "PNG");
  return QIcon(pixmap);
}

}  // namespace

void QtDockTile::showImage(const platform::Image& image) { window_.setWindowIcon(iconOf(image)); }

void QtDockTile::restoreStandardIcon() {
  auto icon = platform::Image::imageNamed(platform::Image::kApplicationIconName);
  window_.setWindowIcon(icon ? iconOf(*icon) : QIcon());
}

}  // namespace app
