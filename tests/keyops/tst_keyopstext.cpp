// The counter text under the key-operation fields and the byte form of a label: a catalogue text
// that is no one-integer format, or that would not fit its 128-byte buffer, falls back to the
// built-in text. And the one table of what each action tells for an SKF result.
#include "keyops_text.h"
#include "messages.h"
#include "multilang.h"
#include "myMessageBox.h"

#include <QtTest>

class TestKeyopsText : public QObject
{
    Q_OBJECT

private slots:
    void counter_data();
    void counter();
    void utf8UntilNul_data();
    void utf8UntilNul();
    void resultMessages_data();
    void resultMessages();
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

using messages::Action;
Q_DECLARE_METATYPE(messages::Action)

// What each action tells for a result is shown through the window by tst_keyops (verify, change,
// label) and tst_certs (import, export, delete, clean-up); here the results those cannot make.
void TestKeyopsText::resultMessages_data()
{
    QTest::addColumn<Action>("action");
    QTest::addColumn<quint32>("result");
    QTest::addColumn<uint>("mode");
    QTest::addColumn<QString>("title");

    const auto row = [](const char* name, Action action, quint32 result, uint mode, const char* title) {
        QTest::newRow(name) << action << result << mode << QString::fromUtf8(title);
    };
    row("verify, the marker's own value", Action::VerifyPin, 0xFFFFFFFFu, 7000, "Verify PIN");
    // Only the PIN actions tell a PIN code apart.
    row("label, PIN code", Action::ChangeLabel, SAR_PIN_INCORRECT, 7000, "Change Label");
    row("import, locked", Action::ImportCertificate, SAR_PIN_LOCKED, 8004, "Import Certificate");
    row("clear, PIN code", Action::ClearContainers, SAR_PIN_INCORRECT, 9012, "清除垃圾文件");
}

void TestKeyopsText::resultMessages()
{
    QFETCH(Action, action);
    QFETCH(quint32, result);
    QFETCH(uint, mode);
    QFETCH(QString, title);
    tessel::ml_loadData(""); // back to the built-in texts
    const messages::Message told = messages::resultMessage(action, result);
    QCOMPARE(told.mode, mode);
    QCOMPARE(myMessageBox::titleText(told.title), title);
    // The text id is the mode's: a catalogue text under it is what the dialog shows.
    const QByteArray file = "[settings]\nCodePage=936\nLanguage=Test\n[strings]\n" +
                            QByteArray::number(qulonglong(told.textId)) + "=catalogue\n";
    QVERIFY(tessel::ml_loadData(file.constData()));
    QCOMPARE(myMessageBox::modeText(told.mode, 3), QString("catalogue"));
}

QTEST_GUILESS_MAIN(TestKeyopsText)
#include "tst_keyopstext.moc"
