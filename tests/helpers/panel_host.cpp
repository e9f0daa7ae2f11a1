// Plays a desktop panel on the session bus, in its own process: the StatusNotifierWatcher that
// items register with, and the host that reads an item and drives its dbusmenu. Commands come
// one a line on stdin; results go one a line to stdout.
#include "platform/linux/panel/DBusTypes.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusContext>
#include <QDBusInterface>
#include <QDBusMessage>
#include <QDBusReply>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSocketNotifier>

#include <functional>
#include <memory>

#include <cstdio>
#include <unistd.h>

namespace {

void say(const QString& line)
{
    std::printf("%s\n", line.toUtf8().constData());
    std::fflush(stdout);
}

// An entry as a user reads it: "---" for a separator, "(off)" after one that cannot be chosen.
QString shownEntry(const QVariantMap& p)
{
    return p.value("type").toString() == "separator"
               ? QString("---")
               : p.value("label").toString() + (p.value("enabled", true).toBool() ? "" : " (off)");
}

} // namespace

class Watcher final : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ hostRegistered)
    Q_PROPERTY(int ProtocolVersion READ protocolVersion)
    Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ items)
public:
    QString service; // the item's connection
    QString path;
    int toolTipNews = 0;
    bool hostRegistered() const { return true; }
    int protocolVersion() const { return 0; }
    QString entry() const { return service.isEmpty() ? QString() : service + path; }
    QStringList items() const { return service.isEmpty() ? QStringList() : QStringList{entry()}; }

    // What a watcher does when it lets an item go (GNOME's, when it cannot read the item).
    void drop()
    {
        const QString gone = entry();
        service.clear();
        emit StatusNotifierItemUnregistered(gone);
    }

public slots:
    // A path is an item on the caller's own connection, a name an item at the usual path.
    void RegisterStatusNotifierItem(const QString& item)
    {
        service = item.startsWith('/') ? message().service() : item;
        path = item.startsWith('/') ? item : QString("/StatusNotifierItem");
        say("registered " + entry());
        emit StatusNotifierItemRegistered(entry());
    }
    void RegisterStatusNotifierHost(const QString&) {}
    void onLabel(const QString& label, const QString& guide)
    {
        say("label " + label + "|" + guide);
    }
    void onToolTip() { ++toolTipNews; }

signals:
    void StatusNotifierItemRegistered(const QString& item);
    void StatusNotifierItemUnregistered(const QString& item);
};

// The menu as GNOME's AppIndicator extension keeps it: the entries' types come from the layout,
// their labels and states from GetGroupProperties when an entry is first seen and afterwards only
// from ItemsPropertiesUpdated, applied while the menu is open; clicks go by id.
class GnomeMenu final : public QObject {
    Q_OBJECT
public:
    std::function<QDBusMessage(const QString&, const QVariantList&)> call;
    QList<int> order;
    QHash<int, QVariantMap> props;
    int layoutsRead = 0;
    bool active = false;
    bool layoutStale = false;
    bool itemsStale = false;

    void readLayout()
    {
        ++layoutsRead;
        const QDBusMessage reply =
            call("GetLayout", {0, -1, QStringList{"type", "children-display"}});
        const auto root = qdbus_cast<DBusMenuLayoutItem>(reply.arguments().value(1));
        QList<int> fresh;
        order.clear();
        for (const DBusMenuLayoutItem& child : root.children) {
            order << child.id;
            if (!props.contains(child.id))
                fresh << child.id;
            props[child.id].insert(child.properties);
        }
        if (!fresh.isEmpty())
            readProperties(fresh);
        layoutStale = false;
    }
    void readProperties(const QList<int>& ids)
    {
        const QDBusMessage reply =
            call("GetGroupProperties", {QVariant::fromValue(ids), QStringList()});
        for (const DBusMenuItem& item : qdbus_cast<DBusMenuItemList>(reply.arguments().value(0)))
            props[item.id] = item.properties;
    }
    QString open()
    {
        active = true;
        if (order.isEmpty() || layoutStale)
            readLayout();
        else if (itemsStale)
            readProperties(order);
        itemsStale = false;
        call("Event", {0, QString("opened"), QVariant::fromValue(QDBusVariant(0)), 0u});
        if (call("AboutToShow", {0}).arguments().value(0).toBool())
            readLayout();
        // What the item announced before its answers is now in the queue.
        QCoreApplication::processEvents();
        QJsonArray shown;
        for (int id : order)
            if (props[id].value("visible", true).toBool())
                shown.append(shownEntry(props[id]));
        call("Event", {0, QString("closed"), QVariant::fromValue(QDBusVariant(0)), 0u});
        active = false;
        return QString::fromUtf8(QJsonDocument(shown).toJson(QJsonDocument::Compact));
    }
    bool click(const QString& label)
    {
        for (int id : order)
            if (props[id].value("label").toString() == label)
                return call("Event",
                            {id, QString("clicked"), QVariant::fromValue(QDBusVariant(0)), 0u})
                           .type() == QDBusMessage::ReplyMessage;
        return false;
    }

public slots:
    void onLayoutUpdated(uint, int)
    {
        if (active)
            readLayout();
        else
            layoutStale = true;
    }
    void onPropertiesUpdated(const QDBusMessage& signal)
    {
        if (!active) {
            itemsStale = true;
            return;
        }
        for (const DBusMenuItem& item : qdbus_cast<DBusMenuItemList>(signal.arguments().value(0)))
            props[item.id].insert(item.properties);
        for (const DBusMenuItemKeys& keys :
             qdbus_cast<DBusMenuItemKeysList>(signal.arguments().value(1)))
            for (const QString& key : keys.properties)
                props[keys.id].remove(key);
    }
};

class Host final : public QObject {
    Q_OBJECT
public:
    explicit Host(Watcher& watcher) : m_watcher(watcher) {}

    void run(const QString& line)
    {
        const QStringList words = line.split(' ', Qt::SkipEmptyParts);
        const QString command = words.value(0);
        if (command == "props")
            props();
        else if (command == "layout")
            layout();
        else if (command == "click")
            event(m_ids.value(line.section(' ', 1)), "clicked", "click");
        else if (command == "opened")
            event(0, "opened", "opened");
        else if (command == "bad")
            bad();
        else if (command == "groups")
            groups(m_ids.value(line.section(' ', 1)));
        else if (command == "gnome-open") {
            const QString shown = gnome().open();
            say(QString("gnome-menu %1 layouts:%2").arg(shown).arg(gnome().layoutsRead));
        } else if (command == "gnome-click")
            say(QString("gnome-click ") + (gnome().click(line.section(' ', 1)) ? "ok" : "missing"));
        else if (command == "tooltip-news")
            say(QString("tooltip-news %1").arg(m_watcher.toolTipNews));
        else if (command == "drop")
            m_watcher.drop();
        else if (command == "forget")
            m_watcher.service.clear(); // without a word, as a watcher that lost it
        else if (command == "quit")
            QCoreApplication::quit();
    }

private:
    // One GNOME menu per item: it follows the item's signals from its first opening on.
    GnomeMenu& gnome()
    {
        if (!m_gnome || m_gnomeService != m_watcher.service) {
            m_gnome = std::make_unique<GnomeMenu>();
            m_gnomeService = m_watcher.service;
            m_gnome->call = [this](const QString& method, const QVariantList& args) {
                return call("/MenuBar", "com.canonical.dbusmenu", method, args);
            };
            QDBusConnection bus = QDBusConnection::sessionBus();
            bus.connect(m_gnomeService, "/MenuBar", "com.canonical.dbusmenu", "LayoutUpdated",
                        m_gnome.get(), SLOT(onLayoutUpdated(uint, int)));
            bus.connect(m_gnomeService, "/MenuBar", "com.canonical.dbusmenu",
                        "ItemsPropertiesUpdated", m_gnome.get(),
                        SLOT(onPropertiesUpdated(QDBusMessage)));
        }
        return *m_gnome;
    }

    QDBusMessage call(const QString& path, const QString& interface, const QString& method,
                      const QVariantList& args)
    {
        const QString at = path == "/StatusNotifierItem" ? m_watcher.path : path;
        QDBusMessage m = QDBusMessage::createMethodCall(m_watcher.service, at, interface, method);
        m.setArguments(args);
        return QDBusConnection::sessionBus().call(m, QDBus::Block, 5000);
    }

    void props()
    {
        const QDBusMessage reply = call("/StatusNotifierItem", "org.freedesktop.DBus.Properties",
                                        "GetAll", {QString("org.kde.StatusNotifierItem")});
        if (reply.type() != QDBusMessage::ReplyMessage)
            return say("props error " + reply.errorMessage());
        const QVariantMap map = qdbus_cast<QVariantMap>(reply.arguments().value(0));
        QJsonObject o;
        for (const char* key : {"Id", "Category", "Status", "Title", "IconName", "IconThemePath",
                                "XAyatanaLabel", "XAyatanaLabelGuide"})
            o.insert(key, map.value(key).toString());
        o.insert("ItemIsMenu", map.value("ItemIsMenu").toBool());
        o.insert("Menu", qdbus_cast<QDBusObjectPath>(map.value("Menu")).path());
        const auto pixmaps = qdbus_cast<SniIconPixmapList>(map.value("IconPixmap"));
        o.insert("IconPixmapCount", int(pixmaps.size()));
        o.insert("IconPixmapBytesRight",
                 !pixmaps.isEmpty() && pixmaps.first().bytes.size() ==
                                           pixmaps.first().width * pixmaps.first().height * 4);
        o.insert("ToolTipDescription", qdbus_cast<SniToolTip>(map.value("ToolTip")).description);
        say("props " + QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact)));
    }

    void layout()
    {
        const QDBusMessage shown = call("/MenuBar", "com.canonical.dbusmenu", "AboutToShow", {0});
        const QDBusMessage reply =
            call("/MenuBar", "com.canonical.dbusmenu", "GetLayout", {0, -1, QStringList()});
        if (reply.type() != QDBusMessage::ReplyMessage)
            return say("layout error " + reply.errorMessage());
        const auto root = qdbus_cast<DBusMenuLayoutItem>(reply.arguments().value(1));
        QJsonArray items;
        for (const DBusMenuLayoutItem& child : root.children) {
            if (child.properties.value("visible", true).toBool())
                items.append(shownEntry(child.properties));
            m_ids.insert(child.properties.value("label").toString(), child.id);
        }
        say(QString("layout %1 ").arg(shown.arguments().value(0).toBool() ? "rebuilt" : "kept") +
            QString::fromUtf8(QJsonDocument(items).toJson(QJsonDocument::Compact)));
    }

    void event(int id, const QString& name, const QString& tag)
    {
        const QDBusMessage reply = call("/MenuBar", "com.canonical.dbusmenu", "Event",
                                        {id, name, QVariant::fromValue(QDBusVariant(0)), 0u});
        say(tag + (reply.type() == QDBusMessage::ReplyMessage ? " ok" : " error"));
    }

    // The group calls, as panels that batch their events use them, and what introspection says.
    void groups(int id)
    {
        const QDBusMessage xml =
            call("/MenuBar", "org.freedesktop.DBus.Introspectable", "Introspect", {});
        const QString text = xml.arguments().value(0).toString();
        const DBusMenuEventList events{{id, QString("clicked"), QDBusVariant(0), 0u},
                                       {9999, QString("clicked"), QDBusVariant(0), 0u}};
        const QDBusMessage group =
            call("/MenuBar", "com.canonical.dbusmenu", "EventGroup", {QVariant::fromValue(events)});
        const QDBusMessage shown = call("/MenuBar", "com.canonical.dbusmenu", "AboutToShowGroup",
                                        {QVariant::fromValue(QList<int>{0, 9999})});
        auto ints = [](const QVariant& v) {
            QStringList out;
            for (int i : qdbus_cast<QList<int>>(v))
                out << QString::number(i);
            return out.join(',');
        };
        QStringList introspected;
        for (const char* member : {"EventGroup", "AboutToShowGroup", "GetGroupProperties",
                                   "ItemsPropertiesUpdated", "LayoutUpdated"})
            if (text.contains(QString("name=\"%1\"").arg(member)))
                introspected << member;
        say(QString("groups introspected:%1 eventGroupErrors:%2 updated:%3 idErrors:%4")
                .arg(introspected.join(','),
                     group.type() == QDBusMessage::ReplyMessage ? ints(group.arguments().value(0))
                                                                : group.errorName(),
                     shown.type() == QDBusMessage::ReplyMessage ? ints(shown.arguments().value(0))
                                                                : shown.errorName(),
                     ints(shown.arguments().value(1))));
    }

    void bad()
    {
        int errors = 0;
        const QString menu = "com.canonical.dbusmenu";
        errors += call("/MenuBar", menu, "Event",
                       {9999, QString("clicked"), QVariant::fromValue(QDBusVariant(0)), 0u})
                      .type() == QDBusMessage::ErrorMessage;
        errors += call("/MenuBar", menu, "GetProperty", {9999, QString("label")}).type() ==
                  QDBusMessage::ErrorMessage;
        errors += call("/MenuBar", menu, "GetLayout", {4242, -1, QStringList()}).type() ==
                  QDBusMessage::ErrorMessage;
        errors += call("/MenuBar", menu, "Event", {QString("not an id")}).type() ==
                  QDBusMessage::ErrorMessage;
        errors +=
            call("/StatusNotifierItem", "org.kde.StatusNotifierItem", "Activate", {1, 2}).type() ==
            QDBusMessage::ErrorMessage; // a valid call: no error
        say(QString("bad %1").arg(errors));
    }

    Watcher& m_watcher;
    QHash<QString, int> m_ids; // by label, from the last layout read
    std::unique_ptr<GnomeMenu> m_gnome;
    QString m_gnomeService;
};

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    registerPanelDBusTypes();
    QDBusConnection bus = QDBusConnection::sessionBus();
    Watcher watcher;
    if (app.arguments().contains("--reader")) {
        // A real desktop's watcher holds the item: read its first item as that desktop would.
        QDBusMessage get = QDBusMessage::createMethodCall("org.kde.StatusNotifierWatcher",
                                                          "/StatusNotifierWatcher",
                                                          "org.freedesktop.DBus.Properties", "Get");
        get << QString("org.kde.StatusNotifierWatcher") << QString("RegisteredStatusNotifierItems");
        const QDBusMessage reply = bus.call(get, QDBus::Block, 5000);
        const QStringList items =
            qdbus_cast<QStringList>(reply.arguments().value(0).value<QDBusVariant>().variant());
        const QString item = items.value(0);
        const qsizetype slash = item.indexOf('/');
        watcher.service = slash < 0 ? item : item.left(slash);
        if (watcher.service.endsWith('@')) // GNOME's extension: ":1.42@/StatusNotifierItem"
            watcher.service.chop(1);
        watcher.path = slash < 0 ? QString("/StatusNotifierItem") : item.mid(slash);
        say("reading " + item);
    } else if (!bus.registerObject("/StatusNotifierWatcher", &watcher,
                                   QDBusConnection::ExportAllSlots |
                                       QDBusConnection::ExportAllProperties |
                                       QDBusConnection::ExportAllSignals) ||
               !bus.registerService("org.kde.StatusNotifierWatcher")) {
        say("cannot become the watcher");
        return 1;
    }
    bus.connect(QString(), "/StatusNotifierItem", "org.kde.StatusNotifierItem", "XAyatanaNewLabel",
                &watcher, SLOT(onLabel(QString, QString)));
    bus.connect(QString(), "/StatusNotifierItem", "org.kde.StatusNotifierItem", "NewToolTip",
                &watcher, SLOT(onToolTip()));
    Host host(watcher);
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QByteArray pending;
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char buffer[512];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n <= 0)
            return QCoreApplication::quit();
        pending.append(buffer, n);
        int end;
        while ((end = pending.indexOf('\n')) >= 0) {
            const QString line = QString::fromUtf8(pending.left(end));
            pending.remove(0, end + 1);
            host.run(line);
        }
    });
    say("ready");
    return app.exec();
}

#include "panel_host.moc"
