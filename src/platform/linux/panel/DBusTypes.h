#pragma once

#include <QByteArray>
#include <QDBusArgument>
#include <QDBusVariant>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVariantMap>

// Wire types of the StatusNotifierItem and com.canonical.dbusmenu protocols.

// One icon image: width, height and ARGB32 pixels in network byte order. (iiay)
struct SniIconPixmap {
    int width = 0;
    int height = 0;
    QByteArray bytes;
};
using SniIconPixmapList = QList<SniIconPixmap>;

// (sa(iiay)ss): icon name, icon images, title, description.
struct SniToolTip {
    QString iconName;
    SniIconPixmapList image;
    QString title;
    QString description;
};

// (ia{sv}av): an item, its properties and its children, each child in a variant.
struct DBusMenuLayoutItem {
    int id = 0;
    QVariantMap properties;
    QList<DBusMenuLayoutItem> children;
};

// (ia{sv})
struct DBusMenuItem {
    int id = 0;
    QVariantMap properties;
};
using DBusMenuItemList = QList<DBusMenuItem>;

// (ias)
struct DBusMenuItemKeys {
    int id = 0;
    QStringList properties;
};
using DBusMenuItemKeysList = QList<DBusMenuItemKeys>;

// (isvu): id, event name, data, timestamp.
struct DBusMenuEvent {
    int id = 0;
    QString eventId;
    QDBusVariant data;
    uint timestamp = 0;
};
using DBusMenuEventList = QList<DBusMenuEvent>;

Q_DECLARE_METATYPE(SniIconPixmap)
Q_DECLARE_METATYPE(SniToolTip)
Q_DECLARE_METATYPE(DBusMenuLayoutItem)
Q_DECLARE_METATYPE(DBusMenuItem)
Q_DECLARE_METATYPE(DBusMenuItemKeys)
Q_DECLARE_METATYPE(DBusMenuEvent)

QDBusArgument& operator<<(QDBusArgument& a, const SniIconPixmap& v);
const QDBusArgument& operator>>(const QDBusArgument& a, SniIconPixmap& v);
QDBusArgument& operator<<(QDBusArgument& a, const SniToolTip& v);
const QDBusArgument& operator>>(const QDBusArgument& a, SniToolTip& v);
QDBusArgument& operator<<(QDBusArgument& a, const DBusMenuLayoutItem& v);
const QDBusArgument& operator>>(const QDBusArgument& a, DBusMenuLayoutItem& v);
QDBusArgument& operator<<(QDBusArgument& a, const DBusMenuItem& v);
const QDBusArgument& operator>>(const QDBusArgument& a, DBusMenuItem& v);
QDBusArgument& operator<<(QDBusArgument& a, const DBusMenuItemKeys& v);
const QDBusArgument& operator>>(const QDBusArgument& a, DBusMenuItemKeys& v);
QDBusArgument& operator<<(QDBusArgument& a, const DBusMenuEvent& v);
const QDBusArgument& operator>>(const QDBusArgument& a, DBusMenuEvent& v);

// Registers the types with Qt D-Bus; safe to call more than once.
void registerPanelDBusTypes();
