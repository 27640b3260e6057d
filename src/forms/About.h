#pragma once
// The About dialog: product name, version, the author credit and a thanks note. Reads and
// changes nothing. Modal, UI thread only.
#include "forms/AboutBase.h"

class About : public AboutBase {
public:
    explicit About(QWidget* owner);

    static const char* const kThanksNote;  // three lines joined by CR LF
    static const char* const kAuthorCredit;

    void OkClicked();
};
