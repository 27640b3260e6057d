#pragma once
// Proportional layout: each control carries four percentages of its parent's change in size
// (move right, move down, grow wider, grow taller); the remainders of the division by 100 are
// carried to the next resize so that many small resizes add up exactly. UI thread only.
#include <QObject>
#include <QPointer>
#include <QRect>
#include <QSize>
#include <vector>

class QWidget;

struct ResizeRule {
    int moveRight = 0;
    int moveDown = 0;
    int growWider = 0;
    int growTaller = 0;
};

class ResizeRules : public QObject {
public:
    // Follows the resize events of parent; the parent's size now is the starting size.
    explicit ResizeRules(QWidget* parent);

    // The control's current geometry is its place at the parent's current size.
    void Add(QWidget* control, const ResizeRule& rule);
    void Remove(QWidget* control);
    // Takes the parent's current size as the starting size without moving anything (after a
    // template has been laid out at its own size).
    void Sync();
    // Moves and sizes the controls by their rules for the change since the last call.
    void Apply();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    struct Entry {
        QPointer<QWidget> control;
        ResizeRule rule;
        QRect rect;  // the computed place, kept apart so a clamp to 0 never loses pixels
        int carry[4] = {0, 0, 0, 0};
    };
    QWidget* parentWidget;
    QSize lastSize;
    std::vector<Entry> entries;
};
