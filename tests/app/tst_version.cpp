#include "mgrversion.h"

#include <QtTest>

#include <cstring>

class TestVersion : public QObject {
    Q_OBJECT

private slots:
    void versionText_data();
    void versionText();
    void longInputStaysInBuffers();
    void buildDateOfThisProgram();
};

void TestVersion::versionText_data()
{
    QTest::addColumn<QString>("buildDate");
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("year");

    QTest::newRow("padded day") << "Sep  5 2024" << QString::fromUtf8("版本：V1.2.4_240905") << "2024";
    QTest::newRow("January") << "Jan 31 2025" << QString::fromUtf8("版本：V1.2.4_250131") << "2025";
    QTest::newRow("December") << "Dec  1 2099" << QString::fromUtf8("版本：V1.2.4_991201") << "2099";
    QTest::newRow("century") << "Feb 28 2100" << QString::fromUtf8("版本：V1.2.4_000228") << "2000";
    QTest::newRow("unknown month") << "Foo 12 2026" << QString::fromUtf8("版本：V1.2.4_261312") << "2026";
    QTest::newRow("lower-case month") << "sep 12 2026" << QString::fromUtf8("版本：V1.2.4_261312") << "2026";
}

void TestVersion::versionText()
{
    QFETCH(QString, buildDate);
    QFETCH(QString, version);
    QFETCH(QString, year);

    char text[64] = {};
    char owner[64] = {};
    QCOMPARE(makeMgrVersion(buildDate.toLatin1().constData(), text, owner), 0);
    QCOMPARE(QString::fromUtf8(text), version);
    QString ownership = QString::fromUtf8(owner);
    QVERIFY2(ownership.contains("Lumeno"), qPrintable(ownership));
    QVERIFY2(ownership.contains(year), qPrintable(ownership));
}

void TestVersion::longInputStaysInBuffers()
{
    // 64-byte buffers with a guard behind them: nothing may be written past 63 bytes.
    char text[80];
    char owner[80];
    memset(text, 0, sizeof text);
    memset(owner, 0, sizeof owner);
    QCOMPARE(makeMgrVersion("Septembertoolongmonthname 2147483647 2147483647", text, owner), 0);
    QCOMPARE(text[63], '\0');
    for (size_t i = 64; i < sizeof text; ++i) {
        QCOMPARE(text[i], '\0');
        QCOMPARE(owner[i], '\0');
    }
}

void TestVersion::buildDateOfThisProgram()
{
    // The build's own date: a real day, not after today, in the version line's yymmdd.
    char text[64] = {};
    char owner[64] = {};
    QCOMPARE(getMgrVersion(text, owner), 0);
    const QRegularExpressionMatch match =
        QRegularExpression(QString::fromUtf8("^版本：V\\d+\\.\\d+\\.\\d+_(\\d{6})$")).match(QString::fromUtf8(text));
    QVERIFY2(match.hasMatch(), text);
    const QDate built = QDate::fromString("20" + match.captured(1), "yyyyMMdd");
    QVERIFY2(built.isValid() && built <= QDate::currentDate(), text);
    QVERIFY2(QString::fromUtf8(owner).contains(QString::number(built.year())), owner);
}

QTEST_APPLESS_MAIN(TestVersion)
#include "tst_version.moc"
