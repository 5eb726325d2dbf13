// What the window's token walks cost and how they look: the SKF calls of each action against
// budgets (softskf's counters), and the wait cursor of a walk on a slow token.
#include "MainWindow.h"
#include "busycursor.h"
#include "cDevMgr.h"
#include "certParse.h"
#include "modaldriver.h"
#include "softskf_fixture.h"

#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QStandardItemModel>
#include <QTimer>
#include <QTreeView>
#include <QtTest>

namespace {

const char kToken[] = "WALK";

// Runs the event loop as the program does (exec, so that it waits for events) for a moment.
void runEventLoop(int ms = 50)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// The calls of the interface thread since the last reset, and which they were: the monitor
// thread's event wait is not one of them.
int interfaceCalls(SoftSkfFixture& fx, QString* which)
{
    int total = 0;
    QStringList parts;
    const QMap<QString, qint64> stats = fx.stats();
    for (auto it = stats.begin(); it != stats.end(); ++it) {
        if (it.value() == 0 || it.key().contains("WaitForDevEvent"))
            continue;
        total += int(it.value());
        parts << QStringLiteral("%1 %2").arg(it.key()).arg(it.value());
    }
    *which = parts.join(", ");
    return total;
}

Qt::CursorShape overrideShape()
{
    return QApplication::overrideCursor() ? QApplication::overrideCursor()->shape() : Qt::ArrowCursor;
}

} // namespace

class TstTokenWalks : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void callBudget_data();
    void callBudget();
    void waitCursor_data();
    void waitCursor();

private:
    bool makeToken(int containers, bool defaultPin = false, bool present = true);
    QModelIndex deviceRow() const;
    int ctnRows() const;
    bool waitForTray(const QString& text, int count);

    SoftSkfFixture m_fx;
    MainWindow* m_window = nullptr;
    QStringList m_trayTexts;
    bool m_tokenMade = false;
    int m_startupCalls = -1;
    QString m_startupWhich;
};

void TstTokenWalks::initTestCase()
{
    QVERIFY2(m_fx.init(), m_fx.lastError().constData());
    const QString cfgDir = QDir::homePath() + "/.config/com.lumeno.tesselkey-norvik";
    QVERIFY(QDir().mkpath(cfgDir));
    QVERIFY(SoftSkfFixture::writeFile(cfgDir + "/.cfg", "{\"openURL\": false, \"URL\": \"\"}"));
    MainWindow::setLanguageDir(QDir::tempPath() + "/no-language-files");
    // Start-up with one token present, counted here for its row of callBudget.
    QVERIFY(makeToken(1));
    QVERIFY(m_fx.resetStats());
    m_window = new MainWindow;
    m_window->setTrayMessageObserver([this](const QString&, const QString& text, int) { m_trayTexts << text; });
    m_window->show();
    QTRY_VERIFY_WITH_TIMEOUT(m_window->startupDone() && deviceRow().isValid(), 20000);
    runEventLoop();
    m_startupCalls = interfaceCalls(m_fx, &m_startupWhich);
    QVERIFY(cDevMgr::getInst()->pSKF);
    cleanup();
}

void TstTokenWalks::cleanup()
{
    QVERIFY(m_fx.latency("all", 0));
    if (!m_tokenMade)
        return;
    m_tokenMade = false;
    const bool present = m_fx.show(kToken).value("present").toBool();
    const int removals = m_trayTexts.count("RUZ-Ururov removed");
    QVERIFY(m_fx.deleteToken(kToken));
    if (!present)
        return;
    QTRY_COMPARE_WITH_TIMEOUT(m_trayTexts.count("RUZ-Ururov removed"), removals + 1, 20000);
    runEventLoop();
}

bool TstTokenWalks::makeToken(int containers, bool defaultPin, bool present)
{
    SoftSkfFixture::TokenSpec spec;
    spec.name = kToken;
    spec.userPinDefault = defaultPin;
    spec.present = present;
    if (!m_fx.createToken(spec))
        return false;
    m_tokenMade = true;
    for (int i = 1; i <= containers; ++i) {
        const QString name = QStringLiteral("c%1").arg(i);
        if (!m_fx.addContainer(kToken, name, "sm2") || !m_fx.addCert(kToken, name, true, "cn-" + name, 365))
            return false;
    }
    return true;
}

QModelIndex TstTokenWalks::deviceRow() const
{
    const QAbstractItemModel* model = m_window->findChild<QTreeView*>("treeView_Dev")->model();
    for (int row = 0; model && row < model->rowCount(); ++row) {
        if (model->index(row, 0).data().toString() == kToken)
            return model->index(row, 0);
    }
    return QModelIndex();
}

int TstTokenWalks::ctnRows() const
{
    const QAbstractItemModel* model = m_window->findChild<QTreeView*>("treeView")->model();
    return model ? model->rowCount() : 0;
}

bool TstTokenWalks::waitForTray(const QString& text, int count)
{
    const bool seen = QTest::qWaitFor([&] { return m_trayTexts.count(text) >= count; }, 20000);
    runEventLoop();
    return seen;
}

// Each action against the most calls it may make on a token whose containers each hold a key pair
// and a signing certificate. Every action is also checked for its result, so that no budget is met
// by doing less than the page shows.
void TstTokenWalks::callBudget_data()
{
    QTest::addColumn<QString>("action");
    QTest::addColumn<int>("containers");
    QTest::addColumn<int>("budget");

    // Listing the tokens once: the device list, then connect, application list, open and user PIN
    // of each token.
    QTest::newRow("start-up") << "start-up" << 1 << 5;
    // Connect, the list of applications, open, and the certificate of each container until one is read, and
    // closing the three handles.
    QTest::newRow("expiry check") << "expiry" << 2 << 10;
    for (int containers : {1, 4}) {
        const QByteArray suffix = QByteArray(", ") + QByteArray::number(containers) + " container(s)";
        QTest::newRow("device row click" + suffix) << "device" << containers << 5;
        QTest::newRow("certificate page" + suffix) << "certificates" << containers << 4 + 7 * containers;
        QTest::newRow("removal" + suffix) << "removal" << containers << 3;
        // One listing, besides what the expiry check needs (the row above bounds that).
        QTest::newRow("insertion" + suffix) << "insertion" << containers << 6;
    }
}

void TstTokenWalks::callBudget()
{
    QFETCH(QString, action);
    QFETCH(int, containers);
    QFETCH(int, budget);

    QString which;
    if (action == "start-up") {
        QVERIFY2(m_startupCalls <= budget, qPrintable(QString::number(m_startupCalls) + ": " + m_startupWhich));
        return;
    }
    const int inserted = m_trayTexts.count("RUZ-Ururov inserted");
    QVERIFY(makeToken(containers, false, false));
    if (action != "insertion") {
        QVERIFY(m_fx.insert(kToken));
        QVERIFY(waitForTray("RUZ-Ururov inserted", inserted + 1));
    }
    QVERIFY(m_fx.resetStats());

    if (action == "expiry") {
        long secondsLeft = 0;
        QCOMPARE(certParse().certValid(kToken, &secondsLeft), 0);
        QVERIFY(secondsLeft > 300 * 86400);
    } else if (action == "device") {
        m_window->Dev_App_selected(deviceRow());
        const QAbstractItemModel* info = m_window->findChild<QTreeView*>("treeView_usbInfo")->model();
        QCOMPARE(info->index(1, 1).data().toString(), QStringLiteral("SN-WALK"));
        QCOMPARE(info->index(10, 1).data().toString(), QStringLiteral("6"));
    } else if (action == "certificates") {
        m_window->Dev_App_selected(deviceRow().model()->index(0, 0, deviceRow()));
        QCOMPARE(ctnRows(), containers);
    } else if (action == "removal") {
        const int removed = m_trayTexts.count("RUZ-Ururov removed");
        QVERIFY(m_fx.remove(kToken));
        QVERIFY(waitForTray("RUZ-Ururov removed", removed + 1));
        QVERIFY(!deviceRow().isValid());
    } else if (action == "insertion") {
        QVERIFY(m_fx.insert(kToken));
        QVERIFY(waitForTray("RUZ-Ururov inserted", inserted + 1));
        QVERIFY(deviceRow().isValid());
        // The expiry check on the inserted token is allowed what it costs alone.
        QString expiryWhich;
        const int calls = interfaceCalls(m_fx, &which);
        QVERIFY(m_fx.resetStats());
        long secondsLeft = 0;
        QCOMPARE(certParse().certValid(kToken, &secondsLeft), 0);
        budget += interfaceCalls(m_fx, &expiryWhich);
        QVERIFY2(calls <= budget, qPrintable(QString("%1 > %2: %3").arg(calls).arg(budget).arg(which)));
        return;
    }
    const int calls = interfaceCalls(m_fx, &which);
    QVERIFY2(calls <= budget, qPrintable(QString("%1 > %2: %3").arg(calls).arg(budget).arg(which)));
}

void TstTokenWalks::waitCursor_data()
{
    QTest::addColumn<bool>("dialogInWalk");
    QTest::newRow("slow walk") << false;
    QTest::newRow("modal dialog in the walk") << true;
}

void TstTokenWalks::waitCursor()
{
    QFETCH(bool, dialogInWalk);
    QVERIFY(makeToken(2, dialogInWalk));
    runEventLoop();
    QVERIFY(!QApplication::overrideCursor());
    // Every call takes this long, so any walk of three calls or more outlasts the delay.
    QVERIFY(m_fx.latency("all", busycursor::kWaitCursorDelayMs / 2));

    if (dialogInWalk) {
        // The rebuild prompts for the factory PIN after reading it; neither the form nor the
        // result box that follows the change may show the wait cursor of the walk that opened them.
        ModalDriver driver;
        QList<Qt::CursorShape> inDialogs;
        auto record = [&inDialogs](QWidget*) { inDialogs << overrideShape(); };
        driver.inspect(record).type("OldPIN_Edit", "12345678").type("NewPIN_Edit", "abc123");
        driver.type("ConfirmPIN_Edit", "abc123").click("btn_msg_ok");
        driver.inspect(record).click("btn_msg_ok");
        m_window->slotEventChange();
        QVERIFY2(driver.ok(), qPrintable(driver.errors().join('\n')));
        QCOMPARE(inDialogs, QList<Qt::CursorShape>({Qt::ArrowCursor, Qt::ArrowCursor}));
    } else {
        m_window->chooseApp(kToken);
        QCOMPARE(overrideShape(), Qt::WaitCursor);
        QVERIFY(busycursor::showing());
    }
    runEventLoop();
    QVERIFY(!QApplication::overrideCursor());
    QVERIFY(!busycursor::showing());
}

QTEST_MAIN(TstTokenWalks)
#include "tst_tokenwalks.moc"
