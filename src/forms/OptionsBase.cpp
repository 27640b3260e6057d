#include "forms/OptionsBase.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpressionValidator>

#include "forms/DialogUnits.h"
#include "forms/WUpDown.h"

OptionsBase::OptionsBase(QWidget* owner) : QDialog(owner) {
    CreateControls();
}

OptionsBase::~OptionsBase() = default;

void OptionsBase::CreateControls() {
    setObjectName("Options");
    setWindowTitle("Options");
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    setFont(DialogFont());
    DialogUnits u(font());
    setFixedSize(u.Size(267, 127));

    cb_OK = new QPushButton("OK", this);
    PlaceControl(cb_OK, u, 101, "cb_OK", 135, 110, 55, 12);
    cb_Cancel = new QPushButton("Cancel", this);
    PlaceControl(cb_Cancel, u, 102, "cb_Cancel", 210, 110, 50, 12);
    label_2 = MakeLabel(this, u, 103, "label_2", "Max number of threads", 10, 79, 85, 8);
    textb_2 = MakeBox(this, u, 104, "textb_2", 105, 74, 26, 15);
    updown_2 = new WUpDown(this);
    PlaceControl(updown_2, u, 105, "updown_2", 121, 74, 11, 15);
    checkbox_1 = new QCheckBox("Delete files after concatenation", this);
    PlaceControl(checkbox_1, u, 106, "checkbox_1", 10, 95, 120, 10);
    checkbox_1->setLayoutDirection(Qt::RightToLeft);  // caption on the left of the box
    label_3 = MakeLabel(this, u, 107, "label_3", "Buffer size", 139, 79, 78, 10);
    textb_3 = MakeBox(this, u, 108, "textb_3", 220, 74, 40, 15);
    updown_3 = new WUpDown(this);
    PlaceControl(updown_3, u, 109, "updown_3", 247, 74, 12, 16);
    label_4 = MakeLabel(this, u, 110, "label_4", "Default password (Your e-mail as a rule)", 10, 20,
                        125, 10);
    textb_4 = MakeBox(this, u, 111, "textb_4", 140, 21, 120, 12);
    textb_7 = MakeBox(this, u, 112, "textb_7", 140, 6, 120, 12);
    optb_1 = new QRadioButton("Direct connect", this);
    PlaceControl(optb_1, u, 113, "optb_1", 10, 34, 60, 12);
    optb_2 = new QRadioButton("Use proxy", this);
    PlaceControl(optb_2, u, 114, "optb_2", 75, 34, 56, 12);
    label_5 = MakeLabel(this, u, 115, "label_5", "Address", 135, 34, 30, 12);
    textb_5 = MakeBox(this, u, 116, "textb_5", 135, 46, 90, 12);
    label_6 = MakeLabel(this, u, 117, "label_6", "Port", 225, 34, 20, 12);
    textb_6 = MakeBox(this, u, 118, "textb_6", 225, 46, 36, 12);
    label_7 = MakeLabel(this, u, 119, "label_7", "Default user", 95, 6, 40, 8);
    checkbox_2 = new QCheckBox("Use passive mode", this);
    PlaceControl(checkbox_2, u, 120, "checkbox_2", 10, 60, 72, 11);
    checkbox_3 = new QCheckBox("Use authorization", this);
    PlaceControl(checkbox_3, u, 121, "checkbox_3", 10, 6, 70, 10);
    label_8 = MakeLabel(this, u, 122, "label_8", "HTTP:", 110, 46, 25, 8);
    textb_8 = MakeBox(this, u, 123, "textb_8", 135, 61, 90, 13);
    textb_9 = MakeBox(this, u, 124, "textb_9", 225, 61, 36, 13);
    label_9 = MakeLabel(this, u, 125, "label_9", "FTP", 110, 61, 20, 10);

    // The port boxes take digits only; the other texts are free.
    auto* digits = new QRegularExpressionValidator(QRegularExpression("[0-9]*"), this);
    textb_6->setValidator(digits);
    textb_9->setValidator(digits);
    textb_8->setFocusPolicy(Qt::ClickFocus);  // no tab stop
    textb_9->setFocusPolicy(Qt::ClickFocus);
}

void OptionsBase::SetTabOrder() {
    QWidget* order[] = {cb_OK,    cb_Cancel,  textb_2,    updown_2, checkbox_1, textb_3,
                        updown_3, textb_4,    textb_7,    optb_1,   optb_2,     textb_5,
                        textb_6,  checkbox_2, checkbox_3, textb_8,  textb_9};
    for (size_t i = 1; i < std::size(order); ++i) setTabOrder(order[i - 1], order[i]);
}
