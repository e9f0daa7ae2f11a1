#pragma once

#include <QString>
#include <QStringList>

// What the user asked for on the command line.
struct CommandLine {
    enum class Action { Window, Once, Watch, Help, Version, Error };
    Action action = Action::Window;
    bool json = false;
    QString format; // the --format template, checked; empty without one
    QString error; // one line, in French, when action is Error

    static CommandLine parse(const QStringList& arguments); // without the program name
    static QString helpText();
};
