// brindle-gui-bench: times one job run from the real main window (the same FtpForm as brindle)
// the way a user runs it: URL and "Save as" filled in, the thread count set, "Go" clicked, the
// existing-files question answered "Yes". The clock runs from the click to the moment the
// window shows the verdict on its job bar. The normal event loop runs throughout, so the
// window's 100 ms poll, log pages and painting cost what they cost in brindle.
// Run by bench/gui_bench.sh (under Xvfb, or on the offscreen platform).
//
// usage: brindle-gui-bench URL TARGET [THREADS [TIMEOUT_S]]
// Prints "key=value" lines; exits 0 only for "Job completed successfully ...", 1 for any other
// verdict, 2 on a usage error, 3 when there was no verdict within TIMEOUT_S (default 900).
#include <sys/resource.h>
#include <time.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QEventLoop>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <QWindow>
#include <atomic>
#include <cstdio>
#include <thread>

#include "app/FtpForm.h"
#include "forms/TabForm1.h"
#include "forms/WProgressBar.h"
#include "forms/WUpDown.h"

namespace {

const QString kSuccess = "Job completed successfully";

double CpuSeconds(const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

// CPU seconds of the calling thread: on the UI thread, what the window itself costs.
double ThreadCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// Watches the job bar: checks for the verdict on each of its paints (the moment it reaches
// the screen) and, as a fallback, every 20 ms; records the first sighting only.
class VerdictWatch : public QObject {
public:
    VerdictWatch(FtpForm& form, const QElapsedTimer& clock, QEventLoop& loop)
        : form(form), clock(clock), loop(loop) {
        form.progb_1->installEventFilter(this);
        fallback.setInterval(20);
        connect(&fallback, &QTimer::timeout, this, [this] { Check(); });
    }
    void Arm() {
        uiCpuAtClick = ThreadCpuSeconds();
        armed = true;
        fallback.start();
    }
    bool Seen() const { return seenMs >= 0; }
    qint64 SeenMs() const { return seenMs; }
    QString Verdict() const { return verdict; }
    int BarPaints() const { return barPaints; }
    // UI thread CPU seconds from the click to the verdict (the click itself included).
    double UiCpu() const { return uiCpuAtVerdict - uiCpuAtClick; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (armed && event->type() == QEvent::Paint) {
            ++barPaints;
            Check();
        }
        return QObject::eventFilter(watched, event);
    }

private:
    void Check() {
        if (!armed || Seen()) return;
        const QString text = form.progb_1->text();
        if (!text.startsWith(kSuccess) && text != "Job failed") return;
        seenMs = clock.elapsed();
        uiCpuAtVerdict = ThreadCpuSeconds();
        verdict = text;
        fallback.stop();
        loop.quit();
    }

    FtpForm& form;
    const QElapsedTimer& clock;
    QEventLoop& loop;
    QTimer fallback;
    bool armed = false;
    qint64 seenMs = -1;
    QString verdict;
    int barPaints = 0;
    double uiCpuAtClick = 0;
    double uiCpuAtVerdict = 0;
};

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const QStringList args = QApplication::arguments();
    if (args.size() < 3) {
        std::fprintf(stderr, "usage: brindle-gui-bench URL TARGET [THREADS [TIMEOUT_S]]\n");
        return 2;
    }
    const int threads = args.size() > 3 ? args[3].toInt() : 4;
    const int timeoutS = args.size() > 4 ? args[4].toInt() : 900;

    FtpForm form({args[1]});
    int questions = 0;
    form.SetQuestion([&questions](const QString&, const QString&) {
        ++questions;
        return true;
    });
    form.show();
    form.textb_2->setText(args[2]);  // after the URL, which proposes a name of its own
    form.updown_1->SetPos(threads);
    if (form.updown_1->Pos() != threads) {
        std::fprintf(stderr, "brindle-gui-bench: the window allows %d threads at most\n",
                     form.updown_1->Maximum());
        return 2;
    }

    QElapsedTimer clock;
    // A loop of our own: QCoreApplication::quit would close the window before we read it.
    QEventLoop loop;
    VerdictWatch watch(form, clock, loop);
    qint64 clickReturnedMs = -1;
    std::atomic<qint64> jobVerdictMs{-1};
    std::thread jobWatcher;
    bool timedOut = false;

    // Clicks once the window is on the screen and the start-up events have settled.
    QTimer exposed;
    exposed.setInterval(10);
    QObject::connect(&exposed, &QTimer::timeout, [&] {
        if (form.windowHandle() == nullptr || !form.windowHandle()->isExposed()) return;
        exposed.stop();
        QTimer::singleShot(200, [&] {
            watch.Arm();
            clock.start();
            form.cb_1->click();
            clickReturnedMs = clock.elapsed();
            // When the job itself gave the verdict, apart from when the window showed it.
            DownloadJob* job = form.Job();
            if (job == nullptr) {
                std::fprintf(stderr, "brindle-gui-bench: \"Go\" started no job\n");
                loop.quit();
                return;
            }
            jobWatcher = std::thread([job, &clock, &jobVerdictMs, timeoutS] {
                for (int waited = 0; waited < timeoutS * 10; ++waited) {
                    if (job->WaitFinished(100)) {
                        jobVerdictMs = clock.elapsed();
                        return;
                    }
                }
            });
        });
    });
    exposed.start();
    QTimer::singleShot(timeoutS * 1000, [&] {
        timedOut = true;
        loop.quit();
    });

    loop.exec();
    if (jobWatcher.joinable()) jobWatcher.join();

    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("platform=%s\n", qPrintable(QGuiApplication::platformName()));
    std::printf("threads=%d\n", threads);
    std::printf("questions=%d\n", questions);
    std::printf("click_ms=%lld\n", static_cast<long long>(clickReturnedMs));
    std::printf("job_verdict_ms=%lld\n", static_cast<long long>(jobVerdictMs.load()));
    std::printf("gui_seconds=%.3f\n", static_cast<double>(watch.SeenMs()) / 1000.0);
    std::printf("bar_paints=%d\n", watch.BarPaints());
    std::printf("ui_thread_cpu=%.3f\n", watch.UiCpu());
    std::printf("cpu_user=%.2f\ncpu_sys=%.2f\n", CpuSeconds(usage.ru_utime),
                CpuSeconds(usage.ru_stime));
    std::printf("verdict=%s\n", qPrintable(watch.Verdict()));
    std::fflush(stdout);
    if (!watch.Verdict().startsWith(kSuccess)) {
        // The log pages say why; stderr keeps them apart from the key=value lines.
        for (int i = 0; form.Page(i) != nullptr; ++i) {
            std::fprintf(stderr, "--- Thread #%d\n%s\n", i,
                         qPrintable(form.Page(i)->textb_1->toPlainText()));
        }
    }
    form.close();
    if (timedOut || !watch.Seen()) return 3;
    return watch.Verdict().startsWith(kSuccess) ? 0 : 1;
}
