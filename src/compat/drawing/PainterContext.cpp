#include "compat/drawing/PainterContext.h"

#include <QFont>
#include <QFontMetricsF>
#include <QPainter>
#include <QString>

namespace platform {
namespace {

QColor painterColor(const Color& c) { return QColor::fromRgbF(c.red, c.green, c.blue, c.alpha); }
QRectF toQRect(const Rect& r) { return QRectF(r.x, r.y, r.width, r.height); }

QFont fontFor(const AttributedString& text) {
  QFont font;
  // Points are pixels here, whatever the screen's resolution says.
  font.setPixelSize(std::max(1, static_cast<int>(text.fontSize + 0.5)));
  return font;
}

}  // namespace

void PainterContext::fillRect(const Rect& rect, const Color& color) {
  painter_.fillRect(toQRect(rect), painterColor(color));
}

void PainterContext::strokeRect(const Rect& rect, const Color& color) {
  painter_.save();
  painter_.setRenderHint(QPainter::Antialiasing, false);
  painter_.setPen(QPen(painterColor(color), 1));
  painter_.setBrush(Qt::NoBrush);
  // A 1-pixel pen on a whole-pixel rectangle draws right and below its
  // edges; one less keeps the line inside.
  painter_.drawRect(QRectF(rect.x, rect.y, rect.width - 1, rect.height - 1));
  painter_.restore();
}

void PainterContext::strokeLine(Point from, Point to, const Color& color, double width) {
  painter_.save();
  painter_.setRenderHint(QPainter::Antialiasing, true);
  painter_.setPen(QPen(painterColor(color), width, Qt::SolidLine, Qt::RoundCap));
  painter_.drawLine(QPointF(from.x, from.y), QPointF(to.x, to.y));
  painter_.restore();
}

void PainterContext::drawText(const AttributedString& text, const Rect& rect, bool truncateTail) {
  if (rect.width <= 0 || rect.height <= 0) return;
  QFont font = fontFor(text);
  QString s = QString::fromUtf8(text.text.data(), static_cast<qsizetype>(text.text.size()));
  if (truncateTail) s = QFontMetricsF(font).elidedText(s, Qt::ElideRight, rect.width);
  painter_.save();
  painter_.setClipRect(toQRect(rect), Qt::IntersectClip);
  painter_.setFont(font);
  painter_.setPen(painterColor(text.foreground));
  painter_.drawText(toQRect(rect), Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine, s);
  painter_.restore();
}

double PainterContext::textWidth(const AttributedString& text) {
  QString s = QString::fromUtf8(text.text.data(), static_cast<qsizetype>(text.text.size()));
  return QFontMetricsF(fontFor(text)).horizontalAdvance(s);
}

}  // namespace platform
