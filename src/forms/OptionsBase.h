#pragma once
// The generated part of the Options dialog: the "ID_Options" template (267 x 127 dialog
// units, caption "Options", not resizable) with its 25 controls in template order, which is
// also the tab order. UI thread only.
#include <QDialog>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class WUpDown;

class OptionsBase : public QDialog {
public:
    explicit OptionsBase(QWidget* owner);
    ~OptionsBase() override;

    QPushButton* cb_OK = nullptr;      // 101
    QPushButton* cb_Cancel = nullptr;  // 102
    QLabel* label_2 = nullptr;         // 103
    QLineEdit* textb_2 = nullptr;      // 104
    WUpDown* updown_2 = nullptr;       // 105 maxthreads
    QCheckBox* checkbox_1 = nullptr;   // 106 delfiles
    QLabel* label_3 = nullptr;         // 107
    QLineEdit* textb_3 = nullptr;      // 108
    WUpDown* updown_3 = nullptr;       // 109 bufsize
    QLabel* label_4 = nullptr;         // 110
    QLineEdit* textb_4 = nullptr;      // 111 defpass
    QLineEdit* textb_7 = nullptr;      // 112 defuser
    QRadioButton* optb_1 = nullptr;    // 113 "Direct connect"
    QRadioButton* optb_2 = nullptr;    // 114 "Use proxy"
    QLabel* label_5 = nullptr;         // 115
    QLineEdit* textb_5 = nullptr;      // 116 proxyaddr
    QLabel* label_6 = nullptr;         // 117
    QLineEdit* textb_6 = nullptr;      // 118 proxyport
    QLabel* label_7 = nullptr;         // 119
    QCheckBox* checkbox_2 = nullptr;   // 120 passivemode
    QCheckBox* checkbox_3 = nullptr;   // 121 useauthorization
    QLabel* label_8 = nullptr;         // 122
    QLineEdit* textb_8 = nullptr;      // 123 ftpproxyaddr
    QLineEdit* textb_9 = nullptr;      // 124 ftpproxyport
    QLabel* label_9 = nullptr;         // 125

protected:
    void CreateControls();
    void SetTabOrder();
};
