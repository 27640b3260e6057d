#pragma once
// A progress bar that draws its own text on itself, in a bar colour of the window's choosing:
// the thread bars draw their percentage as "%3d%%", the job bar draws a text the window sets.
// Positions outside 0..100 set the nearer end. A failed bar also draws its frame in the bar
// colour, so the colour shows even when nothing is filled. UI thread only.
#include <QColor>
#include <QProgressBar>
#include <QString>

class WProgressBar : public QProgressBar {
public:
    enum class TextKind { Percent, Custom };
    WProgressBar(QWidget* parent, TextKind kind);

    void SetPosition(int position);
    void SetBarColor(const QColor& color);
    QColor BarColor() const { return barColor; }
    void SetFailed(bool failed);
    bool Failed() const { return failed; }
    // The text of a Custom bar.
    void SetBarText(const QString& text);
    // What the bar draws on itself.
    QString text() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    TextKind kind;
    QColor barColor;
    bool failed = false;
    QString barText;
};
