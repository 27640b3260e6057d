#pragma once
// The program's icon (the one installed for the desktop entry), compiled into the program as a
// Qt resource so that the window shows it wherever the program runs from. UI thread only.
#include <QIcon>

QIcon AppIcon();
