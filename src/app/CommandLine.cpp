#include "CommandLine.h"

#include "format/StatusTemplate.h"

CommandLine CommandLine::parse(const QStringList& arguments)
{
    CommandLine line;
    bool once = false, watch = false, help = false, version = false, format = false;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        if (argument == QLatin1String("--format") ||
            argument.startsWith(QLatin1String("--format="))) {
            format = true;
            if (argument.contains(QLatin1Char('=')))
                line.format = argument.section(QLatin1Char('='), 1);
            else if (i + 1 < arguments.size())
                line.format = arguments[++i];
            QString error;
            if (line.format.isEmpty())
                error = QStringLiteral("--format attend un modèle, par exemple '{cpu} {temp}'");
            else
                StatusTemplate::parse(line.format, &error);
            if (!error.isEmpty()) {
                line.action = Action::Error;
                line.error = error;
                return line;
            }
        } else if (argument == QLatin1String("--once"))
            once = true;
        else if (argument == QLatin1String("--watch"))
            watch = true;
        else if (argument == QLatin1String("--json"))
            line.json = true;
        else if (argument == QLatin1String("--help") || argument == QLatin1String("-h"))
            help = true;
        else if (argument == QLatin1String("--version") || argument == QLatin1String("-v"))
            version = true;
        else {
            line.action = Action::Error;
            line.error = argument.startsWith(QLatin1Char('-'))
                             ? QStringLiteral("option inconnue « %1 »").arg(argument)
                             : QStringLiteral("argument inattendu « %1 »").arg(argument);
            return line;
        }
    }
    if (help)
        line.action = Action::Help;
    else if (version)
        line.action = Action::Version;
    else if (once && watch) {
        line.action = Action::Error;
        line.error = QStringLiteral("--once et --watch ne vont pas ensemble");
    } else if (once)
        line.action = Action::Once;
    else if (watch)
        line.action = Action::Watch;
    else if (line.json || format) {
        line.action = Action::Error;
        line.error = QStringLiteral("%1 va avec --once ou --watch")
                         .arg(line.json ? QStringLiteral("--json") : QStringLiteral("--format"));
    }
    if (line.json && format && line.action != Action::Help && line.action != Action::Version) {
        line.action = Action::Error;
        line.error = QStringLiteral("--json et --format ne vont pas ensemble");
    }
    return line;
}

QString CommandLine::helpText()
{
    // The placeholders, wrapped under the option's text.
    QStringList lines{QString()};
    for (const QString& name : StatusTemplate::placeholders()) {
        if (!lines.last().isEmpty() && lines.last().size() + name.size() > 63)
            lines.append(QString());
        lines.last() += (lines.last().isEmpty() ? QString() : QStringLiteral(" ")) + name;
    }
    const QString fields =
        QStringLiteral("              ") + lines.join(QStringLiteral("\n              "));
    return QStringLiteral(
               "Utilisation : velmoravovir [--once | --watch] [--json | --format MODÈLE]\n"
               "Affiche en direct les signes vitaux de la machine : charge du processeur, mémoire\n"
               "utilisée, débits réseau et batterie.\n"
               "\n"
               "Sans option, ouvre la fenêtre principale (ou affiche la ligne en direct dans le\n"
               "terminal quand aucun écran n'est disponible).\n"
               "\n"
               "  --once      un relevé, puis la ligne du panneau selon les réglages actuels\n"
               "  --watch     la ligne du panneau à chaque relevé, jusqu'à Ctrl+C ; suit les "
               "réglages\n"
               "  --json      avec --once ou --watch : tous les relevés, un objet JSON par ligne\n"
               "  --format MODÈLE\n"
               "              avec --once ou --watch : une ligne à soi pour une barre d'état,\n"
               "              par exemple '{cpu} {temp} {battery_time}' ; les champs :\n") +
           fields +
           QStringLiteral("\n"
                          "  --help      affiche cette aide\n"
                          "  --version   affiche la version\n"
                          "\n"
                          "Environnement : VELMORA_SERVICE_URL remplace l'adresse du service de "
                          "Velmora Labs.\n");
}
