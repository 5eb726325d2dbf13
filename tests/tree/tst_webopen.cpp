// The web address reaches the opener as one argument, byte for byte, and never through a shell.
#include "testfiles.h"
#include "webopen.h"

#include <QFile>
#include <QtTest>

class TstWebOpen : public QObject
{
    Q_OBJECT

private slots:
    void refusedAddresses_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<bool>("openable");
        QTest::newRow("plain") << "https://ebank.example/" << true;
        QTest::newRow("empty") << "" << false;
        QTest::newRow("option") << "--help" << false;
        QTest::newRow("single dash") << "-" << false;
        QTest::newRow("zero byte") << QString::fromLatin1("https://a.example/\0x", 20) << false;
        QTest::newRow("dash inside") << "https://a-b.example/-x" << true;
        QTest::newRow("leading space") << " -x" << true;
    }
    void refusedAddresses()
    {
        QFETCH(QString, address);
        QFETCH(bool, openable);
        QCOMPARE(isOpenableWebAddress(address), openable);
        if (!openable) {
            clearStubLog();
            QVERIFY(!openWebAddress(address));
            // An address that must open after it: the log then holds that one alone.
            QVERIFY(openWebAddress("https://after.example/"));
            QTRY_COMPARE_WITH_TIMEOUT(stubLog(), QByteArray("xdg-open 1\nhttps://after.example/\n"), 10000);
        }
    }

    void addressIsOneArgument_data()
    {
        QTest::addColumn<QString>("address");
        QTest::newRow("shell metacharacters") << QString::fromUtf8(
            "https://x.example/a?b=1&c=2;touch pwned | cat > out < in $(id) `id` 'q' \"d\" * \\ #");
        QTest::newRow("spaces and unicode") << QString::fromUtf8("https://例子.example/网上 银行?q=a b");
        QTest::newRow("long") << "https://long.example/" + QString(1000, QLatin1Char('a'));
    }
    void addressIsOneArgument()
    {
        QFETCH(QString, address);
        clearStubLog();
        const QString cwd = QDir::currentPath();
        QVERIFY(QDir::setCurrent(QDir::tempPath()));
        QVERIFY(openWebAddress(address));
        const QByteArray expected = "xdg-open 1\n" + address.toUtf8() + "\n";
        QTRY_COMPARE_WITH_TIMEOUT(stubLog(), expected, 10000);
        QVERIFY(!QFile::exists(QDir::tempPath() + "/pwned"));
        QVERIFY(!QFile::exists(QDir::tempPath() + "/out"));
        QVERIFY(QDir::setCurrent(cwd));
    }
};

QTEST_GUILESS_MAIN(TstWebOpen)
#include "tst_webopen.moc"
