#pragma once
// The picture of the browse button: a small yellow folder, drawn in code so that no image
// file has to ship with the program. UI thread only.
#include <QIcon>

QIcon FolderIcon();
