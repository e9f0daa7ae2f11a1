#include "DBusTypes.h"

#include <QDBusMetaType>

QDBusArgument& operator<<(QDBusArgument& a, const SniIconPixmap& v)
{
    a.beginStructure();
    a << v.width << v.height << v.bytes;
    a.endStructure();
    return a;
}

const QDBusArgument& operator>>(const QDBusArgument& a, SniIconPixmap& v)
{
    a.beginStructure();
    a >> v.width >> v.height >> v.bytes;
    a.endStructure();
    return a;
}

QDBusArgument& operator<<(QDBusArgument& a, const SniToolTip& v)
{
    a.beginStructure();
    a << v.iconName << v.image << v.title << v.description;
    a.endStructure();
    return a;
}

const QDBusArgument& operator>>(const QDBusArgument& a, SniToolTip& v)
{
    a.beginStructure();
    a >> v.iconName >> v.image >> v.title >> v.description;
    a.endStructure();
    return a;
}

QDBusArgument& operator<<(QDBusArgument& a, const DBusMenuLayoutItem& v)
{
    a.beginStructure();
    a << v.id << v.properties;
    a.beginArray(qMetaTypeId<QDBusVariant>());
    for (const DBusMenuLayoutItem& child : v.children)
        a << QDBusVariant(QVariant::fromValue(child));
    a.endArray();
    a.endStructure();
    return a;
}

const QDBusArgument& operator>>(const QDBusArgument& a, DBusMenuLayoutItem& v)
{
    a.beginStructure();
    a >> v.id >> v.properties;
    a.beginArray();
    v.children.clear();
    while (!a.atEnd()) {
        QDBusVariant child;
        a >> child;
        const QDBusArgument inner = child.variant().value<QDBusArgument>();
        DBusMenuLayoutItem item;
        inner >> item;
        v.children << item;
    }
    a.endArray();
    a.endStructure();
    return a;
}

QDBusArgument& operator<<(QDBusArgument& a, const DBusMenuItem& v)
{
    a.beginStructure();
    a << v.id << v.properties;
    a.endStructure();
    return a;
}

const QDBusArgument& operator>>(const QDBusArgument& a, DBusMenuItem& v)
{
    a.beginStructure();
    a >> v.id >> v.properties;
    a.endStructure();
    return a;
}

QDBusArgument& operator<<(QDBusArgument& a, const DBusMenuItemKeys& v)
{
    a.beginStructure();
    a << v.id << v.properties;
    a.endStructure();
    return a;
}

const QDBusArgument& operator>>(const QDBusArgument& a, DBusMenuItemKeys& v)
{
    a.beginStructure();
    a >> v.id >> v.properties;
    a.endStructure();
    return a;
}

QDBusArgument& operator<<(QDBusArgument& a, const DBusMenuEvent& v)
{
    a.beginStructure();
    a << v.id << v.eventId << v.data << v.timestamp;
    a.endStructure();
    return a;
}

const QDBusArgument& operator>>(const QDBusArgument& a, DBusMenuEvent& v)
{
    a.beginStructure();
    a >> v.id >> v.eventId >> v.data >> v.timestamp;
    a.endStructure();
    return a;
}

void registerPanelDBusTypes()
{
    static const bool registered = [] {
        qDBusRegisterMetaType<SniIconPixmap>();
        qDBusRegisterMetaType<SniIconPixmapList>();
        qDBusRegisterMetaType<SniToolTip>();
        qDBusRegisterMetaType<DBusMenuLayoutItem>();
        qDBusRegisterMetaType<DBusMenuItem>();
        qDBusRegisterMetaType<DBusMenuItemList>();
        qDBusRegisterMetaType<DBusMenuItemKeys>();
        qDBusRegisterMetaType<DBusMenuItemKeysList>();
        qDBusRegisterMetaType<DBusMenuEvent>();
        qDBusRegisterMetaType<DBusMenuEventList>();
        // Qt D-Bus finds the types of exported methods and signals by their written names; an
        // alias it does not know drops the member from the interface without a word.
        qRegisterMetaType<SniIconPixmapList>("SniIconPixmapList");
        qRegisterMetaType<DBusMenuItemList>("DBusMenuItemList");
        qRegisterMetaType<DBusMenuItemKeysList>("DBusMenuItemKeysList");
        qRegisterMetaType<DBusMenuEventList>("DBusMenuEventList");
        return true;
    }();
    Q_UNUSED(registered);
}
