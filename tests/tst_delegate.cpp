#include "support/DelegateRig.h"
#include "support/TestKit.h"

#include "app/alerts/AlertCenter.h"
#include "app/desktop/AlertsDialog.h"
#include "app/desktop/HistoryWindow.h"
#include "app/desktop/SingleInstance.h"
#include "views/HistoryChartView.h"
#include "views/KeyboardFocus.h"
#include "views/LinkButton.h"
#include "views/MiniBarView.h"
#include "views/StatCardView.h"

#include <QAccessible>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLocalSocket>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QThread>

#include <unistd.h>

namespace {

// What the menu shows: hidden entries are left out, "(off)" marks those not clickable.
QStringList menuLines(QMenu* menu)
{
    QStringList lines;
    for (QAction* a : menu->actions())
        if (a->isVisible())
            lines << (a->isSeparator() ? QString("---")
                                       : a->text() + (a->isEnabled() ? "" : " (off)"));
    return lines;
}

QString cardTexts(StatCardView* card)
{
    return card->valueLabel()->text() + " | " +
           (card->subLabel() ? card->subLabel()->text() : QString::number(card->bar()->progress()));
}

// Python run as another program would (as "nobody" when root asks it), its lines on stdout.
std::unique_ptr<QProcess> python(const QString& script, const QStringList& arguments,
                                 bool asNobody = false)
{
    auto process = std::make_unique<QProcess>();
    const QStringList run = QStringList{"/usr/bin/python3", "-c", script} + arguments;
    if (asNobody)
        process->start("setpriv",
                       QStringList{"--reuid=65534", "--regid=65534", "--clear-groups"} + run);
    else
        process->start(run.first(), run.mid(1));
    return process;
}

const char* const kTaskBar = R"({"VSMenuBarMode": false})";
const char* const kPanel = R"({"VSMenuBarMode": true})";

} // namespace

class TestDelegate : public QObject {
    Q_OBJECT
private slots:
    // The window's cards and hint for each sample and mode, and what closing it does.
    void mainWindow_data()
    {
        QTest::addColumn<QByteArray>("settings");
        QTest::addColumn<int>("sample"); // 0 none yet, 1 charging, 2 discharging, 3 no battery
        QTest::addColumn<QString>("cpuCard");
        QTest::addColumn<QString>("batteryCard");
        QTest::addColumn<QString>("hint");
        QTest::newRow("charging") << QByteArray(kTaskBar) << 1 << "23 % | 0.23"
                                  << QString("85 % | 412 cycles · en charge")
                                  << QString("Tes chiffres peuvent vivre en haut de l'écran");
        QTest::newRow("discharging")
            << QByteArray(kTaskBar) << 2 << "23 % | 0.23" << QString("85 % | 412 cycles")
            << QString("Tes chiffres peuvent vivre en haut de l'écran");
        QTest::newRow("no battery, in the panel")
            << QByteArray(kPanel) << 3 << "23 % | 0.23" << QString("… | pas de batterie")
            << "Live dans la barre de menus, toutes les 3 s";
        QTest::newRow("before the first sample")
            << QByteArray(R"({"VSMenuBarMode": true, "VSInterval": 5})") << 0 << QString("… | 0")
            << QString("… | ") << "Live dans la barre de menus, toutes les 5 s";
    }
    void mainWindow()
    {
        QFETCH(QByteArray, settings);
        QFETCH(int, sample);
        QFETCH(QString, cpuCard);
        QFETCH(QString, batteryCard);
        QFETCH(QString, hint);
        DelegateRig rig(settings);
        rig.delegate->buildMainWindow();
        if (sample > 0)
            rig.takeReferenceSample(sample != 3, sample == 1);
        rig.delegate->refreshVovirUI();
        const bool inPanel = AppDelegate::menuBarMode();
        // A fixed size, and no maximize button even where Qt draws the frame (Wayland).
        QMainWindow* window = rig.delegate->mainWindow();
        QVERIFY(window->minimumSize() == window->maximumSize() &&
                !window->windowFlags().testFlag(Qt::WindowMaximizeButtonHint));
        QCOMPARE(window->isVisible(), !inPanel); // the panel mode builds it hidden
        rig.delegate->showMainWindow();          // and brings it up to date as it shows it
        QCOMPARE(cardTexts(rig.delegate->cpuCard()), cpuCard);
        QCOMPARE(cardTexts(rig.delegate->batCard()).trimmed(), batteryCard.trimmed());
        if (sample > 0) {
            QCOMPARE(cardTexts(rig.delegate->memCard()), QString("7,9 Go | sur 16 Go"));
            QCOMPARE(cardTexts(rig.delegate->netCard()), QString("↓ 12 Ko/s | ↑ 3 Ko/s"));
        }
        QCOMPARE(rig.delegate->mainStatusLabel()->text(), hint);
        // Closing it quits in task-bar mode only; the same window comes back.
        QSignalSpy quit(rig.delegate.get(), &AppDelegate::quitRequested);
        QVERIFY(window->close());
        // Let the delegate's own check run, then one more turn for anything it queued.
        QTest::qWait(0);
        QCoreApplication::processEvents();
        QCOMPARE(quit.count(), inPanel ? 0 : 1);
        QCOMPARE(rig.delegate->applicationShouldTerminateAfterLastWindowClosed(), !inPanel);
        rig.delegate->showMainWindow();
        QVERIFY(window->isVisible());
        // Minimised, it comes back (a later launch asks for it; a pop-up opens over it).
        window->setWindowState(Qt::WindowMinimized);
        rig.delegate->showMainWindow();
        QVERIFY(window->isVisible() && !window->isMinimized());
    }

    void statusMenu_data()
    {
        QTest::addColumn<int>("sample"); // 0 none, 1 with battery, 2 without
        QTest::addColumn<QStringList>("lines");
        const QStringList tail = DelegateRig::statusMenuTail();
        QTest::newRow("before the first sample") << 0 << tail;
        QTest::newRow("reference sample") << 1 << DelegateRig::referenceMenu();
        QTest::newRow("no battery") << 2 << DelegateRig::referenceMenu(false);
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
        QSignalSpy quit(rig.delegate.get(), &AppDelegate::quitRequested);
        menu->actions().last()->trigger();
        QCOMPARE(quit.count(), 1);
    }

    // The panel item comes and goes with the mode; its text never outlives it.
    void panelController()
    {
        PanelRecord record;
        StatusItemController controller(recordingFactory(record));
        QMenu first, second;
        controller.setText(QString("early")); // not remembered
        controller.enable(&first);
        QVERIFY(record.gauge && record.text.isEmpty());
        controller.setText(QString("23 %"));
        controller.enable(&second); // only the menu changes
        QCOMPARE(record.created, 1);
        QCOMPARE(record.text, QString("23 %"));
        QCOMPARE(record.menu.data(), &second);
        controller.setText(std::nullopt);
        QVERIFY(record.gauge);
        controller.disable();
        controller.disable();
        QCOMPARE(record.alive, 0);
        controller.setText(QString("ignored"));
        controller.enable(&first);
        QCOMPARE(record.created, 2); // a fresh item, showing the gauge
        QVERIFY(record.gauge);
        StatusItemController none([] { return std::unique_ptr<StatusItemBackend>(); });
        none.enable(&first);
        QVERIFY(!none.isEnabled());
        none.setText(QString("x")); // no panel at all: nothing breaks
    }

    // From the task bar to the panel with the settings' box, back with the window's button,
    // and by the keyboard.
    void modeSwitch()
    {
        DelegateRig rig(kTaskBar);
        rig.delegate->buildMainWindow();
        rig.delegate->showSettings();
        QCheckBox* box = rig.delegate->menuBarCheckbox();
        box->setChecked(true);
        rig.panel.shownByPanel = false;
        rig.delegate->toggleMenuBarMode(box);
        QVERIFY(AppDelegate::menuBarMode());
        QCOMPARE(rig.panel.alive, 1);
        QVERIFY(rig.delegate->settingsView()->isVisible()); // left open where it was
        // No panel shows the item: said after the grace time, as at launch.
        QTRY_VERIFY(rig.delegate->mainStatusLabel()->text().startsWith("Aucun panneau"));
        rig.delegate->vovirPressed();
        QVERIFY(!AppDelegate::menuBarMode());
        QCOMPARE(rig.panel.alive, 0);
        QVERIFY(!box->isChecked());
        QTRY_VERIFY(rig.delegate->mainWindow()->isVisible());
        rig.delegate->showMain();
        rig.delegate->mainWindow()->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(rig.delegate->mainWindow()));
        rig.delegate->mainButton()->setFocus();
        QTest::keyClick(rig.delegate->mainButton(), Qt::Key_Return);
        QVERIFY(AppDelegate::menuBarMode());
        QCOMPARE(rig.panel.alive, 1);
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
        rig.delegate->applicationDidFinishLaunching(); // asks after the window, before a refresh
        QCOMPARE(rig.alerts.shown.size(), 1);
        QCOMPARE(AppDelegate::menuBarMode(), inPanel);
        QCOMPARE(rig.panel.alive, inPanel ? 1 : 0);
        QCOMPARE(rig.delegate->menuBarCheckbox()->isChecked(), inPanel);
        QTRY_VERIFY(rig.delegate->mainWindow()->isVisible()); // a first launch shows it
        rig.delegate->showOnboardingIfNeeded();               // never asked twice
        QCOMPARE(rig.alerts.shown.size(), 1);
    }

    // For a screen reader and the keyboard: each card one object, named as it reads, its bar a
    // progress bar with its value; Tab goes left to right; Return presses the focused button;
    // the keyboard goes along to the view shown, whose menus are named by their captions.
    void keyboardAndScreenReader()
    {
        DelegateRig rig(kTaskBar);
        rig.delegate->buildMainWindow();
        rig.takeReferenceSample();
        rig.delegate->refreshVovirUI();
        QMainWindow* window = rig.delegate->mainWindow();
        window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(window));
        StatCardView* cpu = rig.delegate->cpuCard();
        auto name = [](QWidget* w) {
            return QAccessible::queryAccessibleInterface(w)->text(QAccessible::Name);
        };
        QCOMPARE(name(cpu), cpu->titleLabel()->text() + " : " + cpu->valueLabel()->text());
        QCOMPARE(QAccessible::queryAccessibleInterface(rig.delegate->batCard())
                     ->text(QAccessible::Description),
                 rig.delegate->batCard()->subLabel()->text());
        QAccessibleInterface* bar = QAccessible::queryAccessibleInterface(cpu->bar());
        QCOMPARE(bar->role(), QAccessible::ProgressBar);
        QCOMPARE(bar->valueInterface()->currentValue().toInt(),
                 qRound(cpu->bar()->progress() * 100));
        cpu->setFocus();
        QVERIFY(!hasKeyboardFocus(cpu)); // a ring only where the keyboard brought the focus
        QStringList visited;
        for (int i = 0; i < 6; ++i) {
            QTest::keyClick(window->focusWidget(), Qt::Key_Tab);
            visited << name(window->focusWidget()).section(" :", 0, 0);
            QVERIFY(i > 3 || hasKeyboardFocus(window->focusWidget()));
        }
        QCOMPARE(visited, QStringList({rig.delegate->memCard()->titleLabel()->text(),
                                       rig.delegate->netCard()->titleLabel()->text(),
                                       rig.delegate->batCard()->titleLabel()->text(),
                                       "Afficher dans la barre de menus", "Messages", "Réglages"}));
        QTest::keyClick(window->focusWidget(), Qt::Key_Return); // on the gear
        QVERIFY(rig.delegate->settingsView()->isVisible() && !AppDelegate::menuBarMode());
        QVERIFY(rig.delegate->settingsView()->isAncestorOf(window->focusWidget()));
        const QList<QLabel*> labels = window->findChildren<QLabel*>();
        for (QComboBox* menu : rig.delegate->settingsView()->findChildren<QComboBox*>())
            QVERIFY(std::any_of(labels.begin(), labels.end(),
                                [menu](QLabel* l) { return l->buddy() == menu; }));
    }

    // The history opens with the figure asked for in view: from a card (pointer or keyboard) or
    // from either menu; a point picked shows its value and time; hidden, nothing is redrawn.
    void historyOpensOnTheFigureAsked_data()
    {
        QTest::addColumn<QString>("from");
        QTest::addColumn<int>("series");
        QTest::newRow("processor card, clicked") << "cpu" << int(VovirHistory::Cpu);
        QTest::newRow("network card, Return") << "net" << int(VovirHistory::Download);
        QTest::newRow("battery card, Space") << "bat" << int(VovirHistory::Battery);
        QTest::newRow("status menu") << "status" << int(VovirHistory::Cpu);
        QTest::newRow("application menu") << "app" << int(VovirHistory::Cpu);
    }
    void historyOpensOnTheFigureAsked()
    {
        QFETCH(QString, from);
        QFETCH(int, series);
        DelegateRig rig(kTaskBar);
        rig.delegate->buildMenu();
        rig.delegate->buildMainWindow();
        rig.engine->onUpdate = [&rig](const VovirSnapshot& s) { rig.delegate->recordSample(s); };
        rig.takeReferenceSample();
        auto entry = [](QObject* menu) {
            for (QAction* a : menu->findChildren<QAction*>())
                if (a->text() == QString("Historique…"))
                    return a;
            return static_cast<QAction*>(nullptr);
        };
        if (from == "cpu")
            QTest::mouseClick(rig.delegate->cpuCard(), Qt::LeftButton);
        else if (from == "net" || from == "bat")
            QTest::keyClick(from == "net" ? rig.delegate->netCard() : rig.delegate->batCard(),
                            from == "net" ? Qt::Key_Return : Qt::Key_Space);
        else
            entry(from == "status" ? static_cast<QObject*>(rig.delegate->statusMenu())
                                   : rig.delegate->menuBar())
                ->trigger();
        HistoryWindow* window = rig.delegate->historyWindow();
        QVERIFY(window && window->isVisible());
        QCOMPARE(window->windowTitle(), QString("Historique — VelmoraVovir"));
        HistoryChartView* chart = window->chart(VovirHistory::Series(series));
        QCOMPARE(window->focusWidget(), chart);
        QVERIFY(!chart->visibleRegion().isEmpty());
        if (series != VovirHistory::Cpu)
            return;
        chart->pickAt(chart->width() - 1);
        QCOMPARE(chart->pickedText(), QString("23 % · maintenant"));
        const QString shown = chart->accessibleName();
        window->hide();
        rig.tree.writeStat(173, 1027);
        rig.now += 2'000'000'000;
        rig.engine->sample();
        QCOMPARE(chart->accessibleName(), shown);
        window->show();
        QCOMPARE(chart->accessibleName(), QString("Processeur : 23 % · il y a 2 s"));
    }

    // "Alertes…" beside the settings' title: the dialog refuses, in French, what cannot be
    // watched, and keeps the stored entries it cannot read.
    void alertsDialogRefusesWhatCannotBeWatched_data()
    {
        QTest::addColumn<int>("metric");
        QTest::addColumn<QString>("level");
        QTest::addColumn<QString>("seconds");
        QTest::addColumn<QString>("said"); // empty: saved
        const int cpu = int(AlertRules::Metric::Cpu), memory = int(AlertRules::Metric::Memory),
                  temperature = int(AlertRules::Metric::Temperature),
                  battery = int(AlertRules::Metric::Battery);
        QTest::newRow("level above the scale")
            << cpu << "150"
            << "60"
            << "Le niveau de « Processeur » doit être entre 1 et 99 %.";
        QTest::newRow("not a number") << memory << "beaucoup"
                                      << "60"
                                      << "Le niveau de « Mémoire » doit être un nombre.";
        QTest::newRow("no time") << battery << "15"
                                 << "0"
                                 << "La durée de « Batterie » doit être entre 10 s et 24 h.";
        QTest::newRow("a year") << temperature << "90"
                                << "31536000"
                                << "La durée de « Température » doit être entre 10 s et 24 h.";
        QTest::newRow("sound, a French decimal") << temperature << "85,5"
                                                 << "60" << QString();
    }
    void alertsDialogRefusesWhatCannotBeWatched()
    {
        QFETCH(int, metric);
        QFETCH(QString, level);
        QFETCH(QString, seconds);
        QFETCH(QString, said);
        DelegateRig rig(R"({"VSOnboarded": true, "VSAlerts": [{"metric": "gpu"}]})");
        rig.delegate->buildMainWindow();
        LinkButton* link = nullptr;
        for (LinkButton* l : rig.delegate->settingsView()->findChildren<LinkButton*>())
            link = l->text() == QString("Alertes…") ? l : link;
        QVERIFY(link);
        link->click();
        AlertsDialog* dialog = rig.delegate->alertsDialog();
        QVERIFY(dialog && dialog->isVisible());
        QVERIFY(dialog->problemLabel()->text().contains("illisible"));
        const AlertsDialog::Line& line = dialog->line(AlertRules::Metric(metric));
        line.enabled->setChecked(true);
        line.level->setText(level);
        line.seconds->setText(seconds);
        QCOMPARE(dialog->save(), said.isEmpty());
        QCOMPARE(dialog->problemLabel()->text(), said);
        const QList<AlertRules::Entry> stored = AlertRules::stored();
        QCOMPARE(stored.size(), said.isEmpty() ? 2 : 1);
        QVERIFY(!stored[0].rule); // the unreadable entry, kept
        QCOMPARE(rig.delegate->alertCenter().watchesTemperature(), said.isEmpty());
        if (said.isEmpty())
            QCOMPARE(stored[1].rule->level, 85.5);
    }

    // A later launch in panel mode: everything starts, and stops at the end;
    // VELMORA_DEBUG_SETTINGS=1 exactly opens the settings; with no panel to show the item, the
    // window opens after a grace time and says why, and a panel that comes later takes the item.
    void laterLaunch_data()
    {
        QTest::addColumn<QByteArray>("debugSettings");
        QTest::addColumn<bool>("panelShowsIt");
        QTest::addColumn<bool>("opens"); // the settings
        QTest::newRow("a panel shows the item") << QByteArray() << true << false;
        QTest::newRow("no panel within the grace time") << QByteArray() << false << false;
        QTest::newRow("debug settings 1") << QByteArray("1") << true << true;
        QTest::newRow("debug settings true") << QByteArray("true") << true << false;
        QTest::newRow("debug settings space 1") << QByteArray(" 1") << true << false;
    }
    void laterLaunch()
    {
        QFETCH(QByteArray, debugSettings);
        QFETCH(bool, panelShowsIt);
        QFETCH(bool, opens);
        qputenv("VELMORA_DEBUG_SETTINGS", debugSettings);
        DelegateRig rig(R"({"VSOnboarded": true, "VSMenuBarMode": true})");
        rig.panel.shownByPanel = panelShowsIt;
        rig.delegate->applicationDidFinishLaunching();
        qunsetenv("VELMORA_DEBUG_SETTINGS");
        QCOMPARE(!rig.delegate->settingsView()->isHidden(), opens);
        QCOMPARE(rig.delegate->mainView()->isHidden(), opens);
        QCOMPARE(rig.panel.alive, 1);
        QVERIFY(rig.alerts.shown.isEmpty());
        QVERIFY(rig.engine->isRunning());
        QVERIFY(QDir(rig.home.filePath("data")).exists()); // crash capture is armed
        QVERIFY(!rig.delegate->mainWindow()->isVisible());
        QTRY_VERIFY(rig.delegate->panelGraceOver());
        QCOMPARE(rig.delegate->mainWindow()->isVisible(), !panelShowsIt);
        QCOMPARE(rig.delegate->mainStatusLabel()->text().startsWith("Aucun panneau"),
                 !panelShowsIt);
        rig.panel.shownByPanel = true;
        rig.delegate->refreshVovirUI(); // the next tick, with the window on screen
        rig.delegate->showMainWindow(); // or as it comes on screen
        QVERIFY(rig.delegate->mainStatusLabel()->text().startsWith("Live dans la barre"));
        rig.delegate->applicationWillTerminate();
        QVERIFY(!rig.engine->isRunning());
    }

    // A second copy hands over to the first with its activation token (Wayland lets the
    // window come forward with it); a paused first copy keeps its place; a socket left by a
    // crash is replaced.
    void singleInstance()
    {
        const QString name = m_runtime.filePath("velmoravovir-test.socket");
        SingleInstance first(name);
        QCOMPARE(first.handOverToRunningInstance(200), SingleInstance::HandOver::NoneRunning);
        QVERIFY(first.listen());
        QSignalSpy shown(&first, &SingleInstance::activationRequested);
        for (const QByteArray& token :
             {QByteArray("gnome-shell/velmoravovir-7-x_TIME0"), QByteArray("bad token\x01")}) {
            qputenv("XDG_ACTIVATION_TOKEN", token);
            // Another process in real life; a thread stands in for it here.
            SingleInstance::HandOver result{};
            std::unique_ptr<QThread> second(QThread::create(
                [&] { result = SingleInstance(name).handOverToRunningInstance(5000); }));
            second->start();
            QTRY_COMPARE_WITH_TIMEOUT(shown.count(), 1, 10000);
            QVERIFY(second->wait(10000));
            QCOMPARE(result, SingleInstance::HandOver::Done);
            QCOMPARE(shown.takeFirst().first().toString(),
                     token.contains(' ') ? QString() : QString::fromLatin1(token));
        }
        qunsetenv("XDG_ACTIVATION_TOKEN");
        // What another program writes on the socket: a token that is none is not passed on.
        QLocalSocket raw;
        raw.connectToServer(name);
        QVERIFY(raw.waitForConnected(5000));
        raw.write("show bad\x01token\n");
        QTRY_COMPARE_WITH_TIMEOUT(shown.count(), 1, 10000);
        QCOMPARE(shown.takeFirst().first().toString(), QString());
        // Paused: this thread does not run its event loop meanwhile.
        SingleInstance::HandOver result{};
        bool tookOver = true;
        std::unique_ptr<QThread> paused(QThread::create([&] {
            SingleInstance copy(name);
            result = copy.handOverToRunningInstance(300);
            tookOver = copy.listen();
        }));
        paused->start();
        QVERIFY(paused->wait(10000));
        QCOMPARE(result, SingleInstance::HandOver::Unresponsive);
        QVERIFY(!tookOver);

        const QString stale = m_runtime.filePath("velmoravovir-stale.socket");
        auto bound = python("import socket, sys; socket.socket(socket.AF_UNIX).bind(sys.argv[1])",
                            {stale}); // bound, nobody listens
        QVERIFY(bound->waitForFinished(10000) && bound->exitCode() == 0);
        SingleInstance copy(stale);
        QCOMPARE(copy.handOverToRunningInstance(300), SingleInstance::HandOver::NoneRunning);
        QVERIFY(copy.listen());
    }

    // Another user's process answering "ok" to anyone is not believed, and is not obeyed.
    void anotherUsersSocket()
    {
        if (::geteuid() != 0)
            QSKIP("needs root to play another user");
        const QString name = QDir::temp().filePath(
            QString("velmoravovir-foreign-%1").arg(QCoreApplication::applicationPid()));
        QFile::remove(name);
        auto other = python("import socket, sys\ns = socket.socket(socket.AF_UNIX)\n"
                            "s.bind(sys.argv[1]); s.listen(4); print('ready', flush=True)\n"
                            "while True: s.accept()[0].sendall(b'ok\\n')",
                            {name}, true);
        QVERIFY(other->waitForReadyRead(10000));
        QCOMPARE(SingleInstance(name).handOverToRunningInstance(1000),
                 SingleInstance::HandOver::Foreign);
        other->kill();
        other->waitForFinished();
        QFile::remove(name);
        // The other way round: our socket, reached by another user, shows nothing.
        const QString ours = m_runtime.filePath("velmoravovir-ours.socket");
        SingleInstance first(ours);
        QVERIFY(first.listen());
        QFile::setPermissions(m_runtime.path(), QFile::Permissions(0x7777));
        QFile::setPermissions(ours, QFile::Permissions(0x7777));
        QSignalSpy shown(&first, &SingleInstance::activationRequested);
        auto intruder = python(
            "import socket, sys\ns = socket.socket(socket.AF_UNIX)\n"
            "s.connect(sys.argv[1]); s.sendall(b'show\\n')\n"
            "try: answer = s.recv(8)\nexcept OSError: answer = b''\nsys.exit(3 if answer else 0)",
            {ours}, true);
        QTRY_VERIFY_WITH_TIMEOUT(intruder->state() == QProcess::NotRunning, 10000);
        QVERIFY2(intruder->exitCode() == 0, intruder->readAllStandardError().constData());
        QCOMPARE(shown.count(), 0);
    }

    void socketNamePerUserAndDisplay_data()
    {
        QTest::addColumn<bool>("privateRuntime"); // only its owner may enter it
        QTest::addColumn<bool>("ours");
        QTest::addColumn<QByteArray>("display");
        QTest::addColumn<QString>("name"); // {runtime}: the runtime folder, {uid}: the user's id
        QTest::newRow("X display")
            << true << true << QByteArray(":0") << "{runtime}/velmoravovir-_0.socket";
        QTest::newRow("Wayland") << true << true << QByteArray("wayland-1")
                                 << "{runtime}/velmoravovir-wayland_1.socket";
        QTest::newRow("no display")
            << true << true << QByteArray() << "{runtime}/velmoravovir-nodisplay.socket";
        QTest::newRow("runtime folder open to others")
            << false << true << QByteArray(":1") << "velmoravovir-{uid}-_1";
        QTest::newRow("another user's runtime folder")
            << true << false << QByteArray(":1") << "velmoravovir-{uid}-_1";
    }
    void socketNamePerUserAndDisplay()
    {
        QFETCH(bool, privateRuntime);
        QFETCH(bool, ours);
        QFETCH(QByteArray, display);
        QFETCH(QString, name);
        QTemporaryDir runtime;
        QFile::Permissions owner = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner;
        QFile::setPermissions(runtime.path(),
                              privateRuntime ? owner : owner | QFile::ReadOther | QFile::ExeOther);
        const uint uid = ::getuid() + (ours ? 0 : 1);
        QCOMPARE(SingleInstance::nameFor(QFile::encodeName(runtime.path()), display, uid),
                 QString(name)
                     .replace("{runtime}", runtime.path())
                     .replace("{uid}", QString::number(uid)));
    }

private:
    QTemporaryDir m_runtime;
};

QTEST_MAIN(TestDelegate)
#include "tst_delegate.moc"
