// brindle-screenshots: shows the real main window (the same FtpForm as brindle), runs one job
// and saves PNGs of the window mid-job and after the verdict (with "Open file" / "Open
// folder"), of a failed job with its reasons (a thread bar's tooltip shown), of the window at
// its smallest, and of the "Save as", Options and About dialogs. Run by scripts/screenshots.sh
// under Xvfb; grabs the X server's pixels when it can.
//
// usage: brindle-screenshots OUTPUT_DIR URL TARGET_DIR [THREADS [FAILING_URL]]
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QThread>
#include <QTimer>
#include <QToolTip>
#include <cstdio>
#include <functional>

#include "app/FtpForm.h"
#include "forms/WProgressBar.h"
#include "forms/WUpDown.h"

namespace {

bool WaitFor(const std::function<bool()>& done, int ms) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > ms) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(10);
    }
    return true;
}

bool Save(QWidget* window, const QString& path) {
    QCoreApplication::processEvents();
    window->repaint();
    QCoreApplication::processEvents();
    QPixmap picture;
    if (QScreen* screen = window->screen()) picture = screen->grabWindow(window->winId());
    if (picture.isNull()) picture = window->grab();
    bool ok = picture.save(path, "PNG");
    std::printf("%s %s\n", ok ? "saved" : "FAILED", qPrintable(path));
    return ok;
}

// The screen's pixels around the window, so a tooltip beside it shows too.
// The tooltip goes below the window, where it hides none of the window's texts.
bool SaveWithTooltip(QWidget* window, QWidget* tipOf, const QString& path) {
    const QPoint at = window->mapToGlobal(QPoint(tipOf->x(), window->height() - 16));
    QToolTip::showText(at, tipOf->toolTip(), tipOf);
    WaitFor([] { return false; }, 600);  // the tooltip fades in
    const QRect frame = window->frameGeometry().adjusted(0, 0, 0, 36);
    QPixmap picture;
    if (QScreen* screen = window->screen()) {
        picture = screen->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height());
    }
    QToolTip::hideText();
    if (picture.isNull()) return Save(window, path);
    bool ok = picture.save(path, "PNG");
    std::printf("%s %s\n", ok ? "saved" : "FAILED", qPrintable(path));
    return ok;
}

// Opens a modal dialog through open, saves it once it shows, then closes it with Esc.
bool SaveDialog(const std::function<void()>& open, const QString& path) {
    bool saved = false;
    QTimer::singleShot(400, [&] {
        if (QWidget* dialog = QApplication::activeModalWidget()) {
            saved = Save(dialog, path);
            dialog->close();
        }
    });
    open();
    return saved;
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QStringList args = QApplication::arguments();
    if (args.size() < 4) {
        std::fprintf(stderr,
                     "usage: brindle-screenshots OUTPUT_DIR URL TARGET_DIR [THREADS "
                     "[FAILING_URL]]\n");
        return 2;
    }
    QDir out(args[1]);
    out.mkpath(".");
    int threads = args.size() > 4 ? args[4].toInt() : 4;

    FtpForm form({args[2]});
    form.SetQuestion([](const QString&, const QString&) { return true; });
    form.show();
    // Larger than the template, so the smallest size shows by contrast.
    form.resize(form.width() + 160, form.height() + 60);
    form.textb_2->setText(QDir(args[3]).filePath(QFileInfo(form.textb_2->text()).fileName()));
    form.updown_1->SetPos(threads);
    WaitFor([&] { return form.isVisible(); }, 5000);

    bool ok = true;
    form.cb_1->click();
    // Mid-job: some bytes in, well short of the end.
    bool running = WaitFor(
        [&] {
            int position = form.progb_1->value();
            return position >= 30 && position <= 80;
        },
        60000);
    ok = (running && Save(&form, out.filePath("main-running.png"))) && ok;
    // Stopped mid-job, then resumed from its part files through "Go" (the question answered).
    form.cb_2->click();
    const bool stopped =
        WaitFor([&] { return form.cb_1->isVisible() && !form.JobRunning(); }, 10000);
    ok = (stopped && Save(&form, out.filePath("main-stopped.png"))) && ok;
    form.cb_1->click();
    bool finished =
        WaitFor([&] { return form.cb_1->isEnabled() && form.cb_1->isVisible(); }, 120000);
    ok = (finished && Save(&form, out.filePath("main-done.png"))) && ok;
    std::printf("verdict: %s\n", qPrintable(form.progb_1->text()));
    const QSize normal = form.size();
    form.resize(1, 1);  // the window stops at its smallest size
    WaitFor([&] { return form.size() != normal; }, 2000);
    ok = Save(&form, out.filePath("main-smallest.png")) && ok;
    std::printf("smallest: %dx%d\n", form.width(), form.height());
    form.resize(normal);
    ok = SaveDialog([&] { form.BrowseClicked(); }, out.filePath("save-as.png")) && ok;

    if (args.size() > 5) {
        form.textb_1->setText(args[5]);
        form.textb_2->setText(QDir(args[3]).filePath(QFileInfo(form.textb_2->text()).fileName()));
        form.textb_4->setText("1");
        form.cb_1->click();
        finished = WaitFor([&] { return form.cb_1->isEnabled() && form.cb_1->isVisible(); }, 60000);
        ok = (finished &&
              SaveWithTooltip(&form, form.ThreadBars().front(), out.filePath("main-failed.png"))) &&
             ok;
        std::printf("reasons: %s\n", qPrintable(form.label_5->text()));
    }

    ok = SaveDialog([&] { form.OptionsClicked(); }, out.filePath("options.png")) && ok;
    ok = SaveDialog([&] { form.AboutClicked(); }, out.filePath("about.png")) && ok;
    form.close();
    return ok ? 0 : 1;
}
