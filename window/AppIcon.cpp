// SPDX-License-Identifier: GPL-3.0-or-later
#include "AppIcon.h"

#include <QPainter>
#include <QPainterPath>

#include <algorithm>

namespace {

// The icon is designed on a 32 x 32 grid and scaled to the size asked for.
constexpr qreal kGrid = 32;

void DrawFolder(QPainter& painter, const QRectF& body, qreal outline, const QColor& back,
                const QColor& front) {
    QPainterPath tab;
    tab.moveTo(body.left(), body.top() + 3);
    tab.lineTo(body.left(), body.top());
    tab.lineTo(body.left() + body.width() * 0.4, body.top());
    tab.lineTo(body.left() + body.width() * 0.5, body.top() + 3);
    tab.closeSubpath();
    painter.setPen(QPen(back.darker(160), outline));
    painter.setBrush(back);
    painter.drawPath(tab);
    painter.drawRoundedRect(body.adjusted(0, 3, 0, 0), 1.5, 1.5);
    painter.setBrush(front);
    painter.drawRoundedRect(body.adjusted(0, 6, 0, 0), 1.5, 1.5);
}

}  // namespace

QPixmap DrawAppIconPixmap(int size) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal scale = size / kGrid;
    painter.scale(scale, scale);
    // Outlines stay at least one pixel wide, or small sizes would wash them out.
    const qreal outline = std::max(1.0, 1.0 / scale);

    // The source folder behind, its copy in front.
    DrawFolder(painter, QRectF(1.5, 3.5, 19, 15), outline, QColor(0xd9, 0xa4, 0x2b),
               QColor(0xf4, 0xc8, 0x4a));
    DrawFolder(painter, QRectF(11.5, 13.5, 19, 15), outline, QColor(0x2f, 0x6d, 0xb5),
               QColor(0x5b, 0x9b, 0xe0));

    // A green arrow from the one to the other.
    QPainterPath arrow;
    arrow.moveTo(5, 22);
    arrow.cubicTo(5, 27, 9, 28, 13, 28);
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(QColor(0x1e, 0x8c, 0x3a), 2.5, Qt::SolidLine, Qt::RoundCap));
    painter.drawPath(arrow);
    QPolygonF head;
    head << QPointF(11.5, 24.0) << QPointF(16.5, 28.0) << QPointF(11.5, 31.5);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0x1e, 0x8c, 0x3a));
    painter.drawPolygon(head);
    return pixmap;
}

QIcon AppIcon() {
    QIcon icon;
    for (const int size : kAppIconSizes) {
        icon.addPixmap(DrawAppIconPixmap(size));
        if (2 * size <= kAppIconSizes.back() &&
            std::find(kAppIconSizes.begin(), kAppIconSizes.end(), 2 * size) ==
                kAppIconSizes.end()) {
            icon.addPixmap(DrawAppIconPixmap(2 * size));
        }
    }
    return icon;
}

QIcon AppIconWithFailureMark() {
    QIcon marked;
    const QIcon plain = AppIcon();
    for (const QSize& size : plain.availableSizes()) {
        QPixmap pixmap = plain.pixmap(size);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        // A red disc with a white bar in the top right corner, where the drawing leaves room.
        const qreal side = size.width() * 0.5;
        const QRectF disc(size.width() - side, 0, side, side);
        painter.setPen(QPen(Qt::white, std::max(1.0, side / 12)));
        painter.setBrush(QColor(0xd0, 0x21, 0x21));
        painter.drawEllipse(disc.adjusted(0.5, 0.5, -0.5, -0.5));
        painter.setPen(QPen(Qt::white, std::max(1.5, side / 6), Qt::SolidLine, Qt::RoundCap));
        painter.drawLine(disc.center() - QPointF(0, side * 0.25),
                         disc.center() + QPointF(0, side * 0.05));
        painter.drawPoint(disc.center() + QPointF(0, side * 0.25));
        marked.addPixmap(pixmap);
    }
    return marked;
}
