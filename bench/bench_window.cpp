// Drives the real main window against a softskf token and prints, per action, the SKF calls the
// window made (softskf's counters) and the longest time its interface thread was blocked (the
// largest gap between two ticks of a 10 ms timer).
//
// Usage: bench_window actions <containers>   (on the offscreen platform)
//
// The actions mode needs SOFTSKF_DIR, SOFTSKF_CTL and a private HOME (scripts/bench.sh sets them),
// and a build whose SKF library path is the staged softskf.
#include "MainWindow.h"
#include "cDevMgr.h"
#include "certParse.h"
#include "softskf_fixture.h"
#include "windowsetup.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QStandardItemModel>
#include <QTest>
#include <QTimer>
#include <QTreeView>

#include <cstdio>
#include <functional>

namespace {

constexpr int kTickMs = 10;
constexpr int kLatencyMs = 50;
const char kToken[] = "BENCH";

// Records the longest gap between two ticks of a 10 ms timer while recording is on: the time the
// event loop could not run. A walk done before the loop starts (the constructor) counts from
// start() to the first tick.
class TickMonitor : public QObject
{
public:
    TickMonitor()
    {
        m_timer.setInterval(kTickMs);
        m_timer.setTimerType(Qt::PreciseTimer);
        QObject::connect(&m_timer, &QTimer::timeout, this, [this] {
            const qint64 now = m_clock.elapsed();
            if (m_recording)
                m_longest = qMax(m_longest, now - m_last);
            m_last = now;
        });
        m_clock.start();
        m_timer.start();
    }
    void start()
    {
        m_longest = 0;
        m_last = m_clock.elapsed();
        m_recording = true;
    }
    qint64 stop()
    {
        m_recording = false;
        return m_longest;
    }

private:
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_last = 0;
    qint64 m_longest = 0;
    bool m_recording = false;
};

// Runs the event loop until done() holds, then settleMs more; false after timeoutMs.
bool spinUntil(const std::function<bool()>& done, int settleMs, int timeoutMs = 120000)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QTest::qWait(20);
    }
    QTest::qWait(settleMs);
    return true;
}

QModelIndex deviceRow(const QTreeView* tree)
{
    const QAbstractItemModel* model = tree->model();
    for (int row = 0; model && row < model->rowCount(); ++row) {
        if (model->index(row, 0).data().toString() == QLatin1String(kToken))
            return model->index(row, 0);
    }
    return QModelIndex();
}

void fail(const char* what)
{
    std::fprintf(stderr, "bench_window: %s\n", what);
    std::fflush(stderr);
    std::exit(1);
}

void clickRow(QTreeView* tree, const QModelIndex& index)
{
    tree->expandAll();
    tree->scrollTo(index);
    QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, tree->visualRect(index).center());
}

int runActions(int containers)
{
    SoftSkfFixture fx;
    if (!fx.reset())
        fail("softskf-ctl init --reset failed (SOFTSKF_DIR, SOFTSKF_CTL)");
    SoftSkfFixture::TokenSpec spec;
    spec.name = QString::fromLatin1(kToken);
    if (!fx.createToken(spec))
        fail("cannot create the token");
    for (int i = 1; i <= containers; ++i) {
        const QString name = QStringLiteral("c%1").arg(i, 3, 10, QLatin1Char('0'));
        if (!fx.addContainer(spec.name, name, QStringLiteral("sm2")) ||
            !fx.addCert(spec.name, name, true, QStringLiteral("cn-") + name, 365))
            fail("cannot fill the token");
    }
    // No browser on insertion; the user PIN is not the factory one, so no forced change.
    if (!writeAppSettings(false))
        fail("cannot write the settings file");
    if (!fx.latency(QStringLiteral("all"), kLatencyMs))
        fail("cannot set the latency");

    TickMonitor ticks;
    // Tray messages so far: each token event shows one, in whatever language the window speaks.
    int trayMessages = 0;
    auto report = [&](const char* action, const QString& target, qint64 blocked) {
        QString which;
        const int calls = fx.callsBesidesEventWait(&which);
        std::printf("%-18s %5d  %-14s %8lld   %s\n", action, calls, qPrintable(target), static_cast<long long>(blocked),
                    qPrintable(which.remove(QStringLiteral("SKF_"))));
        std::fflush(stdout);
        fx.resetStats();
    };

    std::printf("token with %d SM2 container(s), one signing certificate each; softskf latency %d ms per call\n",
                containers, kLatencyMs);
    std::printf("%-18s %5s  %-14s %8s   %s\n", "action", "calls", "target", "blocked", "calls by function");

    fx.resetStats();
    ticks.start();
    MainWindow window;
    window.setTrayMessageObserver([&trayMessages](const QString&, const QString&, int) { ++trayMessages; });
    window.show();
    auto* tree = window.findChild<QTreeView*>(QStringLiteral("treeView_Dev"));
    if (!tree || !cDevMgr::getInst()->pSKF)
        fail("the window has no device tree or the SKF library is not loaded");
    if (!spinUntil([&] { return deviceRow(tree).isValid() && tree->model()->rowCount(deviceRow(tree)) == 1; }, 2000))
        fail("the token is not listed after start-up");
    report("start-up", QStringLiteral("<= 7"), ticks.stop());

    auto clickAction = [&](const char* action, const QString& target, bool applicationRow) {
        QModelIndex row = deviceRow(tree);
        if (applicationRow)
            row = tree->model()->index(0, 0, row);
        if (!row.isValid())
            fail("the row to click is missing");
        ticks.start();
        QTimer::singleShot(0, tree, [tree, row] { clickRow(tree, row); });
        QTest::qWait(500);
        report(action, target, ticks.stop());
    };
    clickAction("device row click", QStringLiteral("<= 7"), false);
    clickAction("certificate page", QStringLiteral("<= %1").arg(6 + 8 * containers), true);

    // What the expiry check costs on its own for this token, the allowance of an insertion.
    fx.resetStats();
    long secondsLeft = 0;
    certParse().certValid(kToken, &secondsLeft);
    const int expiryCalls = fx.callsBesidesEventWait();
    fx.resetStats();

    int before = trayMessages;
    ticks.start();
    QProcess::startDetached(SoftSkfFixture::ctl(), {QStringLiteral("remove"), spec.name});
    if (!spinUntil([&] { return trayMessages > before && !deviceRow(tree).isValid(); }, 1500))
        fail("the removal is not handled");
    report("removal", QStringLiteral("<= 2"), ticks.stop());

    before = trayMessages;
    ticks.start();
    QProcess::startDetached(SoftSkfFixture::ctl(), {QStringLiteral("insert"), spec.name});
    if (!spinUntil([&] { return trayMessages > before && deviceRow(tree).isValid(); }, 1500))
        fail("the insertion is not handled");
    report("insertion", QStringLiteral("<= 6+%1 = %2").arg(expiryCalls).arg(6 + expiryCalls), ticks.stop());

    fx.latency(QStringLiteral("all"), 0);
    return 0;
}

} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    const QStringList args = QApplication::arguments();
    if (args.size() == 3 && args[1] == QLatin1String("actions")) {
        bool ok = false;
        const int containers = args[2].toInt(&ok);
        if (!ok || containers < 1 || containers > 999)
            fail("the number of containers must be 1 to 999");
        return runActions(containers);
    }
    std::fprintf(stderr, "usage: bench_window actions <containers>\n");
    return 2;
}
