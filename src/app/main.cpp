// brindle: the desktop program. Starts the Qt application with the main window, or, when
// there is no display to show it on, says so and shows the headless command instead.
#include <QApplication>
#include <cstdio>

#include "app/FtpForm.h"
#include "app/NoDisplay.h"
#include "forms/AppIcon.h"

int main(int argc, char** argv) {
    if (!HasDisplay(argc, argv)) {
        std::fputs(NoDisplayMessage(argc, argv).c_str(), stderr);
        return 1;
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName("Brindle");
    QApplication::setWindowIcon(AppIcon());  // dialogs and the task bar show it too
    auto* form = new FtpForm(QApplication::arguments().mid(1));
    form->show();
    int code = QApplication::exec();
    delete form;
    return code;
}
