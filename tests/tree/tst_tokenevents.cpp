// Token insertion and removal through softskf-ctl with the monitor running: a slow library at
// start-up, tray messages, the web address, the settings file read at each insertion, the expiry
// warning, the forced PIN change, and events that come while a dialog is open.
#include "MainWindow.h"
#include "cDevMgr.h"
#include "certfile_dialogs.h"
#include "modaldriver.h"
#include "myMessageBox.h"
#include "softskf_fixture.h"
#include "testfiles.h"
#include "traylog.h"
#include "widgets.h"
#include "windowsetup.h"

#include <QApplication>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QScopeGuard>
#include <QStandardItemModel>
#include <QTabWidget>
#include <QTreeView>
#include <QtTest>

class TstTokenEvents : public QObject
{
    Q_OBJECT

    // Plugs the token in or out; true once the window has handled the event and told it.
    bool plug(const QString& name, bool in) { return m_tray->plug(m_fx, name, in); }
    QStringList presentTokens()
    {
        QStringList names;
        for (const QJsonValue& token : m_fx.list()) {
            if (token.toObject().value("present").toBool())
                names << token.toObject().value("name").toString();
        }
        return names;
    }
    bool verifies(const QString& token, const char* pin)
    {
        cDevMgr* mgr = cDevMgr::getInst();
        ULONG retry = 0;
        return mgr->open({token.toStdString(), "ORVANE-PKIAPP", std::string(), -1}) == SAR_OK &&
               mgr->VerifyPIN(1, pin, &retry) == SAR_OK;
    }

private slots:
    void initTestCase();
    void cleanup();
    void startupAnnouncesNothing();
    void insertionOpensAddressAsSettingsSay();
    void removalKeepsTrayIconState();
    void expiryNoticeOnInsertion_data();
    void expiryNoticeOnInsertion();
    void defaultPinIsChangedBeforeAnythingElse();
    void forcedChangeEndsOnRemovalAndReturns();
    void actionReachesChosenTokenAfterReplug_data();
    void actionReachesChosenTokenAfterReplug();
    void forcedChangeWaitsForOpenMessage();
    void eventsDuringBusyHandlerKeepTheirOrder();

private:
    SoftSkfFixture m_fx;
    MainWindow* m_window = nullptr;
    TrayLog* m_tray = nullptr;
};

void TstTokenEvents::initTestCase()
{
    QVERIFY2(m_fx.init(), m_fx.lastError().constData());
    QVERIFY(writeAppSettings(true));
    // A token present before start, and a library slower to load than any fixed wait would allow.
    QVERIFY(m_fx.createToken("EARLY"));
    QVERIFY(m_fx.latency("load", 3000));
    useBuiltInTexts();
    m_window = new MainWindow;
    m_tray = new TrayLog(m_window);
    // Still loading after the second the window once waited for it.
    QTest::qWait(1100);
    QVERIFY(!cDevMgr::getInst()->pSKF);
    QTRY_VERIFY_WITH_TIMEOUT(m_window->startupDone(), 20000);
    QVERIFY(cDevMgr::getInst()->pSKF);
    QVERIFY(m_fx.latency("load", 0));
}

void TstTokenEvents::cleanup()
{
    // A function that failed half-way may leave a token with its factory PIN plugged in, whose
    // change form would come up at every later event with nobody to answer it.
    if (!QTest::currentTestFailed())
        return;
    for (const QJsonValue& token : m_fx.list())
        m_fx.setPin(token.toObject().value("name").toString(), "user", QString(), -1, -1, 0);
}

void TstTokenEvents::startupAnnouncesNothing()
{
    QCOMPARE(m_tray->size(), 0);
    QCOMPARE(stubLog(), QByteArray());
    QCOMPARE(listedDevices(m_window), QStringList{"EARLY"});
}

void TstTokenEvents::insertionOpensAddressAsSettingsSay()
{
    QVERIFY(m_fx.createToken("WEB", false));

    // Auto-open on with no address: the bank's own address, once; start-up announced nothing.
    QVERIFY(plug("WEB", true));
    const QByteArray first = QByteArray("xdg-open 1\n") + kBankWebAddress + "\n";
    QTRY_COMPARE_WITH_TIMEOUT(stubLog(), first, 10000);
    QCOMPARE(m_tray->size(), 1);
    const TrayLog::Message& inserted = m_tray->messages().last();
    QCOMPARE(inserted.title, QString::fromUtf8("网上银行USB Key管理工具"));
    QCOMPARE(inserted.msecs, 3000);
    QVERIFY(listedDevices(m_window).contains("WEB"));

    // Switched off by hand in the file: no browser at the next insertion. The next one opens, and
    // the log then holds its address alone after the first.
    QVERIFY(writeAppSettings(false, "https://other.example/"));
    QVERIFY(plug("WEB", true));

    // On again with an address full of shell syntax: one argument, exactly as written.
    const QString address = QString::fromUtf8("https://x.example/?a=1&b=2;touch hacked 'q' \"d\" $(id) `id` > f");
    QVERIFY(writeAppSettings(true, address));
    QVERIFY(plug("WEB", true));
    const QByteArray second = first + "xdg-open 1\n" + address.toUtf8() + "\n";
    QTRY_COMPARE_WITH_TIMEOUT(stubLog(), second, 10000);

    // An address that would be read as an option is not passed; the next insertion's is.
    QVERIFY(writeAppSettings(true, "--version"));
    QVERIFY(plug("WEB", true));
    QVERIFY(writeAppSettings(true, "https://after.example/"));
    QVERIFY(plug("WEB", true));
    QTRY_COMPARE_WITH_TIMEOUT(stubLog(), second + "xdg-open 1\nhttps://after.example/\n", 10000);
    QVERIFY(writeAppSettings(false));
}

void TstTokenEvents::removalKeepsTrayIconState()
{
    // A hidden icon stays hidden at a removal; an insertion shows it.
    m_window->trayIcon()->hide();

    QVERIFY(plug("WEB", false));
    QCOMPARE(m_tray->messages().last().msecs, 3000);
    QVERIFY(!m_window->trayIcon()->isVisible());
    QVERIFY(!listedDevices(m_window).contains("WEB"));

    QVERIFY(plug("WEB", true));
    QVERIFY(m_window->trayIcon()->isVisible());
    QVERIFY(listedDevices(m_window).contains("WEB"));
}

void TstTokenEvents::expiryNoticeOnInsertion_data()
{
    QTest::addColumn<int>("days");
    QTest::addColumn<QString>("balloon");
    QTest::addColumn<QString>("boxText");
    QTest::addColumn<int>("boxIcon");

    const QString tail = QStringLiteral(" \nPlease contact your administrator for certificate update.");
    QTest::newRow("valid 100 days") << 100 << QString() << QString() << 0;
    QTest::newRow("15 days left") << 15 << "Your certificate will expire in 15 days." + tail << QString() << 0;
    QTest::newRow("3 days left") << 3 << QString() << "Your certificate will expire in 3 days." + tail
                                 << int(QMessageBox::Warning);
    QTest::newRow("expired 5 days") << -5 << QString() << "Your certificate has expired 5 days ago." + tail
                                    << int(QMessageBox::Critical);
}

void TstTokenEvents::expiryNoticeOnInsertion()
{
    QFETCH(int, days);
    QFETCH(QString, balloon);
    QFETCH(QString, boxText);
    QFETCH(int, boxIcon);

    const QString name =
        QStringLiteral("EXP%1").arg(days < 0 ? QStringLiteral("M%1").arg(-days) : QString::number(days));
    QVERIFY(m_fx.createToken(name, false));
    QVERIFY(m_fx.addContainer(name, "c1", "sm2"));
    QVERIFY(m_fx.addCert(name, "c1", false, "expiring", days));

    ModalDriver driver;
    int shownIcon = -1;
    if (!boxText.isEmpty()) {
        driver
            .inspect([&shownIcon](QWidget* box) {
                if (auto* messageBox = qobject_cast<QMessageBox*>(box))
                    shownIcon = messageBox->icon();
            })
            .click("btn_expiry_ok");
    }
    const int before = m_tray->size();
    // The box comes while the insertion is handled: once it is, no step is left.
    QVERIFY(plug(name, true));
    QVERIFY2(driver.ok(), qPrintable(driver.errors().join('\n')));

    const QStringList expiryBalloons = m_tray->texts(before).filter("certificate");
    QCOMPARE(expiryBalloons, balloon.isEmpty() ? QStringList() : QStringList{balloon});
    if (!boxText.isEmpty()) {
        QCOMPARE(driver.seen().size(), 1);
        QCOMPARE(driver.lastSeen().className, QStringLiteral("QMessageBox"));
        QCOMPARE(driver.lastSeen().windowTitle, QString::fromUtf8("网上银行USB Key管理工具"));
        QCOMPARE(driver.lastSeen().labels.value("qt_msgbox_label"), boxText);
        QCOMPARE(shownIcon, boxIcon);
        // Closing the box while the window is in the tray must not end the program.
        QVERIFY(!QApplication::quitOnLastWindowClosed());
    }
    QVERIFY(plug(name, false));
}

void TstTokenEvents::defaultPinIsChangedBeforeAnythingElse()
{
    // Named in GBK ("出厂") as enrolment programs name tokens: event, forced change and row reach its bytes.
    const QString factory = "\\xb3\\xf6\\xb3\\xa7";
    QVERIFY(m_fx.createToken(factory, false, true));

    ModalDriver driver;
    // An event arriving while the prompt is up waits until the handler is done with it.
    const int before = m_tray->size();
    int toldDuringPrompt = -1;
    driver.inspect([&](QWidget*) {
        // The monitor waiting again means it has taken the removal and passed it on.
        const qint64 waits = m_fx.stats().value("SKF_WaitForDevEvent");
        if (m_fx.remove("WEB") &&
            QTest::qWaitFor([&] { return m_fx.stats().value("SKF_WaitForDevEvent") > waits; }, 20000)) {
            QCoreApplication::processEvents();
            toldDuringPrompt = m_tray->size() - before - 1;
        }
    });
    driver.type("OldPIN_Edit", "12345678").type("NewPIN_Edit", "abcdef").type("ConfirmPIN_Edit", "abcdef");
    driver.click("btn_msg_ok");
    driver.click("btn_msg_ok");
    driver.type("OldPIN_Edit", "12345678").type("NewPIN_Edit", "abc123").type("ConfirmPIN_Edit", "abc123");
    driver.click("btn_msg_ok");
    driver.click("btn_msg_ok");

    // The insertion is handled with its prompts, then the removal held back.
    QVERIFY(plug(factory, true));
    QVERIFY2(driver.ok(), qPrintable(driver.errors().join('\n')));
    const QList<ModalDriver::Seen>& seen = driver.seen();
    QCOMPARE(seen.size(), 4);
    QCOMPARE(seen[1].labels.value("lab_msg"), QString::fromUtf8("密码设置规则:6-16位字母+数字，示例:kv3939"));
    QCOMPARE(seen[3].labels.value("lab_msg"), QStringLiteral("Successfully change the RUZ-Ururov password"));
    for (int form : {0, 2})
        QVERIFY(!seen[form].labels.contains("lab_msg"));
    QCOMPARE(toldDuringPrompt, 0);
    QCOMPARE(m_tray->size(), before + 2);
    QCOMPARE(m_tray->messages().last().text, QStringLiteral("RUZ-Ururov removed"));
    QVERIFY(!listedDevices(m_window).contains("WEB"));

    // The token now reports a changed PIN, so the next event asks nothing.
    QVERIFY(listedDevices(m_window).contains(QString::fromUtf8("出厂")));
    m_window->chooseDev(QString::fromUtf8("出厂"));
    const QAbstractItemModel* info = m_window->findChild<QTreeView*>("treeView_usbInfo")->model();
    QCOMPARE(info->index(11, 1).data().toString(), QStringLiteral("NO"));
    m_window->slotEventChange();
    QVERIFY(!QApplication::activeModalWidget());
    QVERIFY(plug(factory, false));
}

void TstTokenEvents::forcedChangeEndsOnRemovalAndReturns()
{
    QVERIFY(m_fx.createToken("PULLED", false, true));
    QVERIFY(m_fx.resetStats());
    ModalDriver driver;
    // Pulled out while the form is up: OK then sends nothing and the form does not come back.
    driver.type("OldPIN_Edit", "12345678").type("NewPIN_Edit", "abc123").type("ConfirmPIN_Edit", "abc123");
    driver.inspect([&](QWidget*) { QVERIFY(m_fx.remove("PULLED")); }).click("btn_msg_ok");
    // The next insertion offers it again; Esc leaves it.
    driver.escape();

    const int before = m_tray->size();
    QVERIFY(plug("PULLED", true));
    QVERIFY(m_tray->told(before + 1, "RUZ-Ururov removed"));
    QCOMPARE(driver.doneSteps(), 1);
    QVERIFY(plug("PULLED", true));
    QVERIFY2(driver.ok(), qPrintable(driver.errors().join('\n')));
    for (const ModalDriver::Seen& seen : driver.seen())
        QVERIFY(seen.labels.contains("lab_tips"));
    QCOMPARE(m_fx.stats().value("SKF_ChangePIN"), 0);
    QVERIFY(!QApplication::activeModalWidget());
    // Its factory PIN would be asked for again at every later event.
    QVERIFY(plug("PULLED", false));
}

void TstTokenEvents::actionReachesChosenTokenAfterReplug_data()
{
    QTest::addColumn<QString>("action");
    QTest::addColumn<QString>("button"); // that starts it
    QTest::addColumn<QString>("pin");    // typed as the current PIN
    QTest::addColumn<bool>("done");      // the action succeeds on the chosen token

    // A wrong PIN goes to the same token as a right one; what it costs there is tst_keyops' and tst_certs'.
    const QString right = "12345678", wrong = "87654321";
    auto row = [](const char* name, const char* action, const char* button, const QString& pin, bool done) {
        QTest::newRow(name) << QString(action) << QString(button) << pin << done;
    };
    row("Change PIN", "change dialog", "btn_ChangePIN", right, true);
    row("clean-up", "clean-up", "btn_clearEmptyCtn", right, true);
    row("label", "label", "btn_ChangeLab_OK", right, true);
    row("verify page, wrong PIN", "verify page", "btn_VerifyPIN_OK", wrong, false);
    row("change page", "change page", "btn_ChangPIN_OK", right, true);
    row("export", "export", "btn_ExpCert", right, true);
    row("delete", "delete", "btn_DelCtn", right, true);
    row("view", "view", "btn_ViewCert", right, true);
    row("import", "import", "btn_ImpCert", right, true);
}

void TstTokenEvents::actionReachesChosenTokenAfterReplug()
{
    QFETCH(QString, action);
    QFETCH(QString, button);
    QFETCH(QString, pin);
    QFETCH(bool, done);
    QVERIFY(writeAppSettings(false));
    // The other token is connected last by every rebuild.
    static int row = 0;
    const QString chosen = QStringLiteral("A-CHOSEN-%1").arg(++row);
    const QString other = QStringLiteral("Z-OTHER-%1").arg(row);
    for (const QString& name : {chosen, other}) {
        QVERIFY(m_fx.createToken(name, false));
        QVERIFY(m_fx.addContainer(name, "empty", "empty"));
        QVERIFY(m_fx.addContainer(name, "c1", "sm2"));
        QVERIFY(m_fx.addCert(name, "c1", true, name, 365));
        QVERIFY(plug(name, true));
    }
    auto state = [this](const QString& token) {
        QJsonObject shown = m_fx.show(token);
        shown.remove("generation"); // counts insertions
        return shown;
    };
    const QJsonObject otherBefore = state(other);
    const QByteArray otherCert = m_fx.certDer(other, "c1", true);
    const QByteArray chosenCert = m_fx.certDer(chosen, "c1", true);

    // As a user goes: the token's row, the page or dialog of the action, typing, OK and the result's OK.
    m_window->show();
    auto click = [](QTreeView* view, const QModelIndex& index) {
        for (QModelIndex above = index.parent(); above.isValid(); above = above.parent())
            view->expand(above);
        QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, view->visualRect(index).center());
    };
    auto type = [this](const char* edit, const QString& text) {
        auto* field = child<QLineEdit>(m_window, edit);
        field->clear();
        QTest::keyClicks(field, text);
    };
    auto press = [this](const char* button) { child<QPushButton>(m_window, button)->click(); };
    auto* devices = child<QTreeView>(m_window, "treeView_Dev");
    auto* certificates = child<QTreeView>(m_window, "treeView");
    click(devices, deviceRow(m_window, chosen));
    if (button.endsWith("Cert") || button == "btn_DelCtn") {
        // Import, export and delete work once the user PIN was verified.
        ModalDriver verified;
        verified.click("btn_msg_ok");
        press("btn_VerifyPIN");
        type("VerifyPIN_Edit", "12345678");
        press("btn_VerifyPIN_OK");
        QVERIFY2(verified.ok(), qPrintable(verified.errors().join('\n')));
        const QModelIndex device = deviceRow(m_window, chosen);
        click(devices, device.model()->index(0, 0, device));
        // The container row, or the certificate below its signature pair.
        const QModelIndex container = certificates->model()->index(1, 0);
        QVERIFY(container.data().toString().startsWith("c1"));
        const QModelIndex pair = container.model()->index(0, 0, container);
        click(certificates, action == "delete" || action == "import" ? container : pair.model()->index(0, 0, pair));
    }

    // The other token is connected last: plugged out and in while the action's first dialog is up, or
    // left connected by whatever ran before for an action that asks nothing before its token call and
    // for delete, whose login a token event ends.
    bool replugged = false;
    auto replug = [&] { replugged = plug(other, false) && plug(other, true); };
    auto connectOther = [&] {
        replugged = cDevMgr::getInst()->open({other.toStdString(), "ORVANE-PKIAPP", "c1", 1}) == SAR_OK;
    };
    const QString file = SoftSkfFixture::tempPath(action + ".cer");
    const QByteArray imported = SoftSkfFixture::makeCertificate("imported", QDateTime::currentDateTimeUtc().addDays(9));
    QVERIFY(writeFile(file, action == "import" ? imported : QByteArray()));
    certfile::setFileDialogsForTesting(
        [&](QWidget*, const QString&, const QString&) {
            replug();
            return file;
        },
        [&](QWidget*, const QString&, const QString&, const QString&) {
            replug();
            return file;
        });
    const auto restoreDialogs = qScopeGuard([] { certfile::setFileDialogsForTesting(nullptr, nullptr); });
    ModalDriver driver;
    if (action == "change dialog" || action == "clean-up")
        driver.inspect([&](QWidget*) { replug(); });
    if (action == "delete")
        driver.inspect([&](QWidget*) { connectOther(); });
    if (action == "change dialog")
        driver.type("oldPIN_edit", pin).type("newPIN_edit", "Abc123").type("confirmPIN_edit", "Abc123").click("btn_ok");
    if (action == "clean-up")
        driver.type("lineEdit_pin", pin).click("btn_ok");
    if (action != "view")
        driver.click("btn_msg_ok");
    if (action == "label") {
        press("btn_ChangeLabel");
        type("NewLabelEdit", "RELABELLED");
    } else if (action == "verify page") {
        press("btn_VerifyPIN");
        type("VerifyPIN_Edit", pin);
    } else if (action == "change page") {
        // No button shows this page; its fields and OK button work as the others'.
        child<QTabWidget>(m_window, "tabWidget_2")->setCurrentWidget(child(m_window, "tab_changePIN"));
        type("OldPIN_Edit", pin);
        type("NewPIN_Edit", "Abc123");
        type("ConfirmPIN_Edit", "Abc123");
    }
    if (action == "label" || action.endsWith("page") || action == "view")
        connectOther();
    press(button.toLatin1().constData());
    QVERIFY2(driver.ok(), qPrintable(driver.errors().join('\n')));
    QVERIFY(replugged);

    // The chosen token changed as the action says (or lost a try); the other is as it was.
    QCOMPARE(m_fx.show(chosen).value("label").toString(), action == "label" ? "RELABELLED" : chosen);
    QCOMPARE(m_fx.userPin(chosen).value("remainingRetries").toInt(), done ? 6 : 5);
    QStringList left{"empty", "c1"};
    left.removeAll(done && action == "clean-up" ? "empty" : done && action == "delete" ? "c1" : "");
    QCOMPARE(m_fx.containers(chosen), left);
    QCOMPARE(m_fx.certDer(chosen, "c1", true), action == "import"   ? imported
                                               : action == "delete" ? QByteArray()
                                                                    : chosenCert);
    if (action == "export")
        QCOMPARE(readFile(file), chosenCert);
    if (action == "view") {
        QTRY_COMPARE(stubCalls().size(), 2);
        QCOMPARE(readFile(stubCalls().at(1)), chosenCert);
    }
    QCOMPARE(verifies(chosen, "Abc123"), done && action.startsWith("change"));
    QCOMPARE(state(other), otherBefore);
    QCOMPARE(m_fx.certDer(other, "c1", true), otherCert);
    QVERIFY(verifies(other, "12345678"));
    clearStubLog();
    QVERIFY(plug(chosen, false));
    QVERIFY(plug(other, false));
}

void TstTokenEvents::forcedChangeWaitsForOpenMessage()
{
    for (const char* name : {"VERIFIED", "LEAVING"}) {
        QVERIFY(m_fx.createToken(name, false));
        QVERIFY(plug(name, true));
    }
    // A token whose factory PIN is already known to the handler would be prompted at the removal.
    QVERIFY(m_fx.createToken("FACTORY2", true, true));
    m_window->chooseDev("VERIFIED");
    m_window->btn_verifyPin();
    auto* edit = m_window->findChild<QLineEdit*>("VerifyPIN_Edit");
    QTest::keyClicks(edit, "12345678");

    ModalDriver driver;
    unsigned modeAfterEvent = 0;
    driver.inspect([&](QWidget*) {
        if (plug("LEAVING", false))
            modeAfterEvent = m_window->messageBox()->lastMode();
    });
    driver.click("btn_msg_ok");
    driver.type("OldPIN_Edit", "12345678").type("NewPIN_Edit", "abc123").type("ConfirmPIN_Edit", "abc123");
    driver.click("btn_msg_ok");
    driver.click("btn_msg_ok");
    m_window->findChild<QPushButton*>("btn_VerifyPIN_OK")->click();
    // The change form comes once the message's event loop has ended.
    QTRY_VERIFY_WITH_TIMEOUT(driver.pendingSteps() == 0, 20000);
    QVERIFY2(driver.errors().isEmpty(), qPrintable(driver.errors().join('\n')));

    // The verify result stayed what it was; the change form came after it was closed.
    QCOMPARE(modeAfterEvent, 2000u);
    const QList<ModalDriver::Seen>& seen = driver.seen();
    QCOMPARE(seen.size(), 3);
    QCOMPARE(seen[0].labels.value("lab_msg"), QStringLiteral("Successfully verify the RUZ-Ururov password"));
    QVERIFY(!seen[1].labels.contains("lab_msg"));
    QCOMPARE(seen[2].labels.value("lab_msg"), QStringLiteral("Successfully change the RUZ-Ururov password"));
    QVERIFY(!m_fx.userPin("FACTORY2").value("default").toBool());
    QVERIFY(verifies("FACTORY2", "abc123"));
    QVERIFY(plug("VERIFIED", false));
    QVERIFY(plug("FACTORY2", false));
}

void TstTokenEvents::eventsDuringBusyHandlerKeepTheirOrder()
{
    QVERIFY(writeAppSettings(false));
    SoftSkfFixture::TokenSpec spec;
    spec.name = "BUSY";
    spec.present = false;
    QVERIFY(m_fx.createToken(spec));
    QVERIFY(m_fx.addContainer("BUSY", "c1", "sm2"));
    QVERIFY(m_fx.addCert("BUSY", "c1", false, "expiring", 3));
    spec.name = "BURST";
    QVERIFY(m_fx.createToken(spec));

    // The handler waits in the expiry box while the token is plugged in and out three times.
    ModalDriver driver;
    driver.inspect([&](QWidget*) {
        // Each event ends one wait of the monitor, which then waits again.
        const qint64 waits = m_fx.stats().value("SKF_WaitForDevEvent");
        for (int i = 0; i < 3; ++i)
            QVERIFY(m_fx.insert("BURST") && m_fx.remove("BURST"));
        QVERIFY(QTest::qWaitFor([&] { return m_fx.stats().value("SKF_WaitForDevEvent") >= waits + 6; }, 20000));
    });
    driver.click("btn_expiry_ok");
    // The events held back are handled as soon as the insertion is.
    const int before = m_tray->size();
    QVERIFY(plug("BUSY", true));
    QVERIFY2(driver.ok(), qPrintable(driver.errors().join('\n')));
    // The monitor had passed on the last of them before it waited again; it is delivered here.
    QCoreApplication::processEvents();
    const QStringList expected{"RUZ-Ururov inserted", "RUZ-Ururov inserted", "RUZ-Ururov removed",
                               "RUZ-Ururov inserted", "RUZ-Ururov removed",  "RUZ-Ururov inserted",
                               "RUZ-Ururov removed"};
    QCOMPARE(m_tray->texts(before), expected);
    // A last event that must be told: nothing else came between.
    QVERIFY(plug("BUSY", false));
    QCOMPARE(m_tray->texts(before), expected + QStringList{"RUZ-Ururov removed"});
    QCOMPARE(driver.seen().size(), 1);
    QVERIFY(!QApplication::activeModalWidget());
    QStringList listed = listedDevices(m_window);
    QStringList present = presentTokens();
    listed.sort();
    present.sort();
    QCOMPARE(listed, present);
    QVERIFY(plug("BUSY", false));
}

QTEST_MAIN(TstTokenEvents)
#include "tst_tokenevents.moc"
