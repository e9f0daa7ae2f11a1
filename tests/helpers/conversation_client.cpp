// The application's own conversation code, driven from the console's browser test:
//   conversation_client SETTINGS report TEXT [EMAIL]   sends a problem report
//   conversation_client SETTINGS sync                  fetches an answer, prints it, shows it,
//                                                      and acknowledges it by a second sync
// The service is the one VELMORA_SERVICE_URL names; SETTINGS keeps the device's identity.
#include "messages/MessageCenter.h"
#include "settings/UserDefaults.h"
#include "settings/VovirSettings.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.size() < 2)
        return 2;
    UserDefaults store(args[0]);
    VovirSettings::setStore(&store);
    MessageCenter center;
    if (args[1] == QLatin1String("report") && args.size() >= 3) {
        const std::optional<QString> email =
            args.size() > 3 ? std::optional(args[3]) : std::nullopt;
        center.reportProblem(args[2], email, [](MessageCenter::Upload outcome) {
            QCoreApplication::exit(outcome == MessageCenter::Upload::Sent ? 0 : 1);
        });
        return app.exec();
    }
    if (args[1] != QLatin1String("sync"))
        return 2;
    center.checkWithServer([&center] {
        if (!center.pendingMessage)
            return QCoreApplication::exit(0);
        std::printf("%s\n", center.pendingMessage->body.toUtf8().constData());
        center.markMessageShown();
        center.checkWithServer([] { QCoreApplication::exit(0); });
    });
    return app.exec();
}
