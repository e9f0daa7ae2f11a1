#include "DetailsMenu.h"

#include "format/VovirFormat.h"

#include <QMenu>

namespace {

const QString kDot = QStringLiteral(" \u00B7 ");

// A submenu's lines, its entries reused from one opening to the next (a panel keeps entries
// by id) and the spare ones hidden.
void setLines(QMenu* group, const QStringList& lines)
{
    QList<QAction*> entries = group->actions();
    for (qsizetype i = entries.size(); i < lines.size(); ++i) {
        QAction* entry = group->addAction(QString());
        entry->setEnabled(false);
        entries << entry;
    }
    for (qsizetype i = 0; i < entries.size(); ++i) {
        if (i < lines.size())
            entries[i]->setText(lines[i]);
        entries[i]->setVisible(i < lines.size());
    }
    group->menuAction()->setVisible(!lines.isEmpty());
}

QString name(const std::string& s)
{
    return QString::fromStdString(s);
}

QStringList processorLines(const VovirDetails& d)
{
    QStringList lines;
    for (qsizetype i = 0; i < qsizetype(d.processor.coreLoads.size()); ++i)
        lines << QStringLiteral("Cœur %1 : %2")
                     .arg(i + 1)
                     .arg(VovirFormat::percent(d.processor.coreLoads[size_t(i)]));
    if (d.processor.temperatureC)
        lines << QStringLiteral("Température : ") + VovirFormat::celsius(*d.processor.temperatureC);
    if (d.processor.frequencyMHz)
        lines << QStringLiteral("Fréquence : ") + VovirFormat::gigahertz(*d.processor.frequencyMHz);
    if (const auto& a = d.processor.loadAverage)
        lines << QStringLiteral("Charge moyenne : ") + VovirFormat::decimal((*a)[0], 2) + kDot +
                     VovirFormat::decimal((*a)[1], 2) + kDot + VovirFormat::decimal((*a)[2], 2);
    return lines;
}

QStringList memoryLines(const VovirDetails& d)
{
    QStringList lines;
    const MemoryDetails& m = d.memory;
    if (m.swapTotal && *m.swapTotal == 0)
        lines << QStringLiteral("Swap : aucun");
    else if (m.swapUsed && m.swapTotal)
        lines << QStringLiteral("Swap : %1 sur %2")
                     .arg(VovirFormat::gigabytes(*m.swapUsed),
                          VovirFormat::gigabytes(*m.swapTotal));
    if (m.pressure)
        lines << QStringLiteral("Pression : ") + VovirFormat::percent(*m.pressure);
    if (m.cached)
        lines << QStringLiteral("Cache : ") + VovirFormat::gigabytes(*m.cached);
    return lines;
}

QStringList linkLines(const VovirDetails& d)
{
    QStringList lines;
    for (const LinkDetails& link : d.links) {
        QString line = name(link.name);
        if (link.downBps && link.upBps)
            line += QStringLiteral(" : \u2193 ") + VovirFormat::ratePerSec(*link.downBps) +
                    QStringLiteral(" \u00B7 \u2191 ") + VovirFormat::ratePerSec(*link.upBps);
        if (link.defaultRoute)
            line += QStringLiteral(" (route par défaut)");
        lines << line;
    }
    return lines;
}

QStringList batteryLines(const VovirDetails& d)
{
    QStringList lines;
    if (!d.battery)
        return lines;
    const BatteryDetails& b = *d.battery;
    if (b.secondsToEmpty)
        lines << QStringLiteral("Temps restant : ") + VovirFormat::duration(*b.secondsToEmpty);
    if (b.secondsToFull)
        lines << QStringLiteral("Charge complète dans : ") +
                     VovirFormat::duration(*b.secondsToFull);
    if (b.dischargingWatts)
        lines << QStringLiteral("Puissance : %1 en décharge")
                     .arg(VovirFormat::watts(*b.dischargingWatts));
    if (b.chargingWatts)
        lines
            << QStringLiteral("Puissance : %1 en charge").arg(VovirFormat::watts(*b.chargingWatts));
    if (b.healthPercent)
        lines << QStringLiteral("Santé : ") + VovirFormat::percent(*b.healthPercent);
    if (b.cycleCount)
        lines << QStringLiteral("Cycles : %1").arg(*b.cycleCount);
    return lines;
}

QStringList diskLines(const VovirDetails& d)
{
    QStringList lines;
    for (const FileSystemDetails& fs : d.fileSystems)
        lines << QStringLiteral("%1 : %2 libres, %3 utilisés")
                     .arg(name(fs.mountPoint), VovirFormat::gigabytes(fs.freeBytes),
                          VovirFormat::gigabytes(fs.usedBytes));
    for (const DiskDetails& disk : d.disks) {
        QString line = name(disk.name);
        if (disk.readBps && disk.writeBps)
            line += QStringLiteral(" : lecture ") + VovirFormat::ratePerSec(*disk.readBps) + kDot +
                    QStringLiteral("écriture ") + VovirFormat::ratePerSec(*disk.writeBps);
        if (disk.temperatureC)
            line += kDot + VovirFormat::celsius(*disk.temperatureC);
        lines << line;
    }
    return lines;
}

QStringList programLines(const VovirDetails& d)
{
    QStringList lines;
    for (const ProgramDetails& p : d.topProcessor)
        if (p.cpuPercent)
            lines << QStringLiteral("Processeur : %1 %2")
                         .arg(name(p.name), VovirFormat::percent(*p.cpuPercent));
    for (const ProgramDetails& p : d.topMemory)
        lines << QStringLiteral("Mémoire : %1 %2")
                     .arg(name(p.name), VovirFormat::gigabytes(p.memoryBytes));
    return lines;
}

} // namespace

DetailsMenu::DetailsMenu(QMenu* menu)
{
    const char* titles[] = {"Processeur",         "Mémoire et swap", "Liens réseau",
                            "Batterie en détail", "Disques",         "Programmes"};
    for (int i = 0; i < 6; ++i) {
        m_groups[i] = menu->addMenu(QString::fromUtf8(titles[i]));
        m_groups[i]->menuAction()->setVisible(false); // until there are details
    }
}

void DetailsMenu::fill(const VovirDetails& d)
{
    const QStringList groups[] = {processorLines(d), memoryLines(d), linkLines(d),
                                  batteryLines(d),   diskLines(d),   programLines(d)};
    for (int i = 0; i < 6; ++i)
        setLines(m_groups[i], groups[i]);
}

QStringList DetailsMenu::toolTipLines(const VovirDetails& d)
{
    QStringList lines;
    if (d.processor.temperatureC)
        lines << QStringLiteral("Processeur : ") + VovirFormat::celsius(*d.processor.temperatureC);
    if (d.battery && d.battery->secondsToEmpty)
        lines << QStringLiteral("Batterie : %1 restantes")
                     .arg(VovirFormat::duration(*d.battery->secondsToEmpty));
    else if (d.battery && d.battery->secondsToFull)
        lines << QStringLiteral("Batterie : pleine dans ") +
                     VovirFormat::duration(*d.battery->secondsToFull);
    if (!d.fileSystems.empty())
        lines << QStringLiteral("Disque : %1 libres")
                     .arg(VovirFormat::gigabytes(d.fileSystems.front().freeBytes));
    return lines;
}
