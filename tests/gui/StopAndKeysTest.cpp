// Stopping a job from the window ("Stop" in the place of "Go", or Esc) and resuming it with the
// next "Go"; Enter in the URL and "Save as" boxes; the order of the controls under Tab.
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>
#include <memory>

#include "GuiTestSupport.h"
#include "app/FtpForm.h"
#include "forms/WProgressBar.h"
#include "forms/WUpDown.h"
#include "support/FakeHttpServer.h"
#include "support/TempDir.h"

using testsupport::FakeHttpOptions;
using testsupport::FakeHttpServer;

namespace {

constexpr int kJobTimeoutMs = 30000;

void Prepare(FtpForm& form, const std::string& url, const std::string& target, int threads) {
    form.textb_1->setText(QString::fromStdString(url));
    form.textb_2->setText(QString::fromStdString(target));
    form.updown_1->SetPos(threads);
    form.textb_4->setText("2");
}

}  // namespace

class StopAndKeysTest : public QObject {
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

    void StopKeepsPartsAndGoResumes_data() {
        QTest::addColumn<bool>("byKey");
        QTest::newRow("Stop button") << false;
        QTest::newRow("Esc") << true;
    }
    void StopKeepsPartsAndGoResumes() {
        QFETCH(bool, byKey);
        FakeHttpOptions options;
        options.body = testsupport::PatternBytes(300000, 3);
        options.stallAfter = 20000;  // the first job's three GETs stall; later ones are served
        options.stallConnections = 3;
        FakeHttpServer server(options);
        FtpForm form;
        form.show();
        QVERIFY(QTest::qWaitForWindowActive(&form));
        const std::string target = files->File("stopped.bin");
        Prepare(form, server.Url("/stopped.bin"), target, 3);
        form.cb_1->click();
        QVERIFY(form.cb_2->isVisible() && !form.cb_1->isVisible() && !form.cb_1->isEnabled());
        for (int i = 0; i < 3; ++i) {
            QTRY_VERIFY2_WITH_TIMEOUT(form.ThreadBars()[i]->toolTip().contains(" b of "),
                                      qPrintable(form.ThreadBars()[i]->toolTip()), 10000);
        }

        if (byKey) {
            QTest::keyClick(form.textb_1, Qt::Key_Escape);
        } else {
            QTest::mouseClick(form.cb_2, Qt::LeftButton);
        }
        QVERIFY(!form.JobRunning());
        QVERIFY(!form.Job()->IsFinished());  // no verdict: nothing joined
        QCOMPARE(form.progb_1->text(), QString("Job stopped"));
        QVERIFY(!form.progb_1->Failed());
        QVERIFY(form.label_5->text().contains("\"Go\" resumes"));
        QVERIFY(form.cb_1->isVisible() && form.cb_1->isEnabled() && !form.cb_2->isVisible());
        for (WProgressBar* bar : form.ThreadBars()) QCOMPARE(bar->toolTip(), QString("Stopped"));
        for (const std::string& part : {target, target + "1", target + "2"}) {
            QVERIFY2(!testsupport::ReadFileBytes(part).empty(), part.c_str());
        }

        bool asked = false;
        form.SetQuestion([&](const QString&, const QString&) { return asked = true; });
        form.cb_1->click();
        QVERIFY(asked);
        QTRY_VERIFY_WITH_TIMEOUT(form.Job()->IsFinished(), kJobTimeoutMs);
        QTRY_VERIFY(form.cb_1->isEnabled());
        QVERIFY2(form.progb_1->text().startsWith("Job completed successfully"),
                 qPrintable(form.progb_1->text()));
        QCOMPARE(form.label_5->text(), QString());
        QCOMPARE(guitest::Sha256(testsupport::ReadFileBytes(target)),
                 guitest::Sha256(server.Body()));
    }

    void EscWithoutAJobDoesNothing() {
        FtpForm form;
        form.show();
        QVERIFY(QTest::qWaitForWindowActive(&form));
        QTest::keyClick(form.textb_1, Qt::Key_Escape);
        QVERIFY(form.isVisible());
        QCOMPARE(form.progb_1->text(), QString());
        QVERIFY(!form.cb_2->isVisible());
    }

    void EnterStartsOnlyWhenGoIsEnabled_data() {
        QTest::addColumn<QString>("box");
        QTest::addColumn<bool>("goEnabled");
        QTest::newRow("URL, Go enabled") << "textb_1" << true;
        QTest::newRow("Save as, Go enabled") << "textb_2" << true;
        QTest::newRow("URL, Go disabled") << "textb_1" << false;
        QTest::newRow("Save as, Go disabled") << "textb_2" << false;
    }
    void EnterStartsOnlyWhenGoIsEnabled() {
        QFETCH(QString, box);
        QFETCH(bool, goEnabled);
        FakeHttpOptions options;
        options.body = testsupport::PatternBytes(5000, 4);
        FakeHttpServer server(options);
        FtpForm form;
        form.show();
        QVERIFY(QTest::qWaitForWindowActive(&form));
        const std::string target = files->File("entered.bin");
        Prepare(form, server.Url("/entered.bin"), target, 1);
        form.cb_1->setEnabled(goEnabled);
        QTest::keyClick(form.findChild<QLineEdit*>(box), Qt::Key_Return);
        QCOMPARE(form.Job() != nullptr, goEnabled);
        if (!goEnabled) return;
        QTRY_VERIFY_WITH_TIMEOUT(form.Job()->IsFinished(), kJobTimeoutMs);
        QCOMPARE(testsupport::ReadFileBytes(target), server.Body());
    }

    void TabFollowsTheForm() {
        FtpForm form;
        form.show();
        QVERIFY(QTest::qWaitForWindowActive(&form));
        Prepare(form, "http://127.0.0.1:1/x", "/tmp/x", 1);  // "Go" enabled, so in the chain
        form.textb_1->setFocus();
        // The tab control takes the focus on its (unnamed) tab bar.
        auto name = [&] {
            QWidget* w = form.focusWidget();
            return w->objectName().isEmpty() ? w->parentWidget()->objectName() : w->objectName();
        };
        QStringList visited{name()};
        for (int i = 0; i < 12 && (visited.size() < 2 || visited.last() != "textb_1"); ++i) {
            QTest::keyClick(form.focusWidget(), Qt::Key_Tab);
            visited << name();
        }
        QCOMPARE(visited, QStringList({"textb_1", "textb_2", "pictbttn_1", "textb_3", "textb_4",
                                       "cb_1", "tabctrl_1", "textb_1"}));
    }

private:
    std::unique_ptr<guitest::ConfigDir> config;
    std::unique_ptr<testsupport::TempDir> files;
};

QTEST_MAIN(StopAndKeysTest)
#include "StopAndKeysTest.moc"
