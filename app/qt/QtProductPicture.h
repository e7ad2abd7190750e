#pragma once

#include <QByteArray>
#include <QLabel>
#include <QSvgRenderer>

namespace mirel {

// The product picture: an SVG drawn at paint time into the label's square,
// so that it stays sharp at every scale factor and on every screen.
class QtProductPicture : public QLabel {
 public:
  // `side` is the picture's size in device-independent pixels.
  QtProductPicture(int side, QWidget* parent);

  // Shows `svg`; an invalid document leaves the picture empty.
  void set_svg(const QByteArray& svg);
  bool has_picture() const { return m_renderer.isValid(); }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QSvgRenderer m_renderer;
};

}  // namespace mirel
