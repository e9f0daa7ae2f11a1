#pragma once

#include "DBusTypes.h"

#include <QDBusConnection>
#include <QDBusContext>
#include <QObject>
#include <QPointer>

class QAction;
class QMenu;

// Exports a QMenu through com.canonical.dbusmenu. The panel asks for the layout when it opens
// the menu; "AboutToShow" and the "opened" event first let the menu rebuild itself (the menu's
// aboutToShow signal), then announce the new layout. Item ids are the items' positions (1..n),
// so they stay the same while the menu keeps its shape.
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

public slots:
    uint GetLayout(int parentId, int recursionDepth, const QStringList& propertyNames,
                   DBusMenuLayoutItem& layout);
    DBusMenuItemList GetGroupProperties(const QList<int>& ids, const QStringList& propertyNames);
    QDBusVariant GetProperty(int id, const QString& name);
    void Event(int id, const QString& eventId, const QDBusVariant& data, uint timestamp);
    // Spelled out: Qt D-Bus looks slot parameters up by their written type name, and an alias
    // name is unknown to it, which left the method unexported.
    QList<int> EventGroup(const QList<DBusMenuEvent>& events);
    bool AboutToShow(int id);
    QList<int> AboutToShowGroup(const QList<int>& ids, QList<int>& idErrors);

signals:
    void LayoutUpdated(uint revision, int parent);
    void ItemsPropertiesUpdated(const DBusMenuItemList& updated,
                                const DBusMenuItemKeysList& removed);
    void ItemActivationRequested(int id, uint timestamp);

private:
    void rebuild();
    QAction* actionFor(int id) const;
    QVariantMap filtered(const QVariantMap& properties, const QStringList& names) const;
    bool handleEvent(int id, const QString& eventId);

    QDBusConnection m_bus;
    QString m_path;
    QPointer<QMenu> m_menu;
    uint m_revision = 1;
    bool m_registered = false;
};
