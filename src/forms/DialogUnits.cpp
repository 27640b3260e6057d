#include "forms/DialogUnits.h"

#include <QApplication>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QWidget>

QFont DialogFont() {
    QFont font = QApplication::font();
    font.setStyleHint(QFont::SansSerif);
    font.setPointSize(8);
    return font;
}

int AverageCharWidth(const QFont& font) {
    // The mean advance of the 52 Latin letters, rounded: the width that dialog units were
    // defined with. The font's own average (its OS/2 table) runs narrow for many sans fonts and
    // would clip the labels.
    QFontMetrics metrics(font);
    int letters = metrics.horizontalAdvance("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    return (letters / 26 + 1) / 2;
}

DialogUnits::DialogUnits(const QFont& font) {
    QFontMetrics metrics(font);
    baseX = AverageCharWidth(font);
    baseY = metrics.height();
    // A font without metrics (no font files at all) would collapse every control to nothing.
    if (baseX < 1) baseX = 6;
    if (baseY < 1) baseY = 13;
}

// Rounded to the nearest pixel, like the platform's own conversion.
int DialogUnits::X(int du) const {
    return (du * baseX + (du >= 0 ? 2 : -2)) / 4;
}
int DialogUnits::Y(int du) const {
    return (du * baseY + (du >= 0 ? 4 : -4)) / 8;
}

QRect DialogUnits::Rect(int x, int y, int w, int h) const {
    return QRect(X(x), Y(y), X(w), Y(h));
}

QSize DialogUnits::Size(int w, int h) const {
    return QSize(X(w), Y(h));
}

void PlaceControl(QWidget* control, const DialogUnits& units, int id, const char* name, int x,
                  int y, int w, int h) {
    control->setObjectName(QString::fromLatin1(name));
    control->setProperty("controlId", id);
    control->setGeometry(units.Rect(x, y, w, h));
}

QLabel* MakeLabel(QWidget* parent, const DialogUnits& units, int id, const char* name,
                  const char* text, int x, int y, int w, int h) {
    auto* label = new QLabel(QString::fromLatin1(text), parent);
    PlaceControl(label, units, id, name, x, y, w, h);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->setWordWrap(false);
    return label;
}

QLineEdit* MakeBox(QWidget* parent, const DialogUnits& units, int id, const char* name, int x,
                   int y, int w, int h) {
    auto* box = new QLineEdit(parent);
    PlaceControl(box, units, id, name, x, y, w, h);
    return box;
}
