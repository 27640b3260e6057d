#include "forms/Options.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <variant>

#include "forms/TextNumbers.h"
#include "forms/WUpDown.h"
#include "settings/Settings.h"

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

std::vector<Options::Binding> Options::Bindings() const {
    // In the order the controls are filled: useproxy before the proxy boxes are enabled.
    return {{"maxthreads", updown_2},    {"delfiles", checkbox_1},
            {"passivemode", checkbox_2}, {"bufsize", updown_3},
            {"defpass", textb_4},        {"defuser", textb_7},
            {"useproxy", optb_2},        {"useauthorization", checkbox_3},
            {"proxyaddr", textb_5},      {"proxyport", textb_6},
            {"ftpproxyaddr", textb_8},   {"ftpproxyport", textb_9}};
}

void Options::FillFromSettings() {
    const Settings s = settings.Snapshot();
    for (const Binding& b : Bindings()) {
        std::visit(
            Overloaded{
                [&](int Settings::*m) {
                    if (auto* spinner = qobject_cast<WUpDown*>(b.control)) {
                        spinner->SetPos(Low16(s.*m));
                    } else {
                        static_cast<QLineEdit*>(b.control)->setText(QString::asprintf("%d", s.*m));
                    }
                },
                // Checking optb_2 unchecks optb_1; false leaves optb_1 checked.
                [&](bool Settings::*m) {
                    static_cast<QAbstractButton*>(b.control)->setChecked(s.*m);
                },
                [&](std::string Settings::*m) {
                    static_cast<QLineEdit*>(b.control)->setText(QString::fromStdString(s.*m));
                },
            },
            FindSettingsField(b.key)->member);
    }
    if (!optb_2->isChecked()) EnableProxyBoxes(false);
}

void Options::OkClicked() {
    // Read everything first, then store it in one step so a worker never sees half of it.
    Settings typed;
    for (const Binding& b : Bindings()) {
        std::visit(Overloaded{
                       [&](int Settings::*m) {
                           if (auto* spinner = qobject_cast<WUpDown*>(b.control)) {
                               typed.*m = Low16(spinner->Pos());
                           } else {
                               typed.*m = LeadingInteger(
                                   static_cast<QLineEdit*>(b.control)->text().toStdString());
                           }
                       },
                       [&](bool Settings::*m) {
                           typed.*m = static_cast<QAbstractButton*>(b.control)->isChecked();
                       },
                       [&](std::string Settings::*m) {
                           typed.*m = static_cast<QLineEdit*>(b.control)->text().toStdString();
                       },
                   },
                   FindSettingsField(b.key)->member);
    }
    settings.Update([&](Settings& s) {
        for (const Binding& b : Bindings()) {
            std::visit([&](auto m) { s.*m = typed.*m; }, FindSettingsField(b.key)->member);
        }
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
