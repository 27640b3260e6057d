#include "forms/WProgressBar.h"

#include <QPainter>
#include <QStyleOptionFrame>
#include <algorithm>

WProgressBar::WProgressBar(QWidget* parent, TextKind textKind)
    : QProgressBar(parent), kind(textKind), barColor(0, 0, 255) {
    setRange(0, 100);
    setValue(0);
    setTextVisible(true);
    setAlignment(Qt::AlignCenter);
}

void WProgressBar::SetPosition(int position) {
    setValue(std::clamp(position, 0, 100));
}

void WProgressBar::SetBarColor(const QColor& color) {
    if (color == barColor) return;
    barColor = color;
    update();
}

void WProgressBar::SetFailed(bool isFailed) {
    if (isFailed == failed) return;
    failed = isFailed;
    update();
}

void WProgressBar::SetBarText(const QString& text) {
    if (text == barText) return;
    barText = text;
    update();
}

QString WProgressBar::text() const {
    if (kind == TextKind::Custom) return barText;
    return QString::asprintf("%3d%%", value());
}

// Drawn here rather than by the style so that the colour is the one asked for on every style,
// and the text stays readable over both the filled and the empty part.
void WProgressBar::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    QRect frame = rect();
    painter.fillRect(frame, palette().color(QPalette::Window));
    QRect inner = frame.adjusted(1, 1, -1, -1);
    int filled = inner.width() * (value() - minimum()) / std::max(1, maximum() - minimum());
    QRect chunk(inner.x(), inner.y(), filled, inner.height());
    painter.fillRect(chunk, barColor);
    if (failed) {
        // Two pixels wide: a one-pixel coloured line is easy to miss on a small bar.
        painter.setPen(barColor);
        painter.drawRect(frame.adjusted(0, 0, -1, -1));
        painter.drawRect(frame.adjusted(1, 1, -2, -2));
    } else {
        painter.setPen(palette().color(QPalette::Mid));
        painter.drawRect(frame.adjusted(0, 0, -1, -1));
    }

    QString label = text();
    if (label.isEmpty()) return;
    painter.setFont(font());
    painter.setClipRect(inner);
    painter.setPen(palette().color(QPalette::WindowText));
    painter.drawText(inner, Qt::AlignCenter, label);
    painter.setClipRect(chunk);
    painter.setPen(Qt::white);
    painter.drawText(inner, Qt::AlignCenter, label);
}
