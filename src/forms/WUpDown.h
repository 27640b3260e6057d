#pragma once
// A spinner with a buddy text box: two arrow buttons at the buddy's right edge that step a
// position through a range (wrapping from one end to the other), write it into the buddy as
// a decimal number with the locale's thousands separator, and take it back from the buddy
// when the user typed a number inside the range. The arrow keys in the buddy step it too.
// UI thread only.
#include <QWidget>
#include <cstdint>

class QLineEdit;
class QToolButton;

// A spinner position travels in 16 bits, read as a signed value.
inline int Low16(int value) {
    return static_cast<int16_t>(static_cast<uint16_t>(value & 0xFFFF));
}

class WUpDown : public QWidget {
    Q_OBJECT
public:
    explicit WUpDown(QWidget* parent);

    // Attaches the buddy and sits at its right edge: the spinner takes the buddy's height
    // and the buddy gives up the spinner's width. The buddy shows the position at once.
    void SetBuddy(QLineEdit* buddy);
    QLineEdit* Buddy() const { return buddy; }
    // A range given upside down is taken the right way round. The position is brought into
    // the new range (and the buddy rewritten) when it lies outside.
    void SetRange(int low, int high);
    int Minimum() const { return low; }
    int Maximum() const { return high; }
    // Amount of every step, from the first.
    void SetStep(int amount) { step = amount > 0 ? amount : 1; }
    // Brings pos to the nearer end of the range, stores it and writes it into the buddy.
    void SetPos(int pos);
    // The number in the buddy when it is a whole number inside the range, otherwise the last
    // valid position.
    int Pos() const;
    // Steps from Pos() by count steps (negative: down), wrapping at the ends.
    void StepBy(int count);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    bool ReadBuddy(int& value) const;
    void WriteBuddy();

    QLineEdit* buddy = nullptr;
    QToolButton* up;
    QToolButton* down;
    int low = 0;
    int high = 100;
    int pos = 0;
    int step = 1;
};
