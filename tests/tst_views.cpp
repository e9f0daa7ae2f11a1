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

bool isCyan(QRgb p)
{
    return qAlpha(p) > 128 && qGreen(p) > 120 && qBlue(p) > 150 && qRed(p) < 90;
}

// Width of the cyan run along the bar's middle row, as the user sees it.
int renderedFillWidth(double progress)
{
    MiniBarView bar;
    bar.resize(162, 5);
    bar.setProgress(progress);
    QImage image(bar.size(), QImage::Format_ARGB32);
    image.fill(Qt::white);
    bar.render(&image);
    int count = 0;
    for (int x = 0; x < image.width(); ++x)
        count += isCyan(image.pixel(x, 2)) ? 1 : 0;
    return count;
}

} // namespace

class TestViews : public QObject {
    Q_OBJECT
private slots:
    void barFill_data()
    {
        QTest::addColumn<double>("progress");
        QTest::addColumn<int>("width");
        QTest::newRow("zero") << 0.0 << 0;
        QTest::newRow("negative") << -0.4 << 0;
        QTest::newRow("not a number") << std::nan("") << 0;
        QTest::newRow("one percent is a dot as wide as the bar is high") << 0.01 << 5;
        QTest::newRow("half") << 0.5 << 81;
        QTest::newRow("full") << 1.0 << 162;
        QTest::newRow("overfull") << 1.7 << 162;
    }
    void barFill()
    {
        QFETCH(double, progress);
        QFETCH(int, width);
        const int drawn = renderedFillWidth(progress);
        QVERIFY2(std::abs(drawn - width) <= 1,
                 qPrintable(QStringLiteral("drawn %1, expected %2").arg(drawn).arg(width)));
        QCOMPARE(MiniBarView::fillWidth(progress, QSizeF(162, 5)) > 0, width > 0);
    }

    void barStoresAnyValue()
    {
        MiniBarView bar;
        bar.setProgress(1.7);
        QCOMPARE(bar.progress(), 1.7);
        bar.setProgress(-2);
        QCOMPARE(bar.progress(), -2.0);
    }

    void cardLayout_data()
    {
        QTest::addColumn<bool>("showsBar");
        QTest::newRow("with bar") << true;
        QTest::newRow("with secondary line") << false;
    }
    void cardLayout()
    {
        QFETCH(bool, showsBar);
        StatCardView card(QStringLiteral("CPU"), showsBar);
        QCOMPARE(card.size(), QSize(186, 62));
        QCOMPARE(card.sizeHint(), QSize(186, 62));
        QCOMPARE(card.titleLabel()->geometry(), QRect(12, 7, 162, 14));
        QCOMPARE(card.titleLabel()->font().pixelSize(), 11);
        QCOMPARE(card.titleLabel()->font().weight(), QFont::DemiBold);
        QVERIFY(card.titleLabel()->alignment() & Qt::AlignLeft);
        QCOMPARE(card.valueLabel()->geometry(), QRect(12, 23, 162, 21));
        QCOMPARE(card.valueLabel()->font().pixelSize(), 17);
        QVERIFY(hasTabularDigits(card.valueLabel()->font()));
        QCOMPARE(card.valueLabel()->text(), QStringLiteral("\u2026"));
        QCOMPARE(card.bar() != nullptr, showsBar);
        QCOMPARE(card.subLabel() != nullptr, !showsBar);
        if (showsBar) {
            QCOMPARE(card.bar()->geometry(), QRect(12, 49, 162, 5));
            QCOMPARE(card.bar()->progress(), 0.0);
        } else {
            QCOMPARE(card.subLabel()->geometry(), QRect(12, 46, 162, 13));
            QCOMPARE(card.subLabel()->font().pixelSize(), 10);
            QCOMPARE(card.subLabel()->text(), QStringLiteral(" "));
            QVERIFY(hasTabularDigits(card.subLabel()->font()));
        }
    }

    void cardFrameIsDrawnInset()
    {
        StatCardView card(QStringLiteral("RAM"), false);
        QImage image(card.size(), QImage::Format_ARGB32);
        image.fill(Qt::white);
        card.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
        // Rounded corners stay clear, the middle of each edge carries the stroke.
        QCOMPARE(image.pixel(0, 0), qRgb(255, 255, 255));
        QVERIFY(image.pixel(93, 0) != qRgb(255, 255, 255));
        QVERIFY(image.pixel(0, 31) != qRgb(255, 255, 255));
    }

    void updateSemantics()
    {
        StatCardView cpu(QStringLiteral("CPU"), true);
        cpu.update(QStringLiteral("23 %"), QStringLiteral("ignored"), 0.23);
        QCOMPARE(cpu.valueLabel()->text(), QStringLiteral("23 %"));
        QCOMPARE(cpu.bar()->progress(), 0.23);
        cpu.update(QStringLiteral("24 %"));
        QCOMPARE(cpu.bar()->progress(), 0.23); // an absent progress leaves the bar

        StatCardView memory(QStringLiteral("Mémoire"), false);
        memory.update(QStringLiteral("7,9 Go"), QStringLiteral("sur 16 Go"), 0.5);
        QCOMPARE(memory.subLabel()->text(), QStringLiteral("sur 16 Go"));
        memory.update(QStringLiteral("8 Go"));
        QCOMPARE(memory.valueLabel()->text(), QStringLiteral("8 Go"));
        QCOMPARE(memory.subLabel()->text(), QStringLiteral("sur 16 Go"));
    }

    void badge_data()
    {
        QTest::addColumn<qint64>("count");
        QTest::addColumn<qreal>("diameter");
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("fontPixels");
        QTest::newRow("0 at 14") << qint64(0) << 14.0 << "1" << 10;
        QTest::newRow("-3 at 14") << qint64(-3) << 14.0 << "1" << 10;
        QTest::newRow("1 at 13") << qint64(1) << 13.0 << "1" << 9;
        QTest::newRow("12 at 13") << qint64(12) << 13.0 << "12" << 9;
        QTest::newRow("12 at 14") << qint64(12) << 14.0 << "12" << 10;
    }
    void badge()
    {
        QFETCH(qint64, count);
        QFETCH(qreal, diameter);
        QFETCH(QString, text);
        QFETCH(int, fontPixels);
        QCOMPARE(badgeText(count), text);
        QCOMPARE(badgeFont(diameter).pixelSize(), fontPixels);
        QCOMPARE(badgeFont(diameter).weight(), QFont::Bold);
        const QImage image = quotaBadgeImage(count, diameter).toImage();
        QCOMPARE(image.size(), QSize(int(diameter), int(diameter)));
        QCOMPARE(qAlpha(image.pixel(0, 0)), 0); // a disc, not a square
        // The white text is centred on the disc.
        int left = image.width(), right = -1, top = image.height(), bottom = -1;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x) {
                const QRgb p = image.pixel(x, y);
                if (qRed(p) > 220 && qGreen(p) > 200 && qBlue(p) > 200) {
                    left = std::min(left, x), right = std::max(right, x);
                    top = std::min(top, y), bottom = std::max(bottom, y);
                }
            }
        QVERIFY(right >= left);
        QVERIFY(std::abs((left + right) / 2.0 - (diameter - 1) / 2) <= 1.5);
        QVERIFY(std::abs((top + bottom) / 2.0 - (diameter - 1) / 2) <= 2.0);
    }

    void badgeViewLetsClicksThrough()
    {
        BadgeImageView view;
        QVERIFY(view.testAttribute(Qt::WA_TransparentForMouseEvents));
    }

    void accentsFollowTheAppearance()
    {
        QPalette light;
        light.setColor(QPalette::Window, Qt::white);
        light.setColor(QPalette::WindowText, Qt::black);
        QPalette dark;
        dark.setColor(QPalette::Window, QColor(30, 30, 30));
        dark.setColor(QPalette::WindowText, Qt::white);
        QVERIFY(!isDarkAppearance(light));
        QVERIFY(isDarkAppearance(dark));
        QCOMPARE(velmoraMauve().resolve(light), QColor::fromRgbF(0.486f, 0.227f, 0.929f));
        QCOMPARE(velmoraMauve().resolve(dark), QColor::fromRgbF(0.686f, 0.573f, 0.992f));
        QCOMPARE(vovirCyan().resolve(light), QColor::fromRgbF(0.055f, 0.455f, 0.565f));
        QCOMPARE(vovirCyan().resolve(dark), QColor::fromRgbF(0.133f, 0.827f, 0.933f));
        QCOMPARE(velmoraMauveFixed(), velmoraMauve().resolve(light));
        QVERIFY(vovirCyanFixed() != vovirCyan().resolve(light));
        QVERIFY(vovirCyanFixed() != vovirCyan().resolve(dark));
        QVERIFY(std::abs(labelColor(dark, LabelTone::Secondary).alphaF() - 0.5f) < 0.01f);
        QVERIFY(std::abs(labelColor(light, LabelTone::Tertiary).alphaF() - 0.26f) < 0.01f);
    }

    void labelsRepaintWhenTheAppearanceChanges()
    {
        const QPalette original = QApplication::palette();
        std::unique_ptr<QLabel> label(
            makeLabel(QString(), 13, QFont::Normal, TextColor::of(vovirCyan())));
        QCOMPARE(label->alignment(), Qt::AlignCenter);
        QCOMPARE(label->textFormat(), Qt::PlainText);
        QPalette dark = original;
        dark.setColor(QPalette::Window, QColor(20, 20, 20));
        dark.setColor(QPalette::WindowText, Qt::white);
        QApplication::setPalette(dark);
        QTRY_COMPARE(label->palette().color(QPalette::WindowText), vovirCyan().dark);
        QApplication::setPalette(original);
        QTRY_COMPARE(label->palette().color(QPalette::WindowText), vovirCyan().resolve(original));
    }

    void symbolButtonsFollowTheAppearance()
    {
        const QPalette original = QApplication::palette();
        SymbolButton button(QStringLiteral("envelope.fill"), 15, QStringLiteral("Messages"));
        QCOMPARE(button.toolTip(), QStringLiteral("Messages"));
        QCOMPARE(button.accessibleName(), QStringLiteral("Messages"));
        auto inkRed = [&button] {
            const QImage image =
                button.icon().pixmap(15, 15).toImage().convertToFormat(QImage::Format_ARGB32);
            int red = 0;
            for (int y = 0; y < image.height(); ++y)
                for (int x = 0; x < image.width(); ++x)
                    red =
                        std::max(red, qAlpha(image.pixel(x, y)) > 60 ? qRed(image.pixel(x, y)) : 0);
            return red;
        };
        QPalette red = original;
        red.setColor(QPalette::WindowText, Qt::red);
        QApplication::setPalette(red);
        QTRY_VERIFY(inkRed() > 200);
        QApplication::setPalette(original);
        QTRY_VERIFY(inkRed() < 100);
        SymbolButton blank(QStringLiteral("no.such.symbol"), 15, QStringLiteral("Retour"));
        QVERIFY(blank.icon().isNull());
    }

    void symbols()
    {
        for (const char* name : {"gauge.medium", "gearshape.fill", "envelope.fill", "chevron.left"})
            QVERIFY2(!symbolPixmap(QLatin1String(name), 16, Qt::black).isNull(), name);
        QVERIFY(symbolPixmap(QStringLiteral("no.such.symbol"), 16, Qt::black).isNull());
        QVERIFY(symbolIcon(QStringLiteral("no.such.symbol"), 16, Qt::black).isNull());
        QVERIFY(!applicationIconPixmap(92).isNull());
    }
};

QTEST_MAIN(TestViews)
#include "tst_views.moc"
