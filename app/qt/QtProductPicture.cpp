#include "app/qt/QtProductPicture.h"

#include <QPainter>

namespace mirel {

QtProductPicture::QtProductPicture(int side, QWidget* parent) : QLabel(parent) { setFixedSize(side, side); }

void QtProductPicture::set_svg(const QByteArray& svg) {
  m_renderer.load(svg);
  m_renderer.setAspectRatioMode(Qt::KeepAspectRatio);
  update();
}

void QtProductPicture::paintEvent(QPaintEvent*) {
  if (!m_renderer.isValid()) return;
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  m_renderer.render(&painter, QRectF(rect()));
}

}  // namespace mirel
