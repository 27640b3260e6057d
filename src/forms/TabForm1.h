#pragma once
// A thread log page: one tab of the main window's tab control, showing in arrival order every
// text that its thread's worker logged (attempt headers, commands, replies, results).
// UI thread only: the main window drains the job's queued log texts into it.
#include <QString>

#include "forms/TabForm1Base.h"

class TabForm1 : public TabForm1Base {
public:
    explicit TabForm1(QWidget* parent = nullptr);

    // Appends text at the end of the log exactly as given (its CR LF pairs are its line
    // breaks; nothing is added) and scrolls the end into view. The user's selection is
    // dropped: the caret always ends after the last character.
    void AppendText(const QString& text);
};
