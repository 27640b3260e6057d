// brindle-screenshots: shows the real main window (the same FtpForm as brindle), runs one job
// and saves PNGs of the window mid-job and after the verdict, and of the Options and About
// dialogs. Run by scripts/screenshots.sh under Xvfb; grabs the X server's pixels when it can.
//
// usage: brindle-screenshots OUTPUT_DIR URL TARGET_DIR [THREADS]
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QThread>
#include <QTimer>
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
        std::fprintf(stderr, "usage: brindle-screenshots OUTPUT_DIR URL TARGET_DIR [THREADS]\n");
        return 2;
    }
    QDir out(args[1]);
    out.mkpath(".");
    int threads = args.size() > 4 ? args[4].toInt() : 4;

    FtpForm form({args[2]});
    form.SetQuestion([](const QString&, const QString&) { return true; });
    form.show();
    form.textb_2->setText(QDir(args[3]).filePath(form.textb_2->text()));
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
    bool finished = WaitFor([&] { return form.cb_1->isEnabled(); }, 120000);
    ok = (finished && Save(&form, out.filePath("main-done.png"))) && ok;
    std::printf("verdict: %s\n", qPrintable(form.progb_1->text()));

    ok = SaveDialog([&] { form.OptionsClicked(); }, out.filePath("options.png")) && ok;
    ok = SaveDialog([&] { form.AboutClicked(); }, out.filePath("about.png")) && ok;
    form.close();
    return ok ? 0 : 1;
}
