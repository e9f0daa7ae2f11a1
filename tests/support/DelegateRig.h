#pragma once

#include "app/desktop/AppDelegate.h"
#include "app/update/Updater.h"
#include "engine/VovirEngine.h"
#include "messages/MessageCenter.h"
#include "platform/linux/login/AutostartLoginItem.h"
#include "platform/linux/probe/LinuxProbe.h"
#include "settings/UserDefaults.h"
#include "settings/VovirSettings.h"
#include "support/DesktopDoubles.h"
#include "support/FixtureTree.h"
#include "support/TestKit.h"

#include <QStandardPaths>

// A delegate over a fixture system, a temporary store and home, a recording panel and scripted
// alerts: everything the desktop shell touches, owned by the test.
struct DelegateRig {
    QTemporaryDir home;
    FixtureTree tree;
    std::unique_ptr<UserDefaults> store;
    int64_t now = 0;
    std::unique_ptr<VovirEngine> engine;
    PanelRecord panel;
    ScriptedAlerts alerts;
    MessageCenter messages;
    RecordingBadge taskBar;
    std::unique_ptr<AutostartLoginItem> login;
    std::unique_ptr<Updater> updater;
    std::unique_ptr<AppDelegate> delegate;

    // realPanel: the desktop's own panel protocol instead of a recording item.
    explicit DelegateRig(const QByteArray& storeJson = {},
                         const QUrl& feed = QUrl("http://127.0.0.1:9/a.xml"),
                         bool realPanel = false)
    {
        // Anything written to standard folders (the exported panel icon) stays in the test area.
        QStandardPaths::setTestModeEnabled(true);
        if (!storeJson.isEmpty()) {
            QFile f(home.filePath("settings.json"));
            f.open(QIODevice::WriteOnly);
            f.write(storeJson);
        }
        store = std::make_unique<UserDefaults>(home.filePath("settings.json"));
        VovirSettings::setStore(store.get());
        writeBaseline();
        engine = std::make_unique<VovirEngine>(
            std::make_unique<LinuxProbe>(tree.root().toStdString()), [this] { return now; });
        login = std::make_unique<AutostartLoginItem>("velmoravovir", "/usr/bin/velmoravovir",
                                                     home.filePath("config"),
                                                     QStringList{home.filePath("xdg")});
        updater = std::make_unique<Updater>(feed, "1.0.0");
        AppServices services;
        services.engine = engine.get();
        if (!realPanel)
            services.statusItems = recordingFactory(panel);
        services.alerts = &alerts;
        services.messages = &messages;
        services.taskBarBadge = &taskBar;
        services.panelGraceMs = 100;
        services.loginItem = login.get();
        services.updater = updater.get();
        services.crashPaths = CrashReporter::Paths{home.filePath("data/pending-crash.txt"),
                                                   home.filePath("no-crash-folder")};
        delegate = std::make_unique<AppDelegate>(services);
    }
    ~DelegateRig()
    {
        delegate.reset();
        VovirSettings::setStore(nullptr);
    }

    void writeBaseline()
    {
        tree.writeStat(100, 900);
        tree.writeMeminfo(16 * 1024 * 1024, 16 * 1024 * 1024 - 8283750);
        tree.writeNetDev(0, 0);
    }

    // The status menu as shown: before any sample (tail() alone), or after the reference sample
    // with its figure lines ("(off)": not clickable), the groups of details the fixture gives,
    // and the entries that always follow.
    static QStringList referenceMenu(bool battery = true)
    {
        QStringList lines{"CPU : 23 % (off)", QString("Mémoire : 7,9 Go sur 16 Go (off)"),
                          QString("Réseau : ↓ 12 Ko/s · ↑ 3 Ko/s (off)")};
        if (battery)
            lines << QString("Batterie : 85 % · 412 cycles · en charge (off)");
        QStringList groups{QString("Liens réseau")};
        if (battery)
            groups << QString("Batterie en détail");
        return lines + QStringList{"---"} + statusMenuTail(groups + QStringList{"Disques"});
    }
    static QStringList statusMenuTail(const QStringList& groups = {})
    {
        return QStringList{QString("Ouvrir VelmoraVovir…"), "---"} +
               (groups.isEmpty() ? QStringList() : groups + QStringList{"---"}) +
               QStringList{QString("Historique…"), QString("Rechercher des mises à jour…"),
                           QString("Signaler un problème…"), "---", "Quitter VelmoraVovir"};
    }

    // The sample of the reference table: 23 %, 7,9 Go of 16, 12 Ko/s down, 3 Ko/s up, and a
    // battery at 85 % after 412 cycles when asked for.
    void takeReferenceSample(bool battery = true, bool charging = true)
    {
        writeBaseline();
        tree.remove("sys/class/power_supply/BAT0/type");
        if (battery)
            tree.writeSupply("BAT0", {{"type", "Battery"},
                                      {"capacity", "85"},
                                      {"status", charging ? "Charging" : "Discharging"},
                                      {"cycle_count", "412"}});
        engine->start();
        tree.writeStat(123, 977);
        tree.writeNetDev(12 * 1024, 3 * 1024);
        now += 1'000'000'000;
        engine->sample();
    }
};
