#pragma once
// The generated part of the About dialog: the "ID_About" template (177 x 128 dialog units,
// caption "About Brindle", not resizable) with its five controls in template order.
// UI thread only.
#include <QDialog>

class QLabel;
class QPushButton;

class AboutBase : public QDialog {
public:
    explicit AboutBase(QWidget* owner);
    ~AboutBase() override;

    QPushButton* cb_OK = nullptr;         // 101
    QLabel* label_ProductName = nullptr;  // 102
    QLabel* label_Version = nullptr;      // 103
    QLabel* label_Comments = nullptr;     // 104 the thanks note
    QLabel* label_1 = nullptr;            // 105 the author credit

protected:
    void CreateControls();
};
