// Plays a desktop panel on the session bus, in its own process: the StatusNotifierWatcher that
// items register with, and the host that reads an item and drives its dbusmenu. Commands come
// one a line on stdin; results go one a line to stdout.
#include "platform/linux/panel/DBusTypes.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusInterface>
#include <QDBusMessage>
#include <QDBusReply>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSocketNotifier>

#include <cstdio>
#include <unistd.h>

namespace {

void say(const QString& line)
{
    std::printf("%s\n", line.toUtf8().constData());
    std::fflush(stdout);
}

} // namespace

class Watcher final : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ hostRegistered)
    Q_PROPERTY(int ProtocolVersion READ protocolVersion)
    Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ items)
public:
    QString service;
    bool hostRegistered() const { return true; }
    int protocolVersion() const { return 0; }
    QStringList items() const { return service.isEmpty() ? QStringList() : QStringList{service}; }

public slots:
    void RegisterStatusNotifierItem(const QString& item)
    {
        service = item;
        say("registered " + item);
    }
    void RegisterStatusNotifierHost(const QString&) {}
    void onLabel(const QString& label, const QString& guide)
    {
        say("label " + label + "|" + guide);
    }

signals:
    void StatusNotifierItemRegistered(const QString& item);
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
            event(words.value(1).toInt(), "clicked", "click");
        else if (command == "opened")
            event(0, "opened", "opened");
        else if (command == "bad")
            bad();
        else if (command == "groups")
            groups(words.value(1).toInt());
        else if (command == "quit")
            QCoreApplication::quit();
    }

private:
    QDBusMessage call(const QString& path, const QString& interface, const QString& method,
                      const QVariantList& args)
    {
        QDBusMessage m = QDBusMessage::createMethodCall(m_watcher.service, path, interface, method);
        m.setArguments(args);
        return QDBusConnection::sessionBus().call(m, QDBus::Block, 5000);
    }

    void props()
    {
        const QDBusMessage reply = call("/StatusNotifierItem", "org.freedesktop.DBus.Properties",
                                        "GetAll", {QStringLiteral("org.kde.StatusNotifierItem")});
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
            QJsonObject item{{"id", child.id},
                             {"type", child.properties.value("type", "standard").toString()},
                             {"label", child.properties.value("label").toString()},
                             {"enabled", child.properties.value("enabled", true).toBool()}};
            items.append(item);
        }
        say(QStringLiteral("layout %1 ")
                .arg(shown.arguments().value(0).toBool() ? "rebuilt" : "kept") +
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
        const DBusMenuEventList events{{id, QStringLiteral("clicked"), QDBusVariant(0), 0u},
                                       {9999, QStringLiteral("clicked"), QDBusVariant(0), 0u}};
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
        say(QStringLiteral("groups introspected:%1,%2 eventGroupErrors:%3 updated:%4 idErrors:%5")
                .arg(text.contains("name=\"EventGroup\"") ? "EventGroup" : "-",
                     text.contains("name=\"AboutToShowGroup\"") ? "AboutToShowGroup" : "-",
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
                       {9999, QStringLiteral("clicked"), QVariant::fromValue(QDBusVariant(0)), 0u})
                      .type() == QDBusMessage::ErrorMessage;
        errors += call("/MenuBar", menu, "GetProperty", {9999, QStringLiteral("label")}).type() ==
                  QDBusMessage::ErrorMessage;
        errors += call("/MenuBar", menu, "GetLayout", {4242, -1, QStringList()}).type() ==
                  QDBusMessage::ErrorMessage;
        errors += call("/MenuBar", menu, "Event", {QStringLiteral("not an id")}).type() ==
                  QDBusMessage::ErrorMessage;
        errors +=
            call("/StatusNotifierItem", "org.kde.StatusNotifierItem", "Activate", {1, 2}).type() ==
            QDBusMessage::ErrorMessage; // a valid call: no error
        say(QStringLiteral("bad %1").arg(errors));
    }

    Watcher& m_watcher;
};

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    registerPanelDBusTypes();
    QDBusConnection bus = QDBusConnection::sessionBus();
    Watcher watcher;
    if (!bus.registerObject("/StatusNotifierWatcher", &watcher,
                            QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllProperties |
                                QDBusConnection::ExportAllSignals) ||
        !bus.registerService("org.kde.StatusNotifierWatcher")) {
        say("cannot become the watcher");
        return 1;
    }
    bus.connect(QString(), "/StatusNotifierItem", "org.kde.StatusNotifierItem", "XAyatanaNewLabel",
                &watcher, SLOT(onLabel(QString, QString)));
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
