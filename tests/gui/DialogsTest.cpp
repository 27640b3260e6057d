// The Options dialog against the settings record (what it shows, what OK stores, what Cancel
// leaves alone, the spinners' ranges and wrapping, the proxy boxes) and the About dialog.
#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <QtTest>
#include <memory>

#include "GuiTestSupport.h"
#include "app/FtpForm.h"
#include "forms/About.h"
#include "forms/Options.h"
#include "forms/WUpDown.h"
#include "settings/Settings.h"

namespace {

QString Grouped(int n) {
    QLocale locale;
    locale.setNumberOptions(QLocale::DefaultNumberOptions);
    return locale.toString(n);
}

// Closes the next modal dialog that opens, by Esc or by OK.
void CloseNextDialog(bool pressOk) {
    QTimer::singleShot(0, [pressOk] {
        QWidget* dialog = QApplication::activeModalWidget();
        QVERIFY(dialog != nullptr);
        if (pressOk) {
            dialog->findChild<QPushButton*>("cb_OK")->click();
        } else {
            QTest::keyClick(dialog, Qt::Key_Escape);
        }
    });
}

}  // namespace

class DialogsTest : public QObject {
    Q_OBJECT
private slots:
    void OptionsShowsDefaults() {
        SharedSettings settings;
        Options dialog(settings, nullptr);
        QCOMPARE(dialog.windowTitle(), QString("Options"));
        QCOMPARE(dialog
                     .findChildren<QWidget*>(QRegularExpression("^(cb|label|textb|updown|"
                                                                "checkbox|optb)_"),
                                             Qt::FindDirectChildrenOnly)
                     .size(),
                 25);
        QCOMPARE(dialog.textb_2->text(), QString("4"));
        QCOMPARE(dialog.textb_3->text(), Grouped(4096));
        QVERIFY(dialog.checkbox_1->isChecked());
        QVERIFY(!dialog.checkbox_2->isChecked());
        QVERIFY(!dialog.checkbox_3->isChecked());
        QVERIFY(dialog.optb_1->isChecked());
        QVERIFY(!dialog.optb_2->isChecked());
        QCOMPARE(dialog.textb_5->text(), QString("000.0.0.000"));
        QCOMPARE(dialog.textb_6->text(), QString("21"));
        QCOMPARE(dialog.textb_8->text(), QString("000.0.0.000"));
        QCOMPARE(dialog.textb_9->text(), QString("80"));
        for (QLineEdit* box : {dialog.textb_5, dialog.textb_6, dialog.textb_8, dialog.textb_9}) {
            QVERIFY(!box->isEnabled());
        }
        QCOMPARE(dialog.textb_7->text(), QString("anonymous"));
        QCOMPARE(dialog.textb_4->text(), QString("tulip"));
        QCOMPARE(dialog.textb_4->echoMode(), QLineEdit::Normal);
        QCOMPARE(dialog.textb_2->maxLength(), 4);
        QCOMPARE(dialog.textb_3->maxLength(), 8);
        QCOMPARE(dialog.textb_4->maxLength(), 256);
        QCOMPARE(dialog.textb_5->maxLength(), 16);
        QCOMPARE(dialog.textb_6->maxLength(), 8);
        QVERIFY(dialog.cb_OK->isDefault());
    }

    void SpinnersWrapAndStep() {
        SharedSettings settings;
        Options dialog(settings, nullptr);
        dialog.updown_3->StepBy(1);
        QCOMPARE(dialog.updown_3->Pos(), 5120);
        dialog.updown_3->StepBy(-2);
        QCOMPARE(dialog.updown_3->Pos(), 3072);
        dialog.updown_3->SetPos(16384);
        dialog.updown_3->StepBy(1);
        QCOMPARE(dialog.updown_3->Pos(), 1024);
        QCOMPARE(dialog.textb_3->text(), Grouped(1024));
        dialog.updown_3->StepBy(-1);
        QCOMPARE(dialog.updown_3->Pos(), 16384);
        dialog.updown_2->SetPos(24);
        dialog.updown_2->StepBy(1);
        QCOMPARE(dialog.updown_2->Pos(), 1);
        // The arrow keys in the buddy step too.
        QTest::keyClick(dialog.textb_2, Qt::Key_Down);
        QCOMPARE(dialog.updown_2->Pos(), 24);
    }

    void MaxThreadsOutsideRangeShownAndStoredAtEnd() {
        Settings start;
        start.maxthreads = 30;
        start.bufsize = 100;
        SharedSettings settings(start);
        Options dialog(settings, nullptr);
        QCOMPARE(dialog.textb_2->text(), QString("24"));
        QCOMPARE(dialog.textb_3->text(), Grouped(1024));
        dialog.cb_OK->click();
        QCOMPARE(dialog.result(), 1);
        QCOMPARE(settings.Snapshot().maxthreads, 24);
        QCOMPARE(settings.Snapshot().bufsize, 1024);
    }

    void TypedNumberOutsideRangeGivesLastValidPosition() {
        SharedSettings settings;
        Options dialog(settings, nullptr);
        dialog.textb_2->clear();
        QTest::keyClicks(dialog.textb_2, "12");
        QTest::keyClicks(dialog.textb_2, "7");  // 127: outside 1..24
        dialog.textb_3->setText("abc");
        dialog.cb_OK->click();
        QCOMPARE(settings.Snapshot().maxthreads, 12);
        QCOMPARE(settings.Snapshot().bufsize, 4096);
    }

    void CancelAndEscStoreNothing() {
        Settings start;
        start.maxthreads = 30;
        SharedSettings settings(start);
        {
            Options dialog(settings, nullptr);
            dialog.textb_7->setText("someone");
            dialog.optb_2->click();
            dialog.updown_2->SetPos(3);
            dialog.cb_Cancel->click();
            QCOMPARE(dialog.result(), 0);
        }
        {
            Options dialog(settings, nullptr);
            dialog.textb_4->setText("changed");
            dialog.show();
            QTest::keyClick(&dialog, Qt::Key_Escape);
            QVERIFY(!dialog.isVisible());
        }
        QVERIFY(settings.Snapshot() == start);
    }

    void ProxyBoxesFollowOptionButtonsAndAreAlwaysStored() {
        SharedSettings settings;
        Options dialog(settings, nullptr);
        dialog.optb_2->click();
        for (QLineEdit* box : {dialog.textb_5, dialog.textb_6, dialog.textb_8, dialog.textb_9}) {
            QVERIFY(box->isEnabled());
        }
        dialog.textb_5->setText("127.0.0.1");
        dialog.textb_6->clear();
        QTest::keyClicks(dialog.textb_6, "3x128");  // digits only
        dialog.textb_8->setText("10.1.2.3");
        dialog.textb_9->clear();
        dialog.textb_7->setText("user1");
        dialog.textb_4->setText("secret");
        dialog.checkbox_1->setChecked(false);
        dialog.checkbox_2->setChecked(true);
        dialog.checkbox_3->setChecked(true);
        dialog.optb_1->click();
        QVERIFY(!dialog.textb_5->isEnabled());
        dialog.cb_OK->click();
        Settings s = settings.Snapshot();
        QCOMPARE(s.useproxy, false);
        QCOMPARE(s.proxyaddr, std::string("127.0.0.1"));
        QCOMPARE(s.proxyport, 3128);
        QCOMPARE(s.ftpproxyaddr, std::string("10.1.2.3"));
        QCOMPARE(s.ftpproxyport, 0);  // an empty port box stores 0
        QCOMPARE(s.defuser, std::string("user1"));
        QCOMPARE(s.defpass, std::string("secret"));
        QCOMPARE(s.delfiles, false);
        QCOMPARE(s.passivemode, true);
        QCOMPARE(s.useauthorization, true);
    }

    void UseProxyFromRecordEnablesBoxes() {
        Settings start;
        start.useproxy = true;
        start.proxyport = -5;
        SharedSettings settings(start);
        Options dialog(settings, nullptr);
        QVERIFY(dialog.optb_2->isChecked());
        QVERIFY(!dialog.optb_1->isChecked());
        QVERIFY(dialog.textb_6->isEnabled());
        QCOMPARE(dialog.textb_6->text(), QString("-5"));
        dialog.cb_OK->click();
        QCOMPARE(settings.Snapshot().proxyport, -5);  // atoi rules: the sign is read
        QCOMPARE(settings.Snapshot().useproxy, true);
    }

    void MainWindowRenewsThreadRangeAfterOptionsEitherWay() {
        guitest::ConfigDir config;
        FtpForm form;
        form.updown_1->SetPos(4);
        // OK with a lower limit.
        CloseNextDialog(true);
        form.SettingsRecord().Update([](Settings& s) { s.maxthreads = 2; });
        form.OptionsClicked();
        QCOMPARE(form.updown_1->Maximum(), 2);
        QVERIFY(form.updown_1->Pos() <= 2);
        // Esc: nothing stored, but the range still follows the record.
        form.SettingsRecord().Update([](Settings& s) { s.maxthreads = 7; });
        CloseNextDialog(false);
        form.OptionsClicked();
        QCOMPARE(form.updown_1->Maximum(), 7);
        QCOMPARE(form.SettingsRecord().Snapshot().maxthreads, 7);
    }

    void AboutTexts() {
        About dialog(nullptr);
        QCOMPARE(dialog.windowTitle(), QString("About Brindle"));
        QCOMPARE(dialog.label_ProductName->text(), QString("Brindle"));
        QVERIFY(dialog.label_ProductName->font().bold());
        QCOMPARE(dialog.label_Version->text(), QString("Version 2.5"));
        QStringList lines = dialog.label_Comments->text().split("\r\n");
        QCOMPARE(lines.size(), 3);
        QCOMPARE(lines[0], QString("Special thanks to"));
        QVERIFY(!dialog.label_1->text().isEmpty());
        QVERIFY(dialog.cb_OK->isDefault());
        dialog.show();
        QTest::keyClick(&dialog, Qt::Key_Escape);
        QVERIFY(!dialog.isVisible());
    }
};

QTEST_MAIN(DialogsTest)
#include "DialogsTest.moc"
