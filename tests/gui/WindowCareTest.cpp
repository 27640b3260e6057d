// What the window does around a job: "Save as" in the download folder and the save dialog
// that starts in the last folder used (remembered in Brindle.state, not Brindle.ini).
#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QStandardPaths>
#include <QTimer>
#include <QtTest>
#include <memory>

#include "GuiTestSupport.h"
#include "app/FtpForm.h"
#include "app/SaveLocation.h"
#include "support/TempDir.h"

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

private:
    std::unique_ptr<guitest::ConfigDir> config;
    std::unique_ptr<testsupport::TempDir> files;
};

QTEST_MAIN(WindowCareTest)
#include "WindowCareTest.moc"
