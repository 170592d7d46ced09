// Window geometry is laid out in twips (1/1440 inch): 15 twips a pixel at 96 dpi, scaled with
// the screen's logical dpi.
#pragma once

#include <QGuiApplication>
#include <QRect>
#include <QScreen>
#include <QWidget>
#include <QtMath>

namespace qv {

inline double TwipScale() {
    const QScreen* s = QGuiApplication::primaryScreen();
    return s ? s->logicalDotsPerInch() / 96.0 : 1.0;
}
inline int Tw(int twips) {
    return qRound(twips / 15.0 * TwipScale());
}
inline QRect TwRect(int left, int top, int width, int height) {
    return QRect(Tw(left), Tw(top), Tw(width), Tw(height));
}
inline void PlaceTw(QWidget* w, int left, int top, int width, int height) {
    w->setGeometry(TwRect(left, top, width, height));
}

}  // namespace qv
