#pragma once
// The generated part of the main window: the "ID_FtpForm" template (346 x 183 dialog units,
// sizable, caption "Brindle") with its controls, its menu bar of two commands ("Options",
// "About", with mnemonics; F1 also chooses "About"), the Ctrl+Q close command, the program's
// icon and the resize rules of the controls; and the controls added to the template: "Stop"
// (with Esc), the line under the job bar and "Open file" / "Open folder" beside it. The
// template's size is the window's smallest, so no control is ever hidden. UI thread only.
#include <QMainWindow>

class QAction;
class QLabel;
class QLineEdit;
class QPushButton;
class QTabWidget;
class QToolButton;
class ResizeRules;
class WProgressBar;
class WUpDown;

class FtpFormBase : public QMainWindow {
public:
    explicit FtpFormBase(QWidget* parent = nullptr);
    ~FtpFormBase() override;

    QWidget* client = nullptr;          // the window's client area, parent of the controls
    QLineEdit* textb_1 = nullptr;       // 102 URL
    QLabel* label_1 = nullptr;          // 103
    QLineEdit* textb_2 = nullptr;       // 104 "Save as"
    QLabel* label_2 = nullptr;          // 105
    QToolButton* pictbttn_1 = nullptr;  // 106 browse
    QLineEdit* textb_3 = nullptr;       // 107 thread count box
    WUpDown* updown_1 = nullptr;        // 108 thread count
    QLabel* label_3 = nullptr;          // 109
    QPushButton* cb_1 = nullptr;        // 110 "Go"
    QTabWidget* tabctrl_1 = nullptr;    // 111 log pages
    WProgressBar* progb_1 = nullptr;    // 112 job bar
    QLabel* label_4 = nullptr;          // 113
    WUpDown* updown_2 = nullptr;        // 114 attempts
    QLineEdit* textb_4 = nullptr;       // 115 attempts box
    QAction* menuOptions = nullptr;     // 1000
    QAction* menuAbout = nullptr;       // 1001, also F1
    QAction* actionQuit = nullptr;      // Ctrl+Q, not on the menu bar
    // Added to the template: the window's own controls beyond the original form.
    QPushButton* cb_2 = nullptr;    // 116 "Stop", in the place of "Go" while a job runs
    QLabel* label_5 = nullptr;      // 117 the job's state in words, under the job bar
    QAction* actionStop = nullptr;  // Esc, the same as "Stop"
    QPushButton* cb_3 = nullptr;    // 118 "Open file", once a job succeeded
    QPushButton* cb_4 = nullptr;    // 119 "Open folder", once a job succeeded

protected:
    void CreateControls();

    ResizeRules* rules = nullptr;
};
