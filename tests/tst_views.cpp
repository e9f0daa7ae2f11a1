#include "views/BadgeImage.h"
#include "views/MiniBarView.h"
#include "views/Palette.h"
#include "views/StatCardView.h"
#include "views/SymbolButton.h"
#include "views/Symbols.h"

#include <QApplication>
#include <QLabel>
#include <QTest>

#include <cmath>

namespace {

// The highest red of the visible pixels: what colour the ink was drawn in.
int inkRed(const QImage& picture)
{
    const QImage image = picture.convertToFormat(QImage::Format_ARGB32);
    int red = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            red = std::max(red, qAlpha(image.pixel(x, y)) > 60 ? qRed(image.pixel(x, y)) : 0);
    return red;
}

void setAppearance(const QColor& window, const QColor& text)
{
    QPalette palette = QApplication::palette();
    palette.setColor(QPalette::Window, window);
    palette.setColor(QPalette::WindowText, text);
    QApplication::setPalette(palette);
}

} // namespace

class TestViews : public QObject {
    Q_OBJECT
private slots:
    // The cyan run along the bar's middle row, as the user sees it.
    void barFill_data()
    {
        QTest::addColumn<double>("progress");
        QTest::addColumn<int>("width");
        QTest::newRow("zero") << 0.0 << 0;
        QTest::newRow("negative") << -0.4 << 0;
        QTest::newRow("not a number") << std::nan("") << 0;
        QTest::newRow("one percent is a dot as wide as the bar is high") << 0.01 << 5;
        QTest::newRow("half") << 0.5 << 81;
        QTest::newRow("overfull") << 1.7 << 162;
    }
    void barFill()
    {
        QFETCH(double, progress);
        QFETCH(int, width);
        MiniBarView bar;
        bar.resize(162, 5);
        bar.setProgress(progress);
        QImage image(bar.size(), QImage::Format_ARGB32);
        image.fill(Qt::white);
        bar.render(&image);
        int drawn = 0;
        for (int x = 0; x < image.width(); ++x) {
            const QRgb p = image.pixel(x, 2);
            drawn += qGreen(p) > 120 && qBlue(p) > 150 && qRed(p) < 90 ? 1 : 0;
        }
        QVERIFY2(std::abs(drawn - width) <= 1, qPrintable(QString::number(drawn)));
    }

    // An update without a progress or a second line leaves them as they were.
    void cardUpdates()
    {
        StatCardView cpu(QStringLiteral("CPU"), true);
        cpu.update(QStringLiteral("23 %"), QStringLiteral("ignored"), 0.23);
        cpu.update(QStringLiteral("24 %"));
        QCOMPARE(cpu.valueLabel()->text(), QStringLiteral("24 %"));
        QCOMPARE(cpu.bar()->progress(), 0.23);
        StatCardView memory(QStringLiteral("Mémoire"), false);
        memory.update(QStringLiteral("7,9 Go"), QStringLiteral("sur 16 Go"), 0.5);
        memory.update(QStringLiteral("8 Go"));
        QCOMPARE(memory.subLabel()->text(), QStringLiteral("sur 16 Go"));
        QVERIFY(hasTabularDigits(memory.valueLabel()->font())); // figures do not dance
    }

    void badge_data()
    {
        QTest::addColumn<qint64>("count");
        QTest::addColumn<qreal>("diameter");
        QTest::addColumn<QString>("text");
        QTest::newRow("0 reads 1") << qint64(0) << 14.0 << "1";
        QTest::newRow("-3 reads 1") << qint64(-3) << 14.0 << "1";
        QTest::newRow("12 at 13") << qint64(12) << 13.0 << "12";
    }
    void badge()
    {
        QFETCH(qint64, count);
        QFETCH(qreal, diameter);
        QFETCH(QString, text);
        QCOMPARE(badgeText(count), text);
        const QImage image = quotaBadgeImage(count, diameter).toImage();
        QCOMPARE(image.size(), QSize(int(diameter), int(diameter)));
        QCOMPARE(qAlpha(image.pixel(0, 0)), 0); // a disc, not a square
        // The white text is centred on the disc.
        int left = image.width(), right = -1, top = image.height(), bottom = -1;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                if (qRed(image.pixel(x, y)) > 220 && qBlue(image.pixel(x, y)) > 200) {
                    left = std::min(left, x), right = std::max(right, x);
                    top = std::min(top, y), bottom = std::max(bottom, y);
                }
        QVERIFY(right >= left);
        QVERIFY(std::abs((left + right) / 2.0 - (diameter - 1) / 2) <= 1.5);
        QVERIFY(std::abs((top + bottom) / 2.0 - (diameter - 1) / 2) <= 2.0);
    }

    // Labels and symbol buttons are drawn again in the new colours when the desktop switches
    // between light and dark.
    void theAppearanceFollowsTheDesktop()
    {
        const QPalette original = QApplication::palette();
        std::unique_ptr<QLabel> label(
            makeLabel(QString(), 13, QFont::Normal, TextColor::of(vovirCyan())));
        SymbolButton button(QStringLiteral("envelope.fill"), 15, QStringLiteral("Messages"));
        setAppearance(QColor(20, 20, 20), Qt::red);
        QVERIFY(isDarkAppearance(QApplication::palette()));
        QTRY_COMPARE(label->palette().color(QPalette::WindowText), vovirCyan().dark);
        QTRY_VERIFY(inkRed(button.icon().pixmap(15, 15).toImage()) > 200);
        QApplication::setPalette(original);
        QVERIFY(!isDarkAppearance(original));
        QTRY_COMPARE(label->palette().color(QPalette::WindowText), vovirCyan().resolve(original));
        QTRY_VERIFY(inkRed(button.icon().pixmap(15, 15).toImage()) < 100);
        QVERIFY(SymbolButton("no.such.symbol", 15, "Retour").icon().isNull());
        QVERIFY(!applicationIconPixmap(92).isNull());
    }
};

QTEST_MAIN(TestViews)
#include "tst_views.moc"
