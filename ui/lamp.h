// An indicator lamp: a filled circle in a Windows colour value (0x00BBGGRR).
#pragma once

#include <QPainter>
#include <QWidget>

#include "base/types.h"

namespace qv {

class LampWidget final : public QWidget {
  public:
    explicit LampWidget(QWidget* parent = nullptr) : QWidget(parent) {}
    void SetColour(Long windowsColour) {
        colour_ = windowsColour;
        update();
    }
    Long Colour() const { return colour_; }
    static QColor ToQColor(Long c) { return QColor(c & 0xFF, (c >> 8) & 0xFF, (c >> 16) & 0xFF); }

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(QPen(Qt::black, 1));
        p.setBrush(ToQColor(colour_));
        p.drawEllipse(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5));
    }

  private:
    Long colour_ = kColourRed;
};

}  // namespace qv
