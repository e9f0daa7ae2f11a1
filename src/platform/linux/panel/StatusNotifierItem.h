#pragma once

#include "DBusTypes.h"
#include "views/StatusItemController.h"

#include <QDBusConnection>
#include <QDBusContext>
#include <QObject>

#include <functional>

class DBusMenuExporter;
class QDBusServiceWatcher;
class QTimer;

// The panel item over the StatusNotifierItem protocol, with the live text as the Ayatana label
// (shown by GNOME's AppIndicator extension and the XFCE and MATE indicator applets) and in the
// tooltip for panels that show no label. Its menu is exported through com.canonical.dbusmenu.
class StatusNotifierItem final : public QObject, public StatusItemBackend, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierItem")
    Q_PROPERTY(QString Category READ category)
    Q_PROPERTY(QString Id READ id)
    Q_PROPERTY(QString Title READ title)
    Q_PROPERTY(QString Status READ status)
    Q_PROPERTY(int WindowId READ windowId)
    Q_PROPERTY(QString IconThemePath READ iconThemePath)
    Q_PROPERTY(QString IconName READ iconName)
    Q_PROPERTY(SniIconPixmapList IconPixmap READ iconPixmap)
    Q_PROPERTY(QString OverlayIconName READ emptyName)
    Q_PROPERTY(SniIconPixmapList OverlayIconPixmap READ noPixmap)
    Q_PROPERTY(QString AttentionIconName READ emptyName)
    Q_PROPERTY(SniIconPixmapList AttentionIconPixmap READ noPixmap)
    Q_PROPERTY(QString AttentionMovieName READ emptyName)
    Q_PROPERTY(SniToolTip ToolTip READ toolTip)
    Q_PROPERTY(bool ItemIsMenu READ itemIsMenu)
    Q_PROPERTY(QDBusObjectPath Menu READ menu)
    Q_PROPERTY(QString XAyatanaLabel READ label)
    Q_PROPERTY(QString XAyatanaLabelGuide READ labelGuide)
    Q_PROPERTY(uint XAyatanaOrderingIndex READ orderingIndex)

public:
    static constexpr const char* kWatcherService = "org.kde.StatusNotifierWatcher";
    static constexpr const char* kItemPath = "/StatusNotifierItem";
    static constexpr const char* kItemInterface = "org.kde.StatusNotifierItem";
    static constexpr const char* kMenuPath = "/MenuBar";

    // The item takes a session-bus connection of its own: it registers by object path, as the
    // items GNOME's extension shows reliably do, and the watcher forgets it when that
    // connection closes.
    explicit StatusNotifierItem(QObject* parent = nullptr);
    ~StatusNotifierItem() override;

    // StatusItemBackend
    void setMenu(QMenu* menu) override;
    void showText(const QString& text, const QString& guide) override;
    void showGauge() override;
    bool isShownByPanel() const override { return m_registered; }
    void setToolTipLines(std::function<QStringList()> lines) override
    {
        m_toolTipLines = std::move(lines);
    }

    QString category() const { return QStringLiteral("SystemServices"); }
    QString id() const { return QStringLiteral("velmoravovir"); }
    QString title() const { return QStringLiteral("VelmoraVovir"); }
    QString status() const { return QStringLiteral("Active"); }
    int windowId() const { return 0; }
    QString iconThemePath() const { return m_iconThemePath; }
    QString iconName() const { return QStringLiteral("velmoravovir-gauge-symbolic"); }
    SniIconPixmapList iconPixmap() const { return m_pixmaps; }
    QString emptyName() const { return {}; }
    SniIconPixmapList noPixmap() const { return {}; }
    SniToolTip toolTip() const;
    bool itemIsMenu() const { return true; }
    QDBusObjectPath menu() const { return QDBusObjectPath(QString::fromLatin1(kMenuPath)); }
    QString label() const { return m_label; }
    QString labelGuide() const { return m_guide; }
    uint orderingIndex() const { return 0; }

public slots:
    // The menu opens from the panel itself (ItemIsMenu); clicks need no further action.
    void ContextMenu(int x, int y);
    // Answered with an error: the item has no action of its own, its menu is what it stands
    // for, and a host (KDE Plasma) then opens the menu instead.
    void Activate(int x, int y);
    void SecondaryActivate(int x, int y);
    void Scroll(int delta, const QString& orientation);

signals:
    // Declared for the interface's introspection. The label and the tooltip's news go out as
    // messages built in setLabel, not through Qt's relay of these.
    void NewTitle();
    void NewIcon();
    void NewAttentionIcon();
    void NewOverlayIcon();
    void NewToolTip();
    void NewStatus(const QString& status);
    void XAyatanaNewLabel(const QString& label, const QString& guide);

private slots:
    void onItemUnregistered(const QString& item);

private:
    void registerWithWatcher();
    void registerAgainLater();
    void checkTheWatcherListsTheItem();
    bool isOurs(const QString& item) const;
    void setLabel(const QString& label, const QString& guide);

    QString m_serviceName; // the name of the item's own connection
    QDBusConnection m_bus;
    DBusMenuExporter* m_menuExporter = nullptr;
    QDBusServiceWatcher* m_watcherWatcher = nullptr;
    SniIconPixmapList m_pixmaps;
    QString m_iconThemePath;
    QString m_label;
    std::function<QStringList()> m_toolTipLines;
    QString m_guide;
    mutable bool m_toolTipRead = false; // since the last NewToolTip
    bool m_loggedFailure = false;
    bool m_registered = false;
    int m_attempts = 0; // registrations the watcher dropped in a row
    QTimer* m_retry = nullptr;
};
