// Token insertion and removal through softskf-ctl with the monitor running: tray messages, the web
// address, the settings file read at each insertion, the expiry warning and the forced PIN change.
#include "MainWindow.h"
#include "cDevMgr.h"
#include "modaldriver.h"
#include "softskf_fixture.h"
#include "testfiles.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QMenu>
#include <QMessageBox>
#include <QStandardItemModel>
#include <QTreeView>
#include <QtTest>

class TstTokenEvents : public QObject
{
    Q_OBJECT

    struct Message
    {
        QString title;
        QString text;
        int msecs;
    };

    static bool writeSettings(bool openURL, const QString& url)
    {
        const QString dir = QDir::homePath() + "/.config/com.lumeno.tesselkey-norvik";
        QJsonObject settings{{"openURL", openURL}, {"URL", url}};
        return QDir().mkpath(dir) &&
               SoftSkfFixture::writeFile(dir + "/.cfg", QJsonDocument(settings).toJson(QJsonDocument::Indented));
    }
    int count(const QString& text) const
    {
        int n = 0;
        for (const Message& m : m_messages)
            n += m.text == text ? 1 : 0;
        return n;
    }
    QStringList listedDevices() const
    {
        const QAbstractItemModel* model = m_window->findChild<QTreeView*>("treeView_Dev")->model();
        QStringList names;
        for (int r = 0; r < model->rowCount(); ++r)
            names << model->index(r, 0).data().toString();
        return names;
    }
    // Plugs the token in and waits until the window has handled the insertion.
    bool insertAndWait(const QString& name)
    {
        const int before = count("RUZ-Ururov inserted");
        if (!m_fx.insert(name))
            return false;
        return QTest::qWaitFor([&] { return count("RUZ-Ururov inserted") == before + 1; }, 20000);
    }

private slots:
    void initTestCase();
    void insertionOpensAddressAsSettingsSay();
    void removalKeepsTrayIconState();
    void expiryNoticeOnInsertion_data();
    void expiryNoticeOnInsertion();
    void defaultPinIsChangedBeforeAnythingElse();

private:
    SoftSkfFixture m_fx;
    MainWindow* m_window = nullptr;
    QList<Message> m_messages;
};

void TstTokenEvents::initTestCase()
{
    QVERIFY2(m_fx.init(), m_fx.lastError().constData());
    QVERIFY(writeSettings(true, QString()));
    // The built-in texts, whatever language files the build staged.
    MainWindow::setLanguageDir(QDir::tempPath() + "/no-language-files");
    m_window = new MainWindow;
    m_window->setTrayMessageObserver([this](const QString& title, const QString& text, int msecs) {
        m_messages.append({title, text, msecs});
    });
    QVERIFY(cDevMgr::getInst()->pSKF);
}

void TstTokenEvents::insertionOpensAddressAsSettingsSay()
{
    SoftSkfFixture::TokenSpec spec;
    spec.name = "WEB";
    spec.present = false;
    QVERIFY(m_fx.createToken(spec));

    // Auto-open on with no address: the bank's own address, once; start-up announced nothing.
    QVERIFY(insertAndWait("WEB"));
    const QByteArray first = QByteArray("xdg-open 1\n") + kBankWebAddress + "\n";
    QTRY_COMPARE_WITH_TIMEOUT(stubLog(), first, 10000);
    QCOMPARE(m_messages.size(), 1);
    const Message& inserted = m_messages.last();
    QCOMPARE(inserted.title, QString::fromUtf8("网上银行USB Key管理工具"));
    QCOMPARE(inserted.msecs, 3000);
    QCOMPARE(listedDevices(), QStringList{"WEB"});

    // Switched off by hand in the file: no browser at the next insertion. The next one opens, and
    // the log then holds its address alone after the first.
    QVERIFY(writeSettings(false, "https://other.example/"));
    QVERIFY(insertAndWait("WEB"));

    // On again with an address full of shell syntax: one argument, exactly as written.
    const QString address = QString::fromUtf8("https://x.example/?a=1&b=2;touch hacked 'q' \"d\" $(id) `id` > f");
    QVERIFY(writeSettings(true, address));
    QVERIFY(insertAndWait("WEB"));
    const QByteArray second = first + "xdg-open 1\n" + address.toUtf8() + "\n";
    QTRY_COMPARE_WITH_TIMEOUT(stubLog(), second, 10000);

    // An address that would be read as an option is not passed; the next insertion's is.
    QVERIFY(writeSettings(true, "--version"));
    QVERIFY(insertAndWait("WEB"));
    QVERIFY(writeSettings(true, "https://after.example/"));
    QVERIFY(insertAndWait("WEB"));
    QTRY_COMPARE_WITH_TIMEOUT(stubLog(), second + "xdg-open 1\nhttps://after.example/\n", 10000);
    QVERIFY(writeSettings(false, QString()));
}

void TstTokenEvents::removalKeepsTrayIconState()
{
    // The tray menu's exit entry hides the icon; a removal leaves it hidden, an insertion shows it.
    QAction* exitAction = m_window->trayMenu()->actions().last();
    exitAction->trigger();
    QVERIFY(!m_window->trayIcon()->isVisible());

    const int removed = count("RUZ-Ururov removed");
    QVERIFY(m_fx.remove("WEB"));
    QTRY_COMPARE_WITH_TIMEOUT(count("RUZ-Ururov removed"), removed + 1, 20000);
    QCOMPARE(m_messages.last().msecs, 3000);
    QVERIFY(!m_window->trayIcon()->isVisible());
    QVERIFY(!listedDevices().contains("WEB"));

    QVERIFY(insertAndWait("WEB"));
    QVERIFY(m_window->trayIcon()->isVisible());
    QVERIFY(listedDevices().contains("WEB"));
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
    SoftSkfFixture::TokenSpec spec;
    spec.name = name;
    spec.present = false;
    QVERIFY(m_fx.createToken(spec));
    QVERIFY(m_fx.addContainer(name, "c1", "sm2"));
    QVERIFY(m_fx.addCert(name, "c1", false, "expiring", days));

    ModalDriver driver;
    driver.setTimeout(20000);
    int shownIcon = -1;
    if (!boxText.isEmpty()) {
        driver
            .inspect([&shownIcon](QWidget* box) {
                if (auto* messageBox = qobject_cast<QMessageBox*>(box))
                    shownIcon = messageBox->icon();
            })
            .click("btn_expiry_ok");
    }
    const int before = m_messages.size();
    QVERIFY(insertAndWait(name));
    QTRY_VERIFY_WITH_TIMEOUT(driver.pendingSteps() == 0, 20000);
    QVERIFY2(driver.errors().isEmpty(), qPrintable(driver.errors().join('\n')));

    QStringList expiryBalloons;
    for (int i = before; i < m_messages.size(); ++i) {
        if (m_messages[i].text.contains("certificate"))
            expiryBalloons << m_messages[i].text;
    }
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
    const int removed = count("RUZ-Ururov removed");
    QVERIFY(m_fx.remove(name));
    QTRY_COMPARE_WITH_TIMEOUT(count("RUZ-Ururov removed"), removed + 1, 20000);
}

void TstTokenEvents::defaultPinIsChangedBeforeAnythingElse()
{
    SoftSkfFixture::TokenSpec spec;
    spec.name = "FACTORY";
    spec.userPinDefault = true;
    spec.present = false;
    QVERIFY(m_fx.createToken(spec));

    ModalDriver driver;
    driver.setTimeout(20000);
    // An event arriving while the prompt is up waits until the handler is done with it.
    const int removed = count("RUZ-Ururov removed");
    int removedDuringPrompt = -1;
    driver.inspect([&](QWidget*) {
        // The monitor waiting again means it has taken the removal and passed it on.
        const qint64 waits = m_fx.stats().value("SKF_WaitForDevEvent");
        if (m_fx.remove("WEB") &&
            QTest::qWaitFor([&] { return m_fx.stats().value("SKF_WaitForDevEvent") > waits; }, 20000)) {
            QCoreApplication::processEvents();
            removedDuringPrompt = count("RUZ-Ururov removed") - removed;
        }
    });
    // Closing the form does not get the user out: the rule message, then the form again.
    driver.close();
    driver.click("btn_msg_ok");
    driver.type("OldPIN_Edit", "12345678").type("NewPIN_Edit", "abcdef").type("ConfirmPIN_Edit", "abcdef");
    driver.click("btn_msg_ok");
    driver.click("btn_msg_ok");
    driver.type("OldPIN_Edit", "12345678").type("NewPIN_Edit", "abc123").type("ConfirmPIN_Edit", "abc123");
    driver.click("btn_msg_ok");
    driver.click("btn_msg_ok");

    QVERIFY(m_fx.insert("FACTORY"));
    QTRY_VERIFY_WITH_TIMEOUT(driver.pendingSteps() == 0, 60000);
    QVERIFY2(driver.errors().isEmpty(), qPrintable(driver.errors().join('\n')));
    const QList<ModalDriver::Seen>& seen = driver.seen();
    QCOMPARE(seen.size(), 6);
    const QString rule = QString::fromUtf8("密码设置规则:6-16位字母+数字，示例:kv3939");
    QCOMPARE(seen[1].labels.value("lab_msg"), rule);
    QCOMPARE(seen[3].labels.value("lab_msg"), rule);
    QCOMPARE(seen[5].labels.value("lab_msg"), QStringLiteral("Successfully change the RUZ-Ururov password"));
    for (int form : {0, 2, 4})
        QVERIFY(!seen[form].labels.contains("lab_msg"));
    QCOMPARE(removedDuringPrompt, 0);
    QTRY_COMPARE_WITH_TIMEOUT(count("RUZ-Ururov removed"), removed + 1, 20000);
    QVERIFY(!listedDevices().contains("WEB"));

    // The token now reports a changed PIN, so the next event asks nothing.
    QTRY_VERIFY_WITH_TIMEOUT(listedDevices().contains("FACTORY"), 10000);
    m_window->chooseDev("FACTORY");
    const QAbstractItemModel* info = m_window->findChild<QTreeView*>("treeView_usbInfo")->model();
    QCOMPARE(info->index(11, 1).data().toString(), QStringLiteral("NO"));
    m_window->slotEventChange();
    QVERIFY(!QApplication::activeModalWidget());
}

QTEST_MAIN(TstTokenEvents)
#include "tst_tokenevents.moc"
