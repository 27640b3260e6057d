// Layout: dialog units from the font, the proportional resize rules with their carried
// remainders, the main window's controls on a resize, and the log page's box and appends.
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTabWidget>
#include <QToolButton>
#include <QtTest>

#include "GuiTestSupport.h"
#include "app/FtpForm.h"
#include "forms/DialogUnits.h"
#include "forms/ResizeRules.h"
#include "forms/TabForm1.h"
#include "forms/WProgressBar.h"
#include "forms/WUpDown.h"

class LayoutTest : public QObject {
    Q_OBJECT
private slots:
    void DialogUnitsFollowFontMetrics() {
        QFont font = DialogFont();
        QCOMPARE(font.pointSize(), 8);
        QFontMetrics metrics(font);
        DialogUnits units(font);
        int letters =
            metrics.horizontalAdvance("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
        QVERIFY(std::abs(units.BaseX() * 52 - letters) <= 52);
        QCOMPARE(units.BaseY(), metrics.height());
        QCOMPARE(units.X(4), units.BaseX());
        QCOMPARE(units.Y(8), metrics.height());
        QCOMPARE(units.Rect(4, 8, 40, 16),
                 QRect(units.BaseX(), units.BaseY(), 10 * units.BaseX(), 2 * units.BaseY()));
    }

    void RulesCarryRemainders() {
        QWidget parent;
        parent.resize(300, 200);
        auto* child = new QWidget(&parent);
        child->setGeometry(10, 20, 30, 40);
        ResizeRules rules(&parent);
        rules.Add(child, ResizeRule{33, 50, 33, 100});
        // 100 resizes of one pixel each move a 33 % control by exactly 33 pixels.
        for (int i = 1; i <= 100; ++i) {
            parent.resize(300 + i, 200 + i);
            rules.Apply();
        }
        QCOMPARE(child->geometry(), QRect(10 + 33, 20 + 50, 30 + 33, 40 + 100));
        // And shrinking back returns to the start.
        for (int i = 99; i >= 0; --i) {
            parent.resize(300 + i, 200 + i);
            rules.Apply();
        }
        QCOMPARE(child->geometry(), QRect(10, 20, 30, 40));
    }

    void RulesKeepSizeThroughAClampToZero() {
        QWidget parent;
        parent.resize(100, 100);
        auto* child = new QWidget(&parent);
        child->setGeometry(0, 0, 20, 20);
        ResizeRules rules(&parent);
        rules.Add(child, ResizeRule{0, 0, 100, 0});
        parent.resize(70, 100);
        rules.Apply();
        QCOMPARE(child->width(), 0);
        parent.resize(100, 100);
        rules.Apply();
        QCOMPARE(child->width(), 20);
    }

    void MainWindowResizeMovesAndGrowsControls() {
        guitest::ConfigDir config;
        FtpForm form;
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        auto rect = [&](QWidget* w) { return w->geometry(); };
        QRect url = rect(form.textb_1), save = rect(form.textb_2), browse = rect(form.pictbttn_1);
        QRect go = rect(form.cb_1), tabs = rect(form.tabctrl_1), bar = rect(form.progb_1);
        QRect count = rect(form.textb_3);
        form.resize(form.width() + 120, form.height() + 60);
        QTRY_COMPARE(form.textb_1->width(), url.width() + 120);
        QCOMPARE(rect(form.textb_1).topLeft(), url.topLeft());
        QCOMPARE(rect(form.textb_2), save.adjusted(0, 0, 120, 0));
        QCOMPARE(rect(form.pictbttn_1), browse.translated(120, 0));
        QCOMPARE(rect(form.cb_1), go.translated(120, 0));
        QCOMPARE(rect(form.tabctrl_1), tabs.adjusted(0, 0, 120, 60));
        QCOMPARE(rect(form.progb_1), QRect(bar.x(), bar.y() + 60, bar.width() + 120, bar.height()));
        QCOMPARE(rect(form.textb_3), count);  // no rule: stays
    }

    void SmallestSizeKeepsEveryControlInside() {
        guitest::ConfigDir config;
        FtpForm form;
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        const QSize templateSize = form.size();
        form.resize(380, 120);  // "Go" once went under the attempts box at 380 pixels
        QTRY_COMPARE(form.size(), templateSize);
        const QRect inside = form.client->rect();
        const auto controls = form.client->findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
        QVERIFY(controls.size() >= 18);  // the template's 14 and the 4 added
        for (QWidget* control : controls) {
            QVERIFY2(inside.contains(control->geometry()), qPrintable(control->objectName()));
        }
        QVERIFY(!form.cb_1->geometry().intersects(form.textb_4->geometry()));
        QVERIFY(!form.cb_1->geometry().intersects(form.updown_2->geometry()));
        // Nothing touches the window's border, the labels at the template's edge included.
        const QRect inWindow(form.client->mapTo(&form, QPoint(0, 0)), form.client->size());
        QVERIFY(inWindow.left() > 0 && inWindow.right() < form.width() - 1);
        QVERIFY(inWindow.bottom() < form.height() - 1);
    }

    void ThreadBarsShareTheWidth() {
        // Bars of a job follow i*100/n, 100, 100/n, 0; a job that cannot connect still has
        // its bars.
        guitest::ConfigDir config;
        FtpForm form;
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        QTemporaryDir dir;
        form.textb_1->setText("http://127.0.0.1:1/x.bin");
        form.textb_2->setText(dir.filePath("x.bin"));
        form.updown_1->SetPos(3);
        form.textb_4->setText("1");
        form.StartJob();
        QCOMPARE(int(form.ThreadBars().size()), 3);
        int width = (form.client->width() - 20) / 3;
        int top = form.progb_1->y() - 20;
        QList<QRect> before;
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(form.ThreadBars()[i]->geometry(), QRect(8 + i * width, top, width, 16));
            before << form.ThreadBars()[i]->geometry();
        }
        form.resize(form.width() + 90, form.height() + 10);
        QTRY_COMPARE(form.ThreadBars()[0]->y(), before[0].y() + 10);
        for (int i = 0; i < 3; ++i) {
            // move right i*33 % of 90, grow 33 % of 90 (remainders carried to later resizes)
            QCOMPARE(form.ThreadBars()[i]->geometry(),
                     QRect(before[i].x() + 90 * (i * 100 / 3) / 100, before[i].y() + 10,
                           before[i].width() + 90 * 33 / 100, 16));
        }
        QTRY_VERIFY_WITH_TIMEOUT(form.Job()->IsFinished(), 20000);
    }

    void LogPageAppendsAtEndAndFillsPage() {
        TabForm1 page;
        page.resize(400, 200);
        page.show();
        QVERIFY(QTest::qWaitForWindowExposed(&page));
        QCOMPARE(page.objectName(), QString("TabForm1"));
        QCOMPARE(page.textb_1->objectName(), QString("textb_1"));
        QVERIFY(page.textb_1->isReadOnly());
        QCOMPARE(page.textb_1->lineWrapMode(), QPlainTextEdit::NoWrap);
        QCOMPARE(page.textb_1->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
        QCOMPARE(page.textb_1->geometry(), QRect(QPoint(0, 0), page.size()));

        page.AppendText("ATTEMPTION #0\r\n\r\n");
        QCOMPARE(guitest::PageText(&page), std::string("ATTEMPTION #0\r\n\r\n"));
        QCOMPARE(page.textb_1->textCursor().position(), page.textb_1->toPlainText().size());
        page.AppendText("a");
        page.AppendText("b");
        QCOMPARE(guitest::PageText(&page), std::string("ATTEMPTION #0\r\n\r\nab"));

        // A selection in the middle does not move the append; it is gone afterwards.
        QTextCursor cursor = page.textb_1->textCursor();
        cursor.setPosition(2);
        cursor.setPosition(6, QTextCursor::KeepAnchor);
        page.textb_1->setTextCursor(cursor);
        page.AppendText("c\r\n");
        QCOMPARE(guitest::PageText(&page), std::string("ATTEMPTION #0\r\n\r\nabc\r\n"));
        QVERIFY(!page.textb_1->textCursor().hasSelection());

        // Many lines: the newest is scrolled into view.
        for (int i = 0; i < 200; ++i) page.AppendText(QString("line %1\r\n").arg(i));
        QVERIFY(page.textb_1->verticalScrollBar()->value() > 0);
        QVERIFY(page.textb_1->viewport()->rect().contains(page.textb_1->cursorRect()));

        page.resize(520, 260);
        QCOMPARE(page.textb_1->geometry(), QRect(0, 0, 520, 260));
    }
};

QTEST_MAIN(LayoutTest)
#include "LayoutTest.moc"
