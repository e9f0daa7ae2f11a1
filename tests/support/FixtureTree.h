#pragma once

#include "support/TestKit.h"
#include <QList>
#include <QString>
#include <tuple>

// A throw-away folder standing in for the root of a system: /proc and /sys files are written
// into it with the content a test needs.
class FixtureTree {
public:
    QString root() const { return m_dir.path(); }

    void write(const QString& relativePath, const QByteArray& content)
    {
        const QString path = m_dir.filePath(relativePath);
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile file(path);
        if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            file.write(content);
    }

    void remove(const QString& relativePath) { QFile::remove(m_dir.filePath(relativePath)); }

    // A network link as sysfs shows it: /sys/class/net/NAME is a relative symbolic link to the
    // link's folder under /sys/devices ("virtual/net/NAME" for virtual links, else the device's
    // path), and hardware links hold a "device" link to their device. A devicePath of
    // "virtual" is a virtual link that holds one all the same (a macvtap over a port).
    void addNetLink(const QString& name, const QString& devicePath)
    {
        const bool virtualLink = devicePath.isEmpty() || devicePath == QLatin1String("virtual");
        const QString folder = virtualLink
                                   ? QString("sys/devices/virtual/net/") + name
                                   : QString("sys/devices/") + devicePath + QString("/net/") + name;
        QDir().mkpath(m_dir.filePath(folder));
        QDir().mkpath(m_dir.filePath(QString("sys/class/net")));
        QFile::link(QString("../../") + folder.mid(4),
                    m_dir.filePath(QString("sys/class/net/") + name));
        if (!devicePath.isEmpty())
            QFile::link(QString("../../../") + devicePath.section('/', -1),
                        m_dir.filePath(folder + QString("/device")));
        write(folder + QString("/operstate"), "up\n");
    }

    // /proc/net/dev with one line per interface: name, received and sent bytes.
    void writeNetDevLines(const QList<std::tuple<QByteArray, quint64, quint64>>& links)
    {
        QByteArray text = "Inter-|   Receive                    |  Transmit\n"
                          " face |bytes    packets errs drop ...|bytes    packets errs ...\n";
        for (const auto& [name, down, up] : links)
            text += "  " + name + ": " + QByteArray::number(down) + " 10 0 0 0 0 0 0 " +
                    QByteArray::number(up) + " 10 0 0 0 0 0 0\n";
        write("proc/net/dev", text);
    }
    // The loopback and one link.
    void writeNetDev(quint64 down, quint64 up)
    {
        writeNetDevLines({{"lo", 9999, 9999}, {"eth0", down, up}});
    }

    // Busy and idle ticks, in the total line and one processor's.
    void writeStat(quint64 busy, quint64 idle)
    {
        const QByteArray ticks = QByteArray::number(busy) + " 0 0 " + QByteArray::number(idle);
        write("proc/stat",
              "cpu  " + ticks + " 0 0 0 0 0 0\ncpu0 " + ticks + " 0 0 0 0 0 0\nintr 1\n");
    }

    void writeMeminfo(quint64 totalKb, quint64 availableKb)
    {
        write("proc/meminfo", "MemTotal: " + QByteArray::number(totalKb) +
                                  " kB\nMemFree: 1000 kB\nMemAvailable: " +
                                  QByteArray::number(availableKb) + " kB\nBuffers: 100 kB\n");
    }

    void writeSupply(const QString& name, const QMap<QString, QByteArray>& files)
    {
        for (auto it = files.begin(); it != files.end(); ++it)
            write("sys/class/power_supply/" + name + '/' + it.key(), it.value() + '\n');
    }

private:
    QTemporaryDir m_dir;
};
