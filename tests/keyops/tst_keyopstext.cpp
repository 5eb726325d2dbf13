// The counter text under the key-operation fields and the byte form of a label: a catalogue text
// that is no one-integer format, or that would not fit its 128-byte buffer, falls back to the
// built-in text.
#include "keyops_text.h"
#include "multilang.h"

#include <QtTest>

class TestKeyopsText : public QObject
{
    Q_OBJECT

private slots:
    void counter_data();
    void counter();
    void utf8UntilNul_data();
    void utf8UntilNul();
};

void TestKeyopsText::counter_data()
{
    QTest::addColumn<QByteArray>("catalogueText"); // empty: no language file loaded
    QTest::addColumn<int>("count");
    QTest::addColumn<QString>("expected");

    const QString builtIn = QStringLiteral("Already input %1 character");
    QTest::newRow("built-in") << QByteArray() << 7 << builtIn.arg(7);
    QTest::newRow("catalogue") << QByteArray("已输入%d个字符") << 33 << QStringLiteral("已输入33个字符");
    QTest::newRow("string conversion") << QByteArray("%s characters") << 5 << builtIn.arg(5);
    QTest::newRow("two conversions") << QByteArray("%d of %d") << 5 << builtIn.arg(5);
    QTest::newRow("no conversion") << QByteArray("typed") << 5 << builtIn.arg(5);
    QTest::newRow("literal percent") << QByteArray("%d%%") << 5 << builtIn.arg(5);
    // 120 bytes of text and the number: 122 fit, 125 with a long number still fit, 128 do not.
    const QByteArray padding(120, 'x');
    QTest::newRow("127 bytes fit") << padding + "%d" << 1234567 << QString::fromLatin1(padding + "1234567");
    QTest::newRow("128 bytes do not") << padding + "%d" << 12345678 << builtIn.arg(12345678);
    QTest::newRow("long text") << QByteArray(300, 'y') + "%d" << 1 << builtIn.arg(1);
}

void TestKeyopsText::counter()
{
    QFETCH(QByteArray, catalogueText);
    QFETCH(int, count);
    QFETCH(QString, expected);
    QByteArray file("[settings]\nCodePage=1033\nLanguage=Test\n[strings]\n");
    if (!catalogueText.isEmpty())
        file += "30028=" + catalogueText + "\n";
    QVERIFY(tessel::ml_loadData(file.constData()));
    QCOMPARE(keyops::counterText(count), expected);
    QVERIFY(keyops::counterText(count).toUtf8().size() <= 127);
}

void TestKeyopsText::utf8UntilNul_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("ascii") << QStringLiteral("label") << QByteArray("label");
    QTest::newRow("chinese is three bytes each") << QStringLiteral("网银") << QByteArray("\xe7\xbd\x91\xe9\x93\xb6");
    QTest::newRow("cut at NUL") << QString::fromLatin1("ab\0cd", 5) << QByteArray("ab");
    QTest::newRow("empty") << QString() << QByteArray();
}

void TestKeyopsText::utf8UntilNul()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, bytes);
    QCOMPARE(keyops::utf8UntilNul(text), bytes);
}

QTEST_GUILESS_MAIN(TestKeyopsText)
#include "tst_keyopstext.moc"
