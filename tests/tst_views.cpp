// The views offscreen: the bar and the badge as drawn, the settings view as the user meets it.
#include "app/desktop/QtFrench.h"
#include "support/DelegateRig.h"
#include "support/TestKit.h"

#include "views/BadgeImage.h"
#include "views/LinkButton.h"
#include "views/MiniBarView.h"
#include "views/Palette.h"
#include "views/SeparatorLine.h"
#include "views/SymbolButton.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenu>
#include <QPushButton>
#include <QToolButton>

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

template <typename W> W* findByText(QWidget* view, const QString& text)
{
    for (W* w : view->findChildren<W*>())
        if (w->text() == text)
            return w;
    return nullptr;
}

QComboBox* comboNamed(QWidget* view, const QString& name)
{
    for (QComboBox* c : view->findChildren<QComboBox*>())
        if (c->accessibleName() == name)
            return c;
    return nullptr;
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
    }

    // The desktop's text size, on this suite's screen: a laptop's 1366 x 768 at a scale of 1.5.
    // Texts grow with the desktop's font, no text is cut, and the window stays on the screen (its
    // content scrolls there).
    void textsFollowTheDesktopFontOnASmallScreen_data()
    {
        QTest::addColumn<qreal>("desktopPoints");
        QTest::addColumn<qreal>("scale");
        QTest::newRow("a stock desktop's 11 pt keeps the design") << 11.0 << 1.0;
        QTest::newRow("a smaller font too") << 9.0 << 1.0;
        QTest::newRow("large text, 16.5 pt") << 16.5 << 1.5;
    }
    void textsFollowTheDesktopFontOnASmallScreen()
    {
        QFETCH(qreal, desktopPoints);
        QFETCH(qreal, scale);
        const QFont original = QApplication::font();
        QFont desktop = original;
        desktop.setPointSizeF(desktopPoints);
        QApplication::setFont(desktop);
        DelegateRig rig;
        rig.delegate->buildMainWindow();
        QMainWindow* window = rig.delegate->mainWindow();
        const QSize screen = window->screen()->availableGeometry().size();
        QVERIFY2(window->width() <= screen.width() && window->height() + 40 <= screen.height(),
                 qPrintable(QStringLiteral("%1 x %2").arg(window->width()).arg(window->height())));
        QWidget* view = rig.delegate->settingsView();
        QCOMPARE(view->size(), QSize(430, 500) * scale);
        for (QAbstractButton* control : view->findChildren<QAbstractButton*>()) {
            if (!control->text().isEmpty() && control->text() != "velmoralabs.ch")
                QCOMPARE(control->font().pixelSize(), qRound(13 * scale));
            QVERIFY2(control->geometry().right() < (430 - 14) * scale, qPrintable(control->text()));
        }
        for (QCheckBox* box : view->findChildren<QCheckBox*>())
            QVERIFY2(box->geometry().right() < 406 * scale, qPrintable(box->text())); // its card
        for (QWidget* shown : {view, rig.delegate->mainView()})
            for (QWidget* w : shown->findChildren<QWidget*>()) {
                const auto* label = qobject_cast<QLabel*>(w);
                const auto* combo = qobject_cast<QComboBox*>(w);
                const QString text = label ? label->text() : combo ? combo->currentText() : "";
                const QSize needed = label   ? label->sizeHint()
                                     : combo ? combo->sizeHint()
                                             : QSize();
                QVERIFY2(text.isEmpty() || (needed.width() <= w->width() + 1 &&
                                            needed.height() <= w->height() + 1),
                         qPrintable(text));
            }
        QApplication::setFont(original);
    }

    // A switch between light and dark draws the link, the separator, the labels and the symbol
    // buttons again in the new colours (the new palette reaches them through the event loop).
    void aSwitchToDarkRecolours()
    {
        DelegateRig rig;
        rig.delegate->buildMainWindow();
        QWidget* view = rig.delegate->settingsView();
        auto* link = view->findChild<LinkButton*>();
        auto* separator = view->findChild<SeparatorLine*>();
        std::unique_ptr<QLabel> label(
            makeLabel(QString(), 13, QFont::Normal, TextColor::of(vovirCyan())));
        SymbolButton button("envelope.fill", 15, "Messages");
        const QPalette original = QApplication::palette();
        QPalette dark = original;
        dark.setColor(QPalette::Window, QColor(30, 30, 30));
        dark.setColor(QPalette::WindowText, Qt::red);
        for (const QPalette& palette : {dark, original}) {
            QApplication::setPalette(palette);
            // The most coloured pixel of the link's text is the accent of the appearance.
            auto ink = [link] {
                const QImage text = link->grab().toImage();
                QColor most(Qt::gray);
                for (int y = 0; y < text.height(); ++y)
                    for (int x = 0; x < text.width(); ++x)
                        if (text.pixelColor(x, y).hsvSaturation() > most.hsvSaturation())
                            most = text.pixelColor(x, y);
                return most.name();
            };
            QTRY_COMPARE(ink(), velmoraMauve().resolve(palette).name());
            // The text colour at 15 % over the window: never solid black or white.
            const int window = palette.color(QPalette::Window).red();
            const int expected =
                qRound(window + 0.15 * (palette.color(QPalette::WindowText).red() - window));
            QTRY_VERIFY(qAbs(separator->grab().toImage().pixelColor(0, 0).red() - expected) <= 3);
            QTRY_COMPARE(label->palette().color(QPalette::WindowText),
                         vovirCyan().resolve(palette));
            QTRY_COMPARE(inkRed(button.icon().pixmap(15, 15).toImage()) > 200,
                         isDarkAppearance(palette));
        }
        QVERIFY(SymbolButton("no.such.symbol", 15, "Retour").icon().isNull());
    }

    void initialValues_data()
    {
        QTest::addColumn<QByteArray>("store");
        QTest::addColumn<QList<bool>>("metrics");
        QTest::addColumn<QString>("interval");
        QTest::addColumn<QString>("format");
        QTest::addColumn<bool>("updates");
        QTest::addColumn<bool>("panel");
        QTest::newRow("fresh") << QByteArray() << QList<bool>{true, true, true, true} << "3 s"
                               << "Compact" << false << false;
        QTest::newRow("customised")
            << QByteArray(R"({"VSShowMemory": false, "VSShowBattery": false, "VSInterval": 5,
                             "VSCompact": false, "VSMenuBarMode": true,
                             "VSAutomaticallyChecksForUpdates": true,
                             "VSAutomaticallyDownloadsUpdates": true})")
            << QList<bool>{true, false, true, false} << "5 s"
            << "Complet" << true << true;
        QTest::newRow("only one update flag")
            << QByteArray(R"({"VSAutomaticallyChecksForUpdates": true, "VSInterval": 4})")
            << QList<bool>{true, true, true, true} << "3 s"
            << "Compact" << false << false;
    }
    void initialValues()
    {
        QFETCH(QByteArray, store);
        QFETCH(QList<bool>, metrics);
        QFETCH(QString, interval);
        QFETCH(QString, format);
        QFETCH(bool, updates);
        QFETCH(bool, panel);
        DelegateRig rig(store);
        rig.delegate->buildMainWindow();
        QWidget* view = rig.delegate->settingsView();
        const char* names[] = {"CPU", "Mémoire", "Réseau", "Batterie"};
        for (int i = 0; i < 4; ++i)
            QCOMPARE(findByText<QCheckBox>(view, QString::fromUtf8(names[i]))->isChecked(),
                     metrics[i]);
        QCOMPARE(comboNamed(view, QString("Intervalle de rafraîchissement"))->currentText(),
                 interval);
        QCOMPARE(comboNamed(view, QString("Format dans la barre de menus"))->currentText(), format);
        QCOMPARE(findByText<QCheckBox>(view, QString("Installer les mises à jour automatiquement"))
                     ->isChecked(),
                 updates);
        QCOMPARE(rig.delegate->menuBarCheckbox()->isChecked(), panel);
        QVERIFY(!rig.delegate->loginCheckbox()->isChecked());
    }

    void actionsApplyAtOnce()
    {
        DelegateRig rig(R"({"VSMenuBarMode": true})");
        rig.delegate->buildMainWindow();
        rig.delegate->showMainWindow();
        rig.delegate->statusController().enable(rig.delegate->statusMenu());
        rig.takeReferenceSample();
        QWidget* view = rig.delegate->settingsView();

        // Metrics: the panel text changes at the refresh the action makes.
        for (const char* name : {"Mémoire", "Réseau", "Batterie"})
            findByText<QCheckBox>(view, QString::fromUtf8(name))->click();
        QVERIFY(!rig.store->boolValue("VSShowMemory"));
        QCOMPARE(rig.panel.text, QString("\u200723 %")); // as wide as "100 %"
        findByText<QCheckBox>(view, QString("CPU"))->click();
        QVERIFY(rig.panel.gauge); // nothing left to show
        findByText<QCheckBox>(view, QString("CPU"))->click();

        // Format.
        QComboBox* format = comboNamed(view, QString("Format dans la barre de menus"));
        format->setCurrentIndex(1);
        rig.delegate->formatChanged(format);
        QCOMPARE(rig.store->object("VSCompact"), QVariant(false));
        QCOMPARE(rig.panel.text, QString("CPU \u200723 %"));

        // Interval: stored, the engine restarted at the new period, the hint names it.
        QComboBox* interval = comboNamed(view, QString("Intervalle de rafraîchissement"));
        interval->setCurrentIndex(2);
        rig.delegate->intervalChanged(interval);
        QCOMPARE(rig.store->integerValue("VSInterval"), 5);
        QCOMPARE(rig.engine->intervalMs(), 5000);
        QVERIFY(rig.delegate->mainStatusLabel()->text().endsWith(QString("toutes les 5 s")));

        // Automatic updates set both flags alike.
        QCheckBox* updates =
            findByText<QCheckBox>(view, QString("Installer les mises à jour automatiquement"));
        updates->click();
        QVERIFY(rig.updater->automaticallyChecksForUpdates());
        QVERIFY(rig.updater->automaticallyDownloadsUpdates());
    }

    // Where the desktop asks for high contrast (GTK_THEME, a KDE colour scheme), every text reads
    // at 4.5:1 at least; by default the design's greys and accents stay.
    void highContrastWhereTheDesktopAsks()
    {
        const QPalette palette = QApplication::palette();
        const QColor window = palette.color(QPalette::Window);
        auto weakest = [&] {
            QList<QPair<QColor, QColor>> texts{
                {mainButtonColors().first, mainButtonColors().second}};
            for (const TextColor& c :
                 {TextColor::of(LabelTone::Secondary), TextColor::of(LabelTone::Tertiary),
                  TextColor::of(vovirCyan()), TextColor::of(velmoraMauve())}) {
                const QColor over = c.resolve(palette); // drawn over the window's colour
                const qreal a = over.alphaF();
                texts.append({QColor::fromRgbF(over.redF() * a + window.redF() * (1 - a),
                                               over.greenF() * a + window.greenF() * (1 - a),
                                               over.blueF() * a + window.blueF() * (1 - a)),
                              window});
            }
            qreal worst = 21;
            for (const auto& [text, background] : texts)
                worst = std::min(worst, contrastRatio(text, background));
            return worst;
        };
        QStandardPaths::setTestModeEnabled(true); // never the user's own kdeglobals
        readDesktopContrast();
        QVERIFY(!highContrast() && weakest() < 4.5);
        qputenv("GTK_THEME", "HighContrast");
        readDesktopContrast();
        QVERIFY(highContrast() && weakest() >= 4.5);
        qunsetenv("GTK_THEME");
        const QString folder =
            QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
        QDir().mkpath(folder);
        QFile kde(folder + "/kdeglobals");
        QVERIFY(kde.open(QIODevice::WriteOnly) &&
                kde.write("[General]\nColorScheme=BreezeHighContrast\n"));
        kde.close();
        readDesktopContrast();
        QVERIFY(highContrast());
        kde.remove();
        readDesktopContrast();
    }

    // Qt's own texts, a text field's context menu among them, are French too.
    void qtSpeaksFrench()
    {
        installQtFrench(*QCoreApplication::instance());
        QLineEdit field;
        std::unique_ptr<QMenu> menu(field.createStandardContextMenu());
        QStringList texts;
        for (QAction* action : menu->actions())
            texts << action->text().section('\t', 0, 0); // the shortcut after a tab
        QVERIFY2(texts.contains("Cop&ier") && texts.contains("Tout sélectionner"),
                 qPrintable(texts.join('|')));
    }

    void loginItem()
    {
        DelegateRig rig;
        rig.delegate->buildMainWindow();
        QCheckBox* box = rig.delegate->loginCheckbox();
        box->click();
        const QString entry = rig.login->userEntryPath();
        QFile file(entry);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray text = file.readAll();
        QVERIFY(text.startsWith("[Desktop Entry]\nType=Application\n"));
        QVERIFY(text.contains("\nExec=/usr/bin/velmoravovir\n"));
        QVERIFY(text.contains("\nTryExec=/usr/bin/velmoravovir\n")); // no login start once removed
        QVERIFY(rig.login->isEnabled());
        // Installed where the path needs quoting and holds "%", which starts a field code.
        AutostartLoginItem odd("velmoravovir", "/opt/50% off/velmoravovir",
                               rig.home.filePath("odd"), {});
        QVERIFY(odd.setEnabled(true, nullptr));
        QFile oddEntry(odd.userEntryPath());
        QVERIFY(oddEntry.open(QIODevice::ReadOnly));
        const QByteArray oddText = oddEntry.readAll();
        QVERIFY(oddText.contains("\nExec=\"/opt/50%% off/velmoravovir\"\n"));
        QVERIFY(oddText.contains("\nTryExec=/opt/50% off/velmoravovir\n")); // no field codes there
        box->click();
        QVERIFY(!QFile::exists(entry));
        QVERIFY(!rig.login->isEnabled());

        // Changed elsewhere: the view reads the real state each time it opens.
        QVERIFY(rig.login->setEnabled(true, nullptr));
        rig.delegate->showSettings();
        QVERIFY(box->isChecked());
        QFile::remove(entry);
        rig.delegate->showSettings();
        QVERIFY(!box->isChecked());

        // A system-wide entry is overridden by a hidden one of the user's.
        QDir().mkpath(rig.home.filePath("xdg/autostart"));
        QFile system(rig.home.filePath("xdg/autostart/velmoravovir.desktop"));
        QVERIFY(system.open(QIODevice::WriteOnly));
        system.write("[Desktop Entry]\nType=Application\nExec=velmoravovir\n");
        system.close();
        QVERIFY(rig.login->isEnabled());
        QVERIFY(rig.login->setEnabled(false, nullptr));
        QVERIFY(!rig.login->isEnabled());
        QFile user(rig.login->userEntryPath());
        QVERIFY(user.open(QIODevice::ReadOnly));
        QVERIFY(user.readAll().contains("\nHidden=true\n"));
        QDir(rig.home.filePath("xdg")).removeRecursively();
        QDir(rig.home.filePath("config")).removeRecursively();
        rig.delegate->showSettings();
        // A file where the autostart folder should be: the entry cannot be written, even by root.
        QDir().mkpath(rig.home.filePath("config"));
        QFile blocker(rig.home.filePath("config/autostart"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        box->click();
        QVERIFY(!box->isChecked());
        QVERIFY(!rig.login->isEnabled());
        QString error;
        QVERIFY(!rig.login->setEnabled(true, &error));
        QVERIFY(error.contains("autostart"));
    }
};

QTEST_MAIN(TestViews)
#include "tst_views.moc"
