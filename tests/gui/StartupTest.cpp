// The main window from start-up on: the template's controls and menu, the settings it loads,
// the start-up URL, the target names it proposes, when "Go" is enabled and why not, the attempts
// box, and the message of the program when there is no display.
#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QStandardPaths>
#include <QTabWidget>
#include <QtTest>
#include <memory>

#include "GuiTestSupport.h"
#include "app/FtpForm.h"
#include "app/NoDisplay.h"
#include "forms/WProgressBar.h"
#include "forms/WUpDown.h"

namespace {

// "Save as" proposes its names in the user's download folder.
QString InDownloads(const QString& name) {
    if (name.isEmpty()) return name;
    return QDir(QStandardPaths::writableLocation(QStandardPaths::DownloadLocation)).filePath(name);
}

}  // namespace

class StartupTest : public QObject {
    Q_OBJECT
private slots:
    void init() {
        config = std::make_unique<guitest::ConfigDir>();
        QApplication::clipboard()->clear();
    }
    void cleanup() { config.reset(); }

    void TemplateControlsAndMenu() {
        FtpForm form;
        QCOMPARE(form.windowTitle(), QString("Brindle"));
        struct Expect {
            const char* name;
            int id;
        } controls[] = {{"textb_1", 102},   {"label_1", 103},    {"textb_2", 104},
                        {"label_2", 105},   {"pictbttn_1", 106}, {"textb_3", 107},
                        {"updown_1", 108},  {"label_3", 109},    {"cb_1", 110},
                        {"tabctrl_1", 111}, {"progb_1", 112},    {"label_4", 113},
                        {"updown_2", 114},  {"textb_4", 115}};
        for (const Expect& e : controls) {
            QWidget* w = form.findChild<QWidget*>(e.name);
            QVERIFY2(w != nullptr, e.name);
            QCOMPARE(w->property("controlId").toInt(), e.id);
        }
        QCOMPARE(form.cb_1->text(), QString("Go"));
        QCOMPARE(form.label_4->text(), QString("Number of attemptions"));
        QCOMPARE(form.textb_3->maxLength(), 2);
        QCOMPARE(form.textb_4->maxLength(), 3);
        QCOMPARE(form.updown_2->Minimum(), 1);
        QCOMPARE(form.updown_2->Maximum(), 200);
        QCOMPARE(form.progb_1->BarColor(), QColor(0, 0, 255));
        QCOMPARE(form.progb_1->text(), QString());
        // Two commands on the bar itself, no drop-down menus.
        QList<QAction*> actions = form.menuBar()->actions();
        QCOMPARE(actions.size(), 2);
        // The visible texts stay "Options" and "About"; the ampersands only mark the mnemonics.
        QCOMPARE(actions[0]->text(), QString("&Options"));
        QCOMPARE(actions[1]->text(), QString("&About"));
        QCOMPARE(actions[0]->iconText(), QString("Options"));
        QCOMPARE(actions[1]->iconText(), QString("About"));
        QVERIFY(actions[0]->menu() == nullptr && actions[1]->menu() == nullptr);
        // Digits only in the number boxes.
        QTest::keyClicks(form.textb_4, "a7");
        QCOMPARE(form.textb_4->text().right(1), QString("7"));
    }

    void DefaultsWithoutSettingsFile() {
        FtpForm form;
        QCOMPARE(form.updown_1->Minimum(), 1);
        QCOMPARE(form.updown_1->Maximum(), 4);
        QCOMPARE(form.updown_1->Pos(), 1);
        QCOMPARE(form.textb_4->text(), QString("4"));
        QCOMPARE(form.SettingsRecord().Snapshot().attempts, 4);
    }

    void SettingsFileSetsSpinners() {
        config->WriteIni("maxthreads=12\nattempts=37\n");
        FtpForm form;
        QCOMPARE(form.updown_1->Maximum(), 12);
        QCOMPARE(form.updown_2->Pos(), 37);
        QCOMPARE(form.textb_4->text(), QString("37"));
        form.updown_1->SetPos(99);
        QCOMPARE(form.updown_1->Pos(), 12);
    }

    void AttemptsBoxStoresLeadingNumberUnclamped() {
        FtpForm form;
        form.textb_4->setText("999");
        QCOMPARE(form.SettingsRecord().Snapshot().attempts, 999);
        form.textb_4->setText("");
        QCOMPARE(form.SettingsRecord().Snapshot().attempts, 0);
        form.textb_4->setText("12");
        QCOMPARE(form.SettingsRecord().Snapshot().attempts, 12);
    }

    void ProposesTargetName_data() {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("proposed");
        QTest::newRow("file") << "ftp://host/pub/file.zip"
                              << "file.zip";
        QTest::newRow("query") << "http://host/get.cgi?id=7"
                               << "get.cgi";
        QTest::newRow("slash in query") << "http://host/get.cgi?name=a/b"
                                        << "b";
        QTest::newRow("trailing slash") << "http://host/dir/"
                                        << "";
        QTest::newRow("blanks around") << "  http://host/a/b.tar.gz  "
                                       << "b.tar.gz";
        QTest::newRow("no slash keeps box") << "hostonly"
                                            << "kept";
    }
    void ProposesTargetName() {
        QFETCH(QString, url);
        QFETCH(QString, proposed);
        FtpForm form;
        form.textb_2->setText("kept");
        form.textb_1->setText(url);
        QCOMPARE(form.textb_2->text(), proposed == "kept" ? proposed : InDownloads(proposed));
        QCOMPARE(form.textb_1->text(), url);  // the box itself is not trimmed
    }

    // The window fetches https:// too: none of the forms that were refused keeps "Go" off.
    void HttpsNoLongerRefused() {
        FtpForm form;
        for (const char* url :
             {"https://host/file", "http://host/file", " https://host/file", "HTTPS://host/file"}) {
            form.textb_1->setText(url);
            QVERIFY2(form.cb_1->isEnabled(), url);
            QCOMPARE(form.cb_1->toolTip(), QString());
        }
        QCOMPARE(form.textb_2->text(), InDownloads("file"));
    }

    void GoDisabledSaysWhy_data() {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("target");
        QTest::addColumn<QString>("why");  // "" for "Go" enabled
        QTest::newRow("no URL") << "  "
                                << "/tmp/x"
                                << "No URL";
        QTest::newRow("no scheme") << "host/x.bin"
                                   << "/tmp/x"
                                   << "Not a URL";
        QTest::newRow("other scheme") << "gopher://host/x"
                                      << "/tmp/x"
                                      << "Not a URL";
        QTest::newRow("bad port") << "http://host:99999/x"
                                  << "/tmp/x"
                                  << "Not a URL";
        QTest::newRow("no target") << "ftp://host/x"
                                   << " "
                                   << "No target";
        QTest::newRow("folder target") << "ftp://host/x"
                                       << "/tmp/"
                                       << "No target";
        QTest::newRow("ftp") << "ftp://host/x"
                             << "x"
                             << "";
        QTest::newRow("https") << " https://host:8443/x "
                               << "/tmp/x"
                               << "";
    }
    void GoDisabledSaysWhy() {
        QFETCH(QString, url);
        QFETCH(QString, target);
        QFETCH(QString, why);
        FtpForm form;
        form.textb_1->setText(url);
        form.textb_2->setText(target);
        QCOMPARE(form.cb_1->isEnabled(), why.isEmpty());
        QVERIFY2(why.isEmpty() ? form.cb_1->toolTip().isEmpty()
                               : form.cb_1->toolTip().startsWith(why + ":"),
                 qPrintable(form.cb_1->toolTip()));
    }

    void ArgumentBeatsClipboard() {
        QApplication::clipboard()->setText("ftp://clip.example/pub/fromclip.bin");
        FtpForm form({"http://arg.example/dir/fromarg.iso", "second"});
        QCOMPARE(form.textb_1->text(), QString("http://arg.example/dir/fromarg.iso"));
        QCOMPARE(form.textb_2->text(), InDownloads("fromarg.iso"));
    }

    void ClipboardUrlInUpperCaseWithBlanks() {
        QApplication::clipboard()->setText("  \tFTP://FILES.EXAMPLE/PUB/DATA.BIN \n");
        FtpForm form;
        QCOMPARE(form.textb_1->text(), QString("FTP://FILES.EXAMPLE/PUB/DATA.BIN"));
        QCOMPARE(form.textb_2->text(), InDownloads("DATA.BIN"));
    }

    void ClipboardWithoutUsableSchemeIgnored_data() {
        QTest::addColumn<QString>("clip");
        QTest::newRow("https") << "https://secure.example/x.bin";
        QTest::newRow("no scheme") << "files.example/x.bin";
        QTest::newRow("empty") << "";
    }
    void ClipboardWithoutUsableSchemeIgnored() {
        QFETCH(QString, clip);
        QApplication::clipboard()->setText(clip);
        FtpForm form;
        QCOMPARE(form.textb_1->text(), QString());
        QCOMPARE(form.textb_2->text(), QString());
    }

    void NoDisplayMessageNamesHeadlessCommand() {
        char program[] = "brindle";
        char url[] = "http://host/it's.bin";
        char* argv[] = {program, url, nullptr};
        std::string message = NoDisplayMessage(2, argv);
        QVERIFY(message.find("no display") != std::string::npos);
        QVERIFY(message.find("brindle-get 'http://host/it'\\''s.bin'\n") != std::string::npos);
        QCOMPARE(std::count(message.begin(), message.end(), '\n'), 2);
        char platform[] = "-platform";
        char* withPlatform[] = {program, platform, nullptr};
        QVERIFY(HasDisplay(2, withPlatform));
    }

private:
    std::unique_ptr<guitest::ConfigDir> config;
};

QTEST_MAIN(StartupTest)
#include "StartupTest.moc"
