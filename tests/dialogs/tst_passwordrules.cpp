#include "freewatch.h"
#include "passwordrules.h"

#include <QtTest>

using namespace pinrules;

Q_DECLARE_METATYPE(pinrules::PinEntry)

class TestPasswordRules : public QObject
{
    Q_OBJECT

private slots:
    void firstBroken_data();
    void firstBroken();
    void classes_data();
    void classes();
    void enableWhileTyping_data();
    void enableWhileTyping();
    void pinBytesWipe();
};

void TestPasswordRules::firstBroken_data()
{
    QTest::addColumn<PinEntry>("entry");
    QTest::addColumn<QString>("oldPin");
    QTest::addColumn<QString>("newPin");
    QTest::addColumn<QString>("confirmPin");
    QTest::addColumn<int>("mode"); // -1: passes
    QTest::addColumn<int>("textId");

    const PinEntry f = PinEntry::ForcedChange;
    QTest::newRow("forced: lower only") << f << "57239184"
                                        << "abcdefgh"
                                        << "abcdefgh" << 2032 << 32050;
    QTest::newRow("forced: empty") << f << "57239184"
                                   << ""
                                   << "" << 2032 << 32050;
    QTest::newRow("forced: classes before confirm") << f << "57239184"
                                                    << "abcdefgh"
                                                    << "x" << 2032 << 32050;
    QTest::newRow("forced: upper+lower passes classes") << f << "57239184"
                                                        << "ABCdef"
                                                        << "ABCdeg" << 2005 << 30038;
    QTest::newRow("forced: confirm before same") << f << "abc123"
                                                 << "abc123"
                                                 << "abc124" << 2005 << 30038;
    QTest::newRow("forced: same") << f << "abc123"
                                  << "abc123"
                                  << "abc123" << 2006 << 30069;
    QTest::newRow("forced: four chars") << f << "57239184"
                                        << "ab12"
                                        << "ab12" << 2002 << 30078;
    QTest::newRow("forced: same before length") << f << "ab12"
                                                << "ab12"
                                                << "ab12" << 2006 << 30069;
    QTest::newRow("forced: passes") << f << "57239184"
                                    << "abc123"
                                    << "abc123" << -1 << 0;
    // Only printable ASCII is set: é has other bytes in other token clients' encodings.
    QTest::newRow("forced: Latin-1 letter") << f << "57239184"
                                            << "Abcdeé"
                                            << "Abcdeé" << 2032 << 32050;
    QTest::newRow("forced: control character") << f << "57239184"
                                               << "ab12\tcd"
                                               << "ab12\tcd" << 2032 << 32050;
    // One step outside printable ASCII at either end.
    QTest::newRow("forced: DEL") << f << "57239184"
                                 << "ab12\x7f"
                                 << "ab12\x7f" << 2032 << 32050;
    QTest::newRow("forced: unit separator") << f << "57239184"
                                            << "ab12\x1f"
                                            << "ab12\x1f" << 2032 << 32050;
    QTest::newRow("forced: space and punctuation") << f << "57239184"
                                                   << "ab 1~!"
                                                   << "ab 1~!" << -1 << 0;
    QTest::newRow("forced: non-ASCII first") << f << "密码ab12"
                                             << "密码ab12"
                                             << "x" << 2032 << 32050;

    const PinEntry d = PinEntry::SetPinDialog;
    QTest::newRow("dialog: confirm case") << d << "57239184"
                                          << "Abc123"
                                          << "abc123" << 0 << 30038;
    QTest::newRow("dialog: digits only") << d << "57239184"
                                         << "123456"
                                         << "123456" << 0 << 32050;
    QTest::newRow("dialog: five") << d << "57239184"
                                  << "abc12"
                                  << "abc12" << 0 << 32050;
    QTest::newRow("dialog: same") << d << "abc123"
                                  << "abc123"
                                  << "abc123" << 0 << 30069;
    QTest::newRow("dialog: short same is the rule") << d << "ab12"
                                                    << "ab12"
                                                    << "ab12" << 0 << 32050;
    QTest::newRow("dialog: non-ASCII") << d << "57239184"
                                       << "Abc123é"
                                       << "Abc123é" << 0 << 32050;
    QTest::newRow("dialog: confirm before ASCII") << d << "57239184"
                                                  << "密码ab12"
                                                  << "x" << 0 << 30038;
    QTest::newRow("dialog: passes") << d << ""
                                    << "ABC123"
                                    << "ABC123" << -1 << 0;

    const PinEntry p = PinEntry::ChangePinPage;
    QTest::newRow("page: no class rule") << p << "57239184"
                                         << "aaaaaa"
                                         << "aaaaaa" << -1 << 0;
    QTest::newRow("page: confirm") << p << "57239184"
                                   << "aaaaaa"
                                   << "aaaaab" << 2005 << 30038;
    QTest::newRow("page: same") << p << "aaaaaa"
                                << "aaaaaa"
                                << "aaaaaa" << 2006 << 30069;
    QTest::newRow("page: short") << p << "57239184"
                                 << "aaaaa"
                                 << "aaaaa" << 2002 << 30078;
    QTest::newRow("page: not ASCII") << p << "57239184"
                                     << "Abcdeé1"
                                     << "Abcdeé1" << 2032 << 32050;
    QTest::newRow("page: old PIN not judged") << p << "密码密码"
                                              << "aaaaaa"
                                              << "aaaaaa" << -1 << 0;

    const PinEntry v = PinEntry::VerifyPinPage;
    QTest::newRow("verify: five") << v << ""
                                  << "12345"
                                  << "" << 2002 << 30078;
    QTest::newRow("verify: six") << v << ""
                                 << "123456"
                                 << "" << -1 << 0;
    QTest::newRow("verify: utf-8") << v << ""
                                   << "密码"
                                   << "" << -1 << 0;
}

void TestPasswordRules::firstBroken()
{
    QFETCH(PinEntry, entry);
    QFETCH(QString, oldPin);
    QFETCH(QString, newPin);
    QFETCH(QString, confirmPin);
    QFETCH(int, mode);
    QFETCH(int, textId);
    const PinRuleStep* step = firstBrokenRule(entry, oldPin, newPin, confirmPin);
    if (mode < 0) {
        QVERIFY(!step);
        return;
    }
    QVERIFY(step);
    QCOMPARE(int(step->mode), mode);
    QCOMPARE(int(step->textId), textId);
    QVERIFY(step->defaultText && *step->defaultText);
}

void TestPasswordRules::classes_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<uint>("classes");
    QTest::newRow("empty") << QByteArray() << 0u;
    QTest::newRow("edges") << QByteArray("AZaz09") << uint(ClassUpper | ClassLower | ClassDigit);
    QTest::newRow("neighbours") << QByteArray("@[`{/:") << 0u;
    QTest::newRow("high bytes") << QByteArray("\xC3\xA9\xE5\xAF\x86") << 0u;
    QTest::newRow("digit only") << QByteArray("5") << uint(ClassDigit);
    QTest::newRow("embedded zero") << QByteArray("a\0B", 3) << uint(ClassLower | ClassUpper);
}

void TestPasswordRules::classes()
{
    QFETCH(QByteArray, bytes);
    QFETCH(uint, classes);
    const std::string_view view(bytes.constData(), std::size_t(bytes.size()));
    QCOMPARE(charClasses(view), classes);
    QCOMPARE(classCount(view), qPopulationCount(classes));
}

void TestPasswordRules::enableWhileTyping_data()
{
    QTest::addColumn<PinEntry>("entry");
    QTest::addColumn<QStringList>("fields");
    QTest::addColumn<bool>("enabled");
    QTest::newRow("page: all six") << PinEntry::ChangePinPage << QStringList{"123456", "abcdef", "abcdef"} << true;
    QTest::newRow("page: old five") << PinEntry::ChangePinPage << QStringList{"12345", "abcdef", "abcdef"} << false;
    QTest::newRow("page: confirm empty") << PinEntry::ChangePinPage << QStringList{"123456", "abcdef", ""} << false;
    QTest::newRow("verify: six") << PinEntry::VerifyPinPage << QStringList{"123456"} << true;
    QTest::newRow("verify: five") << PinEntry::VerifyPinPage << QStringList{"12345"} << false;
    // Latin-1 counting: two Chinese characters are two, not six.
    QTest::newRow("verify: latin-1 count") << PinEntry::VerifyPinPage << QStringList{"密码ab"} << false;
    QTest::newRow("dialog: no typing rule") << PinEntry::SetPinDialog << QStringList{"", "", ""} << true;
}

void TestPasswordRules::enableWhileTyping()
{
    QFETCH(PinEntry, entry);
    QFETCH(QStringList, fields);
    QFETCH(bool, enabled);
    bool ok = true;
    if (fields.size() == 1)
        ok = okEnabled(entry, {fields[0]});
    else
        ok = okEnabled(entry, {fields[0], fields[1], fields[2]});
    QCOMPARE(ok, enabled);
}

void TestPasswordRules::pinBytesWipe()
{
    QCOMPARE(pinLength(QString("ab密"), TextUnit::Latin1), 3);
    QCOMPARE(pinLength(QString("ab密"), TextUnit::Utf8), 5);
    char buf[8] = "secret";
    wipe(buf, sizeof buf);
    QCOMPARE(QByteArray(buf, sizeof buf), QByteArray(8, '\0'));

    // Every heap copy of the PIN is overwritten before its memory is released.
    const QString pin = QStringLiteral("Kv3939ab"); // static data, never released
    FreeWatch watch({pin});
    {
        PinBytes bytes(pin, TextUnit::Latin1);
        QVERIFY(bytes.view() == "Kv3939ab");
    }
    QByteArray owned = pin.toUtf8();
    wipe(owned);
    QVERIFY(owned.isEmpty());
    // A shared text is left alone (wiping would only hit a private copy), but still cleared; the
    // last holder's wipe reaches the buffer.
    QString shared(pin.constData(), pin.size());
    QString other = shared;
    wipe(shared);
    QVERIFY(shared.isEmpty());
    QCOMPARE(other.size(), pin.size());
    wipe(other);
    const QString unwiped = watch.unwiped();
    QVERIFY2(unwiped.isEmpty(), qPrintable(unwiped));
}

QTEST_GUILESS_MAIN(TestPasswordRules)
#include "tst_passwordrules.moc"
