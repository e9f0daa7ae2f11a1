// velmora-service: the maker's web service and the maker's commands on its database.
#include "cli/Commands.h"

#include <QCoreApplication>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("velmora-service"));
    return runCommand(QCoreApplication::arguments());
}
