#include "app/qt/QtIcons.h"

#include <QPainter>
#include <QPixmap>
#include <QSvgRenderer>

#include "app/res/resource.h"

// The SVG files, linked in by app/qt/qt.cmake.
extern "C" {
extern const char mirel_svg_app_begin[];
extern const char mirel_svg_app_end[];
extern const char mirel_svg_product_begin[];
extern const char mirel_svg_product_end[];
extern const char mirel_svg_product_model1_begin[];
extern const char mirel_svg_product_model1_end[];
}

namespace mirel {

namespace {

QByteArray view(const char* begin, const char* end) {
  // The bytes live as long as the program; no copy.
  return QByteArray::fromRawData(begin, static_cast<qsizetype>(end - begin));
}

}  // namespace

QByteArray QtIcons::Svg(int icon) {
  switch (icon) {
    case IDI_MIREL_APP:
      return view(mirel_svg_app_begin, mirel_svg_app_end);
    case IDI_PRODUCT:
      return view(mirel_svg_product_begin, mirel_svg_product_end);
    case IDI_PRODUCT_MODEL1:
      return view(mirel_svg_product_model1_begin, mirel_svg_product_model1_end);
    default:
      return QByteArray();
  }
}

QIcon QtIcons::WindowIcon(int icon) {
  QSvgRenderer renderer(Svg(icon));
  if (!renderer.isValid()) return QIcon();
  QIcon result;
  for (int size : {16, 24, 32, 48, 64, 128, 256}) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    renderer.render(&painter);
    painter.end();
    result.addPixmap(pixmap);
  }
  return result;
}

}  // namespace mirel
