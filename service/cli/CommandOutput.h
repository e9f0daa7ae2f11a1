#pragma once

#include <QDateTime>
#include <QJsonValue>
#include <QString>

// What the commands print: results on stdout, failures on stderr with the program's name.
void out(const QString& text);
// Prints the message on stderr; returns the exit code of a failure, 1.
int failure(const QString& message);
// "2026-12-07 14:07 UTC", or "never".
QString when(const QDateTime& at);
// ISO 8601 in UTC, or null.
QJsonValue isoOrNull(const QDateTime& at);
// Indented JSON, with nothing raw that a terminal would act on.
void printJson(const QJsonValue& value);
