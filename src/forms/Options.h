#pragma once
// The Options dialog: edits the main window's settings record (thread limit, buffer size,
// deletion of part files, default user and password, direct or proxy connection with the
// HTTP and FTP proxies, passive mode, authorization). "OK" stores every control into the
// record in memory; "Cancel", Esc and the close box store nothing. Modal, UI thread only.
#include <vector>

#include "forms/OptionsBase.h"

class SharedSettings;

class Options : public OptionsBase {
public:
    // Builds the controls and fills them from the record; exec() shows the dialog.
    Options(SharedSettings& settings, QWidget* owner);

    void OkClicked();
    void CancelClicked();
    void DirectClicked();
    void UseProxyClicked();

private:
    // A settings key and the control that shows it: a spinner or a text box for a number, a
    // check or option button for a boolean, a text box for a string.
    struct Binding {
        const char* key;
        QWidget* control;
    };
    std::vector<Binding> Bindings() const;
    void SetLimits();
    void FillFromSettings();
    void EnableProxyBoxes(bool enabled);

    SharedSettings& settings;
};
