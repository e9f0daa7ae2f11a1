#pragma once

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QString>
#include <QTemporaryDir>
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
        const QString folder = virtualLink ? QStringLiteral("sys/devices/virtual/net/") + name
                                           : QStringLiteral("sys/devices/") + devicePath +
                                                 QStringLiteral("/net/") + name;
        QDir().mkpath(m_dir.filePath(folder));
        QDir().mkpath(m_dir.filePath(QStringLiteral("sys/class/net")));
        QFile::link(QStringLiteral("../../") + folder.mid(4),
                    m_dir.filePath(QStringLiteral("sys/class/net/") + name));
        if (!devicePath.isEmpty())
            QFile::link(QStringLiteral("../../../") + devicePath.section('/', -1),
                        m_dir.filePath(folder + QStringLiteral("/device")));
        write(folder + QStringLiteral("/operstate"), "up\n");
    }

    // /proc/net/dev with one line per interface: name, received and sent bytes.
    void writeNetDevLines(const QList<std::tuple<QByteArray, quint64, quint64>>& links)
    {
        QByteArray text = "Inter-|   Receive\n face |bytes\n";
        for (const auto& [name, down, up] : links)
            text += name + ": " + QByteArray::number(down) + " 0 0 0 0 0 0 0 " +
                    QByteArray::number(up) + " 0 0 0 0 0 0 0\n";
        write(QStringLiteral("proc/net/dev"), text);
    }

    void writeStat(quint64 user, quint64 system, quint64 idle, quint64 nice = 0)
    {
        write(QStringLiteral("proc/stat"), QStringLiteral("cpu  %1 %2 %3 %4 0 0 0 0 0 0\n"
                                                          "cpu0 %1 %2 %3 %4 0 0 0 0 0 0\n"
                                                          "intr 1 2 3\n")
                                               .arg(user)
                                               .arg(nice)
                                               .arg(system)
                                               .arg(idle)
                                               .toLatin1());
    }

    void writeMeminfo(quint64 totalKb, quint64 availableKb)
    {
        write(QStringLiteral("proc/meminfo"),
              QStringLiteral("MemTotal:       %1 kB\nMemFree:         1000 kB\n"
                             "MemAvailable:   %2 kB\nBuffers:          100 kB\n")
                  .arg(totalKb)
                  .arg(availableKb)
                  .toLatin1());
    }

    void writeNetDev(quint64 down, quint64 up, const QByteArray& name = "eth0")
    {
        write(QStringLiteral("proc/net/dev"),
              "Inter-|   Receive                                                |  Transmit\n"
              " face |bytes    packets errs drop fifo frame compressed multicast|bytes    packets "
              "errs drop fifo colls carrier compressed\n"
              "    lo: 999999 10 0 0 0 0 0 0 999999 10 0 0 0 0 0 0\n"
              "  " +
                  name + ": " + QByteArray::number(down) + " 10 0 0 0 0 0 0 " +
                  QByteArray::number(up) + " 10 0 0 0 0 0 0\n");
    }

    void writeSupply(const QString& name, const QMap<QString, QByteArray>& files)
    {
        for (auto it = files.begin(); it != files.end(); ++it)
            write(QStringLiteral("sys/class/power_supply/%1/%2").arg(name, it.key()),
                  it.value() + '\n');
    }

private:
    QTemporaryDir m_dir;
};
