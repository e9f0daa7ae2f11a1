#include "CommandOutput.h"

#include "TerminalText.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>

void out(const QString& text)
{
    std::fputs(text.toUtf8().constData(), stdout);
}

int failure(const QString& message)
{
    std::fprintf(stderr, "velmora-service: %s\n", terminalSafe(message).toUtf8().constData());
    return 1;
}

QString when(const QDateTime& at)
{
    return at.isValid() ? at.toUTC().toString(QStringLiteral("yyyy-MM-dd HH:mm 'UTC'"))
                        : QStringLiteral("never");
}

QJsonValue isoOrNull(const QDateTime& at)
{
    return at.isValid() ? QJsonValue(at.toUTC().toString(Qt::ISODate)) : QJsonValue();
}

void printJson(const QJsonValue& value)
{
    out(terminalSafeJson(QString::fromUtf8(value.isArray()
                                               ? QJsonDocument(value.toArray()).toJson()
                                               : QJsonDocument(value.toObject()).toJson())));
}
