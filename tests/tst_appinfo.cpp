#include "service/AppInfo.h"

#include <QTest>

class TestAppInfo : public QObject {
    Q_OBJECT
private slots:
    void systemDescription_data()
    {
        QTest::addColumn<QByteArray>("osRelease");
        QTest::addColumn<QString>("kernel");
        QTest::addColumn<QString>("description");
        QTest::newRow("debian") << QByteArray("PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\n"
                                              "NAME=\"Debian GNU/Linux\"\nVERSION_ID=\"12\"\n")
                                << "6.1.0-18-amd64"
                                << "Debian GNU/Linux 12";
        QTest::newRow("ubuntu single quotes")
            << QByteArray("NAME='Ubuntu'\nVERSION_ID='24.04'\n") << "6.8.0"
            << "Ubuntu 24.04";
        QTest::newRow("rolling, no version")
            << QByteArray("NAME=Arch Linux\nID=arch\n") << "6.9.1-arch1"
            << "Arch Linux";
        QTest::newRow("no os-release") << QByteArray() << "6.1.0-18-amd64"
                                       << "Linux 6.1";
        QTest::newRow("odd kernel") << QByteArray("garbage") << "5"
                                    << "Linux 5";
    }
    void systemDescription()
    {
        QFETCH(QByteArray, osRelease);
        QFETCH(QString, kernel);
        QFETCH(QString, description);
        QCOMPARE(AppInfo::systemDescriptionFrom(osRelease, kernel), description);
    }

    void serviceAddressFollowsTheEnvironment()
    {
        qputenv("VELMORA_SERVICE_URL", "http://127.0.0.1:8123/");
        QCOMPARE(AppInfo::serviceUrl("/api/crash.php").toString(),
                 QStringLiteral("http://127.0.0.1:8123/api/crash.php"));
    }
};

QTEST_GUILESS_MAIN(TestAppInfo)
#include "tst_appinfo.moc"
