#include "compat/drawing/Image.h"

#include <QBuffer>
#include <QByteArray>
#include <QColor>
#include <QImage>
#include <QPainter>
#include <QRectF>
#include <algorithm>
#include <cmath>
#include <filesystem>
#include <map>
#include <mutex>

#include "base/Log.h"
#include "base/Resources.h"

#if defined(__SANITIZE_THREAD__)
// The raster engine splits large fills across Qt's own worker threads and
// waits for them on futexes, which the thread sanitizer cannot see; the
// races it then reports lie wholly inside Qt.
extern "C" const char* __tsan_default_suppressions() {
  return "race:libQt6Gui.so\n"
         "race:libQt6Core.so\n";
}
#endif

namespace platform {

struct Image::Impl {
  QImage image;
};

namespace {

int pixelsFor(double points) {
  if (!(points > 0)) return 0;  // also NaN
  return static_cast<int>(std::min<double>(std::ceil(points), Image::kMaxSide));
}

bool finite(const Rect& r) {
  return std::isfinite(r.x) && std::isfinite(r.y) && std::isfinite(r.width) &&
         std::isfinite(r.height);
}

// Our rectangles count y from the bottom; the raster counts rows from the
// top.
QRectF toRaster(const Rect& r, int imageHeight) {
  return QRectF(r.x, imageHeight - r.y - r.height, r.width, r.height);
}

QColor toQColor(const Color& c) {
  auto unit = [](double v) { return std::isfinite(v) ? std::clamp(v, 0.0, 1.0) : 0.0; };
  return QColor::fromRgbF(static_cast<float>(unit(c.red)), static_cast<float>(unit(c.green)),
                          static_cast<float>(unit(c.blue)), static_cast<float>(unit(c.alpha)));
}

QImage drawable(QImage image) {
  if (image.format() != QImage::Format_ARGB32_Premultiplied) {
    image = image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
  }
  return image;
}

void beginPainting(QPainter& painter, CompositingOperation operation, double fraction) {
  painter.setRenderHint(QPainter::Antialiasing, true);
  painter.setRenderHint(QPainter::SmoothPixmapTransform, true);
  painter.setCompositionMode(operation == CompositingOperation::kCopy
                                 ? QPainter::CompositionMode_Source
                                 : QPainter::CompositionMode_SourceOver);
  painter.setOpacity(std::isfinite(fraction) ? std::clamp(fraction, 0.0, 1.0) : 0.0);
}

}  // namespace

Image::Image() : impl_(std::make_unique<Impl>()) {}

Image::Image(double width, double height) : impl_(std::make_unique<Impl>()) {
  int w = pixelsFor(width);
  int h = pixelsFor(height);
  if (w > 0 && h > 0) {
    impl_->image = QImage(w, h, QImage::Format_ARGB32_Premultiplied);
    impl_->image.fill(Qt::transparent);
  }
}

Image::Image(const Image& other) : impl_(std::make_unique<Impl>(*other.impl_)) {}
Image::Image(Image&& other) noexcept : impl_(std::make_unique<Impl>()) {
  std::swap(impl_, other.impl_);
}
Image& Image::operator=(const Image& other) {
  if (this != &other) impl_->image = other.impl_->image;
  return *this;
}
Image& Image::operator=(Image&& other) noexcept {
  std::swap(impl_, other.impl_);
  return *this;
}
Image::~Image() = default;

std::optional<Image> Image::decodePNG(std::string_view bytes) {
  if (bytes.empty()) return std::nullopt;
  QImage decoded;
  if (!decoded.loadFromData(reinterpret_cast<const uchar*>(bytes.data()),
                            static_cast<int>(std::min<size_t>(bytes.size(), INT32_MAX)), "PNG")) {
    return std::nullopt;
  }
  if (decoded.width() > kMaxSide || decoded.height() > kMaxSide) return std::nullopt;
  Image result;
  result.impl_->image = drawable(std::move(decoded));
  return result;
}

std::optional<Image> Image::contentsOfFile(const std::string& path) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) return std::nullopt;
  QImage decoded;
  if (!decoded.load(QString::fromStdString(path), "PNG")) return std::nullopt;
  if (decoded.width() > kMaxSide || decoded.height() > kMaxSide) return std::nullopt;
  Image result;
  result.impl_->image = drawable(std::move(decoded));
  return result;
}

std::optional<Image> Image::imageNamed(const std::string& name) {
  // A name is one file name in the resources folder, never a path.
  if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..") {
    return std::nullopt;
  }
  std::string path = base::resourcePath(name + ".png");
  std::error_code ec;
  if (name == kApplicationIconName && !std::filesystem::exists(path, ec)) {
    path = base::resourcePath("DockIcon.png");
  }

  static std::mutex mutex;
  static std::map<std::string, std::optional<Image>> cache;
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (auto it = cache.find(path); it != cache.end()) return it->second;
  }
  // Absent artwork is looked for again next time (cheap); present but
  // unreadable artwork is remembered, so its message appears once.
  if (!std::filesystem::exists(path, ec)) return std::nullopt;
  std::optional<Image> loaded = contentsOfFile(path);
  std::lock_guard<std::mutex> lock(mutex);
  auto [it, inserted] = cache.emplace(path, loaded);
  if (inserted && !loaded) base::logFormat("image %@ could not be read from %@", name, path);
  return it->second;
}

Size Image::size() const {
  return {static_cast<double>(impl_->image.width()), static_cast<double>(impl_->image.height())};
}
bool Image::isEmpty() const { return impl_->image.isNull(); }
int Image::pixelsWide() const { return impl_->image.width(); }
int Image::pixelsHigh() const { return impl_->image.height(); }

std::string Image::pngRepresentation() const {
  if (impl_->image.isNull()) return {};
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  // Fast compression: tiles are written often and are small either way.
  if (!impl_->image.save(&buffer, "PNG", 80)) return {};
  return std::string(bytes.constData(), static_cast<size_t>(bytes.size()));
}

void Image::fillRect(const Rect& rect, const Color& color) {
  if (impl_->image.isNull() || !finite(rect) || rect.width <= 0 || rect.height <= 0) return;
  QPainter painter(&impl_->image);
  beginPainting(painter, CompositingOperation::kSourceOver, 1.0);
  painter.fillRect(toRaster(rect, impl_->image.height()), toQColor(color));
}

void Image::strokeRect(const Rect& rect, const Color& color, double lineWidth) {
  if (impl_->image.isNull() || !finite(rect) || !(lineWidth > 0) || !std::isfinite(lineWidth)) {
    return;
  }
  QPainter painter(&impl_->image);
  beginPainting(painter, CompositingOperation::kSourceOver, 1.0);
  QPen pen(toQColor(color));
  pen.setWidthF(lineWidth);
  pen.setJoinStyle(Qt::MiterJoin);
  painter.setPen(pen);
  painter.setBrush(Qt::NoBrush);
  painter.drawRect(toRaster(rect, impl_->image.height()));
}

void Image::drawAtPoint(const Image& image, Point origin, CompositingOperation operation,
                        double fraction) {
  Size s = image.size();
  drawInRect(image, {origin.x, origin.y, s.width, s.height}, {0, 0, s.width, s.height}, operation,
             fraction);
}

void Image::drawInRect(const Image& image, const Rect& destination, const Rect& source,
                       CompositingOperation operation, double fraction) {
  if (impl_->image.isNull() || image.impl_->image.isNull() || !finite(destination) ||
      !finite(source) || destination.width <= 0 || destination.height <= 0 || source.width <= 0 ||
      source.height <= 0) {
    return;
  }
  // Drawing an image into itself reads the pixels it is changing; draw a
  // snapshot instead.
  QImage from = image.impl_->image;
  QPainter painter(&impl_->image);
  beginPainting(painter, operation, fraction);
  painter.drawImage(toRaster(destination, impl_->image.height()), from,
                    toRaster(source, from.height()));
}

Pixel Image::pixelAt(int x, int y) const {
  const QImage& image = impl_->image;
  int row = image.height() - 1 - y;
  if (x < 0 || row < 0 || x >= image.width() || row >= image.height()) return {};
  QRgb value = qUnpremultiply(image.pixel(x, row));
  return {static_cast<uint8_t>(qRed(value)), static_cast<uint8_t>(qGreen(value)),
          static_cast<uint8_t>(qBlue(value)), static_cast<uint8_t>(qAlpha(value))};
}

}  // namespace platform
