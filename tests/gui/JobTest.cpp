// Whole jobs driven through the main window against a local HTTP server: "Go" to the verdict
// with the joined file checked byte for byte, a failing thread, the existing-files question,
// "Go" over a running job, "Go" and a close that arrive while a job is being torn down, and
// closing the window in the middle of a job.
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTabWidget>
#include <QTimer>
#include <QtTest>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "GuiTestSupport.h"
#include "app/FtpForm.h"
#include "engine/Conversation.h"
#include "forms/TabForm1.h"
#include "forms/WProgressBar.h"
#include "forms/WUpDown.h"
#include "settings/Settings.h"
#include "support/FakeHttpServer.h"
#include "support/TempDir.h"

using testsupport::FakeHttpOptions;
using testsupport::FakeHttpServer;

namespace {

const QColor kBlue(0, 0, 255);
const QColor kRed(255, 0, 0);
constexpr int kJobTimeoutMs = 30000;

FakeHttpOptions Serving(size_t size) {
    FakeHttpOptions options;
    options.body = testsupport::PatternBytes(size, 7);
    return options;
}

// Fills the window's inputs as a user would.
void Prepare(FtpForm& form, const std::string& url, const std::string& target, int threads,
             int attempts) {
    form.textb_1->setText(QString::fromStdString(url));
    form.textb_2->setText(QString::fromStdString(target));
    form.updown_1->SetPos(threads);
    form.textb_4->setText(QString::number(attempts));
}

}  // namespace

class JobTest : public QObject {
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

    void ThreeThreadsFromGoToVerdict() {
        FakeHttpServer server(Serving(300001));
        FtpForm form;
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        std::string target = files->File("joined.bin");
        Prepare(form, server.Url("/dir/joined.bin"), target, 3, 4);
        bool asked = false;
        form.SetQuestion([&](const QString&, const QString&) { return asked = true; });
        QTest::mouseClick(form.cb_1, Qt::LeftButton);

        QCOMPARE(form.windowTitle(), QString::fromStdString(target) + " - Brindle");
        QVERIFY(!form.cb_1->isEnabled());
        QCOMPARE(form.tabctrl_1->count(), 3);
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(form.tabctrl_1->tabText(i), QString("Thread #%1").arg(i));
        }
        QTRY_VERIFY_WITH_TIMEOUT(form.cb_1->isEnabled(), kJobTimeoutMs);

        QRegularExpression verdict("^Job completed successfully at \\d+ bps$");
        QVERIFY2(verdict.match(form.progb_1->text()).hasMatch(), qPrintable(form.progb_1->text()));
        QCOMPARE(form.progb_1->BarColor(), kBlue);
        QVERIFY(!asked);
        std::string bytes = testsupport::ReadFileBytes(target);
        QCOMPARE(bytes.size(), server.Body().size());
        QCOMPARE(guitest::Sha256(bytes), guitest::Sha256(server.Body()));
        QVERIFY(!testsupport::FileExists(target + "1"));  // delfiles is on by default
        QVERIFY(!testsupport::FileExists(target + "2"));

        int64_t segment = 300001 / 3;
        for (int i = 0; i < 3; ++i) {
            WProgressBar* bar = form.ThreadBars()[i];
            QCOMPARE(bar->value(), 100);
            QCOMPARE(bar->text(), QString("100%"));
            QCOMPARE(bar->BarColor(), kBlue);
            int64_t length = i < 2 ? segment : 300001 - 2 * segment;
            QCOMPARE(bar->toolTip(), QString("%1 b of %1").arg(length));
            std::string log = guitest::PageText(form.Page(i));
            QVERIFY2(log.rfind("ATTEMPTION #0\r\n\r\n", 0) == 0, log.c_str());
            std::string last = "Thread #" + std::to_string(i) + ". complited with 1\r\n";
            QVERIFY2(log.size() >= last.size() &&
                         log.compare(log.size() - last.size(), last.size(), last) == 0,
                     log.c_str());
        }
    }

    void OneFailingThread() {
        FakeHttpOptions options = Serving(120000);
        options.dropAfter = 0;  // the first GET gets its header and nothing else
        options.dropConnections = 1;
        FakeHttpServer server(options);
        FtpForm form;
        std::string target = files->File("part.bin");
        Prepare(form, server.Url("/part.bin"), target, 3, 1);
        form.StartJob();
        QTRY_VERIFY_WITH_TIMEOUT(form.cb_1->isEnabled(), kJobTimeoutMs);

        QCOMPARE(form.progb_1->text(), QString("Job failed"));
        QCOMPARE(form.progb_1->BarColor(), kRed);
        int failed = 0;
        // The failed thread's tooltip and the line under the job bar say why, in words.
        const QString why = "the connection ended after 0 of 40000 bytes";
        for (int i = 0; i < 3; ++i) {
            WProgressBar* bar = form.ThreadBars()[i];
            if (bar->BarColor() == kRed) {
                ++failed;
                QVERIFY2(bar->toolTip().startsWith("Failed: " + why), qPrintable(bar->toolTip()));
                QCOMPARE(form.label_5->text(), QString("Thread #%1: ").arg(i) +
                                                   bar->toolTip().mid(int(strlen("Failed: "))));
                QCOMPARE(form.progb_1->toolTip(), form.label_5->text());
            } else {
                QCOMPARE(bar->BarColor(), kBlue);
                QVERIFY(!bar->toolTip().startsWith("Failed"));
            }
        }
        QCOMPARE(failed, 1);
        // Nothing joined: the target holds at most segment 0.
        QVERIFY(testsupport::ReadFileBytes(target).size() <= 120000 / 3);
    }

    void ExistingFilesQuestion() {
        FakeHttpServer server(Serving(5000));
        FtpForm form;
        std::string target = files->File("again.bin");
        testsupport::WriteFileBytes(target, "old");
        testsupport::WriteFileBytes(target + "2", "xx");
        Prepare(form, server.Url("/again.bin"), target, 3, 2);
        QString text, caption;
        form.SetQuestion([&](const QString& t, const QString& c) {
            text = t;
            caption = c;
            return false;
        });
        form.StartJob();
        QCOMPARE(caption, QString("To continue using existing files"));
        QCOMPARE(text.toStdString(), "Files:\r\n" + target + "\r\n" + target +
                                         "2\r\nalready exist.\r\nNOTE: If server doesn't support "
                                         "pumping,\r\n" +
                                         target + " will be deleted");
        // No: nothing starts, nothing changes on disk, "Go" stays usable, title unchanged.
        QVERIFY(form.Job() == nullptr);
        QCOMPARE(form.tabctrl_1->count(), 0);
        QVERIFY(form.cb_1->isEnabled());
        QCOMPARE(form.windowTitle(), QString("Brindle"));
        QCOMPARE(testsupport::ReadFileBytes(target), std::string("old"));
        QCOMPARE(server.ConnectionCount(), 0);
    }

    void GoDuringRunningJobTearsItDownFirst() {
        FakeHttpOptions stalling = Serving(200000);
        stalling.stallAfter = 1000;
        stalling.stallConnections = 1000;
        FakeHttpServer slow(stalling);
        FakeHttpServer fast(Serving(77777));
        FtpForm form;
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        Prepare(form, slow.Url("/slow.bin"), files->File("slow.bin"), 4, 3);
        form.StartJob();
        QCOMPARE(form.tabctrl_1->count(), 4);
        QTRY_VERIFY_WITH_TIMEOUT(form.ThreadBars()[0]->toolTip().contains(" b of "), 10000);
        QVERIFY(!form.cb_1->isEnabled());

        // Changing the URL makes "Go" usable again while the first job still runs.
        std::string target = files->File("fast.bin");
        Prepare(form, fast.Url("/fast.bin"), target, 2, 3);
        QVERIFY(form.cb_1->isEnabled());
        QElapsedTimer clock;
        clock.start();
        form.cb_1->click();
        QVERIFY(clock.elapsed() < 10000);
        QCOMPARE(form.tabctrl_1->count(), 2);
        QCOMPARE(form.tabctrl_1->tabText(0), QString("Thread #0"));
        QCOMPARE(int(form.ThreadBars().size()), 2);
        QTRY_VERIFY_WITH_TIMEOUT(form.cb_1->isEnabled(), kJobTimeoutMs);
        QVERIFY2(form.progb_1->text().startsWith("Job completed successfully at "),
                 qPrintable(form.progb_1->text()));
        QCOMPARE(guitest::Sha256(testsupport::ReadFileBytes(target)), guitest::Sha256(fast.Body()));
        // The stopped job left its part files for a later resume.
        QVERIFY(testsupport::FileExists(files->File("slow.bin")));
    }

    void GoAndCloseDuringATeardownWaitForIt() {
        FakeHttpServer server(Serving(300000));
        FtpForm form;
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        const std::string target = files->File("held.bin");
        // The workers' first step takes the process-wide socket lock; while another thread
        // holds it they cannot be stopped, so the teardown lasts as long as this test wants
        // and the window dispatches events meanwhile.
        std::mutex holdLock;
        std::condition_variable holdChanged;
        bool held = false, letGo = false;
        std::thread holder([&] {
            WSemaphoreLock socketGuard(&SocketLock());
            std::unique_lock<std::mutex> lock(holdLock);
            held = true;
            holdChanged.notify_all();
            holdChanged.wait_for(lock, std::chrono::seconds(20), [&] { return letGo; });
        });
        auto release = [&] {
            std::lock_guard<std::mutex> lock(holdLock);
            letGo = true;
            holdChanged.notify_all();
        };
        // However the test ends, the workers are let go before the window is destroyed.
        struct Join {
            std::thread& holder;
            std::function<void()> release;
            ~Join() {
                release();
                holder.join();
            }
        } join{holder, release};
        {
            std::unique_lock<std::mutex> lock(holdLock);
            QVERIFY(holdChanged.wait_for(lock, std::chrono::seconds(10), [&] { return held; }));
        }
        Prepare(form, server.Url("/held.bin"), target, 2, 1);
        form.StartJob();
        QTRY_VERIFY_WITH_TIMEOUT(
            guitest::PageText(form.Page(1)).find("ATTEMPTION #0") != std::string::npos, 10000);

        bool fired = false, jobKept = false, closeRefused = false;
        int tabsDuring = -1;
        QTimer::singleShot(300, &form, [&] {
            fired = true;
            form.StartJob();  // a second "Go": must not start anything now
            jobKept = form.Job() != nullptr;
            tabsDuring = form.tabctrl_1->count();
            closeRefused = !form.close();  // put off until the teardown is over
            release();
        });
        form.StartJob();  // tears the held job down, waiting for its workers

        QVERIFY2(fired, "the teardown ended before the second click: nothing was tested");
        QVERIFY(jobKept);
        QCOMPARE(tabsDuring, 2);
        QVERIFY(closeRefused);
        // The close that waited is carried out at the end of the teardown, instead of a new job.
        QVERIFY(form.IsClosing());
        QVERIFY(!form.isVisible());
        QVERIFY(form.Job() == nullptr);
        QCOMPARE(form.tabctrl_1->count(), 0);
        // The stopped workers never got as far as a request.
        QCOMPARE(server.Requests().size(), size_t{0});
    }

    void ClosingMidJob() {
        FakeHttpOptions stalling = Serving(400000);
        stalling.stallAfter = 5000;
        stalling.stallConnections = 1000;
        FakeHttpServer server(stalling);
        auto form = std::make_unique<FtpForm>();
        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form.get()));
        std::string target = files->File("closing.bin");
        Prepare(*form, server.Url("/closing.bin"), target, 3, 5);
        form->StartJob();
        QTRY_VERIFY_WITH_TIMEOUT(form->ThreadBars()[2]->toolTip().contains(" b of "), 10000);

        QElapsedTimer clock;
        clock.start();
        QVERIFY(form->close());
        QVERIFY(clock.elapsed() < 10000);
        QVERIFY(form->IsClosing());
        // No verdict, no join, no deletion: the part files are still there.
        QVERIFY(!form->Job()->IsFinished());
        QVERIFY(testsupport::FileExists(target + "1"));
        QVERIFY(testsupport::FileExists(target + "2"));
        QCOMPARE(form->tabctrl_1->count(), 0);

        std::string ini = config->ReadIni();
        for (const SettingsField& field : kSettingsFields) {
            QVERIFY2(ini.find(std::string(field.key) + "=") != std::string::npos, field.key);
        }
        QVERIFY(ini.find("attempts=5") != std::string::npos);
        form.reset();
    }

private:
    std::unique_ptr<guitest::ConfigDir> config;
    std::unique_ptr<testsupport::TempDir> files;
};

QTEST_MAIN(JobTest)
#include "JobTest.moc"
