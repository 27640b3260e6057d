#include "forms/Options.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <cstdint>

#include "forms/TextNumbers.h"
#include "forms/WUpDown.h"
#include "settings/Settings.h"

namespace {

// A spinner position travels in 16 bits, read as a signed value.
int Low16(int value) {
    return static_cast<int16_t>(static_cast<uint16_t>(value & 0xFFFF));
}

}  // namespace

Options::Options(SharedSettings& record, QWidget* owner) : OptionsBase(owner), settings(record) {
    cb_OK->setDefault(true);
    cb_OK->setAutoDefault(true);
    cb_Cancel->setAutoDefault(false);
    SetLimits();
    optb_1->setChecked(true);
    connect(cb_OK, &QPushButton::clicked, this, [this] { OkClicked(); });
    connect(cb_Cancel, &QPushButton::clicked, this, [this] { CancelClicked(); });
    connect(optb_1, &QRadioButton::clicked, this, [this] { DirectClicked(); });
    connect(optb_2, &QRadioButton::clicked, this, [this] { UseProxyClicked(); });
    SetTabOrder();
    FillFromSettings();
}

void Options::SetLimits() {
    textb_2->setMaxLength(4);
    updown_2->SetRange(1, 24);
    updown_2->SetBuddy(textb_2);
    textb_3->setMaxLength(8);
    updown_3->SetRange(1024, 16384);
    updown_3->SetStep(1024);
    updown_3->SetBuddy(textb_3);
    textb_4->setMaxLength(256);
    textb_5->setMaxLength(16);
    textb_8->setMaxLength(16);
    textb_6->setMaxLength(8);
    textb_9->setMaxLength(8);
}

void Options::FillFromSettings() {
    Settings s = settings.Snapshot();
    updown_2->SetPos(Low16(s.maxthreads));
    checkbox_1->setChecked(s.delfiles);
    checkbox_2->setChecked(s.passivemode);
    updown_3->SetPos(Low16(s.bufsize));
    textb_4->setText(QString::fromStdString(s.defpass));
    textb_7->setText(QString::fromStdString(s.defuser));
    if (s.useproxy) optb_2->setChecked(true);  // unchecks optb_1
    checkbox_3->setChecked(s.useauthorization);
    textb_5->setText(QString::fromStdString(s.proxyaddr));
    textb_6->setText(QString::asprintf("%d", s.proxyport));
    textb_8->setText(QString::fromStdString(s.ftpproxyaddr));
    textb_9->setText(QString::asprintf("%d", s.ftpproxyport));
    if (!optb_2->isChecked()) EnableProxyBoxes(false);
}

void Options::OkClicked() {
    // Read everything first, then store it in one step so a worker never sees half of it.
    int maxthreads = Low16(updown_2->Pos());
    bool delfiles = checkbox_1->isChecked();
    bool passivemode = checkbox_2->isChecked();
    int bufsize = Low16(updown_3->Pos());
    std::string defpass = textb_4->text().toStdString();
    std::string defuser = textb_7->text().toStdString();
    bool useproxy = optb_2->isChecked();
    bool useauthorization = checkbox_3->isChecked();
    std::string proxyaddr = textb_5->text().toStdString();
    int proxyport = LeadingInteger(textb_6->text().toStdString());
    std::string ftpproxyaddr = textb_8->text().toStdString();
    int ftpproxyport = LeadingInteger(textb_9->text().toStdString());
    settings.Update([&](Settings& s) {
        s.maxthreads = maxthreads;
        s.delfiles = delfiles;
        s.passivemode = passivemode;
        s.bufsize = bufsize;
        s.defpass = defpass;
        s.defuser = defuser;
        s.useproxy = useproxy;
        s.useauthorization = useauthorization;
        s.proxyaddr = proxyaddr;
        s.proxyport = proxyport;
        s.ftpproxyaddr = ftpproxyaddr;
        s.ftpproxyport = ftpproxyport;
    });
    done(1);
}

void Options::CancelClicked() {
    done(0);
}

void Options::DirectClicked() {
    EnableProxyBoxes(false);
}

void Options::UseProxyClicked() {
    EnableProxyBoxes(true);
}

void Options::EnableProxyBoxes(bool enabled) {
    for (QLineEdit* box : {textb_5, textb_6, textb_8, textb_9}) box->setEnabled(enabled);
}
