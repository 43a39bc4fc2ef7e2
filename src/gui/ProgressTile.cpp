#include "gui/ProgressTile.h"

#include <QIcon>
#include <QPainter>
#include <QPixmap>
#include <QProgressBar>
#include <QWidget>
#include <algorithm>
#include <cmath>

#include "base/Resources.h"

namespace app {
namespace {

QImage artwork(const char* name) {
  return QImage(QString::fromStdString(base::resourcePath(name)), "PNG");
}

// Read once: a copy draws a few hundred icons.
const QImage& gradient() {
  static const QImage image = artwork("MiniProgressGradient.png");
  return image;
}

// The fill where the artwork has no gradient for it.
const QColor kKnob = QColor::fromRgbF(0.29f, 0.56f, 0.89f);

}  // namespace

ProgressTile::ProgressTile(QWidget& window, QProgressBar& bar) : window_(window), bar_(bar) {
  bar_.setRange(0, kSteps);
  window_.setWindowIcon(QIcon(QPixmap::fromImage(standardIcon())));
}

double ProgressTile::fillWidth(double share) {
  if (!std::isfinite(share)) return 0;
  double width = kFillFrame.width() * std::clamp(share, 0.0, 1.0);
  return std::min(std::round(width * 4) / 4, kFillFrame.width());
}

QImage ProgressTile::standardIcon() {
  static const QImage image = artwork("DockIcon.png");
  return image;
}

QImage ProgressTile::tileImage(double share) {
  QImage tile(kTileSide, kTileSide, QImage::Format_ARGB32_Premultiplied);
  tile.fill(Qt::transparent);
  QPainter painter(&tile);
  painter.setRenderHint(QPainter::Antialiasing, true);
  painter.setRenderHint(QPainter::SmoothPixmapTransform, true);
  QImage icon = standardIcon();
  // Artwork of another size sits on the tile's lower edge, as the bar does.
  if (!icon.isNull()) painter.drawImage(QPointF(0, kTileSide - icon.height()), icon);
  painter.fillRect(kBarFrame, Qt::white);
  QPen frame(Qt::black);
  frame.setWidthF(1.0);
  frame.setJoinStyle(Qt::MiterJoin);
  painter.setPen(frame);
  painter.setBrush(Qt::NoBrush);
  painter.drawRect(kBarFrame);
  QRectF fill = kFillFrame;
  fill.setWidth(fillWidth(share));
  if (fill.width() > 0) {
    if (gradient().isNull()) {
      painter.fillRect(fill, kKnob);
    } else {
      // Replaces what is under it, as the artwork's own alpha says.
      painter.setCompositionMode(QPainter::CompositionMode_Source);
      painter.drawImage(fill, gradient(), QRectF(gradient().rect()));
    }
  }
  return tile;
}

void ProgressTile::show(double done, double total) {
  double share = total > 0 ? done / total : 0;
  share_ = std::isfinite(share) ? std::clamp(share, 0.0, 1.0) : 0;
  shown_ = true;
  bar_.setRange(0, kSteps);
  bar_.setValue(static_cast<int>(share_ * kSteps));
  bar_.show();
  launcher_.setProgress(share_);
  // The icon is given by the fill's width alone: drawn anew only when that changes.
  double width = fillWidth(share_);
  if (drawnWidth_ != width) {
    window_.setWindowIcon(QIcon(QPixmap::fromImage(tileImage(share_))));
    drawnWidth_ = width;
  }
}

void ProgressTile::hide() {
  shown_ = false;
  share_ = 0;
  bar_.hide();
  launcher_.setProgress(std::nullopt);
  if (drawnWidth_) window_.setWindowIcon(QIcon(QPixmap::fromImage(standardIcon())));
  drawnWidth_.reset();
}

}  // namespace app
