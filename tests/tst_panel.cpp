// The panel item on a private session bus (the test runs under dbus-run-session), with the
// panel played by another process.
#include "support/DelegateRig.h"
#include "app/desktop/HistoryWindow.h"
#include "views/HistoryChartView.h"
#include "views/Palette.h"
#include "support/TestKit.h"

#include "platform/DesktopPlatform.h"
#include "platform/linux/badge/LauncherEntryBadge.h"
#include "platform/linux/panel/StatusNotifierItem.h"
#include "platform/linux/panel/TrayIconStatusItem.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QMainWindow>

namespace {

// Keeps the launcher-entry signals heard on a bus connection of its own.
class LauncherListener final : public QObject {
    Q_OBJECT
public:
    QList<QPair<QString, QVariantMap>> heard;
    explicit LauncherListener(QDBusConnection bus)
    {
        bus.connect(QString(), LauncherEntryBadge::kPath, LauncherEntryBadge::kInterface, "Update",
                    this, SLOT(update(QString, QVariantMap)));
    }
public slots:
    void update(const QString& uri, const QVariantMap& properties)
    {
        heard << qMakePair(uri, properties);
    }
};

// The panel process and the lines it printed.
class PanelHost {
public:
    PanelHost()
    {
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start("/usr/bin/python3", {VELMORA_PANEL_HOST});
    }
    ~PanelHost()
    {
        send("quit");
        if (!m_process.waitForFinished(5000))
            m_process.kill();
    }
    void send(const QByteArray& command) { m_process.write(command + '\n'); }
    // The rest of the first unread line beginning with prefix, waiting for it with a bound;
    // the lines before it are read too.
    QString waitFor(const QString& prefix, int timeoutMs = 10000)
    {
        QString found;
        bool said = false;
        (void)QTest::qWaitFor(
            [&] {
                while (m_process.canReadLine()) {
                    // Only the line's end and the space after the prefix go: a label may begin
                    // with a figure space.
                    QString line = QString::fromUtf8(m_process.readLine());
                    if (line.endsWith('\n'))
                        line.chop(1);
                    if (line.startsWith(prefix)) {
                        found = line.mid(prefix.size() + (line.size() > prefix.size() &&
                                                          line[prefix.size()] == ' '));
                        return said = true;
                    }
                }
                return false;
            },
            timeoutMs);
        if (!said)
            qWarning("the panel never said \"%s\"", qPrintable(prefix));
        return found;
    }

private:
    QProcess m_process;
};

QString jsonLines(const QStringList& lines)
{
    return QString::fromUtf8(
        QJsonDocument(QJsonArray::fromStringList(lines)).toJson(QJsonDocument::Compact));
}

QJsonObject jsonAfter(const QString& text)
{
    return QJsonDocument::fromJson(text.toUtf8()).object();
}

} // namespace

class TestPanel : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        QVERIFY2(QDBusConnection::sessionBus().isConnected(),
                 "run me under dbus-run-session: a private session bus is needed");
    }

    // Whatever the window's text colour (unreadable on a dark panel), the symbolic grey.
    void theTrayFallbackDrawsTheGaugeInTheSymbolicGrey()
    {
        const QPalette original = QApplication::palette();
        QPalette dark = original;
        dark.setColor(QPalette::WindowText, Qt::black);
        QApplication::setPalette(dark);
        const QImage image = TrayIconStatusItem().icon().pixmap(22).toImage();
        QApplication::setPalette(original);
        QSet<QString> inks;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                if (image.pixelColor(x, y).alpha() == 255)
                    inks << image.pixelColor(x, y).name();
        QCOMPARE(inks, QSet<QString>{"#bebebe"});
    }

    void launcherEntryCountAndADockArrivingLater()
    {
        QDBusConnection other = QDBusConnection::connectToBus(QDBusConnection::SessionBus, "dock");
        LauncherListener listener(other);
        LauncherEntryBadge badge(QDBusConnection::sessionBus(), "velmoravovir");
        badge.setCount(1);
        QTRY_COMPARE(listener.heard.size(), 1);
        QCOMPARE(listener.heard[0].first, QString("application://velmoravovir.desktop"));
        QCOMPARE(listener.heard[0].second.value("count").typeId(), int(QMetaType::LongLong)); // "x"
        QCOMPARE(listener.heard[0].second.value("count").toLongLong(), 1);
        QCOMPARE(listener.heard[0].second.value("count-visible"), QVariant(true));
        badge.setCount(0);
        QTRY_COMPARE(listener.heard.size(), 2);
        QCOMPARE(listener.heard[1].second.value("count-visible").toBool(), false);
        // A dock that starts now is told the whole state again.
        QVERIFY(other.registerService(LauncherEntryBadge::kDockService));
        QTRY_COMPARE(listener.heard.size(), 3);
        QCOMPARE(listener.heard[2].second.value("count-visible").toBool(), false);
        other.unregisterService(LauncherEntryBadge::kDockService);
    }

    void itemLabelAndMenuThroughThePanel()
    {
        PanelHost panel;
        panel.waitFor("ready");
        DelegateRig rig(R"({"VSMenuBarMode": true})", QUrl("http://127.0.0.1:9/a.xml"), true);
        rig.delegate->buildMainWindow();
        rig.takeReferenceSample();
        rig.delegate->statusController().enable(rig.delegate->statusMenu());
        QVERIFY(rig.delegate->statusController().isEnabled());
        // By object path, on a connection of the item's own.
        QVERIFY(panel.waitFor("registered").endsWith("/StatusNotifierItem"));

        // The live text, with the guide that reserves its widest width.
        rig.delegate->refreshVovirUI();
        const QString label = panel.waitFor("label");
        // Its figures held at their widest by figure and punctuation spaces.
        QCOMPARE(
            label.section('|', 0, 0),
            QString("\u200723 % · \u2007\u20077,9 Go · ↓\u2007\u2007\u2007\u2008\u2009\u200A12 "
                    "Ko · ⚡\u200785 %"));
        // The guide is as wide as the text: as many characters, a unit's make-up aside.
        QVERIFY(label.section('|', 1).size() >=
                label.section('|', 0, 0).remove(QChar(0x2009)).remove(QChar(0x200A)).size());
        // No tooltip news for a host that has never read the tooltip (the label's signal comes
        // after them).
        panel.send("tooltip-news");
        QCOMPARE(panel.waitFor("tooltip-news"), QString("0"));

        panel.send("props");
        const QJsonObject props = jsonAfter(panel.waitFor("props"));
        QVERIFY(props.value("ItemIsMenu").toBool());
        // Hosts that look icons up by name find the gauge in the announced folder.
        // Filled shapes in the colour class that Plasma paints with its panel's text colour
        // (GTK fills every shape of a symbolic icon, strokes too).
        QFile icon(props.value("IconThemePath").toString() + "/" +
                   props.value("IconName").toString() + ".svg");
        QVERIFY(icon.open(QIODevice::ReadOnly));
        const QByteArray svg = icon.readAll();
        QVERIFY(svg.contains("class=\"ColorScheme-Text\"") && svg.contains("currentColor"));
        QVERIFY(!svg.contains("stroke"));
        QVERIFY(props.value("IconPixmapCount").toInt() > 0 &&
                props.value("IconPixmapBytesRight").toBool());
        QCOMPARE(props.value("XAyatanaLabel").toString(), label.section('|', 0, 0));
        // The tooltip: the text, and under it the main details the machine gives.
        QCOMPARE(props.value("ToolTipDescription").toString().section('\n', 0, 0),
                 label.section('|', 0, 0));
        QVERIFY(props.value("ToolTipDescription")
                    .toString()
                    .section('\n', 1)
                    .startsWith(QString("Disque : ")));

        // The menu is brought up to date when the panel opens it, from the latest sample: the
        // groups of details come with the first figures, then new texts, the same entries.
        for (const char* kind : {"rebuilt ", "kept "}) {
            panel.send("layout");
            QCOMPARE(panel.waitFor("layout"), kind + jsonLines(DelegateRig::referenceMenu()));
        }

        // A click reaches its action: "Ouvrir VelmoraVovir…" shows the window.
        QVERIFY(!rig.delegate->mainWindow()->isVisible());
        const QByteArray open = QString("Ouvrir VelmoraVovir…").toUtf8();
        panel.send("click " + open);
        QCOMPARE(panel.waitFor("click"), QString("ok"));
        QTRY_VERIFY_WITH_TIMEOUT(rig.delegate->mainWindow()->isVisible(), 5000);

        // Panels that batch their calls: EventGroup clicks, AboutToShowGroup updates; unknown
        // ids come back as errors. Every member is on the bus (Qt D-Bus drops those whose
        // types it cannot name).
        rig.delegate->mainWindow()->hide();
        panel.send("groups " + open);
        QCOMPARE(panel.waitFor("groups"),
                 QStringLiteral("introspected:EventGroup,AboutToShowGroup,GetGroupProperties,"
                                "ItemsPropertiesUpdated,LayoutUpdated eventGroupErrors:9999 "
                                "updated: idErrors:9999"));
        QTRY_VERIFY_WITH_TIMEOUT(rig.delegate->mainWindow()->isVisible(), 5000);

        // The "opened" event rebuilds too; the item count does not grow.
        panel.send("opened");
        QCOMPARE(panel.waitFor("opened"), QString("ok"));
        panel.send("layout");
        QCOMPARE(panel.waitFor("layout"), "kept " + jsonLines(DelegateRig::referenceMenu()));

        // Unknown ids and malformed calls are answered with errors, and so is Activate, so that
        // Plasma opens the menu on a left click; the item lives on.
        panel.send("bad");
        QCOMPARE(panel.waitFor("bad"), QString("5"));
        rig.delegate->refreshVovirUI();
        QVERIFY(rig.delegate->statusController().isEnabled());

        // No metric selected: the gauge alone, an empty label.
        for (const char* key : {"VSShowCPU", "VSShowMemory", "VSShowNetwork", "VSShowBattery"})
            rig.store->setBool(QLatin1String(key), false);
        rig.delegate->refreshVovirUI();
        QCOMPARE(panel.waitFor("label"), QString("|"));
        // Read once above: the one change since is told.
        panel.send("tooltip-news");
        QCOMPARE(panel.waitFor("tooltip-news"), QString("1"));
    }

    // GNOME's extension keeps entries by id, reads only their types when the layout changes and
    // their labels from ItemsPropertiesUpdated: figures must follow, and a click must reach the
    // entry it was meant for, at every opening.
    void theMenuAsGnomeShowsIt()
    {
        PanelHost panel;
        panel.waitFor("ready");
        DelegateRig rig(R"({"VSMenuBarMode": true})", QUrl("http://127.0.0.1:9/a.xml"), true);
        rig.delegate->buildMainWindow();
        rig.delegate->statusController().enable(rig.delegate->statusMenu());
        rig.engine->onUpdate = [&rig](const VovirSnapshot& s) { rig.delegate->recordSample(s); };
        panel.waitFor("registered");
        const QStringList tail = DelegateRig::statusMenuTail();
        auto opened = [&panel] {
            panel.send("gnome-open");
            return panel.waitFor("gnome-menu");
        };
        QCOMPARE(opened(), jsonLines(tail) + " layouts:1"); // before the first sample
        rig.takeReferenceSample();
        // Read again (the count is the layouts read so far) when groups of details come.
        QCOMPARE(opened(), jsonLines(DelegateRig::referenceMenu()) + " layouts:2");
        // The next sample at the next opening, and the maker's message when one waits.
        rig.tree.writeStat(173, 1027);
        rig.now += 1'000'000'000;
        rig.engine->sample();
        rig.messages.pendingMessage = PendingMessage{3, "x"};
        QStringList now = DelegateRig::referenceMenu();
        now[0] = "CPU : 50 % (off)";
        now[2] = QString("Réseau : ↓ 0 Ko/s · ↑ 0 Ko/s (off)");
        now.insert(now.indexOf(QString("Ouvrir VelmoraVovir…")), "Message de Velmora Labs");
        // The loads per processor, measured since the last opening.
        now.insert(now.indexOf(QString("Liens réseau")), "Processeur");
        QCOMPARE(opened(), jsonLines(now) + " layouts:3");
        panel.send(QString("gnome-submenu Processeur").toUtf8());
        QCOMPARE(panel.waitFor("gnome-submenu"), jsonLines({QString("Cœur 1 : 50 % (off)")}));
        QVERIFY(!rig.delegate->mainWindow()->isVisible());
        panel.send(QString("gnome-click Ouvrir VelmoraVovir…").toUtf8());
        QCOMPARE(panel.waitFor("gnome-click"), QString("ok"));
        QTRY_VERIFY_WITH_TIMEOUT(rig.delegate->mainWindow()->isVisible(), 5000);
        // "Historique…" shows the processor's line: pixels of its colour, which a blank chart
        // does not have.
        panel.send(QString("gnome-click Historique…").toUtf8());
        QCOMPARE(panel.waitFor("gnome-click"), QString("ok"));
        QTRY_VERIFY_WITH_TIMEOUT(rig.delegate->historyWindow(), 5000);
        const QImage chart =
            rig.delegate->historyWindow()->chart(VovirHistory::Cpu)->grab().toImage();
        int drawn = 0;
        const QColor line = vovirCyanFixed();
        for (int y = 0; y < chart.height(); ++y)
            for (int x = 0; x < chart.width(); ++x) {
                const QColor c = chart.pixelColor(x, y);
                drawn += std::abs(c.red() - line.red()) + std::abs(c.green() - line.green()) +
                             std::abs(c.blue() - line.blue()) <
                         60;
            }
        QVERIFY(drawn > 0);
    }

    void theItemsLifeOnTheBus()
    {
        DelegateRig rig(R"({"VSMenuBarMode": true})", QUrl("http://127.0.0.1:9/a.xml"), true);
        // No panel yet, and offscreen no system tray: the item waits on the bus for one.
        rig.delegate->statusController().enable(rig.delegate->statusMenu());
        QVERIFY(rig.delegate->statusController().isEnabled());
        QVERIFY(!rig.delegate->statusController().isShownByPanel());
        {
            PanelHost first; // the panel starts now, as at login
            QVERIFY(first.waitFor("registered").endsWith("/StatusNotifierItem"));
            QTRY_VERIFY(rig.delegate->statusController().isShownByPanel());
        }
        QTRY_VERIFY_WITH_TIMEOUT(!QDBusConnection::sessionBus().interface()->isServiceRegistered(
                                     StatusNotifierItem::kWatcherService),
                                 5000);
        PanelHost second;
        second.waitFor("ready");
        QVERIFY(second.waitFor("registered").endsWith("/StatusNotifierItem"));
        // A watcher that drops the item, saying so or not (GNOME's extension when it failed to
        // read it): the item registers again and the window does not claim a panel item.
        second.send("drop");
        QVERIFY(second.waitFor("registered").endsWith("/StatusNotifierItem"));
        second.send("forget");
        QTRY_VERIFY_WITH_TIMEOUT(!rig.delegate->statusController().isShownByPanel(), 10000);
        const QString again = second.waitFor("registered");
        QVERIFY(again.endsWith("/StatusNotifierItem"));
        QTRY_VERIFY(rig.delegate->statusController().isShownByPanel());
        // Disabled, its connection closes and the watcher learns that the item is gone;
        // enabled again, a fresh item with no label.
        rig.delegate->statusController().disable();
        QTRY_VERIFY_WITH_TIMEOUT(!QDBusConnection::sessionBus().interface()->isServiceRegistered(
                                     again.section('/', 0, 0)),
                                 5000);
        rig.delegate->statusController().enable(rig.delegate->statusMenu());
        QVERIFY(second.waitFor("registered") != again);
        second.send("props");
        QCOMPARE(jsonAfter(second.waitFor("props")).value("XAyatanaLabel").toString(), QString());
        rig.delegate->statusController().disable();
    }
};

QTEST_MAIN(TestPanel)
#include "tst_panel.moc"
