#include "StatusNotifierItem.h"

#include "GaugeColor.h"

#include "DBusMenuExporter.h"
#include "views/Symbols.h"

#include <QCoreApplication>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QSaveFile>
#include <QStandardPaths>
#include <QTimer>
#include <QtEndian>

#include <algorithm>
#include <cstdio>
#include <unistd.h>

namespace {

SniIconPixmapList gaugePixmaps()
{
    SniIconPixmapList list;
    for (int size : {16, 22, 32, 48}) {
        const QImage image = symbolPixmap(QStringLiteral("gauge.medium"), size, gaugeGrey())
                                 .toImage()
                                 .convertToFormat(QImage::Format_ARGB32);
        if (image.isNull())
            continue;
        SniIconPixmap pixmap{image.width(), image.height(), {}};
        pixmap.bytes.resize(qsizetype(image.width()) * image.height() * 4);
        auto* out = reinterpret_cast<quint32*>(pixmap.bytes.data());
        for (int y = 0; y < image.height(); ++y) {
            const auto* line = reinterpret_cast<const quint32*>(image.constScanLine(y));
            for (int x = 0; x < image.width(); ++x)
                *out++ = qToBigEndian(line[x]); // the protocol wants network byte order
        }
        list << pixmap;
    }
    return list;
}

// Hosts of the Ayatana family look icons up by name only, and Plasma recolours an icon it finds
// by name to its panel's text (the pixmap it would leave grey, barely visible on a light
// panel). Where the application is not installed, the icon is exported into the user's cache
// and that folder is announced as the icon theme path.
QString exportGaugeIcon()
{
    QFile source(QStringLiteral(":/icons/velmoravovir-gauge-symbolic.svg"));
    if (!source.open(QIODevice::ReadOnly))
        return {};
    const QByteArray svg = source.readAll();
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation) +
                           QStringLiteral("/VelmoraVovir/icons");
    const QString path = folder + QStringLiteral("/velmoravovir-gauge-symbolic.svg");
    QFile existing(path);
    if (existing.open(QIODevice::ReadOnly) && existing.readAll() == svg)
        return folder;
    QSaveFile file(path);
    if (!QDir().mkpath(folder) || !file.open(QIODevice::WriteOnly) || file.write(svg) < 0 ||
        !file.commit())
        return {}; // the pixmap still serves the hosts that read it
    return folder;
}

int nextInstance()
{
    static int instance = 0;
    return ++instance;
}

} // namespace

StatusNotifierItem::StatusNotifierItem(QObject* parent)
    : QObject(parent),
      m_serviceName(QStringLiteral("velmoravovir-panel-item-%1").arg(nextInstance())),
      m_bus(QDBusConnection::connectToBus(QDBusConnection::SessionBus, m_serviceName))
{
    registerPanelDBusTypes();
    m_pixmaps = gaugePixmaps();
    m_iconThemePath = exportGaugeIcon();
    m_menuExporter = new DBusMenuExporter(m_bus, QString::fromLatin1(kMenuPath), this);
    m_retry = new QTimer(this);
    m_retry->setSingleShot(true);
    connect(m_retry, &QTimer::timeout, this, &StatusNotifierItem::registerWithWatcher);
    if (!m_bus.registerObject(QString::fromLatin1(kItemPath), this,
                              QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals |
                                  QDBusConnection::ExportAllProperties)) {
        std::fprintf(stderr, "velmoravovir: cannot publish the panel item on D-Bus: %s\n",
                     qPrintable(m_bus.lastError().message()));
        m_loggedFailure = true;
    }
    // A panel that restarts forgets its items: register again whenever the watcher returns.
    m_watcherWatcher = new QDBusServiceWatcher(QString::fromLatin1(kWatcherService), m_bus,
                                               QDBusServiceWatcher::WatchForRegistration |
                                                   QDBusServiceWatcher::WatchForUnregistration,
                                               this);
    connect(m_watcherWatcher, &QDBusServiceWatcher::serviceRegistered, this, [this] {
        m_attempts = 0;
        registerWithWatcher();
    });
    connect(m_watcherWatcher, &QDBusServiceWatcher::serviceUnregistered, this,
            [this] { m_registered = false; });
    // A watcher may also drop an item it had taken (GNOME's extension does when it fails to
    // read it): the item then registers again.
    m_bus.connect(QString::fromLatin1(kWatcherService), QStringLiteral("/StatusNotifierWatcher"),
                  QString::fromLatin1(kWatcherService),
                  QStringLiteral("StatusNotifierItemUnregistered"), this,
                  SLOT(onItemUnregistered(QString)));
    registerWithWatcher();
}

StatusNotifierItem::~StatusNotifierItem()
{
    delete m_menuExporter;
    m_bus.unregisterObject(QString::fromLatin1(kItemPath));
    // Closing the item's own connection is what tells the watcher that the item is gone.
    QDBusConnection::disconnectFromBus(m_serviceName);
}

bool StatusNotifierItem::isOurs(const QString& item) const
{
    // Watchers name an item by its connection and path: ":1.42/StatusNotifierItem" (KDE),
    // ":1.42@/StatusNotifierItem" (GNOME's extension).
    const QString own = m_bus.baseService();
    return !own.isEmpty() && (item == own || item.startsWith(own + QLatin1Char('/')) ||
                              item.startsWith(own + QLatin1Char('@')));
}

void StatusNotifierItem::registerWithWatcher()
{
    QDBusMessage call = QDBusMessage::createMethodCall(
        QString::fromLatin1(kWatcherService), QStringLiteral("/StatusNotifierWatcher"),
        QString::fromLatin1(kWatcherService), QStringLiteral("RegisterStatusNotifierItem"));
    call << QString::fromLatin1(kItemPath);
    // Never wait on the panel from the interface thread.
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        m_registered = !w->isError();
        if (m_registered) {
            // A watcher that answered and then failed to read the item lists it no more.
            constexpr int kSettleMs = 2000;
            QTimer::singleShot(kSettleMs, this, &StatusNotifierItem::checkTheWatcherListsTheItem);
            return;
        }
        // No watcher yet is the usual race at login: the item registers when one appears.
        if (w->error().type() != QDBusError::ServiceUnknown && !m_loggedFailure) {
            m_loggedFailure = true;
            std::fprintf(stderr, "velmoravovir: the panel did not take the item: %s\n",
                         qPrintable(w->error().message()));
        }
    });
}

void StatusNotifierItem::registerAgainLater()
{
    // Quick at first (the watcher's failure is usually a passing race), then seldom.
    constexpr int kFirstRetryMs = 250;
    constexpr int kLongestRetryMs = 30000;
    const int delay = kFirstRetryMs << qMin(m_attempts, 7);
    ++m_attempts;
    m_retry->start(qMin(delay, kLongestRetryMs));
}

void StatusNotifierItem::onItemUnregistered(const QString& item)
{
    if (!isOurs(item))
        return;
    m_registered = false;
    registerAgainLater();
}

void StatusNotifierItem::checkTheWatcherListsTheItem()
{
    if (!m_registered)
        return;
    QDBusMessage get = QDBusMessage::createMethodCall(
        QString::fromLatin1(kWatcherService), QStringLiteral("/StatusNotifierWatcher"),
        QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    get << QString::fromLatin1(kWatcherService) << QStringLiteral("RegisteredStatusNotifierItems");
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(get), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        const QDBusPendingReply<QDBusVariant> reply = *w;
        if (reply.isError() || !m_registered)
            return; // a watcher without the list: its answer to the registration stands
        const QStringList items = qdbus_cast<QStringList>(reply.value().variant());
        if (std::any_of(items.cbegin(), items.cend(),
                        [this](const QString& item) { return isOurs(item); })) {
            m_attempts = 0;
            return;
        }
        m_registered = false;
        registerAgainLater();
    });
}

void StatusNotifierItem::setMenu(QMenu* menu)
{
    m_menuExporter->setMenu(menu);
}

SniToolTip StatusNotifierItem::toolTip() const
{
    m_toolTipRead = true;
    // The text, and under it the main details: made only for a panel that reads them.
    QString body = m_label;
    if (m_toolTipLines)
        for (const QString& line : m_toolTipLines())
            body += QLatin1Char('\n') + line;
    return {iconName(), {}, title(), body};
}

void StatusNotifierItem::setLabel(const QString& label, const QString& guide)
{
    if (label == m_label && guide == m_guide)
        return;
    m_label = label;
    m_guide = guide;
    // Sent as messages built here rather than emitted: Qt's relay of an exported signal looks
    // its parameters up again and hands them to the bus thread as variants, at every tick.
    const QString path = QString::fromLatin1(kItemPath);
    const QString interface = QString::fromLatin1(kItemInterface);
    // The tooltip's news only while some host reads the tooltip: each message wakes the bus
    // thread, and GNOME's extension, which takes the label from its signal, never reads it. A
    // host that reads it on this signal (Plasma) keeps it coming; one that reads it later gets
    // the text of that moment.
    if (m_toolTipRead) {
        m_toolTipRead = false;
        m_bus.send(QDBusMessage::createSignal(path, interface, QStringLiteral("NewToolTip")));
    }
    m_bus.send(QDBusMessage::createSignal(path, interface, QStringLiteral("XAyatanaNewLabel"))
               << m_label << m_guide);
}

void StatusNotifierItem::showText(const QString& text, const QString& guide)
{
    setLabel(text, guide);
}

void StatusNotifierItem::showGauge()
{
    setLabel(QString(), QString());
}

void StatusNotifierItem::ContextMenu(int, int) {}
void StatusNotifierItem::Activate(int, int)
{
    if (calledFromDBus())
        sendErrorReply(QDBusError::NotSupported,
                       QStringLiteral("the item's menu is its only action"));
}
void StatusNotifierItem::SecondaryActivate(int, int) {}
void StatusNotifierItem::Scroll(int, const QString&) {}
