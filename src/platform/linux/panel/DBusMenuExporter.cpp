#include "DBusMenuExporter.h"

#include <QAction>
#include <QActionEvent>
#include <QBuffer>
#include <QMenu>
#include <QTimer>

#include <climits>
#include <functional>

DBusMenuExporter::DBusMenuExporter(QDBusConnection bus, QString path, QObject* parent)
    : QObject(parent), m_bus(std::move(bus)), m_path(std::move(path))
{
    registerPanelDBusTypes();
    m_announceLater = new QTimer(this);
    m_announceLater->setSingleShot(true);
    m_announceLater->setInterval(0);
    connect(m_announceLater, &QTimer::timeout, this, &DBusMenuExporter::announce);
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
    if (m_menu)
        m_menu->removeEventFilter(this);
    m_menu = menu;
    if (m_menu)
        m_menu->installEventFilter(this);
    announce();
}

bool DBusMenuExporter::eventFilter(QObject* watched, QEvent* event)
{
    if (qobject_cast<QMenu*>(watched)) { // the root or a submenu
        switch (event->type()) {
        case QEvent::ActionRemoved:
            // Forgotten at once: a later action at the same address is another entry.
            m_ids.remove(static_cast<QActionEvent*>(event)->action());
            m_announceLater->start();
            break;
        case QEvent::ActionAdded:
        case QEvent::ActionChanged:
            m_announceLater->start();
            break;
        default:
            break;
        }
    }
    return QObject::eventFilter(watched, event);
}

int DBusMenuExporter::idOf(QAction* action)
{
    auto found = m_ids.constFind(action);
    if (found != m_ids.constEnd())
        return *found;
    const int id = m_nextId++;
    m_ids.insert(action, id);
    return id;
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
    if (action->menu())
        p.insert(QStringLiteral("children-display"), QStringLiteral("submenu"));
    p.insert(QStringLiteral("enabled"), action->isEnabled());
    p.insert(QStringLiteral("visible"), action->isVisible());
    return p;
}

QList<QAction*> DBusMenuExporter::entriesOf(int parentId) const
{
    if (parentId == 0)
        return m_menu ? m_menu->actions() : QList<QAction*>();
    const QAction* parent = actionFor(parentId);
    return parent && parent->menu() ? parent->menu()->actions() : QList<QAction*>();
}

QList<std::pair<QAction*, int>> DBusMenuExporter::allEntries()
{
    QList<std::pair<QAction*, int>> all;
    std::function<void(QMenu*, int)> walk = [&](QMenu* menu, int parent) {
        for (QAction* action : menu->actions()) {
            all.append({action, parent});
            if (QMenu* sub = action->menu()) {
                sub->installEventFilter(this); // once: a filter installed again only moves
                walk(sub, idOf(action));
            }
        }
    };
    if (m_menu)
        walk(m_menu, 0);
    return all;
}

QAction* DBusMenuExporter::actionFor(int id) const
{
    if (!m_menu || id < 1)
        return nullptr;
    const QAction* key = m_ids.key(id, nullptr);
    // Only an entry still in the menu: a submenu's entries may have been cleared.
    std::function<QAction*(const QMenu*)> find = [&](const QMenu* menu) -> QAction* {
        for (QAction* action : menu->actions()) {
            if (action == key)
                return action;
            if (action->menu())
                if (QAction* found = find(action->menu()))
                    return found;
        }
        return nullptr;
    };
    return key ? find(m_menu) : nullptr;
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

bool DBusMenuExporter::announce()
{
    m_announceLater->stop();
    QList<std::pair<int, int>> ids;
    QHash<int, QVariantMap> properties;
    for (const auto& [action, parent] : allEntries()) {
        const int id = idOf(action);
        ids.append({id, parent});
        properties.insert(id, propertiesOf(action));
    }
    // Changed properties of entries the panel knows, then a changed set of entries: a panel
    // reads only the new entries' properties when the layout changes (GNOME's extension).
    QList<DBusMenuItem> updated;
    QList<DBusMenuItemKeys> removed;
    for (const auto& [id, parent] : ids) {
        const auto before = m_announced.find(id);
        if (before == m_announced.end())
            continue; // new: read with the layout
        const QVariantMap& now = properties[id];
        if (now == *before)
            continue;
        QVariantMap changed;
        for (auto it = now.cbegin(); it != now.cend(); ++it)
            if (before->value(it.key()) != it.value())
                changed.insert(it.key(), it.value());
        QStringList gone;
        for (auto it = before->cbegin(); it != before->cend(); ++it)
            if (!now.contains(it.key()))
                gone << it.key();
        if (!changed.isEmpty())
            updated << DBusMenuItem{id, changed};
        if (!gone.isEmpty())
            removed << DBusMenuItemKeys{id, gone};
    }
    m_announced = properties;
    if (!updated.isEmpty() || !removed.isEmpty())
        emit ItemsPropertiesUpdated(updated, removed);
    if (ids == m_announcedIds)
        return false;
    m_announcedIds = ids;
    ++m_revision;
    emit LayoutUpdated(m_revision, 0);
    return true;
}

bool DBusMenuExporter::refreshForOpening()
{
    // GNOME sends "opened" and then AboutToShow for one opening: the menu updates once.
    constexpr qint64 kOneOpeningMs = 1000;
    if (!m_menu || (!m_closedSinceRefresh && m_lastRefresh.isValid() &&
                    m_lastRefresh.elapsed() < kOneOpeningMs))
        return false;
    m_lastRefresh.start();
    m_closedSinceRefresh = false;
    // The menu's owner updates it from the latest figures.
    QMetaObject::invokeMethod(m_menu, "aboutToShow", Qt::DirectConnection);
    // Announced before the reply, so the panel shows the new figures in this opening.
    return announce();
}

DBusMenuLayoutItem DBusMenuExporter::layoutOf(int parentId, int depth, const QStringList& names)
{
    DBusMenuLayoutItem layout{parentId, {}, {}};
    if (parentId == 0)
        layout.properties.insert(QStringLiteral("children-display"), QStringLiteral("submenu"));
    else if (const QAction* action = actionFor(parentId))
        layout.properties = filtered(propertiesOf(action), names);
    if (depth != 0)
        for (QAction* action : entriesOf(parentId)) {
            const int id = idOf(action);
            layout.children << (action->menu()
                                    ? layoutOf(id, depth - 1, names)
                                    : DBusMenuLayoutItem{
                                          id, filtered(propertiesOf(action), names), {}});
        }
    return layout;
}

uint DBusMenuExporter::GetLayout(int parentId, int recursionDepth, const QStringList& names,
                                 DBusMenuLayoutItem& layout)
{
    if (parentId != 0 && !actionFor(parentId)) {
        layout = DBusMenuLayoutItem{};
        layout.id = parentId;
        if (calledFromDBus())
            sendErrorReply(QDBusError::InvalidArgs,
                           QStringLiteral("unknown menu item %1").arg(parentId));
        return m_revision;
    }
    layout = layoutOf(parentId, recursionDepth < 0 ? INT_MAX : recursionDepth, names);
    return m_revision;
}

QList<DBusMenuItem> DBusMenuExporter::GetGroupProperties(const QList<int>& ids,
                                                         const QStringList& names)
{
    QList<DBusMenuItem> items;
    QList<int> wanted = ids;
    if (wanted.isEmpty())
        for (const auto& [action, parent] : allEntries())
            wanted << idOf(action);
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
            refreshForOpening();
        return id == 0 || actionFor(id);
    }
    if (eventId == QLatin1String("closed") && id == 0)
        m_closedSinceRefresh = true;
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
    // True only when the panel must read the layout again: changed texts were announced.
    return id == 0 && refreshForOpening();
}

QList<int> DBusMenuExporter::AboutToShowGroup(const QList<int>& ids, QList<int>& idErrors)
{
    QList<int> updated;
    for (int id : ids) {
        if (id == 0) {
            if (AboutToShow(0))
                updated << 0;
        } else if (id != 0 && !actionFor(id))
            idErrors << id;
    }
    return updated;
}
