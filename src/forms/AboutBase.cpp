#include "forms/AboutBase.h"

#include <QLabel>
#include <QPushButton>

#include "forms/DialogUnits.h"

namespace {

QLabel* MakeLabel(QWidget* parent, const DialogUnits& u, int id, const char* name, int x, int y,
                  int w, int h) {
    auto* label = new QLabel(parent);
    PlaceControl(label, u, id, name, x, y, w, h);
    label->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    label->setWordWrap(true);
    return label;
}

}  // namespace

AboutBase::AboutBase(QWidget* owner) : QDialog(owner) {
    CreateControls();
}

AboutBase::~AboutBase() = default;

void AboutBase::CreateControls() {
    setObjectName("About");
    setWindowTitle("About Brindle");
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    setFont(DialogFont());
    DialogUnits u(font());
    setFixedSize(u.Size(177, 128));

    cb_OK = new QPushButton("OK", this);
    PlaceControl(cb_OK, u, 101, "cb_OK", 65, 110, 53, 15);
    label_ProductName = MakeLabel(this, u, 102, "label_ProductName", 40, 5, 101, 10);
    label_ProductName->setText("Brindle");
    QFont bold = DialogFont();
    bold.setBold(true);
    label_ProductName->setFont(bold);
    label_Version = MakeLabel(this, u, 103, "label_Version", 40, 20, 100, 10);
    label_Version->setText("Version 2.5");
    label_Comments = MakeLabel(this, u, 104, "label_Comments", 5, 80, 170, 30);
    label_1 = MakeLabel(this, u, 105, "label_1", 5, 35, 170, 40);
}
