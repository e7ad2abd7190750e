#pragma once

#include <QByteArray>
#include <QIcon>

namespace mirel {

// The application's icons (IDI_MIREL_APP, IDI_PRODUCT, IDI_PRODUCT_MODEL1),
// drawn from the SVG sources linked into the program, so that they are sharp
// at any size and scale factor.
class QtIcons {
 public:
  // The SVG document of `icon`; empty for an unknown id.
  static QByteArray Svg(int icon);
  // `icon` as a window icon, drawn at the sizes window managers ask for;
  // a null icon for an unknown id.
  static QIcon WindowIcon(int icon);
};

}  // namespace mirel
