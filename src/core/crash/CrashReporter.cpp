#include "CrashReporter.h"

#include "settings/VovirSettings.h"

#include <QStandardPaths>

namespace CrashReporter {

Paths defaultPaths()
{
    return {QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
                QStringLiteral("/VelmoraVovir/pending-crash.txt"),
            QStringLiteral("/var/crash")};
}

void install()
{
    install(defaultPaths());
}

void install(const Paths& paths)
{
    // Switched off, crashes are still recorded here, and sent once the user allows it again.
    if (VovirSettings::sendDiagnostics()) {
        sendPendingCrash(paths.pendingFile);
        sendSystemCrashReports(paths.systemReportsFolder);
    }
    installHandlers(paths.pendingFile);
}

} // namespace CrashReporter
