// The event monitor against softskf: tokens plugged in and out with softskf-ctl in another
// process reach the monitor's signal once per event, with the code and name stored for the handler.
#include "cDevMgr.h"
#include "cMonitor.h"
#include "softskf_fixture.h"

#include <QElapsedTimer>
#include <QtTest>

class TestMonitor : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void insertion();
    void removal();
    void burstOfFiftyPairs();
    void cleanupTestCase();

private:
    SoftSkfFixture m_skf;
    cMonitor m_monitor;
    cDevMgr* m_mgr = nullptr;
    int m_signals = 0;
    // What the handler saw when each signal arrived: code and name.
    QList<QPair<ULONG, std::string>> m_seen;
};

void TestMonitor::initTestCase()
{
    QVERIFY(m_skf.init());
    QVERIFY(m_skf.createToken("TOKEN-M", false));
    m_mgr = cDevMgr::getInst();
    connect(&m_monitor, &cMonitor::notifyTokenEvent, this, [this] {
        ++m_signals;
        m_seen.append({m_mgr->GetEvent(), m_mgr->GetDevName()});
    });
    m_monitor.start();
    QTRY_VERIFY(m_mgr->pSKF);
    // Give the thread time to block in the wait; softskf reports only events logged after its load.
    QTest::qWait(300);
    QCOMPARE(m_signals, 0);
}

void TestMonitor::insertion()
{
    QVERIFY(m_skf.insert("TOKEN-M"));
    QTRY_COMPARE(m_signals, 1);
    QCOMPARE(m_mgr->GetEvent(), ULONG(SKF_EVENT_INSERTED));
    QCOMPARE(m_mgr->GetDevName(), std::string("TOKEN-M"));
    QTest::qWait(200);
    QCOMPARE(m_signals, 1);
}

void TestMonitor::removal()
{
    QVERIFY(m_skf.remove("TOKEN-M"));
    QTRY_COMPARE(m_signals, 2);
    QCOMPARE(m_mgr->GetEvent(), ULONG(SKF_EVENT_REMOVED));
    QCOMPARE(m_mgr->GetDevName(), std::string("TOKEN-M"));
    QTest::qWait(200);
    QCOMPARE(m_signals, 2);
}

void TestMonitor::burstOfFiftyPairs()
{
    for (int i = 0; i < 50; ++i) {
        QVERIFY(m_skf.insert("TOKEN-M"));
        QVERIFY(m_skf.remove("TOKEN-M"));
    }
    QTRY_COMPARE_WITH_TIMEOUT(m_signals, 102, 20000);
    QTest::qWait(300);
    QCOMPARE(m_signals, 102);
    QCOMPARE(m_mgr->GetEvent(), ULONG(SKF_EVENT_REMOVED));
    QCOMPARE(m_mgr->GetDevName(), std::string("TOKEN-M"));
    for (const auto& seen : m_seen) {
        QVERIFY(seen.first == SKF_EVENT_INSERTED || seen.first == SKF_EVENT_REMOVED);
        QCOMPARE(seen.second, std::string("TOKEN-M"));
    }
}

void TestMonitor::cleanupTestCase()
{
    QElapsedTimer timer;
    timer.start();
    m_monitor.requestStop();
    QVERIFY(m_monitor.wait(5000));
    QVERIFY(timer.elapsed() < 2000);
}

QTEST_GUILESS_MAIN(TestMonitor)
#include "tst_monitor.moc"
