#include "forms/ResizeRules.h"

#include <QEvent>
#include <QWidget>
#include <algorithm>

namespace {

// percent of change, with the remainder carried in carry (same sign as the running total).
int Share(int change, int percent, int& carry) {
    int total = change * percent + carry;
    int whole = total / 100;
    carry = total - whole * 100;
    return whole;
}

}  // namespace

ResizeRules::ResizeRules(QWidget* parent)
    : QObject(parent), parentWidget(parent), lastSize(parent->size()) {
    parent->installEventFilter(this);
}

void ResizeRules::Add(QWidget* control, const ResizeRule& rule) {
    // Catch up with a size change whose event is still pending (a hidden parent gets its
    // resize events only when shown), so the new control's place counts from the size now.
    Apply();
    Remove(control);
    Entry entry;
    entry.control = control;
    entry.rule = rule;
    entry.rect = control->geometry();
    entries.push_back(entry);
}

void ResizeRules::Remove(QWidget* control) {
    entries.erase(std::remove_if(entries.begin(), entries.end(),
                                 [control](const Entry& e) {
                                     return e.control.isNull() || e.control == control;
                                 }),
                  entries.end());
}

void ResizeRules::Sync() {
    lastSize = parentWidget->size();
}

void ResizeRules::Apply() {
    QSize now = parentWidget->size();
    int dx = now.width() - lastSize.width();
    int dy = now.height() - lastSize.height();
    lastSize = now;
    if (dx == 0 && dy == 0) return;
    for (Entry& e : entries) {
        if (e.control.isNull()) continue;
        e.rect.translate(Share(dx, e.rule.moveRight, e.carry[0]),
                         Share(dy, e.rule.moveDown, e.carry[1]));
        e.rect.setWidth(e.rect.width() + Share(dx, e.rule.growWider, e.carry[2]));
        e.rect.setHeight(e.rect.height() + Share(dy, e.rule.growTaller, e.carry[3]));
        e.control->setGeometry(e.rect.x(), e.rect.y(), std::max(0, e.rect.width()),
                               std::max(0, e.rect.height()));
    }
}

bool ResizeRules::eventFilter(QObject* watched, QEvent* event) {
    if (watched == parentWidget && event->type() == QEvent::Resize) Apply();
    return QObject::eventFilter(watched, event);
}
