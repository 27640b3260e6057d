#include "forms/TabForm1.h"

#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextCursor>

TabForm1::TabForm1(QWidget* parent) : TabForm1Base(parent) {}

void TabForm1::AppendText(const QString& text) {
    QTextCursor cursor = textb_1->textCursor();
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(text);
    textb_1->setTextCursor(cursor);
    textb_1->ensureCursorVisible();
}
