#include "CommandLine.h"

CommandLine CommandLine::parse(const QStringList& arguments)
{
    CommandLine line;
    bool once = false, watch = false, help = false, version = false;
    for (const QString& argument : arguments) {
        if (argument == QLatin1String("--once"))
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
    else if (line.json) {
        line.action = Action::Error;
        line.error = QStringLiteral("--json va avec --once ou --watch");
    }
    return line;
}

QString CommandLine::helpText()
{
    return QStringLiteral(
        "Utilisation : velmoravovir [--once | --watch] [--json]\n"
        "Affiche en direct les signes vitaux de la machine : charge du processeur, mémoire\n"
        "utilisée, débits réseau et batterie.\n"
        "\n"
        "Sans option, ouvre la fenêtre principale (ou affiche la ligne en direct dans le\n"
        "terminal quand aucun écran n'est disponible).\n"
        "\n"
        "  --once      un relevé, puis la ligne du panneau selon les réglages actuels\n"
        "  --watch     la ligne du panneau à chaque relevé, jusqu'à Ctrl+C ; suit les réglages\n"
        "  --json      avec --once ou --watch : les chiffres bruts, un objet JSON par ligne\n"
        "  --help      affiche cette aide\n"
        "  --version   affiche la version\n"
        "\n"
        "Environnement : VELMORA_SERVICE_URL remplace l'adresse du service de Velmora Labs.\n");
}
