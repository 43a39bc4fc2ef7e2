#include "gui/CapacityBar.h"

#include <QPainter>
#include <algorithm>

#include "base/ByteCountText.h"

namespace app {
namespace {

QString bytes(uint64_t b) {
  return QString::fromStdString(base::byteCountText(static_cast<double>(b)));
}

const QColor kOthers(0x95, 0xa5, 0xa6), kThere(0x29, 0x80, 0xb9), kToCopy(0x27, 0xae, 0x60),
    kFree(0xec, 0xf0, 0xf1), kOver(0xc0, 0x39, 0x2b);

}  // namespace

CapacityBar::CapacityBar(QWidget* parent) : QWidget(parent) {
  setMinimumHeight(14);
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void CapacityBar::setParts(const CapacityParts& parts) {
  parts_ = parts;
  setToolTip(legend());
  setAccessibleDescription(legend());
  update();
}

QString CapacityBar::legend(bool coloured) const {
  const CapacityParts& p = parts_;
  auto key = [coloured](const QColor& colour) {
    return coloured ? QString("<span style=\"color:%1\">■</span> ").arg(colour.name()) : QString();
  };
  QString text =
      key(kOthers) +
      (p.folderOnDisk ? "Other files on the disk holding this folder: " : "Other files: ") +
      bytes(p.others()) + " · " + key(kThere) +
      "This export's tracks already there: " + bytes(p.alreadyThere) + " · " +
      key(p.fits() ? kToCopy : kOver) + "To copy: " + bytes(p.toCopy) + " · ";
  // The free part's colour is the window's own: an outline shows it.
  if (p.fits())
    return text + (coloured ? QString("□ ") : QString()) +
           "Free after the export: " + bytes(p.freeAfter()) +
           (p.freed > 0 ? QString(", with %1 removed").arg(bytes(p.freed)) : QString());
  // The drive is charged in whole clusters: that is the figure to free.
  return text +
         QString("Does not fit: %1 more than is free").arg(bytes(p.needed() - p.free - p.freed));
}

void CapacityBar::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  QRectF frame = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
  painter.fillRect(frame, kFree);
  const CapacityParts& p = parts_;
  if (p.capacity > 0) {
    // A copy that does not fit is drawn past the free space: the bar then
    // counts up to what the export would need.
    double whole = static_cast<double>(
        std::max<uint64_t>(p.capacity, p.others() + p.alreadyThere + p.needed()));
    double x = frame.left();
    auto part = [&](uint64_t size, const QColor& colour) {
      double w = frame.width() * static_cast<double>(size) / whole;
      painter.fillRect(QRectF(x, frame.top(), w, frame.height()), colour);
      x += w;
    };
    part(p.others(), kOthers);
    part(p.alreadyThere, kThere);
    part(p.needed(), p.fits() ? kToCopy : kOver);
  }
  painter.setPen(p.fits() ? palette().color(QPalette::Mid) : kOver);
  painter.drawRect(frame);
}

}  // namespace app
