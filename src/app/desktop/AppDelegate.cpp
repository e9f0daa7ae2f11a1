// Construction, launch and termination of the application delegate.
#include "AppDelegate.h"

#include "DetailsMenu.h"

#include "AlertPresenter.h"
#include "AlertsDialog.h"
#include "HistoryWindow.h"
#include "app/alerts/AlertCenter.h"
#include "app/update/Updater.h"
#include "crash/CrashReporter.h"
#include "engine/VovirEngine.h"
#include "messages/MessageCenter.h"
#include "platform/DesktopPlatform.h"
#include "settings/UserDefaults.h"
#include "settings/VovirSettings.h"
#include "views/StatCardView.h"

#include <QApplication>
#include <QDesktopServices>
#include <QEvent>
#include <QMainWindow>
#include <QMenu>
#include <QTimer>
#include <QUrl>

namespace {
const char* const kMakerWebAddress = "https://velmoralabs.ch";
} // namespace

AppDelegate::AppDelegate(AppServices services, QObject* parent)
    : QObject(parent), m_engine(services.engine ? services.engine : &VovirEngine::shared()),
      m_alerts(services.alerts),
      m_statusController(services.statusItems ? services.statusItems
                                              : DesktopPlatform::statusItemFactory()),
      m_loginItem(services.loginItem), m_updater(services.updater),
      m_crashPaths(services.crashPaths),
      m_messages(services.messages ? services.messages : &MessageCenter::shared()),
      m_taskBarBadge(services.taskBarBadge), m_panelGraceMs(services.panelGraceMs),
      m_alertCenter(new AlertCenter(services.notifications, this))
{
    if (!m_alerts) {
        m_ownAlerts = std::make_unique<MessageBoxPresenter>();
        m_alerts = m_ownAlerts.get();
    }
    if (!m_loginItem) {
        m_ownLoginItem = DesktopPlatform::loginItem();
        m_loginItem = m_ownLoginItem.get();
    }
    if (!m_taskBarBadge) {
        m_ownTaskBarBadge = DesktopPlatform::taskBarBadge(QStringLiteral("velmoravovir"));
        m_taskBarBadge = m_ownTaskBarBadge.get();
    }
    if (!m_updater) {
        m_ownUpdater = std::make_unique<Updater>();
        m_updater = m_ownUpdater.get();
    }
    m_statusController.setToolTipLines([this] { return toolTipLines(); });
    m_cpuCard = new StatCardView(QStringLiteral("CPU"), true);
    m_memCard = new StatCardView(QStringLiteral("Mémoire"), false);
    m_netCard = new StatCardView(QStringLiteral("Réseau"), false);
    m_batCard = new StatCardView(QStringLiteral("Batterie"), false);
    const std::pair<StatCardView*, VovirHistory::Series> cards[] = {
        {m_cpuCard, VovirHistory::Cpu},
        {m_memCard, VovirHistory::Memory},
        {m_netCard, VovirHistory::Download},
        {m_batCard, VovirHistory::Battery}};
    for (const auto& [card, series] : cards)
        connect(card, &StatCardView::activated, this, [this, s = series] { showHistory(s); });
    connect(m_alertCenter, &AlertCenter::openRequested, this, &AppDelegate::showMainWindow);
    connect(m_updater, &Updater::checkFinished, this,
            [this](const UpdateCheckResult& result, bool userInitiated) {
                const std::optional<Alert> alert = Updater::alertFor(result, userInitiated);
                if (!alert || m_updateAlertShowing)
                    return;
                m_updateAlertShowing = true;
                const int answer = m_alerts->run(*alert, m_mainWindow);
                m_updateAlertShowing = false;
                if (result.outcome == UpdateCheckResult::Outcome::NewerAvailable && answer == 0)
                    QDesktopServices::openUrl(result.downloadPage);
            });
}

AppDelegate::~AppDelegate()
{
    if (m_engine->onUpdate)
        m_engine->onUpdate = nullptr;
    m_statusController.disable();
    delete m_mainWindow; // takes the cards and views with it
    for (StatCardView* card :
         {m_cpuCard.data(), m_memCard.data(), m_netCard.data(), m_batCard.data()})
        delete card; // only those never placed in a view are left
    delete m_statusMenu;
    delete m_messagesWindow;
    delete m_historyWindow;
    delete m_alertsDialog;
}

bool AppDelegate::menuBarMode()
{
    return VovirSettings::store().boolValue(QStringLiteral("VSMenuBarMode"));
}

void AppDelegate::applicationDidFinishLaunching()
{
    CrashReporter::install(m_crashPaths.value_or(CrashReporter::defaultPaths()));
    CrashReporter::setRunContext(CrashReporter::runContext(
        menuBarMode() ? QStringLiteral("panel") : QStringLiteral("window")));
    buildMenu();
    buildMainWindow();
    // Held weakly: the process-wide engine must never keep the delegate alive.
    QPointer<AppDelegate> weak(this);
    m_engine->onUpdate = [weak](const VovirSnapshot& snapshot) {
        if (!weak)
            return;
        weak->recordSample(snapshot);
        weak->refreshVovirUI();
    };
    // The history keeps the processor's temperature, one small file read a sample.
    m_history.setInterval(VovirSettings::intervalSeconds());
    m_engine->setTemperatureWanted(true);
    m_engine->start();
    if (menuBarMode()) {
        m_statusController.enable(statusMenu());
        watchForThePanel();
    } else {
        activateApplication();
    }
    showOnboardingIfNeeded();
    refreshVovirUI();
    syncWithServer();
    // The launch's own sync covers the start; the timer first fires an hour later.
    m_syncTimer = new QTimer(this);
    m_syncTimer->setInterval(kSyncIntervalMs);
    connect(m_syncTimer, &QTimer::timeout, this, &AppDelegate::syncWithServer);
    m_syncTimer->start();
    m_updater->setUpdateCheckInterval(3600);
    if (qgetenv("VELMORA_DEBUG_SETTINGS") == "1")
        showSettings();
}

void AppDelegate::applicationWillTerminate()
{
    m_engine->stop();
}

bool AppDelegate::applicationShouldTerminateAfterLastWindowClosed() const
{
    return !menuBarMode();
}

bool AppDelegate::eventFilter(QObject* watched, QEvent* event)
{
    // A hidden window is not kept up to date (refreshVovirUI): it is brought up to date as it
    // is shown, however it comes back.
    if (watched == m_mainWindow && event->type() == QEvent::Show)
        refreshVovirUI();
    if (watched == m_mainWindow && event->type() == QEvent::Close) {
        // Once the close has gone through: quit when no window of ours is left open.
        QTimer::singleShot(0, this, [this] {
            for (QWidget* window : QApplication::topLevelWidgets())
                if (window->isVisible() && window->isWindow() && !window->inherits("QMenu"))
                    return;
            if (applicationShouldTerminateAfterLastWindowClosed())
                emit quitRequested();
        });
    }
    return QObject::eventFilter(watched, event);
}

bool AppDelegate::noPanelShowsTheItem() const
{
    return m_panelGraceOver && menuBarMode() && !m_statusController.isShownByPanel();
}

void AppDelegate::watchForThePanel()
{
    // Until the grace time is over, the item may still be on its way to the panel.
    m_panelGraceOver = false;
    if (!m_panelCheck) {
        m_panelCheck = new QTimer(this);
        m_panelCheck->setSingleShot(true);
        connect(m_panelCheck, &QTimer::timeout, this, &AppDelegate::checkThePanelShowsTheItem);
    }
    m_panelCheck->start(m_panelGraceMs); // a later switch starts it again
}

void AppDelegate::checkThePanelShowsTheItem()
{
    m_panelGraceOver = true;
    // Never invisible: without a panel to show the item, the window stays, saying why.
    if (noPanelShowsTheItem()) {
        refreshVovirUI();
        showMainWindow();
    }
}

void AppDelegate::activateApplication()
{
    if (m_mainWindow && m_mainWindow->isVisible()) {
        // Minimised, it is shown again: what comes next (a pop-up, the report form) opens over
        // it, and a dialog over a minimised window is created minimised and never seen.
        if (m_mainWindow->isMinimized())
            m_mainWindow->setWindowState(m_mainWindow->windowState() & ~Qt::WindowMinimized);
        m_mainWindow->raise();
        m_mainWindow->activateWindow();
    }
}

void AppDelegate::openVelmoraLabs()
{
    const QUrl url(QString::fromLatin1(kMakerWebAddress));
    if (url.isValid())
        QDesktopServices::openUrl(url);
}

void AppDelegate::quit()
{
    emit quitRequested();
}
