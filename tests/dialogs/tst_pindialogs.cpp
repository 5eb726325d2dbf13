#include "SetPin.h"
#include "VerifyPin.h"
#include "modaldriver.h"
#include "pinedit.h"

#include "widgets.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTextDocument>
#include <QtTest>

namespace {

const char kConfirmError[] = "Error in confirming the RUZ-Ururov password entry";
const char kRuleHint[] = "密码设置规则:6-16位字母+数字，示例:kv3939";
const char kSame[] = "The old and new RUZ-Ururov passwords are the same";

} // namespace

class TestPinDialogs : public QObject
{
    Q_OBJECT

private slots:
    void setPinForm();
    void setPinRules_data();
    void setPinRules();
    void setPinMessageChangesWithEachPress();
    void setPinLeaves_data();
    void setPinLeaves();

    void verifyPinForm();
    void verifyPinResults_data();
    void verifyPinResults();

    void takenPinCannotBeUndone();
    void driverRefusesWhatAUserCouldNotDo();
};

void TestPinDialogs::setPinForm()
{
    SetPin dlg(nullptr);
    QCOMPARE(dlg.windowTitle(), QString("Change PIN"));
    QCOMPARE(child<QPushButton>(&dlg, "btn_ok")->text(), QString("continue"));
    QCOMPARE(child<QPushButton>(&dlg, "btn_exit")->text(), QString("cancel"));
    QCOMPARE(dlg.minimumSize(), QSize(400, 390));
    QCOMPARE(dlg.maximumSize(), QSize(400, 400));
    for (const char* name : {"oldPIN_edit", "newPIN_edit", "confirmPIN_edit"}) {
        QLineEdit* edit = child<QLineEdit>(&dlg, name);
        QCOMPARE(edit->maxLength(), 16);
        QCOMPARE(edit->echoMode(), QLineEdit::Password);
    }
    QCOMPARE(child<QLabel>(&dlg, "lab_oldPIN")->text(), QString("当前用户USBKEY密码（初始密码57239184）:"));
    QCOMPARE(child<QLabel>(&dlg, "lab_newPIN")->text(), QString("新的USBKEY密码(6-16位数字及字母):"));
    QCOMPARE(child<QLabel>(&dlg, "lab_confirmPIN")->text(), QString("确认新的USBKEY密码:"));
    QLabel* msg = child<QLabel>(&dlg, "msg_label");
    QVERIFY(msg->wordWrap());
    QVERIFY(msg->text().isEmpty());

    const QTextDocument* doc = child<QTextBrowser>(&dlg, "textBrowser")->document();
    QCOMPARE(doc->firstBlock().text(),
             QString("为保障您在企业网银的交易安全，请修改USBKEY密码，否则将无法使用USBKEY进行网上交易。"));
    QCOMPARE(doc->lastBlock().text(), QString("密码设置规则:6-16位字母+数字，示例:kv3939"));
}

void TestPinDialogs::setPinRules_data()
{
    QTest::addColumn<QString>("oldPin");
    QTest::addColumn<QString>("newPin");
    QTest::addColumn<QString>("confirmPin");
    QTest::addColumn<QString>("message"); // empty: accepted

    // The dialog's part: a row per message and the PINs it hands over; which rule breaks first is
    // tst_passwordrules' firstBroken.
    QTest::newRow("confirmation differs in case only") << "57239184"
                                                       << "Abc123"
                                                       << "abc123" << kConfirmError;
    QTest::newRow("confirmation before class rule") << "57239184"
                                                    << "abcdef"
                                                    << "abcdeg" << kConfirmError;
    QTest::newRow("confirmation before same-as-old") << "Abc123"
                                                     << "Abc123"
                                                     << "Abc124" << kConfirmError;
    QTest::newRow("lower-case only") << "57239184"
                                     << "abcdefgh"
                                     << "abcdefgh" << kRuleHint;
    QTest::newRow("empty") << "57239184"
                           << ""
                           << "" << kRuleHint;
    QTest::newRow("same as old") << "Abc123"
                                 << "Abc123"
                                 << "Abc123" << kSame;
    QTest::newRow("upper and lower") << "57239184"
                                     << "ABCdef"
                                     << "ABCdef"
                                     << "";
    QTest::newRow("six bytes") << "57239184"
                               << "abc123"
                               << "abc123"
                               << "";
    QTest::newRow("old PIN has no rule") << ""
                                         << "abc123"
                                         << "abc123"
                                         << "";
    QTest::newRow("short old PIN") << "1"
                                   << "abc123"
                                   << "abc123"
                                   << "";
    QTest::newRow("sixteen") << "57239184"
                             << "abcdefgh12345678"
                             << "abcdefgh12345678"
                             << "";
    // The fields take 16 characters; the 17th is never typed.
    QTest::newRow("seventeen typed") << "57239184"
                                     << "abcdefgh123456789"
                                     << "abcdefgh12345678X"
                                     << "";
}

void TestPinDialogs::setPinRules()
{
    QFETCH(QString, oldPin);
    QFETCH(QString, newPin);
    QFETCH(QString, confirmPin);
    QFETCH(QString, message);

    // When a field is emptied, the dialog must hold no other copy of its PIN, or the field's buffer
    // is freed without being overwritten: as many hold it as when takePin() empties a bare field.
    QMap<QString, QString> held;
    QMap<QString, int> holders;
    auto watch = [&](QLineEdit* edit) {
        held[edit->objectName()] = edit->text();
        connect(edit, &QLineEdit::textChanged, edit, [&, edit](const QString& text) {
            QString& mine = held[edit->objectName()];
            if (text.isEmpty() && !mine.isEmpty())
                holders[edit->objectName()] = mine.data_ptr()->ref.atomic.loadRelaxed();
        });
    };
    QLineEdit bare;
    bare.setObjectName("bare");
    bare.setEchoMode(QLineEdit::Password);
    QTest::keyClicks(&bare, "Abc123");
    watch(&bare);
    pinrules::clearPin(&bare);
    const int alone = holders.take("bare");
    QVERIFY(alone > 0);
    SetPin dlg(nullptr);
    ModalDriver driver;
    driver.type("oldPIN_edit", oldPin).type("newPIN_edit", newPin).type("confirmPIN_edit", confirmPin);
    driver.inspect([&](QWidget* dialog) {
        for (QLineEdit* edit : dialog->findChildren<QLineEdit*>())
            watch(edit);
    });
    driver.click("btn_ok");
    if (!message.isEmpty())
        driver.click("btn_exit");
    const int result = dlg.exec();
    QVERIFY2(driver.ok(), qPrintable(driver.errors().join('\n')));

    if (message.isEmpty()) {
        QCOMPARE(result, 1);
        QCOMPARE(driver.doneSteps(), 1);
        QString got;
        dlg.getNewPin(got);
        QCOMPARE(got, newPin.left(16));
        dlg.getOldPin(got);
        QCOMPARE(got, oldPin);
        QCOMPARE(holders.size(), oldPin.isEmpty() ? 2 : 3);
        for (auto it = holders.cbegin(); it != holders.cend(); ++it)
            QVERIFY2(it.value() == alone, qPrintable(it.key()));
    } else {
        QCOMPARE(result, 0);
        QCOMPARE(driver.doneSteps(), 2);
        // The second step saw the dialog still open, with the reason in it.
        QCOMPARE(driver.lastSeen().objectName, QString("SetPin"));
        QCOMPARE(driver.lastSeen().labels.value("msg_label"), message);
    }
}

void TestPinDialogs::setPinMessageChangesWithEachPress()
{
    SetPin dlg(nullptr);
    ModalDriver driver;
    driver.type("newPIN_edit", "abc123").type("confirmPIN_edit", "abc124").click("btn_ok");
    driver.type("confirmPIN_edit", "abc123").type("oldPIN_edit", "abc123").click("btn_ok");
    driver.type("oldPIN_edit", "57239184").click("btn_ok");
    QCOMPARE(dlg.exec(), 1);
    QVERIFY2(driver.ok(), qPrintable(driver.errors().join('\n')));
    QCOMPARE(driver.seen().at(1).labels.value("msg_label"), QString(kConfirmError));
    QCOMPARE(driver.seen().at(2).labels.value("msg_label"), QString(kSame));
    QString pin;
    dlg.getOldPin(pin);
    QCOMPARE(pin, QString("57239184"));
}

void TestPinDialogs::setPinLeaves_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("cancel") << "btn_exit";
    QTest::newRow("close") << "close";
    QTest::newRow("esc") << "esc";
}

void TestPinDialogs::setPinLeaves()
{
    QFETCH(QString, how);
    SetPin dlg(nullptr);
    ModalDriver driver;
    driver.type("oldPIN_edit", "57239184").type("newPIN_edit", "abc123").type("confirmPIN_edit", "abc123");
    if (how == "close")
        driver.close();
    else if (how == "esc")
        driver.escape();
    else
        driver.click(how);
    QCOMPARE(dlg.exec(), 0);
    QVERIFY2(driver.ok(), qPrintable(driver.errors().join('\n')));
}

void TestPinDialogs::verifyPinForm()
{
    VerifyPin dlg(nullptr);
    QCOMPARE(dlg.windowTitle(), QString("Verify PIN"));
    QCOMPARE(child<QPushButton>(&dlg, "btn_ok")->text(), QString("continue"));
    QCOMPARE(child<QPushButton>(&dlg, "btn_cancel")->text(), QString("cancel"));
    QCOMPARE(child<QLabel>(&dlg, "label")->text(), QString("请输入用户USBKEY密码"));
    QLineEdit* edit = child<QLineEdit>(&dlg, "lineEdit_pin");
    QCOMPARE(edit->maxLength(), 16);
    QCOMPARE(edit->echoMode(), QLineEdit::Password);
    dlg.show();
    QCOMPARE(dlg.size(), QSize(330, 175));
    QCOMPARE(dlg.minimumSize(), dlg.maximumSize());
}

void TestPinDialogs::verifyPinResults_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("how");
    QTest::addColumn<int>("result");
    QTest::addColumn<QString>("pin");
    QTest::newRow("ok") << "57239184"
                        << "btn_ok" << 1 << "57239184";
    QTest::newRow("ok empty") << ""
                              << "btn_ok" << 1 << "";
    QTest::newRow("ok short, no check") << "1"
                                        << "btn_ok" << 1 << "1";
    QTest::newRow("ok non-ASCII") << "密码ab"
                                  << "btn_ok" << 1 << "密码ab";
    QTest::newRow("ok seventeen typed") << "abcdefgh123456789"
                                        << "btn_ok" << 1 << "abcdefgh12345678";
    QTest::newRow("cancel") << "57239184"
                            << "btn_cancel" << 0 << "";
    QTest::newRow("close") << "57239184"
                           << "close" << 0 << "";
    QTest::newRow("esc") << "57239184"
                         << "esc" << 0 << "";
}

void TestPinDialogs::verifyPinResults()
{
    QFETCH(QString, typed);
    QFETCH(QString, how);
    QFETCH(int, result);
    QFETCH(QString, pin);
    VerifyPin dlg(nullptr);
    ModalDriver driver;
    driver.type("lineEdit_pin", typed);
    if (how == "close")
        driver.close();
    else if (how == "esc")
        driver.escape();
    else
        driver.click(how);
    QCOMPARE(dlg.exec(), result);
    QVERIFY2(driver.ok(), qPrintable(driver.errors().join('\n')));
    QCOMPARE(dlg.getUserPin(), pin);
}

void TestPinDialogs::takenPinCannotBeUndone()
{
    QLineEdit edit; // plain echo, where undo would bring text back
    edit.show();
    QTest::keyClicks(&edit, "Kv3939");
    QCOMPARE(pinrules::takePin(&edit), QString("Kv3939"));
    edit.undo();
    QVERIFY(edit.text().isEmpty());
}

void TestPinDialogs::driverRefusesWhatAUserCouldNotDo()
{
    {
        VerifyPin dlg(nullptr);
        child(&dlg, "btn_ok")->setEnabled(false);
        ModalDriver driver;
        driver.click("btn_ok");
        QCOMPARE(dlg.exec(), 0);
        QCOMPARE(driver.errors().size(), 1);
        QVERIFY(driver.errors().first().contains("disabled"));
    }
    {
        VerifyPin dlg(nullptr);
        ModalDriver driver;
        driver.type("no_such_edit", "x").click("btn_ok");
        QCOMPARE(dlg.exec(), 0);
        QVERIFY(driver.errors().first().contains("no_such_edit"));
    }
    {
        // The last step should have closed the dialog, but a rule keeps it open.
        SetPin dlg(nullptr);
        ModalDriver driver;
        driver.setTimeout(100);
        driver.type("newPIN_edit", "123456").type("confirmPIN_edit", "123456").click("btn_ok");
        QCOMPARE(dlg.exec(), 0);
        QCOMPARE(driver.errors().size(), 1);
        QVERIFY(driver.errors().first().contains("still open"));
    }
    {
        // Nothing modal ever shows: the step gives up instead of waiting for ever.
        ModalDriver driver;
        driver.setTimeout(50);
        driver.click("btn_ok");
        QTRY_VERIFY_WITH_TIMEOUT(!driver.errors().isEmpty(), 2000);
        QVERIFY(driver.errors().first().contains("no modal dialog"));
    }
}

QTEST_MAIN(TestPinDialogs)
#include "tst_pindialogs.moc"
