#include "DBusMenuExporter.h"

#include <QAction>
#include <QBuffer>
#include <QMenu>
#include <QTimer>

DBusMenuExporter::DBusMenuExporter(QDBusConnection bus, QString path, QObject* parent)
    : QObject(parent), m_bus(std::move(bus)), m_path(std::move(path))
{
    registerPanelDBusTypes();
    m_registered =
        m_bus.registerObject(m_path, this,
                             QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals |
                                 QDBusConnection::ExportAllProperties);
}

DBusMenuExporter::~DBusMenuExporter()
{
    if (m_registered)
        m_bus.unregisterObject(m_path);
}

void DBusMenuExporter::setMenu(QMenu* menu)
{
    if (m_menu == menu)
        return;
    m_menu = menu;
    ++m_revision;
    emit LayoutUpdated(m_revision, 0);
}

QVariantMap DBusMenuExporter::propertiesOf(const QAction* action)
{
    QVariantMap p;
    if (action->isSeparator()) {
        p.insert(QStringLiteral("type"), QStringLiteral("separator"));
    } else {
        // Qt marks mnemonics with "&", the protocol with "_"; a literal "_" is doubled.
        QString label = action->text();
        label.replace(QLatin1Char('_'), QStringLiteral("__"));
        label.replace(QStringLiteral("&&"), QStringLiteral("\x01"));
        label.replace(QLatin1Char('&'), QLatin1Char('_'));
        label.replace(QLatin1Char('\x01'), QLatin1Char('&'));
        p.insert(QStringLiteral("label"), label);
        if (!action->icon().isNull()) {
            QByteArray png;
            QBuffer buffer(&png);
            buffer.open(QIODevice::WriteOnly);
            action->icon().pixmap(16, 16).save(&buffer, "PNG");
            p.insert(QStringLiteral("icon-data"), png);
        }
    }
    p.insert(QStringLiteral("enabled"), action->isEnabled());
    p.insert(QStringLiteral("visible"), action->isVisible());
    return p;
}

QAction* DBusMenuExporter::actionFor(int id) const
{
    if (!m_menu || id < 1)
        return nullptr;
    const QList<QAction*> actions = m_menu->actions();
    return id <= actions.size() ? actions[id - 1] : nullptr;
}

QVariantMap DBusMenuExporter::filtered(const QVariantMap& properties,
                                       const QStringList& names) const
{
    if (names.isEmpty())
        return properties;
    QVariantMap kept;
    for (const QString& name : names)
        if (properties.contains(name))
            kept.insert(name, properties.value(name));
    return kept;
}

void DBusMenuExporter::rebuild()
{
    if (!m_menu)
        return;
    // The menu's owner refills it from the latest figures.
    QMetaObject::invokeMethod(m_menu, "aboutToShow", Qt::DirectConnection);
    ++m_revision;
    emit LayoutUpdated(m_revision, 0);
}

uint DBusMenuExporter::GetLayout(int parentId, int recursionDepth, const QStringList& names,
                                 DBusMenuLayoutItem& layout)
{
    Q_UNUSED(recursionDepth); // the menu is flat: one level below the root
    layout = DBusMenuLayoutItem{};
    layout.id = parentId;
    if (parentId == 0) {
        layout.properties.insert(QStringLiteral("children-display"), QStringLiteral("submenu"));
        if (m_menu) {
            const QList<QAction*> actions = m_menu->actions();
            for (int i = 0; i < actions.size(); ++i)
                layout.children << DBusMenuLayoutItem{
                    i + 1, filtered(propertiesOf(actions[i]), names), {}};
        }
    } else if (const QAction* action = actionFor(parentId)) {
        layout.properties = filtered(propertiesOf(action), names);
    } else if (calledFromDBus()) {
        sendErrorReply(QDBusError::InvalidArgs,
                       QStringLiteral("unknown menu item %1").arg(parentId));
    }
    return m_revision;
}

DBusMenuItemList DBusMenuExporter::GetGroupProperties(const QList<int>& ids,
                                                      const QStringList& names)
{
    DBusMenuItemList items;
    QList<int> wanted = ids;
    if (wanted.isEmpty() && m_menu)
        for (int i = 1; i <= m_menu->actions().size(); ++i)
            wanted << i;
    for (int id : wanted) {
        if (id == 0)
            items << DBusMenuItem{
                0,
                filtered({{QStringLiteral("children-display"), QStringLiteral("submenu")}}, names)};
        else if (const QAction* action = actionFor(id))
            items << DBusMenuItem{id, filtered(propertiesOf(action), names)};
    }
    return items;
}

QDBusVariant DBusMenuExporter::GetProperty(int id, const QString& name)
{
    const QAction* action = actionFor(id);
    const QVariantMap properties = action ? propertiesOf(action) : QVariantMap();
    if (!properties.contains(name) && calledFromDBus())
        sendErrorReply(QDBusError::InvalidArgs,
                       QStringLiteral("no property %1 on menu item %2").arg(name).arg(id));
    return QDBusVariant(properties.value(name, QString()));
}

bool DBusMenuExporter::handleEvent(int id, const QString& eventId)
{
    if (eventId == QLatin1String("opened")) {
        if (id == 0)
            rebuild();
        return id == 0 || actionFor(id);
    }
    if (eventId != QLatin1String("clicked"))
        return id == 0 || actionFor(id); // "hovered", "closed": nothing to do
    QAction* action = actionFor(id);
    if (!action)
        return false;
    if (action->isEnabled() && !action->isSeparator()) {
        // After the reply: an action may open a modal alert.
        QTimer::singleShot(0, action, &QAction::trigger);
    }
    return true;
}

void DBusMenuExporter::Event(int id, const QString& eventId, const QDBusVariant&, uint)
{
    if (!handleEvent(id, eventId) && calledFromDBus())
        sendErrorReply(QDBusError::InvalidArgs, QStringLiteral("unknown menu item %1").arg(id));
}

QList<int> DBusMenuExporter::EventGroup(const QList<DBusMenuEvent>& events)
{
    QList<int> errors;
    for (const DBusMenuEvent& event : events)
        if (!handleEvent(event.id, event.eventId))
            errors << event.id;
    return errors;
}

bool DBusMenuExporter::AboutToShow(int id)
{
    if (id != 0)
        return false;
    rebuild();
    return true;
}

QList<int> DBusMenuExporter::AboutToShowGroup(const QList<int>& ids, QList<int>& idErrors)
{
    QList<int> updated;
    for (int id : ids) {
        if (id == 0 && AboutToShow(0))
            updated << 0;
        else if (id != 0 && !actionFor(id))
            idErrors << id;
    }
    return updated;
}
