#pragma once
// The generated part of a thread log page: the page widget laid out from the "ID_TabForm1"
// template (329 x 79 dialog units) with its one control, the read-only log box textb_1 that
// always fills the page. UI thread only.
#include <QWidget>

class QPlainTextEdit;
class ResizeRules;

class TabForm1Base : public QWidget {
public:
    explicit TabForm1Base(QWidget* parent = nullptr);
    ~TabForm1Base() override;

    QPlainTextEdit* textb_1 = nullptr;  // id 101

protected:
    void CreateControls();

    ResizeRules* rules = nullptr;
};
