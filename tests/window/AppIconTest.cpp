// SPDX-License-Identifier: GPL-3.0-or-later
// The program's icon: drawn to fill every size, and a drawn pixmap, never a scaled one, for
// every size the platform asks for at scale factors 1 and 2.
#include <QTest>

#include "tests/common/QtTestMain.h"
#include "window/AppIcon.h"

namespace {

QImage Pixels(const QPixmap& pixmap) {
    return pixmap.toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

// The smallest rectangle holding every pixel that is not fully transparent.
QRect PaintedArea(const QImage& image) {
    QRect area;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            if (qAlpha(image.pixel(x, y)) != 0) {
                area |= QRect(x, y, 1, 1);
            }
        }
    }
    return area;
}

}  // namespace

class AppIconTest : public QObject {
    Q_OBJECT
private slots:
    void everySizeIsDrawnToFillItsSquare() {
        for (const int size : kAppIconSizes) {
            const QImage image = Pixels(DrawAppIconPixmap(size));
            QCOMPARE(image.size(), QSize(size, size));
            const QRect painted = PaintedArea(image);
            QVERIFY2(painted.width() >= size * 3 / 4 && painted.height() >= size * 3 / 4,
                     qPrintable(QStringLiteral("%1 px: painted only %2 x %3")
                                    .arg(size)
                                    .arg(painted.width())
                                    .arg(painted.height())));
        }
    }

    void thePlatformGetsADrawnPixmapAtScaleOneAndTwo() {
        const QIcon icon = AppIcon();
        for (const int size : kAppIconSizes) {
            for (const qreal scale : {1.0, 2.0}) {
                const int pixels = qRound(size * scale);
                if (pixels > kAppIconSizes.back()) {
                    continue;
                }
                const QPixmap shown = icon.pixmap(QSize(size, size), scale);
                QCOMPARE(shown.size(), QSize(pixels, pixels));
                QCOMPARE(shown.devicePixelRatio(), scale);
                QVERIFY2(
                    Pixels(shown) == Pixels(DrawAppIconPixmap(pixels)),
                    qPrintable(
                        QStringLiteral("%1 px at scale %2 is a scaled copy").arg(size).arg(scale)));
            }
        }
    }
};

TAVRICK_ISOLATED_TEST_MAIN(AppIconTest)
#include "AppIconTest.moc"
