// The window's small conveniences: the keyboard commands (F1, Alt+O, Alt+A, Ctrl+Q), the
// program's icon, and a failed bar that shows red even when nothing is filled.
#include <QApplication>
#include <QImage>
#include <QLineEdit>
#include <QTimer>
#include <QtTest>
#include <memory>

#include "GuiTestSupport.h"
#include "app/FtpForm.h"
#include "forms/About.h"
#include "forms/WProgressBar.h"

namespace {

// Closes the next modal dialog with Esc and returns the name it had ("" when none opened).
// The caller runs the command that should open it right after.
void CloseNextDialog(QString* opened) {
    QTimer::singleShot(0, [opened] {
        QWidget* dialog = QApplication::activeModalWidget();
        *opened = dialog != nullptr ? dialog->objectName() : QString();
        if (dialog != nullptr) QTest::keyClick(dialog, Qt::Key_Escape);
    });
}

int CountPixels(const QImage& image, QRgb colour) {
    int count = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) count += image.pixel(x, y) == colour;
    }
    return count;
}

}  // namespace

class ConveniencesTest : public QObject {
    Q_OBJECT
private slots:
    void init() { config = std::make_unique<guitest::ConfigDir>(); }
    void cleanup() { config.reset(); }

    void KeysOpenDialogs_data() {
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("modifiers");
        QTest::addColumn<QString>("dialog");
        QTest::newRow("F1") << int(Qt::Key_F1) << int(Qt::NoModifier) << "About";
        QTest::newRow("Alt+A") << int(Qt::Key_A) << int(Qt::AltModifier) << "About";
        QTest::newRow("Alt+O") << int(Qt::Key_O) << int(Qt::AltModifier) << "Options";
    }
    void KeysOpenDialogs() {
        QFETCH(int, key);
        QFETCH(int, modifiers);
        QFETCH(QString, dialog);
        FtpForm form;
        form.show();
        QVERIFY(QTest::qWaitForWindowActive(&form));
        QString opened = "none yet";
        CloseNextDialog(&opened);
        QTest::keyClick(form.textb_1, Qt::Key(key), Qt::KeyboardModifiers(modifiers));
        QCoreApplication::processEvents();  // runs the closer if no dialog ran it
        QCOMPARE(opened, dialog);
        QVERIFY(form.isVisible());
    }

    void CtrlQClosesThroughCloseEvent() {
        FtpForm form;
        form.show();
        QVERIFY(QTest::qWaitForWindowActive(&form));
        form.textb_4->setText("9");
        QTest::keyClick(form.textb_1, Qt::Key_Q, Qt::ControlModifier);
        QVERIFY(!form.isVisible());
        QVERIFY(form.IsClosing());
        // The settings reached the file, as with the close box.
        QVERIFY(config->ReadIni().find("attempts=9") != std::string::npos);
    }

    void WindowAndAboutShowTheIcon() {
        FtpForm form;
        QImage image = form.windowIcon().pixmap(32, 32).toImage();
        QVERIFY(!image.isNull());
        QVERIFY(CountPixels(image, qRgba(0, 0, 0, 0)) < image.width() * image.height());
        About about(&form);
        QVERIFY(!about.windowIcon().isNull());
    }

    void FailedBarShowsRedAtAnyPosition_data() {
        QTest::addColumn<bool>("failed");
        QTest::addColumn<int>("position");
        QTest::addColumn<bool>("red");
        QTest::newRow("failed, empty") << true << 0 << true;
        QTest::newRow("red colour, not failed, empty") << false << 0 << false;
    }
    void FailedBarShowsRedAtAnyPosition() {
        QFETCH(bool, failed);
        QFETCH(int, position);
        QFETCH(bool, red);
        for (auto kind : {WProgressBar::TextKind::Percent, WProgressBar::TextKind::Custom}) {
            WProgressBar bar(nullptr, kind);
            bar.resize(120, 16);
            bar.SetBarText("Job failed");
            bar.SetBarColor(QColor(255, 0, 0));
            bar.SetPosition(position);
            bar.SetFailed(failed);
            int redPixels = CountPixels(bar.grab().toImage(), qRgb(255, 0, 0));
            QCOMPARE(redPixels > 0, red);
        }
    }

private:
    std::unique_ptr<guitest::ConfigDir> config;
};

QTEST_MAIN(ConveniencesTest)
#include "ConveniencesTest.moc"
