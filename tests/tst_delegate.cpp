#include "support/DelegateRig.h"
#include "views/Symbols.h"

#include "app/desktop/SingleInstance.h"
#include "views/BadgeImage.h"
#include "views/MiniBarView.h"
#include "views/Palette.h"
#include "views/StatCardView.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QThread>

#include <csignal>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// What the menu shows: hidden entries are left out.
QStringList menuLines(QMenu* menu)
{
    QStringList lines;
    for (QAction* a : menu->actions())
        if (a->isVisible())
            lines << (a->isSeparator() ? QStringLiteral("---")
                                       : a->text() + (a->isEnabled() ? "" : " (off)"));
    return lines;
}

QString cardTexts(StatCardView* card)
{
    return card->valueLabel()->text() + " | " +
           (card->subLabel() ? card->subLabel()->text() : QString::number(card->bar()->progress()));
}

// A Unix socket bound at path with plain system calls, as another program would make it; -1
// when it cannot be.
int boundUnixSocket(const QByteArray& path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, QFile::encodeName(path).constData(),
                 sizeof address.sun_path - 1);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return -1;
    return fd;
}

} // namespace

class TestDelegate : public QObject {
    Q_OBJECT
private slots:
    void refreshTexts_data()
    {
        QTest::addColumn<bool>("battery");
        QTest::addColumn<bool>("charging");
        QTest::addColumn<QString>("batteryCard");
        QTest::newRow("charging") << true << true
                                  << QString::fromUtf8("85 % | 412 cycles · en charge");
        QTest::newRow("not charging") << true << false << QString::fromUtf8("85 % | 412 cycles");
        QTest::newRow("no battery") << false << false << QString::fromUtf8("… | pas de batterie");
    }
    void refreshTexts()
    {
        QFETCH(bool, battery);
        QFETCH(bool, charging);
        QFETCH(QString, batteryCard);
        DelegateRig rig;
        rig.delegate->buildMainWindow();
        rig.takeReferenceSample(battery, charging);
        rig.delegate->refreshVovirUI();
        QCOMPARE(cardTexts(rig.delegate->cpuCard()), QStringLiteral("23 % | 0.23"));
        QCOMPARE(cardTexts(rig.delegate->memCard()), QStringLiteral("7,9 Go | sur 16 Go"));
        QCOMPARE(cardTexts(rig.delegate->netCard()), QString::fromUtf8("↓ 12 Ko/s | ↑ 3 Ko/s"));
        QCOMPARE(cardTexts(rig.delegate->batCard()), batteryCard);
    }

    void beforeTheFirstSample()
    {
        DelegateRig rig(R"({"VSMenuBarMode": true, "VSInterval": 5})");
        rig.delegate->buildMainWindow();
        rig.delegate->statusController().enable(rig.delegate->statusMenu());
        rig.delegate->refreshVovirUI();
        QCOMPARE(rig.delegate->cpuCard()->valueLabel()->text(), QStringLiteral("\u2026"));
        QCOMPARE(rig.delegate->memCard()->subLabel()->text(), QStringLiteral(" "));
        QVERIFY(rig.panel.gauge); // still the gauge of a fresh item
        QCOMPARE(rig.delegate->mainButton()->text(),
                 QStringLiteral("Retirer de la barre de menus"));
        QCOMPARE(rig.delegate->mainStatusLabel()->text(),
                 QStringLiteral("Live dans la barre de menus, toutes les 5 s"));
    }

    void buttonAndHintFollowTheMode_data()
    {
        QTest::addColumn<bool>("inPanel");
        QTest::newRow("task bar") << false;
        QTest::newRow("panel") << true;
    }
    void buttonAndHintFollowTheMode()
    {
        QFETCH(bool, inPanel);
        DelegateRig rig(inPanel ? R"({"VSMenuBarMode": true})" : R"({"VSMenuBarMode": false})");
        rig.delegate->buildMainWindow();
        rig.delegate->refreshVovirUI();
        QLabel* hint = rig.delegate->mainStatusLabel();
        QCOMPARE(rig.delegate->mainButton()->text(),
                 inPanel ? QStringLiteral("Retirer de la barre de menus")
                         : QStringLiteral("Afficher dans la barre de menus"));
        QCOMPARE(hint->text(),
                 inPanel ? QStringLiteral("Live dans la barre de menus, toutes les 3 s")
                         : QStringLiteral("Tes chiffres peuvent vivre en haut de l'écran"));
        QCOMPARE(hint->font().weight(), inPanel ? QFont::DemiBold : QFont::Normal);
        QCOMPARE(hint->font().pixelSize(), 13);
        const QColor colour = hint->palette().color(QPalette::WindowText);
        if (inPanel)
            QCOMPARE(colour, vovirCyan().resolve(hint->parentWidget()->palette()));
        else
            QVERIFY(std::abs(colour.alphaF() - 0.26f) < 0.01f);
    }

    void windowGeometry()
    {
        DelegateRig rig(R"({"VSMenuBarMode": false})");
        rig.delegate->buildMainWindow();
        QMainWindow* window = rig.delegate->mainWindow();
        QVERIFY(window->isVisible()); // task-bar mode shows it at once
        QCOMPARE(window->centralWidget()->size(), QSize(430, 500));
        QCOMPARE(window->minimumSize(), window->maximumSize()); // not resizable
        // Explicit hints without maximize: decorations drawn by Qt (Wayland) offer none.
        QVERIFY(window->windowFlags().testFlag(Qt::CustomizeWindowHint));
        QVERIFY(!window->windowFlags().testFlag(Qt::WindowMaximizeButtonHint));
        QVERIFY(window->windowFlags().testFlag(Qt::WindowCloseButtonHint));
        QCOMPARE(window->windowTitle(), QStringLiteral("VelmoraVovir"));
        QWidget* view = rig.delegate->mainView();
        QVERIFY(view->isVisible());
        QVERIFY(!rig.delegate->settingsView()->isVisible());
        auto at = [view](QWidget* w) { return QRect(w->mapTo(view, QPoint(0, 0)), w->size()); };
        const QRect cpu = at(rig.delegate->cpuCard()), mem = at(rig.delegate->memCard());
        const QRect net = at(rig.delegate->netCard()), bat = at(rig.delegate->batCard());
        QCOMPARE(mem.topLeft(), cpu.topLeft() + QPoint(186 + 8, 0));
        QCOMPARE(net.topLeft(), cpu.topLeft() + QPoint(0, 62 + 8));
        QCOMPARE(bat.topLeft(), cpu.topLeft() + QPoint(186 + 8, 62 + 8));
        QCOMPARE(cpu.left() + (2 * 186 + 8) / 2, 430 / 2); // the grid is centred
        QCOMPARE(at(rig.delegate->messagesButton()), QRect(352, 456, 30, 30));
        QCOMPARE(at(rig.delegate->messagesBadge()), QRect(368, 456, 14, 14));
        QVERIFY(!rig.delegate->messagesBadge()->isVisible());
        const QRect button = at(rig.delegate->mainButton());
        const QRect hint = at(rig.delegate->mainStatusLabel());
        QCOMPARE(button.top(), bat.bottom() + 1 + 14);
        QCOMPARE(hint.top(), button.bottom() + 1 + 10);
        QVERIFY(std::abs(button.left() + button.width() / 2 - 215) <= 1); // centred
    }

    void panelModeBuildsTheWindowHidden()
    {
        DelegateRig rig(R"({"VSMenuBarMode": true})");
        rig.delegate->buildMainWindow();
        QVERIFY(!rig.delegate->mainWindow()->isVisible());
        rig.delegate->showMainWindow();
        QVERIFY(rig.delegate->mainWindow()->isVisible());
        QVERIFY(!rig.delegate->applicationShouldTerminateAfterLastWindowClosed());
    }

    void closingTheWindowQuitsOnlyInTaskBarMode_data()
    {
        QTest::addColumn<bool>("inPanel");
        QTest::newRow("task bar") << false;
        QTest::newRow("panel") << true;
    }
    void closingTheWindowQuitsOnlyInTaskBarMode()
    {
        QFETCH(bool, inPanel);
        DelegateRig rig(inPanel ? R"({"VSMenuBarMode": true})" : R"({"VSMenuBarMode": false})");
        rig.delegate->buildMainWindow();
        rig.delegate->showMainWindow();
        QSignalSpy quit(rig.delegate.get(), &AppDelegate::quitRequested);
        QVERIFY(rig.delegate->mainWindow()->close());
        // Let the delegate's own check run, then one more turn for anything it queued.
        QTest::qWait(0);
        QCoreApplication::processEvents();
        QCOMPARE(quit.count(), inPanel ? 0 : 1);
        QVERIFY(!rig.delegate->mainWindow()->isVisible());
        rig.delegate->showMainWindow(); // the same window comes back
        QVERIFY(rig.delegate->mainWindow()->isVisible());
    }

    void returnPressesTheMenuBarButton()
    {
        DelegateRig rig(R"({"VSMenuBarMode": false})");
        rig.delegate->buildMainWindow();
        rig.delegate->mainWindow()->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(rig.delegate->mainWindow()));
        rig.delegate->mainButton()->setFocus();
        QTest::keyClick(rig.delegate->mainButton(), Qt::Key_Return);
        QVERIFY(AppDelegate::menuBarMode());
        QCOMPARE(rig.panel.alive, 1);
    }

    void statusMenu_data()
    {
        QTest::addColumn<int>("sample"); // 0 none, 1 with battery, 2 without
        QTest::addColumn<QStringList>("lines");
        const QStringList tail = DelegateRig::statusMenuTail();
        QTest::newRow("before the first sample") << 0 << tail;
        QTest::newRow("reference sample") << 1 << DelegateRig::referenceFigureLines() + tail;
        QTest::newRow("no battery")
            << 2
            << QStringList{"CPU : 23 % (off)",
                           QString::fromUtf8("Mémoire : 7,9 Go sur 16 Go (off)"),
                           QString::fromUtf8("Réseau : ↓ 12 Ko/s · ↑ 3 Ko/s (off)"), "---"} +
                   tail;
    }
    void statusMenu()
    {
        QFETCH(int, sample);
        QFETCH(QStringList, lines);
        DelegateRig rig;
        if (sample > 0)
            rig.takeReferenceSample(sample == 1);
        QMenu* menu = rig.delegate->statusMenu();
        for (int opening = 0; opening < 2; ++opening) { // no accumulation
            emit menu->aboutToShow();
            QCOMPARE(menuLines(menu), lines);
        }
        QCOMPARE(menu->actions().last()->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Q));
        QSignalSpy quit(rig.delegate.get(), &AppDelegate::quitRequested);
        menu->actions().last()->trigger();
        QCOMPARE(quit.count(), 1);
    }

    void mainMenu()
    {
        DelegateRig rig;
        rig.delegate->buildMenu();
        const QList<QAction*> top = rig.delegate->menuBar()->actions();
        QCOMPARE(top.size(), 2);
        QCOMPARE(menuLines(top[0]->menu()),
                 (QStringList{"---", QString::fromUtf8("Rechercher des mises à jour…"),
                              QString::fromUtf8("Signaler un problème…"), "---",
                              "Quitter VelmoraVovir"}));
        QVERIFY(!rig.delegate->appMessagesItem()->isVisible());
        QCOMPARE(top[0]->menu()->actions().last()->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Q));
        QMenu* edit = top[1]->menu();
        QCOMPARE(top[1]->text(), QString::fromUtf8("Édition"));
        QCOMPARE(menuLines(edit),
                 (QStringList{"Annuler", QString::fromUtf8("Rétablir"), "---", "Couper", "Copier",
                              "Coller", QString::fromUtf8("Tout sélectionner")}));
        QCOMPARE(edit->actions()[1]->shortcut(), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Z));
    }

    void panelControllerTransitions()
    {
        PanelRecord record;
        StatusItemController controller(recordingFactory(record));
        QMenu first, second;
        controller.setText(QStringLiteral("early")); // not remembered
        controller.enable(&first);
        QVERIFY(record.gauge);
        QVERIFY(record.text.isEmpty());
        controller.setText(QStringLiteral("23 %"));
        controller.enable(&second); // only the menu changes
        QCOMPARE(record.created, 1);
        QCOMPARE(record.text, QStringLiteral("23 %"));
        QCOMPARE(record.menu.data(), &second);
        controller.setText(QString());
        QVERIFY(record.gauge);
        controller.setText(QStringLiteral("x"));
        controller.setText(std::nullopt);
        QVERIFY(record.gauge);
        controller.disable();
        QCOMPARE(record.alive, 0);
        controller.disable();
        controller.setText(QStringLiteral("ignored"));
        controller.enable(&first);
        QCOMPARE(record.created, 2); // a fresh item, showing the gauge
        QVERIFY(record.gauge);
        QCOMPARE(record.alive, 1);
    }

    void noPanelAtAllKeepsWorking()
    {
        StatusItemController controller([] { return std::unique_ptr<StatusItemBackend>(); });
        QMenu menu;
        controller.enable(&menu);
        QVERIFY(!controller.isEnabled());
        controller.setText(QStringLiteral("x"));
    }

    void modeSwitchBothWays()
    {
        DelegateRig rig(R"({"VSMenuBarMode": false})");
        rig.delegate->buildMainWindow();
        rig.delegate->showSettings();
        QCheckBox* box = rig.delegate->menuBarCheckbox();
        box->setChecked(true);
        rig.delegate->toggleMenuBarMode(box);
        QVERIFY(AppDelegate::menuBarMode());
        QCOMPARE(rig.panel.alive, 1);
        QCOMPARE(rig.delegate->mainButton()->text(),
                 QStringLiteral("Retirer de la barre de menus"));
        QVERIFY(rig.delegate->mainWindow()->isVisible()); // left open, on the settings view
        QVERIFY(rig.delegate->settingsView()->isVisible());

        rig.delegate->vovirPressed();
        QVERIFY(!AppDelegate::menuBarMode());
        QCOMPARE(rig.panel.alive, 0);
        QVERIFY(!box->isChecked());
        QCOMPARE(rig.delegate->mainButton()->text(),
                 QStringLiteral("Afficher dans la barre de menus"));
        QTRY_VERIFY(rig.delegate->mainWindow()->isVisible());
        QVERIFY(rig.delegate->settingsView()->isVisible());
        QVERIFY(rig.delegate->applicationShouldTerminateAfterLastWindowClosed());
    }

    void onboarding_data()
    {
        QTest::addColumn<int>("answer");
        QTest::addColumn<bool>("inPanel");
        QTest::newRow("panel") << 0 << true;
        QTest::newRow("task bar") << 1 << false;
        QTest::newRow("dismissed") << -1 << true;
    }
    void onboarding()
    {
        QFETCH(int, answer);
        QFETCH(bool, inPanel);
        DelegateRig rig;
        rig.alerts.answers << answer;
        rig.delegate->buildMainWindow();
        rig.delegate->showOnboardingIfNeeded();
        QCOMPARE(rig.alerts.shown.size(), 1);
        const Alert& alert = rig.alerts.shown.first();
        QCOMPARE(alert.message,
                 withDrawableEmoji(QString::fromUtf8("Bienvenue dans VelmoraVovir 📊")));
        // A character no font draws is left out, with the space before it; others stay.
        QCOMPARE(withDrawableEmoji(QString::fromUtf8("Été \U0010FFFD")), QString::fromUtf8("Été"));
        QVERIFY(alert.informative.startsWith(QString::fromUtf8("Où veux-tu que l'app vive ?\n\n")));
        QCOMPARE(alert.buttons, (QStringList{"Dans la barre de menus", "Dans le Dock"}));
        QVERIFY(rig.store->boolValue("VSOnboarded"));
        QCOMPARE(AppDelegate::menuBarMode(), inPanel);
        QCOMPARE(rig.panel.alive, inPanel ? 1 : 0);
        QCOMPARE(rig.delegate->menuBarCheckbox()->isChecked(), inPanel);
        rig.delegate->showOnboardingIfNeeded(); // never asked twice
        QCOMPARE(rig.alerts.shown.size(), 1);
    }

    void launchOrderAndDebugSettings_data()
    {
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<bool>("opens");
        QTest::newRow("1") << QByteArray("1") << true;
        QTest::newRow("true") << QByteArray("true") << false;
        QTest::newRow("01") << QByteArray("01") << false;
        QTest::newRow("space 1") << QByteArray(" 1") << false;
        QTest::newRow("empty") << QByteArray("") << false;
    }
    void launchOrderAndDebugSettings()
    {
        QFETCH(QByteArray, value);
        QFETCH(bool, opens);
        qputenv("VELMORA_DEBUG_SETTINGS", value);
        DelegateRig rig(R"({"VSOnboarded": true, "VSMenuBarMode": true})");
        rig.delegate->applicationDidFinishLaunching();
        qunsetenv("VELMORA_DEBUG_SETTINGS");
        // Shown in place of the main view (the window itself stays hidden in panel mode).
        QCOMPARE(!rig.delegate->settingsView()->isHidden(), opens);
        QCOMPARE(rig.delegate->mainView()->isHidden(), opens);
        QCOMPARE(rig.panel.alive, 1);
        QVERIFY(rig.alerts.shown.isEmpty());
        QVERIFY(rig.engine->isRunning());
        QCOMPARE(rig.updater->updateCheckInterval(), 3600);
        QVERIFY(QDir(rig.home.filePath("data")).exists()); // crash capture is armed
        rig.delegate->applicationWillTerminate();
        QVERIFY(!rig.engine->isRunning());
    }

    void firstLaunchAsksAfterTheWindowAndBeforeTheRefresh()
    {
        DelegateRig rig;
        rig.alerts.answers << 1;
        rig.delegate->applicationDidFinishLaunching();
        QCOMPARE(rig.alerts.shown.size(), 1);
        QVERIFY(rig.delegate->mainWindow() != nullptr);
        QCOMPARE(rig.delegate->mainButton()->text(),
                 QStringLiteral("Afficher dans la barre de menus"));
        QTRY_VERIFY(rig.delegate->mainWindow()->isVisible());
    }

    void aPanelModeLaunchWithoutAPanelShowsTheWindow_data()
    {
        QTest::addColumn<bool>("panelShowsIt");
        QTest::newRow("a panel shows the item") << true;
        QTest::newRow("no panel within the grace time") << false;
    }
    void aPanelModeLaunchWithoutAPanelShowsTheWindow()
    {
        QFETCH(bool, panelShowsIt);
        DelegateRig rig(R"({"VSOnboarded": true, "VSMenuBarMode": true})");
        rig.panel.shownByPanel = panelShowsIt;
        rig.delegate->applicationDidFinishLaunching();
        QVERIFY(!rig.delegate->mainWindow()->isVisible());
        QTRY_VERIFY(rig.delegate->panelGraceOver());
        QCOMPARE(rig.delegate->mainWindow()->isVisible(), !panelShowsIt);
        QCOMPARE(rig.delegate->mainStatusLabel()->text().startsWith("Aucun panneau"),
                 !panelShowsIt);
        // A panel that comes later takes the item; the note goes with the next refresh.
        rig.panel.shownByPanel = true;
        rig.delegate->refreshVovirUI();
        QVERIFY(rig.delegate->mainStatusLabel()->text().startsWith("Live dans la barre"));
    }

    void singleInstanceHandsOver()
    {
        const QString name = m_runtime.filePath("velmoravovir-test.socket");
        SingleInstance first(name);
        QCOMPARE(first.handOverToRunningInstance(200), SingleInstance::HandOver::NoneRunning);
        QVERIFY(first.listen());
        QSignalSpy shown(&first, &SingleInstance::activationRequested);
        // The second copy runs in another process in real life; a thread stands in for it here.
        SingleInstance::HandOver result{};
        // Its activation token goes along, for Wayland to let the window come forward.
        qputenv("XDG_ACTIVATION_TOKEN", "gnome-shell/velmoravovir-7-x_TIME0");
        std::unique_ptr<QThread> second(QThread::create(
            [&] { result = SingleInstance(name).handOverToRunningInstance(5000); }));
        second->start();
        QTRY_COMPARE_WITH_TIMEOUT(shown.count(), 1, 10000);
        QVERIFY(second->wait(10000));
        QCOMPARE(result, SingleInstance::HandOver::Done);
        QCOMPARE(shown.first().first().toString(), QString("gnome-shell/velmoravovir-7-x_TIME0"));
        qunsetenv("XDG_ACTIVATION_TOKEN");
    }

    void aPausedFirstCopyKeepsItsPlace()
    {
        const QString name = m_runtime.filePath("velmoravovir-paused.socket");
        SingleInstance first(name);
        QVERIFY(first.listen());
        // This thread does not run its event loop meanwhile: the first copy answers nothing.
        SingleInstance::HandOver result{};
        bool tookOver = true;
        std::unique_ptr<QThread> second(QThread::create([&] {
            SingleInstance copy(name);
            result = copy.handOverToRunningInstance(300);
            tookOver = copy.listen();
        }));
        second->start();
        QVERIFY(second->wait(10000));
        QCOMPARE(result, SingleInstance::HandOver::Unresponsive);
        QVERIFY(!tookOver);
    }

    void aSocketLeftByACrashIsReplaced()
    {
        const QString name = m_runtime.filePath("velmoravovir-stale.socket");
        {
            // A bound socket whose process is gone: nobody listens on it.
            const int fd = boundUnixSocket(QFile::encodeName(name));
            QVERIFY(fd >= 0);
            ::close(fd);
        }
        SingleInstance copy(name);
        QCOMPARE(copy.handOverToRunningInstance(300), SingleInstance::HandOver::NoneRunning);
        QVERIFY(copy.listen());
    }

    void anotherUsersSocketIsNotBelieved()
    {
        if (::geteuid() != 0)
            QSKIP("needs root to play another user");
        const QString name = QDir::temp().filePath(
            QStringLiteral("velmoravovir-foreign-%1").arg(QCoreApplication::applicationPid()));
        QFile::remove(name);
        int ready[2];
        QCOMPARE(::pipe(ready), 0);
        const QByteArray path = QFile::encodeName(name); // nothing allocated after the fork
        const pid_t other = ::fork();
        if (other == 0) {
            // Another user's process answering "ok" to anyone, with plain system calls.
            if (::setgid(65534) != 0 || ::setuid(65534) != 0)
                ::_exit(1);
            const int fd = boundUnixSocket(path);
            if (fd < 0 || ::listen(fd, 4) != 0)
                ::_exit(1);
            [[maybe_unused]] ssize_t w = ::write(ready[1], "r", 1);
            for (;;) {
                const int client = ::accept(fd, nullptr, nullptr);
                [[maybe_unused]] ssize_t n = ::write(client, "ok\n", 3);
                ::close(client);
            }
        }
        char c = 0;
        QCOMPARE(::read(ready[0], &c, 1), 1);
        SingleInstance copy(name);
        QCOMPARE(copy.handOverToRunningInstance(1000), SingleInstance::HandOver::Foreign);
        ::kill(other, SIGKILL);
        ::waitpid(other, nullptr, 0);
        QFile::remove(name);
    }

    void socketNamePerUserAndDisplay_data()
    {
        QTest::addColumn<bool>("privateRuntime");
        QTest::addColumn<QByteArray>("display");
        QTest::addColumn<QString>("name"); // {runtime} stands for the runtime folder
        QTest::newRow("X display")
            << true << QByteArray(":0") << "{runtime}/velmoravovir-_0.socket";
        QTest::newRow("Wayland") << true << QByteArray("wayland-1")
                                 << "{runtime}/velmoravovir-wayland_1.socket";
        QTest::newRow("no display")
            << true << QByteArray() << "{runtime}/velmoravovir-nodisplay.socket";
        QTest::newRow("runtime folder open to others")
            << false << QByteArray(":1") << "velmoravovir-1000-_1";
    }
    void socketNamePerUserAndDisplay()
    {
        QFETCH(bool, privateRuntime);
        QFETCH(QByteArray, display);
        QFETCH(QString, name);
        QTemporaryDir runtime;
        QFile::setPermissions(runtime.path(),
                              privateRuntime
                                  ? QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                  : QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                        QFile::ReadOther | QFile::ExeOther);
        const uint uid = privateRuntime ? ::getuid() : 1000;
        QCOMPARE(SingleInstance::nameFor(QFile::encodeName(runtime.path()), display, uid),
                 QString(name).replace("{runtime}", runtime.path()));
    }

private:
    QTemporaryDir m_runtime;
};

QTEST_MAIN(TestDelegate)
#include "tst_delegate.moc"
