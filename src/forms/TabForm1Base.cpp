#include "forms/TabForm1Base.h"

#include <QPlainTextEdit>

#include "forms/DialogUnits.h"
#include "forms/ResizeRules.h"

TabForm1Base::TabForm1Base(QWidget* parent) : QWidget(parent) {
    CreateControls();
}

TabForm1Base::~TabForm1Base() = default;

void TabForm1Base::CreateControls() {
    setObjectName("TabForm1");
    setFont(DialogFont());
    DialogUnits units(font());
    resize(units.Size(329, 79));

    textb_1 = new QPlainTextEdit(this);
    PlaceControl(textb_1, units, 101, "textb_1", 0, 0, 329, 79);
    textb_1->setReadOnly(true);
    textb_1->setLineWrapMode(QPlainTextEdit::NoWrap);
    textb_1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    // Long lines scroll sideways with the caret, without a bar of their own.
    textb_1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    textb_1->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    textb_1->setFocusPolicy(Qt::ClickFocus);
    // Read-only text is still selectable and the caret must be kept for scrolling into view.
    textb_1->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);

    rules = new ResizeRules(this);
    rules->Add(textb_1, ResizeRule{0, 0, 100, 100});
}
