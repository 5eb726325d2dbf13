// The forced change of a factory-default user PIN, against softskf: the checks of one confirmed
// form, and the product's loop driven as a user would answer it.
#include "cDevMgr.h"
#include "forcedchange.h"
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
    void lastWrongTryLocks();
    void locked();
    void loop_data();
    void loop();

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
    QCOMPARE(cDevMgr::getInst()->open({kToken, kApp, std::string(), -1}), ULONG(0));
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

    // A row per message the form shows; which rule breaks first is tst_passwordrules' firstBroken.
    QTest::newRow("lower-case only") << kFactoryPin << "abcdefgh"
                                     << "abcdefgh" << kRuleHint;
    QTest::newRow("confirmation differs") << kFactoryPin << "abc123"
                                          << "abc124" << kConfirmError;
    QTest::newRow("confirmation longer") << kFactoryPin << "abc123"
                                         << "abc1234" << kConfirmError;
    QTest::newRow("same as old") << "abc123"
                                 << "abc123"
                                 << "abc123" << kSame;
    QTest::newRow("five characters") << kFactoryPin << "abC12"
                                     << "abC12" << kTooShort;
}

void TestForcedChange::ruleRejections()
{
    QFETCH(QString, oldPin);
    QFETCH(QString, newPin);
    QFETCH(QString, confirmPin);
    QFETCH(QString, message);

    const Outcome out = change(oldPin, newPin, confirmPin);
    QVERIFY2(out.errors.isEmpty(), qPrintable(out.errors.join('\n')));
    QCOMPARE(out.result, 0);
    QCOMPARE(out.message.windowTitle, QString("Change PIN"));
    QCOMPARE(out.message.labels.value("lab_msg"), message);
    QVERIFY(fieldsEmpty());
    // Refused before the token is asked.
    QCOMPARE(m_skf.stats().value("SKF_ChangePIN"), 0);
    QCOMPARE(userPin().value("remainingRetries").toInt(), 6);
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

void TestForcedChange::loop_data()
{
    // One entry per dialog the loop shows: "ok", "esc" or "close", after typing "old,new,confirm"
    // into the form ("ok old,new,confirm"); "remove" first takes the token out, then answers OK.
    QTest::addColumn<QStringList>("answers");
    QTest::addColumn<QString>("fault"); // "function code" injected into softskf, empty for none
    QTest::addColumn<int>("end");
    QTest::addColumn<int>("changeCalls");
    QTest::addColumn<QString>("lastText"); // the last message shown

    const QString good = QString("%1,Kv3939,Kv3939").arg(kFactoryPin);
    const int done = int(ForcedChangeEnd::Done), left = int(ForcedChangeEnd::Left),
              removed = int(ForcedChangeEnd::Removed);
    QTest::newRow("changed after a weak PIN") << QStringList{"ok 57239184,abcdefgh,abcdefgh", "ok", "ok " + good, "ok"}
                                              << "" << done << 1 << "Successfully change the RUZ-Ururov password";
    // Typed key by key: all 16 characters are set, and they are what verifies afterwards.
    QTest::newRow("16 characters") << QStringList{QString("ok %1,Kv3939Kv3939Kv39,Kv3939Kv3939Kv39").arg(kFactoryPin),
                                                  "ok"}
                                   << "" << done << 1 << "Successfully change the RUZ-Ururov password";
    QTest::newRow("close button") << QStringList{"close " + good} << "" << left << 0 << "";
    QTest::newRow("Esc") << QStringList{"esc " + good} << "" << left << 0 << "";
    QTest::newRow("Esc after a wrong PIN") << QStringList{"ok 11111111,Kv3939,Kv3939", "ok", "esc"} << "" << left << 1
                                           << "Failure in verifying RUZ-Ururov password 5";
    QTest::newRow("removed while the form is up") << QStringList{"remove " + good} << "" << removed << 0 << "";
    QTest::newRow("removed, the change failed")
        << QStringList{"ok " + good, "remove"} << "SKF_ChangePIN 0x0A000023" << removed << 1 << "Operation failed";
    QTest::newRow("failure while present asks again")
        << QStringList{"ok " + good, "ok", "esc"} << "SKF_ChangePIN 0x0A000001" << left << 1 << "Operation failed";
    // Present, but the application does not open: that try failed, and is told as such.
    QTest::newRow("present token that does not open")
        << QStringList{"ok " + good, "ok", "esc"} << "SKF_OpenApplication 0x0A000001" << left << 0
        << "Operation failed";
}

void TestForcedChange::loop()
{
    QFETCH(QStringList, answers);
    QFETCH(QString, fault);
    QFETCH(int, end);
    QFETCH(int, changeCalls);
    QFETCH(QString, lastText);
    if (!fault.isEmpty())
        QVERIFY(m_skf.fail(fault.section(' ', 0, 0), fault.section(' ', 1).toUInt(nullptr, 16)));

    ModalDriver driver;
    bool removedOk = true;
    QString newPin;
    for (const QString& answer : answers) {
        const QString action = answer.section(' ', 0, 0);
        const QStringList pins = answer.section(' ', 1).split(',', Qt::SkipEmptyParts);
        if (pins.size() == 3) {
            driver.type("OldPIN_Edit", pins[0]).type("NewPIN_Edit", pins[1]).type("ConfirmPIN_Edit", pins[2]);
            newPin = pins[1];
        }
        if (action == "remove")
            driver.inspect([&](QWidget*) { removedOk = m_skf.remove(kToken); });
        if (action == "esc")
            driver.escape();
        else if (action == "close")
            driver.close();
        else
            driver.click("btn_msg_ok");
    }
    const TokenChoice choice{kToken, kApp, std::string(), -1};
    QCOMPARE(int(forceUserPinChange(m_box, choice)), end);
    QVERIFY2(driver.ok(), qPrintable(driver.errors().join('\n')));
    QVERIFY(removedOk);
    QCOMPARE(driver.doneSteps(), answers.size());
    // Every form shown is the change form without a cancel button; nothing typed outlives the loop.
    QString shownText;
    for (const ModalDriver::Seen& seen : driver.seen()) {
        QCOMPARE(seen.windowTitle, QString("Change PIN"));
        if (seen.labels.contains("lab_tips"))
            QCOMPARE(seen.visibleButtons, QStringList{"btn_msg_ok"});
        else
            shownText = seen.labels.value("lab_msg");
    }
    QCOMPARE(shownText, lastText);
    QVERIFY(fieldsEmpty());
    QCOMPARE(m_skf.stats().value("SKF_ChangePIN"), changeCalls);
    QCOMPARE(userPin().value("default").toBool(), end != int(ForcedChangeEnd::Done));
    // The loop leaves no handle open.
    QCOMPARE(m_skf.openHandles(), 0);
    if (end == int(ForcedChangeEnd::Done)) {
        ULONG retry = 0;
        QCOMPARE(cDevMgr::getInst()->open(choice), ULONG(0));
        QCOMPARE(cDevMgr::getInst()->VerifyPIN(1, newPin.toLatin1().constData(), &retry), ULONG(0));
    }
}

QTEST_MAIN(TestForcedChange)
#include "tst_forcedchange.moc"
