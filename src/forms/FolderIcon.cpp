#include "forms/FolderIcon.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

QIcon FolderIcon() {
    QIcon icon;
    for (int size : {16, 32}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.scale(size / 16.0, size / 16.0);
        QPen outline(QColor(128, 96, 0), 1.0);
        painter.setPen(outline);
        // The tab on the back, then the body.
        QPainterPath back;
        back.moveTo(1.5, 3.5);
        back.lineTo(6.0, 3.5);
        back.lineTo(7.5, 5.0);
        back.lineTo(14.5, 5.0);
        back.lineTo(14.5, 13.5);
        back.lineTo(1.5, 13.5);
        back.closeSubpath();
        painter.setBrush(QColor(230, 190, 60));
        painter.drawPath(back);
        QPainterPath front;
        front.moveTo(1.5, 13.5);
        front.lineTo(3.5, 7.0);
        front.lineTo(15.5, 7.0);
        front.lineTo(14.5, 13.5);
        front.closeSubpath();
        painter.setBrush(QColor(255, 220, 100));
        painter.drawPath(front);
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}
