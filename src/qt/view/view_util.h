#pragma once
// Small conversions between the window model and Qt, shared by the view's files.
#include <QColor>
#include <QRect>
#include <QString>
#include <string>

#include "window/element.h"

namespace korvala::view {

inline QColor color(Rgb rgb) { return QColor::fromRgb(static_cast<QRgb>(rgb) | 0xFF000000u); }
inline QRect pixels(const Rect& r) { return QRect(r.left, r.top, r.width, r.height); }
inline QString qs(const std::string& s) { return QString::fromStdString(s); }

}  // namespace korvala::view
