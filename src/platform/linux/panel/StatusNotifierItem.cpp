#include "StatusNotifierItem.h"

#include "GaugeColor.h"

#include "DBusMenuExporter.h"
#include "views/Symbols.h"

#include <QCoreApplication>
#include <QDBusConnectionInterface>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QSaveFile>
#include <QStandardPaths>
#include <QtEndian>

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

// Hosts of the Ayatana family look icons up by name only. Where the application is not
// installed, the gauge is exported into the user's cache and that folder is announced as the
// icon theme path. Its colour is the symbolic grey, which hosts recolour to the panel's text.
QString exportGaugeIcon()
{
    QFile source(QStringLiteral(":/symbols/gauge.medium.svg"));
    if (!source.open(QIODevice::ReadOnly))
        return {};
    const QByteArray svg = source.readAll().replace("#000", gaugeGrey().name().toLatin1());
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

StatusNotifierItem::StatusNotifierItem(QDBusConnection bus, QObject* parent)
    : QObject(parent), m_bus(std::move(bus)),
      m_serviceName(QStringLiteral("org.kde.StatusNotifierItem-%1-%2")
                        .arg(QCoreApplication::applicationPid())
                        .arg(nextInstance()))
{
    registerPanelDBusTypes();
    m_pixmaps = gaugePixmaps();
    m_iconThemePath = exportGaugeIcon();
    m_menuExporter = new DBusMenuExporter(m_bus, QString::fromLatin1(kMenuPath), this);
    const bool exported =
        m_bus.registerObject(QString::fromLatin1(kItemPath), this,
                             QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals |
                                 QDBusConnection::ExportAllProperties);
    if (!exported || !m_bus.registerService(m_serviceName)) {
        std::fprintf(stderr, "velmoravovir: cannot publish the panel item on D-Bus: %s\n",
                     qPrintable(m_bus.lastError().message()));
        m_loggedFailure = true;
    }
    // A panel that restarts forgets its items: register again whenever the watcher returns.
    m_watcherWatcher = new QDBusServiceWatcher(QString::fromLatin1(kWatcherService), m_bus,
                                               QDBusServiceWatcher::WatchForRegistration |
                                                   QDBusServiceWatcher::WatchForUnregistration,
                                               this);
    connect(m_watcherWatcher, &QDBusServiceWatcher::serviceRegistered, this,
            &StatusNotifierItem::registerWithWatcher);
    connect(m_watcherWatcher, &QDBusServiceWatcher::serviceUnregistered, this,
            [this] { m_registered = false; });
    registerWithWatcher();
}

StatusNotifierItem::~StatusNotifierItem()
{
    m_bus.unregisterObject(QString::fromLatin1(kItemPath));
    m_bus.unregisterService(m_serviceName);
}

void StatusNotifierItem::registerWithWatcher()
{
    QDBusMessage call = QDBusMessage::createMethodCall(
        QString::fromLatin1(kWatcherService), QStringLiteral("/StatusNotifierWatcher"),
        QString::fromLatin1(kWatcherService), QStringLiteral("RegisterStatusNotifierItem"));
    call << m_serviceName;
    // Never wait on the panel from the interface thread.
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        m_registered = !w->isError();
        // No watcher yet is the usual race at login: the item registers when one appears.
        if (w->isError() && w->error().type() != QDBusError::ServiceUnknown && !m_loggedFailure) {
            m_loggedFailure = true;
            std::fprintf(stderr, "velmoravovir: the panel did not take the item: %s\n",
                         qPrintable(w->error().message()));
        }
    });
}

void StatusNotifierItem::setMenu(QMenu* menu)
{
    m_menuExporter->setMenu(menu);
}

SniToolTip StatusNotifierItem::toolTip() const
{
    return {iconName(), {}, title(), m_label};
}

void StatusNotifierItem::setLabel(const QString& label, const QString& guide)
{
    if (label == m_label && guide == m_guide)
        return;
    m_label = label;
    m_guide = guide;
    emit XAyatanaNewLabel(m_label, m_guide);
    emit NewToolTip();
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
void StatusNotifierItem::Activate(int, int) {}
void StatusNotifierItem::SecondaryActivate(int, int) {}
void StatusNotifierItem::Scroll(int, const QString&) {}
