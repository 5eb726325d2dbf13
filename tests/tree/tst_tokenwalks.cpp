// What the window's token walks cost and how they look: the SKF calls of each action against its
// budget (softskf's counters), the wait cursor of a walk on a slow token, and the tree token events
// leave against the one a full listing gives.
#include "MainWindow.h"
#include "busycursor.h"
#include "certParse.h"
#include "modaldriver.h"
#include "softskf_fixture.h"
#include "tokentext.h"
#include "traylog.h"
#include "windowsetup.h"

#include <QApplication>
#include <QEventLoop>
#include <QRandomGenerator>
#include <QTimer>
#include <QTreeView>
#include <QtTest>

namespace {

const char kToken[] = "WALK";
// Listed beside the token of each row from the start on.
const char kBeside[] = "BESIDE";

// Runs the event loop as the program does (exec, so that it waits for events) for a moment.
void runEventLoop()
{
    QEventLoop loop;
    QTimer::singleShot(50, &loop, &QEventLoop::quit);
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
    void callBudget_data();
    void callBudget();
    void waitCursor_data();
    void waitCursor();
    void incrementalTreeEqualsRebuild();

private:
    bool makeToken(int containers, bool present, bool defaultPin = false);
    // Runs softskf-ctl insert or remove and waits until the window has told it in the tray.
    bool plug(bool in);

    SoftSkfFixture m_fx;
    MainWindow* m_window = nullptr;
    TrayLog* m_tray = nullptr;
    bool m_tokenMade = false;
    int m_startupCalls = -1;
    QString m_startupWhich;
};

void TstTokenWalks::initTestCase()
{
    QVERIFY2(m_fx.init(), m_fx.lastError().constData());
    QVERIFY(writeAppSettings(false));
    useBuiltInTexts();
    // The start-up with one token present is counted here, for its row of callBudget.
    QVERIFY(makeToken(1, true));
    QVERIFY(m_fx.resetStats());
    m_window = new MainWindow;
    m_tray = new TrayLog(m_window);
    m_window->show();
    QTRY_VERIFY_WITH_TIMEOUT(m_window->startupDone() && deviceRow(m_window, kToken).isValid(), 20000);
    runEventLoop();
    m_startupCalls = m_fx.callsBesidesEventWait(&m_startupWhich);
    cleanup();
    QVERIFY(m_fx.createToken(kBeside, false) && m_fx.addContainer(kBeside, "c1", "sm2"));
    QVERIFY(m_tray->plug(m_fx, kBeside, true));
}

void TstTokenWalks::cleanup()
{
    QVERIFY(m_fx.latency("all", 0));
    if (!std::exchange(m_tokenMade, false))
        return;
    if (m_fx.show(kToken).value("present").toBool())
        QVERIFY(plug(false));
    QVERIFY(m_fx.deleteToken(kToken));
}

bool TstTokenWalks::makeToken(int containers, bool present, bool defaultPin)
{
    m_tokenMade = m_fx.createToken(kToken, present, defaultPin);
    for (int i = 1; i <= containers && m_tokenMade; ++i) {
        const QString name = QStringLiteral("c%1").arg(i);
        if (!m_fx.addContainer(kToken, name, "sm2") || !m_fx.addCert(kToken, name, true, "cn-" + name, 365))
            return false;
    }
    return m_tokenMade;
}

bool TstTokenWalks::plug(bool in)
{
    const bool seen = m_tray->plug(m_fx, kToken, in);
    runEventLoop();
    return seen && deviceRow(m_window, kToken).isValid() == in;
}

// Each action against the most calls it may make on a token whose containers each hold a key pair
// and a signing certificate. Each is checked for its result too, so that no budget is met by
// showing less.
void TstTokenWalks::callBudget_data()
{
    QTest::addColumn<QString>("action");
    QTest::addColumn<int>("containers");
    QTest::addColumn<int>("budget");

    // The device list, then connect, application list, open and user PIN of the token, and closing both.
    QTest::newRow("start-up") << "start-up" << 1 << 7;
    // Connect, application and container lists, opens, the first certificate, closing the handles.
    QTest::newRow("expiry check") << "expiry" << 2 << 10;
    for (int containers : {1, 4}) {
        const QByteArray suffix = ", " + QByteArray::number(containers) + " container(s)";
        QTest::newRow("device row click" + suffix) << "device" << containers << 7;
        QTest::newRow("certificate page" + suffix) << "certificates" << containers << 6 + 8 * containers;
        // The device list alone: the token listed beside is not read again.
        QTest::newRow("removal" + suffix) << "removal" << containers << 2;
        // At most 6 calls more than the expiry check, which shares the inserted token's connection.
        QTest::newRow("insertion" + suffix) << "insertion" << containers << 6 + 10;
    }
    // Mouse clicks on the device row and its application row in turn: each chooses once, and
    // every handle opened is closed again.
    QTest::newRow("twenty clicks, open handles after") << "clicks" << 1 << 10 * 7 + 10 * (6 + 8);
}

void TstTokenWalks::callBudget()
{
    QFETCH(QString, action);
    QFETCH(int, containers);
    QFETCH(int, budget);

    QString which;
    int calls = m_startupCalls;
    if (action == "start-up") {
        which = m_startupWhich;
    } else {
        QVERIFY(makeToken(containers, false));
        QVERIFY(action == "insertion" || plug(true));
        QVERIFY(m_fx.resetStats());
        long secondsLeft = 0;
        if (action == "expiry")
            QVERIFY(certParse().certValid(kToken, &secondsLeft) == 0 && secondsLeft > 300 * 86400);
        if (action == "device") {
            m_window->Dev_App_selected(deviceRow(m_window, kToken));
            const QAbstractItemModel* info = m_window->findChild<QTreeView*>("treeView_usbInfo")->model();
            QCOMPARE(info->index(1, 1).data().toString(), QStringLiteral("SN-WALK"));
            QCOMPARE(info->index(10, 1).data().toString(), QStringLiteral("6"));
        }
        if (action == "certificates") {
            const QModelIndex device = deviceRow(m_window, kToken);
            m_window->Dev_App_selected(device.model()->index(0, 0, device));
            QCOMPARE(m_window->findChild<QTreeView*>("treeView")->model()->rowCount(), containers);
        }
        if (action == "removal" || action == "insertion")
            QVERIFY(plug(action == "insertion"));
        if (action == "clicks") {
            auto* tree = m_window->findChild<QTreeView*>("treeView_Dev");
            tree->expandAll();
            const QModelIndex device = deviceRow(m_window, kToken);
            for (int i = 0; i < 20; ++i) {
                const QModelIndex row = i % 2 ? device.model()->index(0, 0, device) : device;
                QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, tree->visualRect(row).center());
            }
            QCOMPARE(m_fx.openHandles(), 0);
        }
        calls = m_fx.callsBesidesEventWait(&which);
    }
    QVERIFY2(calls <= budget, qPrintable(QString("%1 calls > %2: %3").arg(calls).arg(budget).arg(which)));
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
    QVERIFY(makeToken(2, true, dialogInWalk));
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

// Every item's data (texts, name bytes) in order, and the header, as one text.
static QString treeText(const QAbstractItemModel* model, const QModelIndex& parent = QModelIndex())
{
    QString text;
    QDebug out(&text);
    if (!parent.isValid())
        out << model->columnCount() << model->headerData(0, Qt::Horizontal);
    for (int row = 0; row < model->rowCount(parent); ++row)
        out << model->itemData(model->index(row, 0, parent)) << treeText(model, model->index(row, 0, parent)) << ";";
    return text;
}

void TstTokenWalks::incrementalTreeEqualsRebuild()
{
    // Plugged in an order other than the library's, one without application, one named in GBK; the
    // last comes without an event, so that the next event lists every token.
    const QStringList names{"R-MID", "R-BARE", "R-ZULU", "R-ALPHA", "R-\\xb3\\xf6", "R-UNTOLD"};
    for (const QString& name : names.mid(0, 5))
        QVERIFY(m_fx.run(QStringList{"create", name, "--absent", "--no-app"}.mid(0, name == "R-BARE" ? 4 : 3)));
    QRandomGenerator random(26);
    QString steps = QStringLiteral("seed 26:");
    auto* tree = m_window->findChild<QTreeView*>("treeView_Dev");
    const QAbstractItemModel* model = tree->model();
    QSet<QByteArray> present{kBeside}, expanded;
    QByteArray chosen;
    auto nameAt = [model](int row) { return model->index(row, 0).data(tokentext::kNameBytesRole).toByteArray(); };
    for (int step = 0, last = 40; step <= last; ++step) {
        const QString name = step < last ? names[random.bounded(5)] : kBeside;
        const QByteArray bytes = SoftSkfFixture::nameBytes(name);
        const bool in = !present.contains(bytes);
        steps += (in ? " +" : " -") + name;
        QVERIFY2((step < last || m_fx.createToken(names[5])) && m_tray->plug(m_fx, name, in), qPrintable(steps));
        in ? void(present.insert(bytes)) : void(present.remove(bytes));
        expanded.remove(bytes);
        chosen = chosen == bytes || step == last ? QByteArray() : chosen;
        QVERIFY2(m_window->chosenToken().device == chosen.toStdString(), qPrintable(steps));
        for (int row = 0; row < model->rowCount() && step < last; ++row) {
            const bool open = expanded.contains(nameAt(row));
            QVERIFY2(tree->isExpanded(model->index(row, 0)) == open, qPrintable(steps));
            if (random.bounded(3) == 0) {
                tree->setExpanded(model->index(row, 0), !open);
                open ? void(expanded.remove(nameAt(row))) : void(expanded.insert(nameAt(row)));
            }
        }
        if (random.bounded(4) == 0 && model->rowCount() > 0) {
            const QModelIndex row = model->index(random.bounded(model->rowCount()), 0);
            QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, tree->visualRect(row).center());
            chosen = row.data(tokentext::kNameBytesRole).toByteArray();
        }
        if (random.bounded(3) == 0 || step == last) {
            const QString incremental = treeText(model);
            m_window->slotEventChange();
            QVERIFY2(treeText(model) == incremental, qPrintable(steps + "\n" + incremental + "\n" + treeText(model)));
            expanded.clear();
            chosen.clear();
        }
    }
}

QTEST_MAIN(TstTokenWalks)
#include "tst_tokenwalks.moc"
