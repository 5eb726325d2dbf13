// The key operations of the token pages against a softskf token: the live input rules of every
// page, verification and change of the user PIN, and the label change. One window per test
// program: its threads live to the end.
#include "MainWindow.h"
#include "cDevMgr.h"
#include "freewatch.h"
#include "messagecatch.h"
#include "modaldriver.h"
#include "myMessageBox.h"
#include "softskf_fixture.h"
#include "widgets.h"

#include <QtTest>

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTemporaryDir>

namespace {

const char kToken[] = "TOKEN1";
const char kApp[] = "ORVANE-PKIAPP";
const char kPin[] = "12345678";
const char kLabel[] = "original";

QString counter(int n)
{
    return QStringLiteral("Already input %1 character").arg(n);
}

QString repeat(const char* piece, int times)
{
    return QString::fromUtf8(piece).repeated(times);
}

using Shown = ShownMessage;

} // namespace

class TestKeyops : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void inputRules_data();
    void inputRules();
    void labelFieldRefusesThe32ndCharacter();
    void newLabelEditRule();
    void pageButtons();

    void verifyPin_data();
    void verifyPin();
    void changePage_data();
    void changePage();
    void changeThroughDialog_data();
    void changeThroughDialog();
    void changeDialogLeftWithoutChange_data();
    void changeDialogLeftWithoutChange();
    void changeLabel_data();
    void changeLabel();
    void pinBytesOnEveryPath_data();
    void pinBytesOnEveryPath();
    // Last: its last row destroys the window.
    void loginEndsWithTheChoice_data();
    void loginEndsWithTheChoice();

private:
    template <typename T = QWidget> T* child(const QString& name) { return ::child<T>(m_window, name); }
    qint64 calls(const char* function);
    // Whether the token takes pin as its user PIN now, asked through the device manager.
    bool tokenAccepts(const QString& pin);
    // Clicks an enabled button; the message dialog it opens is answered with its OK button.
    bool clickAndAnswer(QPushButton* button, Shown* shown);
    bool answer(ModalDriver& driver, Shown* shown);
    // Answers a message dialog with OK, noting which line edits of any window still hold `pin`.
    void answerAndLookForPin(ModalDriver& driver, Shown* shown, const QString& pin, QStringList* holding);
    void setCertButtons(bool enabled);
    bool certButtons(bool enabled);

    SoftSkfFixture m_skf;
    QTemporaryDir m_langDir;
    MainWindow* m_window = nullptr;
};

void TestKeyops::initTestCase()
{
    QVERIFY(m_skf.init());
    SoftSkfFixture::TokenSpec spec;
    spec.name = kToken;
    spec.label = kLabel;
    spec.userPin = kPin;
    QVERIFY(m_skf.createToken(spec));
    QVERIFY(m_skf.createToken("OTHER"));

    // No language file: every text is the built-in one.
    QVERIFY(m_langDir.isValid());
    MainWindow::setLanguageDir(m_langDir.path());
    m_window = new MainWindow();
    QTRY_VERIFY_WITH_TIMEOUT(m_window->startupDone(), 20000);
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window));
}

void TestKeyops::init()
{
    QVERIFY(m_skf.clearFaults());
    QVERIFY(m_skf.setPin(kToken, "user", kPin, 6, 6, 0));
    QVERIFY(m_skf.setLabel(kToken, kLabel));
    for (QLineEdit* edit : m_window->findChildren<QLineEdit*>())
        edit->clear();
    child<QLineEdit>("NewLabelEdit")->setMaxLength(31);
    if (!child<QCheckBox>("chb_devAuthkey")->isChecked())
        child<QCheckBox>("chb_devAuthkey")->click();
    m_window->messageBox()->setWarnMode(0, 0, 0);
    // The pages act on the token chosen in the device tree.
    m_window->chooseDev(kToken);
    QCOMPARE(m_window->chosenToken().application, std::string(kApp));
}

void TestKeyops::cleanupTestCase()
{
    delete m_window;
    m_window = nullptr;
}

qint64 TestKeyops::calls(const char* function)
{
    return m_skf.stats().value(QString::fromLatin1(function));
}

bool TestKeyops::answer(ModalDriver& driver, Shown* shown)
{
    driver.inspect([shown](QWidget* dialog) {
        if (auto* box = qobject_cast<myMessageBox*>(dialog))
            *shown = readMessage(box);
    });
    driver.click("btn_msg_ok");
    return true;
}

bool TestKeyops::tokenAccepts(const QString& pin)
{
    cDevMgr* mgr = cDevMgr::getInst();
    ULONG retry = 0;
    const bool accepted = mgr->open({kToken, kApp, std::string(), -1}) == SAR_OK &&
                          mgr->VerifyPIN(1, pin.toUtf8().constData(), &retry) == SAR_OK;
    mgr->close();
    return accepted;
}

bool TestKeyops::clickAndAnswer(QPushButton* button, Shown* shown)
{
    if (!button->isEnabled())
        return false;
    ModalDriver driver;
    answer(driver, shown);
    button->click();
    if (!driver.ok())
        qWarning("%s", qPrintable(driver.errors().join('\n')));
    return driver.ok();
}

namespace {

// Object names of the line edits, in any window or dialog, whose text holds `pin`.
QStringList editsHolding(const QString& pin)
{
    QStringList names;
    for (QWidget* w : QApplication::allWidgets()) {
        auto* edit = qobject_cast<QLineEdit*>(w);
        if (edit && !pin.isEmpty() && edit->text().contains(pin))
            names << edit->objectName();
    }
    return names;
}

} // namespace

void TestKeyops::answerAndLookForPin(ModalDriver& driver, Shown* shown, const QString& pin, QStringList* holding)
{
    driver.inspect([=](QWidget* dialog) {
        shown->mode = static_cast<myMessageBox*>(dialog)->lastMode();
        shown->text = dialog->findChild<QLabel*>("lab_msg")->text();
        *holding << editsHolding(pin);
    });
    driver.click("btn_msg_ok");
}

void TestKeyops::setCertButtons(bool enabled)
{
    for (const char* name : {"btn_ImpCert", "btn_ExpCert", "btn_DelCtn"})
        child<QPushButton>(name)->setEnabled(enabled);
}

bool TestKeyops::certButtons(bool enabled)
{
    for (const char* name : {"btn_ImpCert", "btn_ExpCert", "btn_DelCtn"}) {
        if (child<QPushButton>(name)->isEnabled() != enabled)
            return false;
    }
    return true;
}

void TestKeyops::inputRules_data()
{
    // Fields are set in the order given ("name=text"); "chb_devAuthkey=off" unchecks the default-key box.
    QTest::addColumn<QStringList>("edits");
    QTest::addColumn<QString>("button");
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<QStringList>("counters"); // "label=text" after the edits

    const QString a31 = repeat("a", 31);
    auto row = [](const char* name, QStringList edits, const char* button, bool enabled, QStringList counters) {
        QTest::newRow(name) << edits << QString(button) << enabled << counters;
    };
    const char* lab = "btn_ChangeLab_OK";
    row("label: 31 ascii", {"NewLabelEdit=" + a31}, lab, true, {"lab_nameCheck_1=" + counter(31)});
    row("label: 1 ascii", {"NewLabelEdit=a"}, lab, true, {"lab_nameCheck_1=" + counter(1)});
    row("label: 11 chinese", {"NewLabelEdit=" + repeat("网", 11)}, lab, false, {"lab_nameCheck_1=" + counter(33)});
    row("label: 10 chinese", {"NewLabelEdit=" + repeat("网", 10)}, lab, true, {"lab_nameCheck_1=" + counter(30)});
    row("label: 10 chinese and a", {"NewLabelEdit=" + repeat("网", 10) + "a"}, lab, true,
        {"lab_nameCheck_1=" + counter(31)});
    row("label: 10 chinese and ab", {"NewLabelEdit=" + repeat("网", 10) + "ab"}, lab, false,
        {"lab_nameCheck_1=" + counter(32)});
    row("label: cleared", {"NewLabelEdit=" + a31, "NewLabelEdit="}, lab, false, {"lab_nameCheck_1="});

    const char* ver = "btn_VerifyPIN_OK";
    row("verify: 6", {"VerifyPIN_Edit=123456"}, ver, true, {"lab_PINcheck=" + counter(6)});
    row("verify: 5", {"VerifyPIN_Edit=12345"}, ver, false, {"lab_PINcheck=" + counter(5)});
    row("verify: 16", {"VerifyPIN_Edit=" + repeat("9", 16)}, ver, true, {"lab_PINcheck=" + counter(16)});
    // One per character: two Chinese characters and four letters are six.
    row("verify: latin-1 count", {"VerifyPIN_Edit=" + repeat("密", 2) + "abcd"}, ver, true,
        {"lab_PINcheck=" + counter(6)});
    row("verify: cleared", {"VerifyPIN_Edit=123456", "VerifyPIN_Edit="}, ver, false, {"lab_PINcheck="});

    const char* chg = "btn_ChangPIN_OK";
    row("change: 6, 7, 8", {"OldPIN_Edit=123456", "NewPIN_Edit=1234567", "ConfirmPIN_Edit=12345678"}, chg, true,
        {"lab_oldPINCheck=" + counter(6), "lab_NewPINCheck=" + counter(7), "lab_ConfirmPINCheck=" + counter(8)});
    row("change: old 5", {"OldPIN_Edit=12345", "NewPIN_Edit=123456", "ConfirmPIN_Edit=123456"}, chg, false,
        {"lab_oldPINCheck=" + counter(5), "lab_NewPINCheck=" + counter(6), "lab_ConfirmPINCheck=" + counter(6)});
    row("change: confirm 5", {"OldPIN_Edit=123456", "NewPIN_Edit=123456", "ConfirmPIN_Edit=12345"}, chg, false,
        {"lab_ConfirmPINCheck=" + counter(5)});
    row("change: old typed last", {"NewPIN_Edit=123456", "ConfirmPIN_Edit=123456", "OldPIN_Edit=123456"}, chg, true,
        {"lab_oldPINCheck=" + counter(6)});
    row("change: new cleared", {"OldPIN_Edit=123456", "NewPIN_Edit=123456", "ConfirmPIN_Edit=123456", "NewPIN_Edit="},
        chg, false, {"lab_oldPINCheck=" + counter(6), "lab_NewPINCheck=", "lab_ConfirmPINCheck=" + counter(6)});
    // No rule but the lengths while typing: mismatching and equal PINs enable OK.
    row("change: mismatch allowed", {"OldPIN_Edit=abcdef", "NewPIN_Edit=abcdef", "ConfirmPIN_Edit=zzzzzz"}, chg, true,
        {});

    const char* unb = "btn_UnblockPIN_OK";
    row("unblock: all 6", {"SOPIN_Edit=123456", "UserPIN_Edit=abcdef", "ConfirmUserPIN_Edit=abcdef"}, unb, true, {});
    row("unblock: SO 5", {"SOPIN_Edit=12345", "UserPIN_Edit=abcdef", "ConfirmUserPIN_Edit=abcdef"}, unb, false, {});
    row("unblock: confirm 5", {"SOPIN_Edit=123456", "UserPIN_Edit=abcdef", "ConfirmUserPIN_Edit=abcde"}, unb, false,
        {});

    const char* key = "btn_ChangAuthKey_OK";
    const QString k16 = repeat("k", 16);
    row("device key: all 16", {"OldAuthKey_Edit=" + k16, "NewAuthKey_Edit=" + k16, "ConfirmAuthKey_Edit=" + k16}, key,
        true, {});
    row("device key: new 15",
        {"OldAuthKey_Edit=" + k16, "NewAuthKey_Edit=" + repeat("k", 15), "ConfirmAuthKey_Edit=" + k16}, key, false, {});

    const char* ini = "btn_Initialize_OK";
    row("init default: PINs and label",
        {"Init_NewSOPIN_Edit=123456", "Init_NewUserPIN_Edit=123456", "Init_LabelName_Edit=L"}, ini, true, {});
    row("init default: no label", {"Init_NewSOPIN_Edit=123456", "Init_NewUserPIN_Edit=123456"}, ini, false, {});
    row("init default: user PIN 5",
        {"Init_NewSOPIN_Edit=123456", "Init_NewUserPIN_Edit=12345", "Init_LabelName_Edit=L"}, ini, false, {});
    row("init own key: none",
        {"chb_devAuthkey=off", "Init_NewSOPIN_Edit=123456", "Init_NewUserPIN_Edit=123456", "Init_LabelName_Edit=L"},
        ini, false, {});
    row("init own key: 15",
        {"chb_devAuthkey=off", "Init_DevAuthKey_Edit=" + repeat("k", 15), "Init_NewSOPIN_Edit=123456",
         "Init_NewUserPIN_Edit=123456", "Init_LabelName_Edit=L"},
        ini, false, {});
    row("init own key: 16",
        {"chb_devAuthkey=off", "Init_DevAuthKey_Edit=" + k16, "Init_NewSOPIN_Edit=123456",
         "Init_NewUserPIN_Edit=123456", "Init_LabelName_Edit=L"},
        ini, true, {});
    // Checking the box again drops the key requirement at once.
    row("init own key then default",
        {"chb_devAuthkey=off", "Init_NewSOPIN_Edit=123456", "Init_NewUserPIN_Edit=123456", "Init_LabelName_Edit=L",
         "chb_devAuthkey=on"},
        ini, true, {});
}

void TestKeyops::inputRules()
{
    QFETCH(QStringList, edits);
    QFETCH(QString, button);
    QFETCH(bool, enabled);
    QFETCH(QStringList, counters);

    auto* box = child<QCheckBox>("chb_devAuthkey");
    for (const QString& edit : edits) {
        const QString name = edit.section('=', 0, 0);
        const QString text = edit.section('=', 1);
        if (name == "chb_devAuthkey") {
            if (box->isChecked() != (text == "on"))
                box->click();
            continue;
        }
        auto* field = child<QLineEdit>(name);
        field->setText(text);
        QCOMPARE(field->text(), text);
    }
    QCOMPARE(child<QPushButton>(button)->isEnabled(), enabled);
    for (const QString& c : counters)
        QCOMPARE(child<QLabel>(c.section('=', 0, 0))->text(), c.section('=', 1));
    QCOMPARE(child<QLineEdit>("Init_DevAuthKey_Edit")->isEnabled(), !box->isChecked());
}

void TestKeyops::labelFieldRefusesThe32ndCharacter()
{
    auto* edit = child<QLineEdit>("NewLabelEdit");
    auto* ok = child<QPushButton>("btn_ChangeLab_OK");
    edit->setFocus();
    QTest::keyClicks(edit, repeat("b", 31));
    QVERIFY(ok->isEnabled());
    QCOMPARE(child<QLabel>("lab_nameCheck_1")->text(), counter(31));
    // The field holds 31 characters: the 32nd is refused, the counter and the button stay.
    QTest::keyClicks(edit, "b");
    QCOMPARE(edit->text().size(), 31);
    QVERIFY(ok->isEnabled());
    // With room for it, the 32nd byte disables OK.
    edit->setMaxLength(32767);
    QTest::keyClicks(edit, "b");
    QVERIFY(!ok->isEnabled());
    QCOMPARE(child<QLabel>("lab_nameCheck_1")->text(), counter(32));
    QTest::keyClick(edit, Qt::Key_Backspace);
    QVERIFY(ok->isEnabled());
}

void TestKeyops::newLabelEditRule()
{
    auto* ok = child<QPushButton>("btn_ChangeLab_OK");
    child<QLineEdit>("NewLabelEdit")->setText(repeat("网", 11));
    QVERIFY(!ok->isEnabled());
    // This rule counts characters only, without an upper bound.
    m_window->NewLabelEdit_Valuechange();
    QVERIFY(ok->isEnabled());
    child<QLineEdit>("NewLabelEdit")->clear();
    m_window->NewLabelEdit_Valuechange();
    QVERIFY(!ok->isEnabled());
}

void TestKeyops::pageButtons()
{
    auto* pages = child<QTabWidget>("tabWidget_2");
    child<QLineEdit>("NewLabelEdit")->setText("typed");
    m_window->btn_changeLabel();
    QCOMPARE(pages->currentIndex(), 2);
    QVERIFY(child<QLineEdit>("NewLabelEdit")->text().isEmpty());
    QVERIFY(!child<QPushButton>("btn_ChangeLab_OK")->isEnabled());

    child<QLineEdit>("VerifyPIN_Edit")->setText("123456");
    QVERIFY(child<QPushButton>("btn_VerifyPIN_OK")->isEnabled());
    m_window->btn_verifyPin();
    QCOMPARE(pages->currentIndex(), 3);
    QVERIFY(child<QLineEdit>("VerifyPIN_Edit")->text().isEmpty());
    QVERIFY(!child<QPushButton>("btn_VerifyPIN_OK")->isEnabled());

    m_window->btn_keyinfo();
    QCOMPARE(pages->currentIndex(), 1);
}

void TestKeyops::verifyPin_data()
{
    QTest::addColumn<QString>("pin");
    QTest::addColumn<int>("remainingBefore");
    QTest::addColumn<quint32>("fault"); // result injected into SKF_VerifyPIN, 0 for none
    QTest::addColumn<bool>("certsBefore");
    QTest::addColumn<unsigned>("mode");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("remainingAfter");
    QTest::addColumn<bool>("certsAfter");

    QTest::newRow("right PIN restores tries")
        << kPin << 2 << 0u << false << 2000u << "Successfully verify the RUZ-Ururov password" << 6 << true;
    QTest::newRow("wrong PIN, 3 left") << "87654321" << 4 << 0u << true << 2009u
                                       << "Failure in verifying RUZ-Ururov password 3" << 3 << true;
    QTest::newRow("wrong PIN, buttons stay off")
        << "87654321" << 6 << 0u << false << 2009u << "Failure in verifying RUZ-Ururov password 5" << 5 << false;
    QTest::newRow("locked") << kPin << 0 << 0u << false << 2007u << "RUZ-Ururov password locked" << 0 << false;
    QTest::newRow("device fault") << kPin << 6 << quint32(SAR_FAIL) << false << 7000u << "Operation failed" << 6
                                  << false;
}

void TestKeyops::verifyPin()
{
    QFETCH(QString, pin);
    QFETCH(int, remainingBefore);
    QFETCH(quint32, fault);
    QFETCH(bool, certsBefore);
    QFETCH(unsigned, mode);
    QFETCH(QString, text);
    QFETCH(int, remainingAfter);
    QFETCH(bool, certsAfter);

    QVERIFY(m_skf.setPin(kToken, "user", QString(), -1, remainingBefore));
    if (fault)
        QVERIFY(m_skf.fail("SKF_VerifyPIN", fault));
    setCertButtons(certsBefore);
    m_window->btn_verifyPin();

    auto* edit = child<QLineEdit>("VerifyPIN_Edit");
    edit->setFocus();
    QTest::keyClicks(edit, pin);
    Shown shown;
    QVERIFY(clickAndAnswer(child<QPushButton>("btn_VerifyPIN_OK"), &shown));
    QCOMPARE(shown.mode, mode);
    QCOMPARE(shown.title, QString("Verify PIN"));
    QCOMPARE(shown.text, text);
    QVERIFY(certButtons(certsAfter));
    QCOMPARE(m_skf.userPin(kToken).value("remainingRetries").toInt(), remainingAfter);
    QVERIFY(edit->text().isEmpty());
    QVERIFY(child<QLabel>("lab_PINcheck")->text().isEmpty());
    QVERIFY(!child<QPushButton>("btn_VerifyPIN_OK")->isEnabled());
}

void TestKeyops::changePage_data()
{
    QTest::addColumn<QString>("oldPin");
    QTest::addColumn<QString>("newPin");
    QTest::addColumn<QString>("confirmPin");
    QTest::addColumn<int>("remainingBefore");
    QTest::addColumn<quint32>("fault");
    QTest::addColumn<unsigned>("mode");
    QTest::addColumn<QString>("pinAfter"); // the PIN the token then accepts
    QTest::addColumn<int>("remainingAfter");
    QTest::addColumn<bool>("tokenCalled");

    // The mismatch is found before the equality.
    QTest::newRow("mismatch and equal") << kPin << kPin << "12345679" << 6 << 0u << 2005u << kPin << 6 << false;
    QTest::newRow("mismatch in length") << kPin << "abcdef12"
                                        << "abcdef123" << 6 << 0u << 2005u << kPin << 6 << false;
    QTest::newRow("equal") << kPin << kPin << kPin << 6 << 0u << 2006u << kPin << 6 << false;
    // No character-class rule on this page.
    QTest::newRow("changed, digits only") << kPin << "654321"
                                          << "654321" << 6 << 0u << 2001u << "654321" << 6 << true;
    QTest::newRow("wrong old PIN") << "11111111"
                                   << "abcdef12"
                                   << "abcdef12" << 3 << 0u << 2009u << kPin << 2 << true;
    QTest::newRow("locked") << kPin << "abcdef12"
                            << "abcdef12" << 0 << 0u << 2007u << QString() << 0 << true;
    QTest::newRow("device fault") << kPin << "abcdef12"
                                  << "abcdef12" << 6 << quint32(SAR_FAIL) << 7000u << kPin << 6 << true;
}

void TestKeyops::changePage()
{
    QFETCH(QString, oldPin);
    QFETCH(QString, newPin);
    QFETCH(QString, confirmPin);
    QFETCH(int, remainingBefore);
    QFETCH(quint32, fault);
    QFETCH(unsigned, mode);
    QFETCH(QString, pinAfter);
    QFETCH(int, remainingAfter);
    QFETCH(bool, tokenCalled);

    QVERIFY(m_skf.setPin(kToken, "user", QString(), -1, remainingBefore));
    if (fault)
        QVERIFY(m_skf.fail("SKF_ChangePIN", fault));
    setCertButtons(true);
    child<QLineEdit>("OldPIN_Edit")->setText(oldPin);
    child<QLineEdit>("NewPIN_Edit")->setText(newPin);
    child<QLineEdit>("ConfirmPIN_Edit")->setText(confirmPin);
    const qint64 before = calls("SKF_ChangePIN");

    Shown shown;
    QVERIFY(clickAndAnswer(child<QPushButton>("btn_ChangPIN_OK"), &shown));
    QCOMPARE(shown.mode, mode);
    QCOMPARE(shown.title, QString("Change PIN"));
    if (mode == 2009)
        QCOMPARE(shown.text, QString("Failure in verifying RUZ-Ururov password %1").arg(remainingAfter));
    QCOMPARE(calls("SKF_ChangePIN") - before, qint64(tokenCalled ? 1 : 0));
    QVERIFY(certButtons(false));
    for (const char* name : {"OldPIN_Edit", "NewPIN_Edit", "ConfirmPIN_Edit"})
        QVERIFY(child<QLineEdit>(name)->text().isEmpty());
    for (const char* name : {"lab_oldPINCheck", "lab_NewPINCheck", "lab_ConfirmPINCheck"})
        QVERIFY(child<QLabel>(name)->text().isEmpty());
    QVERIFY(!child<QPushButton>("btn_ChangPIN_OK")->isEnabled());

    QCOMPARE(m_skf.userPin(kToken).value("remainingRetries").toInt(), remainingAfter);
    if (!pinAfter.isEmpty()) {
        QVERIFY(m_skf.clearFaults());
        QVERIFY(tokenAccepts(pinAfter));
    }
}

void TestKeyops::changeThroughDialog_data()
{
    QTest::addColumn<QString>("oldPin");
    QTest::addColumn<QString>("newPin");
    QTest::addColumn<int>("remainingBefore");
    QTest::addColumn<quint32>("fault");
    QTest::addColumn<unsigned>("mode");
    QTest::addColumn<QString>("pinAfter");
    QTest::addColumn<int>("remainingAfter");

    QTest::newRow("wrong old PIN, 3 left") << "00000000"
                                           << "Abc123" << 4 << 0u << 2009u << kPin << 3;
    QTest::newRow("locked") << kPin << "Abc123" << 0 << 0u << 2007u << QString() << 0;
    QTest::newRow("device fault") << kPin << "Abc123" << 6 << quint32(SAR_FAIL) << 7000u << kPin << 6;
}

void TestKeyops::changeThroughDialog()
{
    QFETCH(QString, oldPin);
    QFETCH(QString, newPin);
    QFETCH(int, remainingBefore);
    QFETCH(quint32, fault);
    QFETCH(unsigned, mode);
    QFETCH(QString, pinAfter);
    QFETCH(int, remainingAfter);

    QVERIFY(m_skf.setPin(kToken, "user", QString(), -1, remainingBefore));
    if (fault)
        QVERIFY(m_skf.fail("SKF_ChangePIN", fault));
    setCertButtons(true);
    ModalDriver driver;
    driver.type("oldPIN_edit", oldPin).type("newPIN_edit", newPin).type("confirmPIN_edit", newPin).click("btn_ok");
    Shown shown;
    answer(driver, &shown);
    child<QPushButton>("btn_ChangePIN")->setEnabled(true);
    child<QPushButton>("btn_ChangePIN")->click();
    QVERIFY2(driver.ok(), qPrintable(driver.errors().join('\n')));
    QCOMPARE(driver.seen().at(0).className, QString("SetPin"));
    QCOMPARE(shown.mode, mode);
    QCOMPARE(shown.title, QString("Change PIN"));
    if (mode == 2009)
        QCOMPARE(shown.text, QString("Failure in verifying RUZ-Ururov password %1").arg(remainingAfter));
    // The dialog does not touch the certificate buttons.
    QVERIFY(certButtons(true));
    QCOMPARE(m_skf.userPin(kToken).value("remainingRetries").toInt(), remainingAfter);
    if (!pinAfter.isEmpty()) {
        QVERIFY(m_skf.clearFaults());
        QVERIFY(tokenAccepts(pinAfter));
    }
}

void TestKeyops::changeDialogLeftWithoutChange_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("cancel") << "cancel";
    QTest::newRow("close") << "close";
    QTest::newRow("escape") << "escape";
}

void TestKeyops::changeDialogLeftWithoutChange()
{
    QFETCH(QString, how);
    const qint64 before = calls("SKF_ChangePIN");
    {
        ModalDriver driver;
        driver.setTimeout(300);
        driver.type("oldPIN_edit", kPin).type("newPIN_edit", "Abc123").type("confirmPIN_edit", "Abc123");
        if (how == "cancel")
            driver.click("btn_exit");
        else if (how == "close")
            driver.close();
        else
            driver.escape();
        // A message dialog, if one followed, would be answered here and seen.
        Shown shown;
        answer(driver, &shown);
        child<QPushButton>("btn_ChangePIN")->setEnabled(true);
        child<QPushButton>("btn_ChangePIN")->click();
        QCOMPARE(driver.doneSteps(), 1);
        QCOMPARE(driver.seen().at(0).className, QString("SetPin"));
        QCOMPARE(driver.pendingSteps(), 1);
        QCOMPARE(shown.mode, 0u);
    }
    QCOMPARE(m_window->messageBox()->lastMode(), 0u);
    QCOMPARE(calls("SKF_ChangePIN"), before);
    QVERIFY(tokenAccepts(kPin));
}

void TestKeyops::changeLabel_data()
{
    QTest::addColumn<QString>("label");
    QTest::addColumn<bool>("byButton"); // false: the button is disabled, the handler is run directly
    QTest::addColumn<quint32>("fault");
    QTest::addColumn<unsigned>("mode");
    QTest::addColumn<QString>("labelAfter");

    const QString a31 = repeat("L", 31);
    QTest::newRow("31 characters") << a31 << true << 0u << 3001u << a31;
    QTest::newRow("one character") << "x" << true << 0u << 3001u << "x";
    QTest::newRow("10 chinese") << repeat("网", 10) << true << 0u << 3001u << repeat("网", 10);
    QTest::newRow("32 characters") << repeat("L", 32) << false << 0u << 3000u << kLabel;
    QTest::newRow("11 chinese") << repeat("网", 11) << false << 0u << 3000u << kLabel;
    QTest::newRow("refused by the token") << "new label" << true << quint32(SAR_FAIL) << 7000u << kLabel;
}

void TestKeyops::changeLabel()
{
    QFETCH(QString, label);
    QFETCH(bool, byButton);
    QFETCH(quint32, fault);
    QFETCH(unsigned, mode);
    QFETCH(QString, labelAfter);

    if (fault)
        QVERIFY(m_skf.fail("SKF_SetLabel", fault));
    auto* edit = child<QLineEdit>("NewLabelEdit");
    auto* ok = child<QPushButton>("btn_ChangeLab_OK");
    edit->setMaxLength(32767);
    edit->setText(label);
    QCOMPARE(ok->isEnabled(), byButton);
    const qint64 before = calls("SKF_SetLabel");

    Shown shown;
    if (byButton) {
        QVERIFY(clickAndAnswer(ok, &shown));
    } else {
        ModalDriver driver;
        answer(driver, &shown);
        m_window->btn_changelabe_ok();
        QVERIFY2(driver.ok(), qPrintable(driver.errors().join('\n')));
    }
    QCOMPARE(shown.mode, mode);
    QCOMPARE(shown.title, QString("Change Label"));
    QCOMPARE(calls("SKF_SetLabel") - before, qint64(mode == 3000 ? 0 : 1));
    QCOMPARE(m_skf.show(kToken).value("label").toString(), labelAfter);
    QVERIFY(edit->text().isEmpty());
    QVERIFY(child<QLabel>("lab_nameCheck_1")->text().isEmpty());
    QVERIFY(!ok->isEnabled());
}

void TestKeyops::pinBytesOnEveryPath_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("pin");
    // Setting paths refuse a non-ASCII PIN; sending paths send what was typed, as UTF-8.
    for (const char* path : {"forced change", "change page", "SetPin", "verify page", "clean-up"}) {
        QTest::addRow("%s, ASCII", path) << path << "Kv3939 ab";
        QTest::addRow("%s, non-ASCII", path) << path << "Abcdeé1";
    }
}

void TestKeyops::pinBytesOnEveryPath()
{
    QFETCH(QString, path);
    QFETCH(QString, pin);
    const bool ascii = std::all_of(pin.begin(), pin.end(), [](QChar c) { return c.unicode() < 0x80; });
    const bool sets = path == "forced change" || path == "change page" || path == "SetPin";
    // Not kPin: the token's default device key holds those bytes, and softskf reads it.
    const QString oldPin = sets ? QStringLiteral("Vb5151qq") : pin;
    QVERIFY(m_skf.setPin(kToken, "user", oldPin, -1, -1, path == "forced change" ? 1 : 0));
    const qint64 changesBefore = calls("SKF_ChangePIN");
    // From here on the test makes no copy of either PIN that it releases: any buffer released with
    // one in it is the product's.
    FreeWatch watch({oldPin, pin});
    // Fields get copies of their own: the product wipes what a field held.
    auto fill = [this](const char* edit, const QString& text) {
        child<QLineEdit>(edit)->setText(QString(text.constData(), text.size()));
    };

    Shown shown;
    QStringList holding;
    ModalDriver driver;
    if (path == "forced change" || path == "SetPin") {
        const bool form = path == "forced change";
        driver.type(form ? "OldPIN_Edit" : "oldPIN_edit", oldPin).type(form ? "NewPIN_Edit" : "newPIN_edit", pin);
        driver.type(form ? "ConfirmPIN_Edit" : "confirmPIN_edit", pin).click(form ? "btn_msg_ok" : "btn_ok");
    } else if (path == "clean-up") {
        driver.type("lineEdit_pin", pin).click("btn_ok");
    }
    if (path == "SetPin" && !ascii) {
        driver.inspect([&](QWidget* dialog) { shown.text = dialog->findChild<QLabel*>("msg_label")->text(); });
        driver.click("btn_exit");
    } else {
        answerAndLookForPin(driver, &shown, pin, &holding);
    }
    if (path == "forced change") {
        if (!ascii)
            driver.escape(); // the form again, left
        // Typed on the verify page but never sent: the token event empties that page too.
        fill("VerifyPIN_Edit", pin);
        m_window->slotEventChange();
    } else if (path == "change page") {
        fill("OldPIN_Edit", oldPin);
        fill("NewPIN_Edit", pin);
        fill("ConfirmPIN_Edit", pin);
        child<QPushButton>("btn_ChangPIN_OK")->click();
    } else if (path == "verify page") {
        m_window->btn_verifyPin();
        fill("VerifyPIN_Edit", pin);
        child<QPushButton>("btn_VerifyPIN_OK")->click();
    } else {
        QPushButton* button = child<QPushButton>(path == "SetPin" ? "btn_ChangePIN" : "btn_clearEmptyCtn");
        button->setEnabled(true);
        button->click();
    }
    QVERIFY2(driver.ok(), qPrintable(driver.errors().join('\n')));
    const QString unwiped = watch.unwiped();
    QVERIFY2(unwiped.isEmpty(), qPrintable(unwiped));
    holding << editsHolding(pin);
    QVERIFY2(holding.isEmpty(), qPrintable("still holding the PIN: " + holding.join(' ')));

    if (sets && !ascii) {
        if (path == "SetPin")
            QCOMPARE(shown.text, QString("密码设置规则:6-16位字母+数字，示例:kv3939"));
        else
            QCOMPARE(shown.mode, 2032u);
        QCOMPARE(calls("SKF_ChangePIN"), changesBefore);
        QVERIFY(tokenAccepts(oldPin));
        return;
    }
    QCOMPARE(shown.mode, path == "clean-up" ? 9011u : sets ? 2001u : 2000u);
    // The token holds exactly these bytes, and the verify page reaches them.
    QVERIFY(tokenAccepts(pin));
    if (sets) {
        // A token event (the forced change runs in one) resets the pages: choose the token again.
        m_window->chooseDev(kToken);
        m_window->btn_verifyPin();
        fill("VerifyPIN_Edit", pin);
        QVERIFY(clickAndAnswer(child<QPushButton>("btn_VerifyPIN_OK"), &shown));
        QCOMPARE(shown.mode, 2000u);
    }
}

void TestKeyops::loginEndsWithTheChoice_data()
{
    QTest::addColumn<QString>("after"); // what follows the PIN's verification
    QTest::addColumn<bool>("loggedIn"); // the token still allows deletion
    QTest::newRow("its certificate page") << "certificate page" << true;
    QTest::newRow("another token chosen") << "another token" << false;
    QTest::newRow("a token event") << "token event" << false;
    QTest::newRow("window closed to the tray") << "close" << false;
    QTest::newRow("clean-up, which verifies on its own") << "clean-up" << false;
    QTest::newRow("window destroyed") << "destroy" << false;
}

void TestKeyops::loginEndsWithTheChoice()
{
    QFETCH(QString, after);
    QFETCH(bool, loggedIn);
    ModalDriver driver;
    Shown shown;
    answer(after == "clean-up" ? driver.type("lineEdit_pin", kPin).click("btn_ok") : driver, &shown);
    if (after != "clean-up") {
        m_window->btn_verifyPin();
        QTest::keyClicks(child<QLineEdit>("VerifyPIN_Edit"), kPin);
    }
    child<QPushButton>(after == "clean-up" ? "btn_clearEmptyCtn" : "btn_VerifyPIN_OK")->click();
    QVERIFY2(driver.ok(), qPrintable(driver.errors().join('\n')));
    QCOMPARE(shown.mode, after == "clean-up" ? 9011u : 2000u);
    if (after == "certificate page")
        m_window->chooseApp(kToken);
    else if (after == "another token")
        m_window->chooseDev("OTHER");
    else if (after == "token event")
        m_window->slotEventChange();
    else if (after == "close")
        m_window->close();
    else if (after == "destroy")
        delete std::exchange(m_window, nullptr);
    // Delete is offered exactly as long as the login it needs lasts.
    QVERIFY(!m_window || child<QPushButton>("btn_DelCtn")->isEnabled() == loggedIn);
    cDevMgr* mgr = cDevMgr::getInst();
    QCOMPARE(mgr->open({kToken, kApp, std::string(), -1}), ULONG(SAR_OK));
    // A container that is not there: the token answers whether it would delete before it looks.
    QCOMPARE(mgr->DeleteContainer("none"), ULONG(loggedIn ? SAR_FILE_NOT_EXIST : SAR_USER_NOT_LOGGED_IN));
    mgr->close();
    if (m_window)
        m_window->show();
}

QTEST_MAIN(TestKeyops)
#include "tst_keyops.moc"
