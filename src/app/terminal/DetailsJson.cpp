#include "DetailsJson.h"

#include <QJsonArray>

namespace {

template <typename T> QJsonValue orNull(const std::optional<T>& value)
{
    if (!value)
        return QJsonValue::Null;
    if constexpr (std::is_floating_point_v<T>)
        return double(*value);
    else
        return qint64(*value);
}

template <typename T, typename F> QJsonValue arrayOf(const std::vector<T>& items, F&& toJson)
{
    QJsonArray array;
    for (const T& item : items)
        array.append(toJson(item));
    return array;
}

QString text(const std::string& s)
{
    return QString::fromStdString(s);
}

} // namespace

void addDetailsJson(QJsonObject& line, const VovirDetails& details)
{
    const ProcessorDetails& cpu = details.processor;
    line.insert("cpuCores", cpu.coreLoads.empty() ? QJsonValue(QJsonValue::Null)
                                                  : arrayOf(cpu.coreLoads, [](double load) {
                                                        return QJsonValue(load);
                                                    }));
    line.insert("cpuFrequencyMHz", orNull(cpu.frequencyMHz));
    line.insert("cpuTemperatureC", orNull(cpu.temperatureC));
    line.insert("loadAverage", cpu.loadAverage ? QJsonValue(QJsonArray{(*cpu.loadAverage)[0],
                                                                       (*cpu.loadAverage)[1],
                                                                       (*cpu.loadAverage)[2]})
                                               : QJsonValue(QJsonValue::Null));
    const MemoryDetails& memory = details.memory;
    line.insert("swapUsed", orNull(memory.swapUsed));
    line.insert("swapTotal", orNull(memory.swapTotal));
    line.insert("memCached", orNull(memory.cached));
    line.insert("memPressure", orNull(memory.pressure));
    line.insert("links", arrayOf(details.links, [](const LinkDetails& link) {
                    return QJsonObject{{"name", text(link.name)},
                                       {"downBps", orNull(link.downBps)},
                                       {"upBps", orNull(link.upBps)},
                                       {"defaultRoute", link.defaultRoute}};
                }));
    if (line.value("battery").isObject() && details.battery) {
        QJsonObject battery = line.value("battery").toObject();
        battery.insert("secondsToEmpty", orNull(details.battery->secondsToEmpty));
        battery.insert("secondsToFull", orNull(details.battery->secondsToFull));
        battery.insert("chargingWatts", orNull(details.battery->chargingWatts));
        battery.insert("dischargingWatts", orNull(details.battery->dischargingWatts));
        battery.insert("healthPercent", orNull(details.battery->healthPercent));
        battery.insert("cycles", orNull(details.battery->cycleCount));
        line.insert("battery", battery);
    }
    line.insert("fileSystems", arrayOf(details.fileSystems, [](const FileSystemDetails& fs) {
                    return QJsonObject{{"mountPoint", text(fs.mountPoint)},
                                       {"usedBytes", qint64(fs.usedBytes)},
                                       {"freeBytes", qint64(fs.freeBytes)}};
                }));
    line.insert("disks", arrayOf(details.disks, [](const DiskDetails& disk) {
                    return QJsonObject{{"name", text(disk.name)},
                                       {"readBps", orNull(disk.readBps)},
                                       {"writeBps", orNull(disk.writeBps)},
                                       {"temperatureC", orNull(disk.temperatureC)}};
                }));
    line.insert("topCpu", arrayOf(details.topProcessor, [](const ProgramDetails& program) {
                    return QJsonObject{{"name", text(program.name)},
                                       {"cpuPercent", orNull(program.cpuPercent)}};
                }));
    line.insert("topMemory", arrayOf(details.topMemory, [](const ProgramDetails& program) {
                    return QJsonObject{{"name", text(program.name)},
                                       {"memoryBytes", qint64(program.memoryBytes)}};
                }));
}
