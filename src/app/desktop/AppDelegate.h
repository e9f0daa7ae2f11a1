#pragma once

#include "crash/CrashReporter.h"
#include "history/VovirHistory.h"
#include "views/BadgeImage.h"
#include "views/StatCardView.h"
#include "views/StatusItemController.h"
#include "views/SymbolButton.h"

#include <QAction>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QSize>
#include <QToolButton>

#include <memory>
#include <optional>

class AlertCenter;
class AlertsDialog;
class AlertPresenter;
class DesktopNotifications;
class HistoryWindow;
class LoginItem;
class MessageCenter;
class TaskBarBadge;
class QTimer;
class QCheckBox;
class QComboBox;
class QLabel;
class QMainWindow;
class DetailsMenu;
class QMenu;
class QMenuBar;
class QPushButton;
class QWidget;
class Updater;
class VovirEngine;

// What the delegate talks to outside itself; the real ones by default, tests pass their own.
struct AppServices {
    VovirEngine* engine = nullptr;                  // the shared engine when null
    StatusItemFactory statusItems;                  // the desktop's panel when empty
    AlertPresenter* alerts = nullptr;               // message boxes when null
    LoginItem* loginItem = nullptr;                 // the XDG autostart entry when null
    Updater* updater = nullptr;                     // the maker's update feed when null
    std::optional<CrashReporter::Paths> crashPaths; // the user's folders when absent
    MessageCenter* messages = nullptr;              // the shared message centre when null
    TaskBarBadge* taskBarBadge = nullptr;           // the desktop's launcher entry when null
    DesktopNotifications* notifications = nullptr;  // the session bus's service when null
    int panelGraceMs = 5000; // how long a panel may take to show the item after launch
};

// Owns everything the user sees: the main window with its main and settings views, the menus,
// the panel item and the four cards. One class, defined across files by concern.
// Enough for any real answer; a runaway body would make a window unusable.
inline constexpr qsizetype kMaxShownChars = 4000;
// A maker's message as every window shows it: control and format characters (bidirectional
// overrides among them) left out, line breaks and tabs kept, at most kMaxShownChars.
QString shownMessageText(const QString& body);

class AppDelegate final : public QObject {
    Q_OBJECT
public:
    explicit AppDelegate(AppServices services = {}, QObject* parent = nullptr);
    ~AppDelegate() override;

    // Lifecycle (AppDelegate.cpp)
    void applicationDidFinishLaunching();
    void applicationWillTerminate();
    bool applicationShouldTerminateAfterLastWindowClosed() const;
    static bool menuBarMode();

    // Refresh (AppDelegate_refresh.cpp)
    void refreshVovirUI();

    // Main window (AppDelegate_mainWindow.cpp)
    void buildMainWindow();
    // Sizes the main window to its content, or to the screen with the content scrolling where
    // the screen is smaller.
    void fitMainWindow();
    QWidget* buildMainView();

    // Menus (AppDelegate_menus.cpp)
    void buildMenu();
    QMenu* statusMenu();
    void menuWillOpen(QMenu* menu);

    // Settings (AppDelegate_settings.cpp)
    QWidget* buildSettingsView();

    // Display mode (AppDelegate_displayMode.cpp)
    void applyDisplayMode();
    void showOnboardingIfNeeded();

    // History and alerts (AppDelegate_history.cpp)
    void recordSample(const VovirSnapshot& snapshot);
    const VovirHistory& history() const { return m_history; }
    HistoryWindow* historyWindow() const;
    AlertsDialog* alertsDialog() const;
    AlertCenter& alertCenter() const { return *m_alertCenter; }

    // Messages with the maker (AppDelegate_messages.cpp, AppDelegate_messagesWindow.cpp)
    void syncWithServer();
    void refreshMessageBadges();
    static constexpr int kSyncIntervalMs = 3600 * 1000;
    static const QString kSupportEmail;

    // What the views and tests reach.
    VovirEngine& engine() const { return *m_engine; }
    StatusItemController& statusController() { return m_statusController; }
    QMainWindow* mainWindow() const { return m_mainWindow; }
    QWidget* mainView() const { return m_mainView; }
    QWidget* settingsView() const { return m_settingsView; }
    QPushButton* mainButton() const { return m_mainButton; }
    QLabel* mainStatusLabel() const { return m_mainStatusLabel; }
    QCheckBox* loginCheckbox() const { return m_loginCheckbox; }
    QCheckBox* menuBarCheckbox() const { return m_menuBarCheckbox; }
    StatCardView* cpuCard() const { return m_cpuCard; }
    StatCardView* memCard() const { return m_memCard; }
    StatCardView* netCard() const { return m_netCard; }
    StatCardView* batCard() const { return m_batCard; }
    SymbolButton* messagesButton() const { return m_messagesButton; }
    BadgeImageView* messagesBadge() const { return m_messagesBadge; }
    QAction* appMessagesItem() const { return m_appMessagesItem; }
    QMenuBar* menuBar() const { return m_menuBar; }
    Updater& updater() const { return *m_updater; }
    MessageCenter& messageCenter() const { return *m_messages; }
    QTimer* syncTimer() const { return m_syncTimer; }
    bool panelGraceOver() const { return m_panelGraceOver; }
    QWidget* messagesWindow() const { return m_messagesWindow; }
    QLineEdit* replyField() const { return m_replyField; }
    static constexpr QSize winSize{430, 500};

public slots:
    void showMainWindow();
    void showMain();
    void vovirPressed();
    void showSettings();
    void toggleMetric(QCheckBox* sender, int tag);
    void intervalChanged(QComboBox* sender);
    void formatChanged(QComboBox* sender);
    void toggleAutoUpdates(QCheckBox* sender);
    void toggleLoginItem(QCheckBox* sender);
    void toggleMenuBarMode(QCheckBox* sender);
    void checkForUpdates();
    void openVelmoraLabs();
    void reportProblemPressed();
    void showMessages();
    void sendReply();
    void showPendingMessage();
    // Opens the history with a figure's chart in view (a VovirHistory::Series).
    void showHistory(int series = VovirHistory::Cpu);
    void showAlerts();
    void quit();

signals:
    // The user asked to quit, or closed the last window in task-bar mode.
    void quitRequested();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void activateApplication();
    QWidget* buildMessagesList();
    void refreshMessagesList();
    // Uploads a reply already marked as travelling; the list shows the outcome.
    void uploadReply(qint64 id, const QString& text);

    VovirEngine* m_engine;
    AlertPresenter* m_alerts;
    std::unique_ptr<AlertPresenter> m_ownAlerts;
    StatusItemController m_statusController;
    LoginItem* m_loginItem;
    std::unique_ptr<LoginItem> m_ownLoginItem;
    Updater* m_updater;
    std::unique_ptr<Updater> m_ownUpdater;

    QMainWindow* m_mainWindow = nullptr;
    QPushButton* m_mainButton = nullptr;
    QLabel* m_mainStatusLabel = nullptr;
    std::optional<bool> m_statusStyledForPanel; // the mode the hint's colour and font are for
    QCheckBox* m_loginCheckbox = nullptr;
    QPointer<StatCardView> m_cpuCard;
    QPointer<StatCardView> m_memCard;
    QPointer<StatCardView> m_netCard;
    QPointer<StatCardView> m_batCard;
    QMenu* m_statusMenu = nullptr;
    // The status menu's entries, made once: an opening changes their texts and which are shown,
    // so that every entry keeps its identity for the panel (GNOME's reads labels by id).
    struct StatusMenuEntries {
        QAction* cpu = nullptr;
        QAction* memory = nullptr;
        QAction* network = nullptr;
        QAction* battery = nullptr;
        QAction* figuresEnd = nullptr;
        QAction* detailsEnd = nullptr;
        QAction* messages = nullptr;
    } m_statusEntries;
    std::unique_ptr<DetailsMenu> m_detailsMenu;
    // The tooltip's details, read again at most every 10 s: a panel that reads the tooltip at
    // every tick (Plasma) does not make every tick read the sensors.
    QStringList toolTipLines();
    QStringList m_toolTipLines;
    QElapsedTimer m_toolTipLinesAge;
    QMenuBar* m_menuBar = nullptr;
    QCheckBox* m_menuBarCheckbox = nullptr;
    QPointer<SymbolButton> m_messagesButton;
    QPointer<BadgeImageView> m_messagesBadge;
    QPointer<QAction> m_appMessagesItem;
    QWidget* m_mainView = nullptr;
    QWidget* m_settingsView = nullptr;
    std::optional<CrashReporter::Paths> m_crashPaths;
    MessageCenter* m_messages;
    TaskBarBadge* m_taskBarBadge;
    std::unique_ptr<TaskBarBadge> m_ownTaskBarBadge;
    QTimer* m_syncTimer = nullptr;
    bool m_showingPendingMessage = false;
    bool m_updateAlertShowing = false;
    int m_panelGraceMs;
    bool m_panelGraceOver = false; // from then on, a panel-mode launch without a panel is said
    bool noPanelShowsTheItem() const;
    // Checks, after the grace time, that a panel shows the item (at launch, after a switch).
    void watchForThePanel();
    void checkThePanelShowsTheItem();
    QTimer* m_panelCheck = nullptr;
    QWidget* m_messagesWindow = nullptr;
    QPointer<QLineEdit> m_replyField;
    // Replies whose upload is under way: not marked "not sent" while they travel.
    QSet<QPair<qint64, QString>> m_repliesInFlight;
    VovirHistory m_history;
    QPointer<HistoryWindow> m_historyWindow;
    AlertCenter* m_alertCenter = nullptr;
    QPointer<AlertsDialog> m_alertsDialog;
};
