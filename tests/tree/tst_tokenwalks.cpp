// What the window's token walks cost and how they look: the SKF calls of each action against
// budgets (softskf's counters), and the wait cursor of a walk on a slow token.
#include "MainWindow.h"
#include "busycursor.h"
#include "cDevMgr.h"
#include "modaldriver.h"
#include "softskf_fixture.h"

#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QTimer>
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
    void waitCursor_data();
    void waitCursor();

private:
    bool makeToken(int containers, bool defaultPin = false);

    SoftSkfFixture m_fx;
    MainWindow* m_window = nullptr;
    QStringList m_trayTexts;
};

void TstTokenWalks::initTestCase()
{
    QVERIFY2(m_fx.init(), m_fx.lastError().constData());
    const QString cfgDir = QDir::homePath() + "/.config/com.lumeno.tesselkey-norvik";
    QVERIFY(QDir().mkpath(cfgDir));
    QVERIFY(SoftSkfFixture::writeFile(cfgDir + "/.cfg", "{\"openURL\": false, \"URL\": \"\"}"));
    MainWindow::setLanguageDir(QDir::tempPath() + "/no-language-files");
    m_window = new MainWindow;
    m_window->setTrayMessageObserver([this](const QString&, const QString& text, int) { m_trayTexts << text; });
    QVERIFY(cDevMgr::getInst()->pSKF);
    m_window->show();
}

void TstTokenWalks::cleanup()
{
    QVERIFY(m_fx.latency("all", 0));
    const int removals = m_trayTexts.count("RUZ-Ururov removed");
    if (m_fx.show(kToken).isEmpty())
        return;
    QVERIFY(m_fx.deleteToken(kToken));
    QTRY_COMPARE_WITH_TIMEOUT(m_trayTexts.count("RUZ-Ururov removed"), removals + 1, 20000);
    runEventLoop();
}

bool TstTokenWalks::makeToken(int containers, bool defaultPin)
{
    SoftSkfFixture::TokenSpec spec;
    spec.name = kToken;
    spec.userPinDefault = defaultPin;
    if (!m_fx.createToken(spec))
        return false;
    for (int i = 1; i <= containers; ++i) {
        const QString name = QStringLiteral("c%1").arg(i);
        if (!m_fx.addContainer(kToken, name, "sm2") || !m_fx.addCert(kToken, name, true, "cn-" + name, 365))
            return false;
    }
    return true;
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
