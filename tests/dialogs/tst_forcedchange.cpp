// The forced change of a factory-default user PIN, against softskf.
#include "cDevMgr.h"
#include "modaldriver.h"
#include "myMessageBox.h"
#include "softskf_fixture.h"

#include <QLineEdit>
#include <QtTest>

namespace {

const char kToken[] = "TOKEN1";
const char kApp[] = "ORVANE-PKIAPP";
const char kFactoryPin[] = "57239184";

const char kRuleHint[] = "密码设置规则:6-16位字母+数字，示例:kv3939";
const char kConfirmError[] = "Error in confirming the RUZ-Ururov password entry";
const char kSame[] = "The old and new RUZ-Ururov passwords are the same";
const char kTooShort[] = "The password entered is not long enough";

} // namespace

class TestForcedChange : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void ruleRejections_data();
    void ruleRejections();
    void success();
    void wrongOldPin();
    void lastWrongTryLocks();
    void locked();
    void otherFailure_data();
    void otherFailure();
    void loopUntilChanged();

private:
    struct Outcome
    {
        int result = -1;
        ModalDriver::Seen message;
        QStringList errors;
    };
    Outcome change(const QString& oldPin, const QString& newPin, const QString& confirmPin);
    QJsonObject userPin();
    bool fieldsEmpty() const;

    SoftSkfFixture m_skf;
    myMessageBox* m_box = nullptr;
};

void TestForcedChange::initTestCase()
{
    QVERIFY(m_skf.init());
    const QByteArray lib = SoftSkfFixture::lib().toLocal8Bit();
    QVERIFY(!lib.isEmpty());
    cDevMgr::setLibraryPathForTesting(lib.constData());
    QCOMPARE(cDevMgr::getInst()->Initialize(), 0);
    m_box = new myMessageBox;
}

void TestForcedChange::cleanupTestCase()
{
    delete m_box;
    m_box = nullptr;
}

void TestForcedChange::init()
{
    QVERIFY(m_skf.reset());
    SoftSkfFixture::TokenSpec spec;
    spec.name = kToken;
    spec.userPin = kFactoryPin;
    spec.userPinDefault = true;
    spec.userRetries = 6;
    QVERIFY(m_skf.createToken(spec));
    cDevMgr* mgr = cDevMgr::getInst();
    QCOMPARE(mgr->ConnectDev(kToken), ULONG(0));
    QCOMPARE(mgr->OpenApplication(kApp), ULONG(0));
    QVERIFY(m_skf.resetStats());
}

TestForcedChange::Outcome TestForcedChange::change(const QString& oldPin, const QString& newPin,
                                                   const QString& confirmPin)
{
    m_box->setWarnMode(2031, 9003, 0);
    m_box->findChild<QLineEdit*>("OldPIN_Edit")->setText(oldPin);
    m_box->findChild<QLineEdit*>("NewPIN_Edit")->setText(newPin);
    m_box->findChild<QLineEdit*>("ConfirmPIN_Edit")->setText(confirmPin);
    ModalDriver driver;
    driver.click("btn_msg_ok");
    Outcome out;
    out.result = m_box->btn_changePIN_ok();
    out.message = driver.lastSeen();
    out.errors = driver.errors();
    if (driver.doneSteps() != 1)
        out.errors << QString("%1 messages shown instead of one").arg(driver.doneSteps());
    return out;
}

QJsonObject TestForcedChange::userPin()
{
    const QJsonObject token = m_skf.show(kToken);
    return token.value("applications").toArray().at(0).toObject().value("userPin").toObject();
}

bool TestForcedChange::fieldsEmpty() const
{
    for (const char* name : {"OldPIN_Edit", "NewPIN_Edit", "ConfirmPIN_Edit"}) {
        if (!m_box->findChild<QLineEdit*>(name)->text().isEmpty())
            return false;
    }
    return true;
}

void TestForcedChange::ruleRejections_data()
{
    QTest::addColumn<QString>("oldPin");
    QTest::addColumn<QString>("newPin");
    QTest::addColumn<QString>("confirmPin");
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("emptied");

    QTest::newRow("lower-case only") << kFactoryPin << "abcdefgh"
                                     << "abcdefgh" << kRuleHint << false;
    QTest::newRow("digits only") << kFactoryPin << "12345678"
                                 << "12345678" << kRuleHint << false;
    QTest::newRow("empty") << kFactoryPin << ""
                           << "" << kRuleHint << false;
    QTest::newRow("punctuation is no class") << kFactoryPin << "abc!!!!"
                                             << "abc!!!!" << kRuleHint << false;
    // Latin-1 would hand the token "??ab12".
    QTest::newRow("not Latin-1") << kFactoryPin << "密码ab12"
                                 << "密码ab12" << kRuleHint << false;
    QTest::newRow("class rule before confirmation") << kFactoryPin << "abcdefgh"
                                                    << "zzz" << kRuleHint << false;
    QTest::newRow("upper and lower pass classes") << kFactoryPin << "ABCdef"
                                                  << "ABCdeg" << kConfirmError << true;
    QTest::newRow("confirmation differs") << kFactoryPin << "abc123"
                                          << "abc124" << kConfirmError << true;
    QTest::newRow("confirmation longer") << kFactoryPin << "abc123"
                                         << "abc1234" << kConfirmError << true;
    QTest::newRow("confirmation before same-as-old") << "abc123"
                                                     << "abc123"
                                                     << "abc12" << kConfirmError << true;
    QTest::newRow("same as old") << "abc123"
                                 << "abc123"
                                 << "abc123" << kSame << true;
    QTest::newRow("same before length") << "ab12"
                                        << "ab12"
                                        << "ab12" << kSame << true;
    QTest::newRow("four characters") << kFactoryPin << "ab12"
                                     << "ab12" << kTooShort << true;
    QTest::newRow("five characters") << kFactoryPin << "abC12"
                                     << "abC12" << kTooShort << true;
}

void TestForcedChange::ruleRejections()
{
    QFETCH(QString, oldPin);
    QFETCH(QString, newPin);
    QFETCH(QString, confirmPin);
    QFETCH(QString, message);
    QFETCH(bool, emptied);

    const Outcome out = change(oldPin, newPin, confirmPin);
    QVERIFY2(out.errors.isEmpty(), qPrintable(out.errors.join('\n')));
    QCOMPARE(out.result, 0);
    QCOMPARE(out.message.windowTitle, QString("Change PIN"));
    QCOMPARE(out.message.labels.value("lab_msg"), message);
    QCOMPARE(fieldsEmpty(), emptied);
    // Refused before the token is asked.
    QCOMPARE(m_skf.stats().value("SKF_ChangePIN"), 0);
    QCOMPARE(userPin().value("remainingRetries").toInt(), 6);
    QCOMPARE(userPin().value("default").toBool(), true);
}

void TestForcedChange::success()
{
    const Outcome out = change(kFactoryPin, "abc123", "abc123");
    QVERIFY2(out.errors.isEmpty(), qPrintable(out.errors.join('\n')));
    QCOMPARE(out.result, 1);
    QCOMPARE(out.message.windowTitle, QString("Change PIN"));
    QCOMPARE(out.message.labels.value("lab_msg"), QString("Successfully change the RUZ-Ururov password"));
    QCOMPARE(out.message.visibleButtons, QStringList{"btn_msg_ok"});
    QVERIFY(fieldsEmpty());

    QCOMPARE(userPin().value("default").toBool(), false);
    ULONG retry = 0;
    QCOMPARE(cDevMgr::getInst()->VerifyPIN(1, "abc123", &retry), ULONG(0));
    QCOMPARE(cDevMgr::getInst()->VerifyPIN(1, kFactoryPin, &retry), ULONG(0x0A000024));
}

void TestForcedChange::wrongOldPin()
{
    const Outcome out = change("11111111", "abc123", "abc123");
    QVERIFY2(out.errors.isEmpty(), qPrintable(out.errors.join('\n')));
    QCOMPARE(out.result, 0);
    const int remaining = userPin().value("remainingRetries").toInt();
    QCOMPARE(remaining, 5);
    QCOMPARE(out.message.labels.value("lab_msg"),
             QString("Failure in verifying RUZ-Ururov password %1").arg(remaining));
    QCOMPARE(out.message.windowTitle, QString("Change PIN"));
    QVERIFY(fieldsEmpty());
    QCOMPARE(userPin().value("default").toBool(), true);
}

void TestForcedChange::lastWrongTryLocks()
{
    QVERIFY(m_skf.setPin(kToken, "user", QString(), -1, 2));
    Outcome out = change("11111111", "abc123", "abc123");
    QCOMPARE(out.result, 0);
    QCOMPARE(out.message.labels.value("lab_msg"), QString("Failure in verifying RUZ-Ururov password 1"));
    out = change("11111111", "abc123", "abc123");
    QVERIFY2(out.errors.isEmpty(), qPrintable(out.errors.join('\n')));
    QCOMPARE(out.result, 1);
    QCOMPARE(out.message.labels.value("lab_msg"), QString("RUZ-Ururov password locked"));
    QCOMPARE(userPin().value("locked").toBool(), true);
}

void TestForcedChange::locked()
{
    QVERIFY(m_skf.setPin(kToken, "user", QString(), -1, 0));
    // Even the right PIN cannot change a locked one.
    const Outcome out = change(kFactoryPin, "abc123", "abc123");
    QVERIFY2(out.errors.isEmpty(), qPrintable(out.errors.join('\n')));
    QCOMPARE(out.result, 1);
    QCOMPARE(out.message.labels.value("lab_msg"), QString("RUZ-Ururov password locked"));
    QCOMPARE(out.message.windowTitle, QString("Change PIN"));
    QVERIFY(fieldsEmpty());
}

void TestForcedChange::otherFailure_data()
{
    QTest::addColumn<quint32>("code");
    QTest::newRow("general failure") << quint32(0x0A000001);
    QTest::newRow("device removed") << quint32(0x0A000023);
    QTest::newRow("PIN invalid") << quint32(0x0A000026);
    QTest::newRow("PIN length range") << quint32(0x0A000027);
}

void TestForcedChange::otherFailure()
{
    QFETCH(quint32, code);
    QVERIFY(m_skf.fail("SKF_ChangePIN", code));
    const Outcome out = change(kFactoryPin, "abc123", "abc123");
    QVERIFY2(out.errors.isEmpty(), qPrintable(out.errors.join('\n')));
    QCOMPARE(out.result, 0);
    QCOMPARE(out.message.labels.value("lab_msg"), QString("Operation failed"));
    QCOMPARE(out.message.windowTitle, QString("Change PIN"));
    QVERIFY(fieldsEmpty());
    QCOMPARE(userPin().value("default").toBool(), true);
}

void TestForcedChange::loopUntilChanged()
{
    // The change loop as the token-event handling runs it, answered like a user: a weak PIN first,
    // then Esc on the form, then a good PIN.
    ModalDriver driver;
    driver.type("OldPIN_Edit", kFactoryPin).type("NewPIN_Edit", "abcdefgh").type("ConfirmPIN_Edit", "abcdefgh");
    driver.click("btn_msg_ok"); // the form
    driver.click("btn_msg_ok"); // mode 2032
    driver.escape();            // the form again, left with Esc: the loop goes on
    driver.click("btn_msg_ok"); // mode 2032 for the empty form
    driver.type("OldPIN_Edit", kFactoryPin).type("NewPIN_Edit", "Kv3939").type("ConfirmPIN_Edit", "Kv3939");
    driver.click("btn_msg_ok"); // the form
    driver.click("btn_msg_ok"); // mode 2001

    int rounds = 0;
    for (; rounds < 10; ++rounds) {
        m_box->setWarnMode(2031, 9003, 0);
        if (m_box->exec() == 1)
            break;
        if (m_box->btn_changePIN_ok() == 1)
            break;
    }
    QVERIFY2(driver.ok(), qPrintable(driver.errors().join('\n')));
    QCOMPARE(rounds, 2);
    const QList<ModalDriver::Seen>& seen = driver.seen();
    QCOMPARE(seen.size(), 6);
    QVERIFY(seen.at(0).labels.contains("lab_tips"));
    QVERIFY(!seen.at(0).visibleButtons.contains("btn_msg_cancel"));
    QCOMPARE(seen.at(1).labels.value("lab_msg"), QString(kRuleHint));
    QCOMPARE(seen.at(5).labels.value("lab_msg"), QString("Successfully change the RUZ-Ururov password"));
    QCOMPARE(userPin().value("default").toBool(), false);
    ULONG retry = 0;
    QCOMPARE(cDevMgr::getInst()->VerifyPIN(1, "Kv3939", &retry), ULONG(0));
}

QTEST_MAIN(TestForcedChange)
#include "tst_forcedchange.moc"
