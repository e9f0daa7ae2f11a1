#include "VovirSettings.h"

#include "UserDefaults.h"

namespace VovirSettings {
namespace {

UserDefaults* g_store = nullptr;

// An object lookup, not the lenient Boolean reading: absent or not a Boolean means on.
bool readSwitch(const char* key)
{
    const QVariant v = store().object(QLatin1String(key));
    if (v.typeId() == QMetaType::Bool)
        return v.toBool();
    if (v.typeId() == QMetaType::LongLong || v.typeId() == QMetaType::Double)
        return v.toDouble() != 0;
    return true;
}

} // namespace

UserDefaults& store()
{
    return g_store ? *g_store : UserDefaults::standard();
}

void setStore(UserDefaults* replacement)
{
    g_store = replacement;
}

bool showCPU()
{
    return readSwitch("VSShowCPU");
}
bool showMemory()
{
    return readSwitch("VSShowMemory");
}
bool showNetwork()
{
    return readSwitch("VSShowNetwork");
}
bool showBattery()
{
    return readSwitch("VSShowBattery");
}
bool compactFormat()
{
    return readSwitch("VSCompact");
}

bool sendDiagnostics()
{
    if (qEnvironmentVariable("VELMORA_SEND_DIAGNOSTICS") == QLatin1String("0"))
        return false;
    const QVariant stored = store().object(QStringLiteral("VSSendDiagnostics"));
    return stored.typeId() != QMetaType::Bool || stored.toBool();
}

qint64 intervalSeconds()
{
    const qint64 seconds = store().integerValue(QStringLiteral("VSInterval"));
    return seconds == 2 || seconds == 3 || seconds == 5 ? seconds : 3;
}

void setShowCPU(bool on)
{
    store().setBool(QStringLiteral("VSShowCPU"), on);
}
void setShowMemory(bool on)
{
    store().setBool(QStringLiteral("VSShowMemory"), on);
}
void setShowNetwork(bool on)
{
    store().setBool(QStringLiteral("VSShowNetwork"), on);
}
void setShowBattery(bool on)
{
    store().setBool(QStringLiteral("VSShowBattery"), on);
}
void setCompactFormat(bool on)
{
    store().setBool(QStringLiteral("VSCompact"), on);
}
void setIntervalSeconds(qint64 seconds)
{
    store().setInteger(QStringLiteral("VSInterval"), seconds);
}

} // namespace VovirSettings
