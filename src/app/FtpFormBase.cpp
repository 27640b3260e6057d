#include "app/FtpFormBase.h"

#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QTabBar>
#include <QTabWidget>
#include <QToolButton>
#include <QVBoxLayout>

#include "forms/AppIcon.h"
#include "forms/DialogUnits.h"
#include "forms/FolderIcon.h"
#include "forms/ResizeRules.h"
#include "forms/WProgressBar.h"
#include "forms/WUpDown.h"

namespace {

// Tab items are 96 pixels wide whatever their caption.
class FixedWidthTabBar : public QTabBar {
public:
    using QTabBar::QTabBar;

protected:
    QSize tabSizeHint(int index) const override {
        return QSize(96, QTabBar::tabSizeHint(index).height());
    }
};

class TabControl : public QTabWidget {
public:
    explicit TabControl(QWidget* parent) : QTabWidget(parent) {
        setTabBar(new FixedWidthTabBar(this));
    }
};

}  // namespace

FtpFormBase::FtpFormBase(QWidget* parent) : QMainWindow(parent) {
    CreateControls();
}

FtpFormBase::~FtpFormBase() = default;

void FtpFormBase::CreateControls() {
    setObjectName("FtpForm");
    setWindowTitle("Brindle");
    setWindowIcon(AppIcon());
    setFont(DialogFont());
    DialogUnits u(font());

    // The template's controls reach its left edge ("Count of threads" starts at 0): a frame
    // of two units around the client area keeps them off the window's border.
    auto* frame = new QWidget(this);
    auto* frameLayout = new QVBoxLayout(frame);
    const int margin = u.X(2);
    frameLayout->setContentsMargins(margin, margin, margin, margin);
    client = new QWidget(frame);
    client->setObjectName("client");
    client->setFont(font());
    client->resize(u.Size(346, 183));
    frameLayout->addWidget(client);
    setCentralWidget(frame);

    textb_1 = MakeBox(client, u, 102, "textb_1", 55, 0, 285, 15);
    label_1 = MakeLabel(client, u, 103, "label_1", "URL", 35, 5, 15, 8);
    textb_2 = MakeBox(client, u, 104, "textb_2", 55, 15, 270, 15);
    label_2 = MakeLabel(client, u, 105, "label_2", "Save as", 25, 20, 26, 8);
    pictbttn_1 = new QToolButton(client);
    PlaceControl(pictbttn_1, u, 106, "pictbttn_1", 325, 15, 15, 14);
    pictbttn_1->setIcon(FolderIcon());
    textb_3 = MakeBox(client, u, 107, "textb_3", 55, 30, 30, 15);
    updown_1 = new WUpDown(client);
    PlaceControl(updown_1, u, 108, "updown_1", 75, 30, 10, 15);
    label_3 = MakeLabel(client, u, 109, "label_3", "Count of threads", 0, 35, 55, 8);
    cb_1 = new QPushButton("Go", client);
    PlaceControl(cb_1, u, 110, "cb_1", 300, 30, 40, 13);
    tabctrl_1 = new TabControl(client);
    PlaceControl(tabctrl_1, u, 111, "tabctrl_1", 5, 45, 336, 95);
    progb_1 = new WProgressBar(client, WProgressBar::TextKind::Custom);
    PlaceControl(progb_1, u, 112, "progb_1", 5, 155, 336, 10);
    label_4 = MakeLabel(client, u, 113, "label_4", "Number of attemptions", 95, 35, 75, 8);
    updown_2 = new WUpDown(client);
    PlaceControl(updown_2, u, 114, "updown_2", 200, 30, 11, 15);
    textb_4 = MakeBox(client, u, 115, "textb_4", 170, 30, 35, 15);
    // "Stop" takes the place of "Go" while a job runs; the line below the job bar says what
    // became of the job (stopped, or why it failed).
    cb_2 = new QPushButton("Stop", client);
    PlaceControl(cb_2, u, 116, "cb_2", 300, 30, 40, 13);
    cb_2->setToolTip("Stop the job (Esc); the part files are kept and \"Go\" resumes them");
    cb_2->hide();
    label_5 = MakeLabel(client, u, 117, "label_5", "", 5, 168, 336, 8);
    // Shown only after a success, when the line under the bar is empty.
    cb_3 = new QPushButton("Open file", client);
    PlaceControl(cb_3, u, 118, "cb_3", 236, 167, 50, 13);
    cb_3->hide();
    cb_4 = new QPushButton("Open folder", client);
    PlaceControl(cb_4, u, 119, "cb_4", 290, 167, 50, 13);
    cb_4->hide();

    // Initial state of the template.
    auto* digits = new QRegularExpressionValidator(QRegularExpression("[0-9]*"), this);
    textb_3->setValidator(digits);
    textb_3->setMaxLength(2);
    textb_4->setValidator(digits);
    textb_4->setMaxLength(3);
    updown_1->SetRange(1, 5);
    updown_1->SetBuddy(textb_3);
    updown_1->SetPos(1);
    updown_2->SetRange(1, 200);
    updown_2->SetBuddy(textb_4);
    updown_2->SetPos(1);
    progb_1->SetPosition(0);
    progb_1->SetBarColor(QColor(0, 0, 255));
    // Tab goes through the form as it reads: left to right, then down.
    QWidget* order[] = {textb_1, textb_2, pictbttn_1, textb_3, textb_4,
                        cb_1,    cb_2,    tabctrl_1,  cb_3,    cb_4};
    for (size_t i = 1; i < std::size(order); ++i) setTabOrder(order[i - 1], order[i]);

    // The menu bar carries two commands, not drop-down menus; Alt+O and Alt+A choose them.
    menuOptions = menuBar()->addAction("&Options");
    menuOptions->setObjectName("menuOptions");
    menuOptions->setData(1000);
    menuAbout = menuBar()->addAction("&About");
    menuAbout->setObjectName("menuAbout");
    menuAbout->setData(1001);
    menuAbout->setShortcut(QKeySequence(Qt::Key_F1));
    // Ctrl+Q has no menu item; it lives on the window so it works wherever the focus is.
    actionQuit = new QAction(this);
    actionQuit->setObjectName("actionQuit");
    actionQuit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    addAction(actionQuit);
    actionStop = new QAction(this);
    actionStop->setObjectName("actionStop");
    actionStop->setShortcut(QKeySequence(Qt::Key_Escape));
    addAction(actionStop);

    rules = new ResizeRules(client);
    rules->Add(textb_1, ResizeRule{0, 0, 100, 0});
    rules->Add(textb_2, ResizeRule{0, 0, 100, 0});
    rules->Add(pictbttn_1, ResizeRule{100, 0, 0, 0});
    rules->Add(cb_1, ResizeRule{100, 0, 0, 0});
    rules->Add(cb_2, ResizeRule{100, 0, 0, 0});
    rules->Add(tabctrl_1, ResizeRule{0, 0, 100, 100});
    rules->Add(progb_1, ResizeRule{0, 100, 100, 0});
    rules->Add(label_5, ResizeRule{0, 100, 100, 0});
    rules->Add(cb_3, ResizeRule{100, 100, 0, 0});
    rules->Add(cb_4, ResizeRule{100, 100, 0, 0});

    // The template's size is the client area; the menu bar comes on top of it. Smaller than
    // the template, the rules would push "Go" over the attempts box and the bottom line off
    // the window: it is the smallest size too.
    client->setMinimumSize(client->size());
    resize(client->width() + 2 * margin,
           client->height() + 2 * margin + menuBar()->sizeHint().height());
    move(u.X(0), u.Y(111));
}
