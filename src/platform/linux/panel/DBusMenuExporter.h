#pragma once

#include "DBusTypes.h"

#include <QDBusConnection>
#include <QDBusContext>
#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QPointer>

class QAction;
class QMenu;
class QTimer;

// Exports a QMenu through com.canonical.dbusmenu. When the panel opens the menu ("AboutToShow"
// or the "opened" event, whichever comes first) the menu updates itself (its aboutToShow
// signal); what changed is then announced before the call returns: changed texts and states
// with ItemsPropertiesUpdated, a changed set of entries with LayoutUpdated. Every action keeps
// one id for its life and an id is never given to another action, so a panel that caches
// entries by id (GNOME's AppIndicator extension) never shows or clicks the wrong one. An
// action with a menu of its own is a submenu, exported with its entries below it.
class DBusMenuExporter final : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.canonical.dbusmenu")
    Q_PROPERTY(uint Version READ version)
    Q_PROPERTY(QString TextDirection READ textDirection)
    Q_PROPERTY(QString Status READ status)
    Q_PROPERTY(QStringList IconThemePath READ iconThemePath)

public:
    DBusMenuExporter(QDBusConnection bus, QString path, QObject* parent = nullptr);
    ~DBusMenuExporter() override;

    void setMenu(QMenu* menu);

    uint version() const { return 3; }
    QString textDirection() const { return QStringLiteral("ltr"); }
    QString status() const { return QStringLiteral("normal"); }
    QStringList iconThemePath() const { return {}; }

    // Item properties as the protocol names them, for the item at a position (1-based).
    static QVariantMap propertiesOf(const QAction* action);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

public slots:
    uint GetLayout(int parentId, int recursionDepth, const QStringList& propertyNames,
                   DBusMenuLayoutItem& layout);
    QList<DBusMenuItem> GetGroupProperties(const QList<int>& ids, const QStringList& propertyNames);
    QDBusVariant GetProperty(int id, const QString& name);
    void Event(int id, const QString& eventId, const QDBusVariant& data, uint timestamp);
    // Spelled out: Qt D-Bus looks slot parameters up by their written type name, and an alias
    // name is unknown to it, which left the method unexported.
    QList<int> EventGroup(const QList<DBusMenuEvent>& events);
    bool AboutToShow(int id);
    QList<int> AboutToShowGroup(const QList<int>& ids, QList<int>& idErrors);

signals:
    void LayoutUpdated(uint revision, int parent);
    void ItemsPropertiesUpdated(const QList<DBusMenuItem>& updated,
                                const QList<DBusMenuItemKeys>& removed);
    void ItemActivationRequested(int id, uint timestamp);

private:
    // Lets the menu update itself for an opening, once however many calls announce it.
    bool refreshForOpening();
    // Announces what changed since the last announcement; true when the set of entries did.
    bool announce();
    int idOf(QAction* action);
    QAction* actionFor(int id) const;
    // The entries of a menu, the root's or a submenu's, each with its parent's id; and all of
    // them, depth first, watching each submenu for changes.
    QList<QAction*> entriesOf(int parentId) const;
    QList<std::pair<QAction*, int>> allEntries();
    DBusMenuLayoutItem layoutOf(int parentId, int depth, const QStringList& names);
    QVariantMap filtered(const QVariantMap& properties, const QStringList& names) const;
    bool handleEvent(int id, const QString& eventId);

    QDBusConnection m_bus;
    QString m_path;
    QPointer<QMenu> m_menu;
    uint m_revision = 1;
    bool m_registered = false;
    QHash<const QAction*, int> m_ids;
    int m_nextId = 1;
    QList<std::pair<int, int>> m_announcedIds; // the entries and their parents, as last learnt
    QHash<int, QVariantMap> m_announced;       // their properties as last announced
    QTimer* m_announceLater = nullptr;         // for changes made while the menu is closed
    QElapsedTimer m_lastRefresh;
    bool m_closedSinceRefresh = true;
};
