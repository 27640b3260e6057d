#include "forms/AppIcon.h"

QIcon AppIcon() {
    // PNGs rather than the SVG: no image plugin is needed to read them.
    QIcon icon;
    for (int size : {16, 32, 48, 128, 256}) {
        icon.addFile(QString(":/icons/org.brindle.Brindle-%1.png").arg(size), QSize(size, size));
    }
    return icon;
}
