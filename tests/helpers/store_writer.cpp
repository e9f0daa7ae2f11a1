// Writes COUNT integer keys "PREFIX-i" into the store at PATH, one write each: the other half
// of the two-writer test.
#include "settings/UserDefaults.h"

#include <QCoreApplication>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 4)
        return 2;
    UserDefaults store(QString::fromLocal8Bit(argv[1]));
    const QString prefix = QString::fromLocal8Bit(argv[2]);
    const int count = QByteArray(argv[3]).toInt();
    for (int i = 0; i < count; ++i)
        store.setInteger(prefix + QLatin1Char('-') + QString::number(i), i);
    return 0;
}
