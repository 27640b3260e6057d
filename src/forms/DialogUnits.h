#pragma once
// Dialog units: the forms' templates give positions and sizes in units of the dialog font
// (a quarter of its average letter width across, an eighth of its height down), so a
// template keeps its proportions with whatever sans font the system has. UI thread only.
#include <QFont>
#include <QRect>
#include <QSize>

class QLabel;
class QLineEdit;
class QWidget;

// The font the forms are laid out and drawn with: the application's sans font at 8 points.
QFont DialogFont();

// The average character width of font in pixels, as dialog units count it.
int AverageCharWidth(const QFont& font);

class DialogUnits {
public:
    explicit DialogUnits(const QFont& font);

    int X(int du) const;  // horizontal units to pixels, rounded
    int Y(int du) const;  // vertical units to pixels, rounded
    QRect Rect(int x, int y, int w, int h) const;
    QSize Size(int w, int h) const;
    int BaseX() const { return baseX; }
    int BaseY() const { return baseY; }

private:
    int baseX;  // average character width in pixels
    int baseY;  // character height in pixels
};

// Gives a control of a template its designer name, its control id (kept in the "controlId"
// property) and its place in dialog units.
void PlaceControl(QWidget* control, const DialogUnits& units, int id, const char* name, int x,
                  int y, int w, int h);

// A left-aligned, unwrapped label and a text box of a template, placed as above.
QLabel* MakeLabel(QWidget* parent, const DialogUnits& units, int id, const char* name,
                  const char* text, int x, int y, int w, int h);
QLineEdit* MakeBox(QWidget* parent, const DialogUnits& units, int id, const char* name, int x,
                   int y, int w, int h);
