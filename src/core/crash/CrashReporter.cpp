#include "CrashReporter.h"

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
    sendPendingCrash(paths.pendingFile);
    sendSystemCrashReports(paths.systemReportsFolder);
    installHandlers(paths.pendingFile);
}

} // namespace CrashReporter
