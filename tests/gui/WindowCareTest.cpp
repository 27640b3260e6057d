// What the window does around a job: "Save as" in the download folder and the save dialog
// that starts in the last folder used (remembered in Brindle.state, not Brindle.ini), the
// notice and "Open file" / "Open folder" at the end of a job, URLs dropped on the window and
// the environment's proxies.
#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStandardPaths>
#include <QTimer>
#include <QUrl>
#include <QtTest>
#include <memory>

#include "GuiTestSupport.h"
#include "app/FtpForm.h"
#include "app/JobNotice.h"
#include "app/SaveLocation.h"
#include "forms/TabForm1.h"
#include "forms/WUpDown.h"
#include "support/FakeHttpServer.h"
#include "support/TempDir.h"

using testsupport::FakeHttpOptions;
using testsupport::FakeHttpServer;

namespace {

constexpr int kJobTimeoutMs = 30000;

// Runs a one-thread job of the form to its verdict.
void RunJob(FtpForm& form, const std::string& url, const std::string& target) {
    form.textb_1->setText(QString::fromStdString(url));
    form.textb_2->setText(QString::fromStdString(target));
    form.updown_1->SetPos(1);
    form.textb_4->setText("1");
    form.StartJob();
    QTRY_VERIFY_WITH_TIMEOUT(form.cb_1->isEnabled() && form.cb_1->isVisibleTo(&form),
                             kJobTimeoutMs);
}

}  // namespace

class WindowCareTest : public QObject {
    Q_OBJECT
private slots:
    void init() {
        config = std::make_unique<guitest::ConfigDir>();
        files = std::make_unique<testsupport::TempDir>();
    }
    void cleanup() {
        files.reset();
        config.reset();
    }

    void SaveAsDialogStartsInLastFolder() {
        const QString folder = QString::fromStdString(files->Path());
        RememberFolder(QString::fromStdString(files->File("earlier.bin")));
        FtpForm form;
        form.textb_1->setText("http://host/pub/new.bin");
        QString title;
        bool asksBeforeOverwrite = false;
        QString startedIn;
        QTimer::singleShot(0, [&] {
            auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
            QVERIFY(dialog != nullptr);
            title = dialog->windowTitle();
            asksBeforeOverwrite = dialog->acceptMode() == QFileDialog::AcceptSave &&
                                  !dialog->testOption(QFileDialog::DontConfirmOverwrite);
            startedIn = dialog->directory().absolutePath();
            dialog->selectFile(folder + "/chosen.bin");
            static_cast<QDialog*>(dialog)->accept();  // QFileDialog::accept, as "Save" does
        });
        form.BrowseClicked();
        QCOMPARE(title, QString("Save as"));
        QVERIFY(asksBeforeOverwrite);
        QCOMPARE(startedIn, folder);
        QCOMPARE(form.textb_2->text(), folder + "/chosen.bin");

        // Remembered in the window's own file; the settings file keeps its thirteen keys.
        form.close();
        QCOMPARE(StartFolder(), folder);
        const std::string ini = config->ReadIni();
        QCOMPARE(int(std::count(ini.begin(), ini.end(), '=')), 13);
        QVERIFY(ini.find(folder.toStdString()) == std::string::npos);
    }

    void StartFolderFallsBackToDownloads() {
        RememberFolder(QString::fromStdString(files->File("gone/x.bin")));  // no such folder
        QCOMPARE(StartFolder(), DownloadFolder());
        QCOMPARE(DownloadFolder(),
                 QStandardPaths::writableLocation(QStandardPaths::DownloadLocation));
    }

    void EndOfJob_data() {
        QTest::addColumn<bool>("active");
        QTest::addColumn<bool>("succeeds");
        QTest::addColumn<QString>("notice");  // "" for none
        QTest::newRow("background, success") << false << true << "Download complete";
        QTest::newRow("background, failure") << false << false << "Download failed";
        QTest::newRow("active, success") << true << true << "";
    }
    void EndOfJob() {
        QFETCH(bool, active);
        QFETCH(bool, succeeds);
        QFETCH(QString, notice);
        FakeHttpOptions options;
        options.body = testsupport::PatternBytes(4000, 3);
        if (!succeeds) options.getStatus = 404;
        FakeHttpServer server(options);
        FtpForm form;
        QStringList notices;
        form.SetNotifier(
            [&](const JobNoticeText& text) { notices << text.summary + "|" + text.body; });
        QList<QUrl> opened;
        form.SetUrlOpener([&](const QUrl& url) {
            opened << url;
            return true;
        });
        if (active) {
            form.show();
            QVERIFY(QTest::qWaitForWindowActive(&form));
        }
        const std::string target = files->File("done.bin");
        RunJob(form, server.Url("/done.bin"), target);

        QCOMPARE(notices.size(), notice.isEmpty() ? 0 : 1);
        if (!notice.isEmpty()) {
            QVERIFY2(notices[0].startsWith(notice + "|done.bin"), qPrintable(notices[0]));
            // A failure says why, as the line under the job bar does.
            if (!succeeds)
                QVERIFY2(notices[0].contains("the file is not on the server"),
                         qPrintable(notices[0]));
        }
        QCOMPARE(!form.cb_3->isHidden(), succeeds);
        QCOMPARE(!form.cb_4->isHidden(), succeeds);
        if (!succeeds) return;
        form.cb_3->click();
        form.cb_4->click();
        const QString path = QString::fromStdString(target);
        QCOMPARE(opened, QList<QUrl>({QUrl::fromLocalFile(path),
                                      QUrl::fromLocalFile(QString::fromStdString(files->Path()))}));
    }

    void NotifyCallCarriesTheNotice() {
        const QVariantList args = NotifyArguments({"Download complete", "x.bin is saved in /tmp"});
        QCOMPARE(args.size(), 8);
        QCOMPARE(args[0].toString(), QString("Brindle"));
        QCOMPARE(args[1].userType(), QMetaType::UInt);  // replaces_id is a D-Bus "u"
        QCOMPARE(args[3].toString(), QString("Download complete"));
        QCOMPARE(args[4].toString(), QString("x.bin is saved in /tmp"));
        QCOMPARE(args[7].toInt(), -1);
    }

    void DropAnywhereReplacesUrl_data() {
        QTest::addColumn<QString>("target");
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("payload");
        QTest::addColumn<QString>("url");  // the URL box afterwards
        QTest::newRow("URL on Save as") << "textb_2"
                                        << "urls"
                                        << "http://drop.test/a/b.iso"
                                        << "http://drop.test/a/b.iso";
        QTest::newRow("text on URL box") << "textb_1"
                                         << "text"
                                         << "  ftp://drop.test/x.bin\nmore"
                                         << "ftp://drop.test/x.bin";
        QTest::newRow("URL on log page") << "page"
                                         << "urls"
                                         << "https://drop.test/y"
                                         << "https://drop.test/y";
        QTest::newRow("nothing usable") << "textb_3"
                                        << "text"
                                        << "  "
                                        << "http://127.0.0.1:1/k";
    }
    void DropAnywhereReplacesUrl() {
        QFETCH(QString, target);
        QFETCH(QString, kind);
        QFETCH(QString, payload);
        QFETCH(QString, url);
        FtpForm form;
        form.textb_1->setText("http://127.0.0.1:1/k");
        form.updown_1->SetPos(1);
        form.textb_2->setText(QString::fromStdString(files->File("k")));
        form.textb_4->setText("1");
        form.StartJob();  // a page to drop on
        QTRY_VERIFY_WITH_TIMEOUT(form.cb_1->isEnabled(), kJobTimeoutMs);
        QWidget* on = target == "page" ? static_cast<QWidget*>(form.Page(0)->textb_1->viewport())
                                       : form.findChild<QWidget*>(target);
        QVERIFY(on != nullptr);
        QMimeData data;
        if (kind == "urls") {
            data.setUrls({QUrl(payload)});
        } else {
            data.setText(payload);
        }
        const QPoint at = on->rect().center();
        QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(on, &enter);
        QDropEvent drop(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(on, &drop);
        QCOMPARE(form.textb_1->text(), url);
        if (url != "http://127.0.0.1:1/k") {
            QCOMPARE(form.textb_2->text(), ProposedTarget(url.section('/', -1).toStdString()));
        }
    }

    void EnvironmentProxiesWithoutUseproxy_data() {
        QTest::addColumn<int>("useproxy");
        QTest::addColumn<bool>("routed");
        QTest::newRow("useproxy off") << 0 << true;
        QTest::newRow("useproxy on") << 1 << false;
    }
    void EnvironmentProxiesWithoutUseproxy() {
        QFETCH(int, useproxy);
        QFETCH(bool, routed);
        config->WriteIni("useproxy=" + std::to_string(useproxy) + "\nattempts=1\n");
        FtpForm form;
        qputenv("http_proxy", "127.0.0.1:1");  // read when the job starts
        RunJob(form, "http://127.0.0.1:1/p.bin", files->File("p.bin"));
        qunsetenv("http_proxy");
        const EnvironmentProxies& proxies = form.Job()->Options().environmentProxies;
        QCOMPARE(proxies.http.has_value(), routed);
        if (routed) QCOMPARE(proxies.http->port, 1);
    }

private:
    std::unique_ptr<guitest::ConfigDir> config;
    std::unique_ptr<testsupport::TempDir> files;
};

QTEST_MAIN(WindowCareTest)
#include "WindowCareTest.moc"
