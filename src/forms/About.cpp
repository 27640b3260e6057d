#include "forms/About.h"

#include <QLabel>
#include <QPushButton>

const char* const About::kThanksNote =
    "Special thanks to\r\n"
    "Marit Quillane and Osric Delvaux\r\n"
    "for help with the IDE, sockets and protocols";

const char* const About::kAuthorCredit =
    "Brindle download accelerator\r\n"
    "Written by Tobiah Renwick-Salo\r\n"
    "tobiah@brindle.example\r\n"
    "http://brindle.example/";

About::About(QWidget* owner) : AboutBase(owner) {
    // Enter, Esc and the close box all just close it.
    cb_OK->setDefault(true);
    cb_OK->setAutoDefault(true);
    connect(cb_OK, &QPushButton::clicked, this, [this] { OkClicked(); });
    label_Comments->setText(QString::fromUtf8(kThanksNote));
    label_1->setText(QString::fromUtf8(kAuthorCredit));
}

void About::OkClicked() {
    done(1);
}
