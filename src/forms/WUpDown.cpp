#include "forms/WUpDown.h"

#include <QKeyEvent>
#include <QLineEdit>
#include <QLocale>
#include <QToolButton>
#include <algorithm>

WUpDown::WUpDown(QWidget* parent) : QWidget(parent) {
    up = new QToolButton(this);
    down = new QToolButton(this);
    up->setObjectName("up");
    down->setObjectName("down");
    up->setArrowType(Qt::UpArrow);
    down->setArrowType(Qt::DownArrow);
    for (QToolButton* b : {up, down}) {
        b->setAutoRepeat(true);
        b->setFocusPolicy(Qt::NoFocus);
    }
    connect(up, &QToolButton::clicked, this, [this] { StepBy(1); });
    connect(down, &QToolButton::clicked, this, [this] { StepBy(-1); });
}

void WUpDown::SetBuddy(QLineEdit* edit) {
    if (buddy != nullptr) buddy->removeEventFilter(this);
    buddy = edit;
    if (buddy != nullptr) {
        buddy->installEventFilter(this);
        QRect box = buddy->geometry();
        int own = std::min(width(), box.width());
        buddy->setGeometry(box.x(), box.y(), box.width() - own, box.height());
        setGeometry(box.x() + box.width() - own, box.y(), own, box.height());
        // A number the user types inside the range becomes the last valid position.
        connect(buddy, &QLineEdit::textEdited, this, [this] {
            int value = 0;
            if (ReadBuddy(value)) pos = value;
        });
        WriteBuddy();
    }
}

void WUpDown::SetRange(int lowEnd, int highEnd) {
    low = std::min(lowEnd, highEnd);
    high = std::max(lowEnd, highEnd);
    if (pos < low || pos > high) SetPos(pos);
}

void WUpDown::SetPos(int value) {
    pos = std::clamp(value, low, high);
    WriteBuddy();
}

int WUpDown::Pos() const {
    int value = 0;
    return ReadBuddy(value) ? value : pos;
}

void WUpDown::StepBy(int count) {
    long long next = static_cast<long long>(Pos()) + static_cast<long long>(count) * step;
    if (next > high) {
        next = low;
    } else if (next < low) {
        next = high;
    }
    SetPos(static_cast<int>(next));
}

bool WUpDown::ReadBuddy(int& value) const {
    if (buddy == nullptr) return false;
    QString text = buddy->text().trimmed();
    QLocale locale;
    text.remove(locale.groupSeparator());
    if (text.isEmpty()) return false;
    bool ok = false;
    int number = text.toInt(&ok, 10);
    if (!ok || number < low || number > high) return false;
    value = number;
    return true;
}

void WUpDown::WriteBuddy() {
    if (buddy == nullptr) return;
    QLocale locale;
    locale.setNumberOptions(QLocale::DefaultNumberOptions);  // keep the thousands separator
    buddy->setText(locale.toString(pos));
}

bool WUpDown::eventFilter(QObject* watched, QEvent* event) {
    if (watched == buddy && event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Up || key->key() == Qt::Key_Down) {
            StepBy(key->key() == Qt::Key_Up ? 1 : -1);
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void WUpDown::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    int half = height() / 2;
    up->setGeometry(0, 0, width(), half);
    down->setGeometry(0, half, width(), height() - half);
}
