// The event monitor against the scripted library: what it stores and emits per event, names that
// fill the buffer, the size offered on every wait, failing waits, a burst of events, and the end
// of the thread through requestStop, and a wait that returns without an event.
#include "cDevMgr.h"
#include "cMonitor.h"
#include "fakeaccess.h"

#include <QElapsedTimer>
#include <QtTest>

class TestMonitorScript : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void insertionStoresCodeAndName();
    void removalKeepsName();
    void otherCodeIsReported();
    void nameFillingTheBuffer();
    void failingWaitsBackOff();
    void burstEmitsOncePerEvent();
    void waitWithoutEventKeepsWatching();
    void everyWaitOffersTheWholeBuffer();
    void cleanupTestCase();

private:
    void push(const ScriptEvent& event);

    cMonitor m_monitor;
    ScriptFake* m_fake = nullptr;
    cDevMgr* m_mgr = nullptr;
    int m_signals = 0;
    QList<QPair<quint32, QByteArray>> m_events; // as tokenEvent() carried them
};

void TestMonitorScript::push(const ScriptEvent& event)
{
    std::lock_guard<std::mutex> guard(m_fake->lock);
    m_fake->events.push_back(event);
    m_fake->wake.notify_all();
}

void TestMonitorScript::initTestCase()
{
    const QByteArray path = qgetenv("TOKEN_SCRIPTFAKE");
    cDevMgr::setLibraryPathForTesting(path.constData());
    m_fake = scriptFakeAt(path);
    QVERIFY(m_fake);
    m_mgr = cDevMgr::getInst();
    connect(&m_monitor, &cMonitor::notifyTokenEvent, this, [this] { ++m_signals; });
    connect(&m_monitor, &cMonitor::tokenEvent, this, [this](quint32 event, const QByteArray& name) {
        m_events.append({event, name});
    });
    m_monitor.start();
    QTRY_VERIFY(!m_fake->offeredSizes.empty());
    QVERIFY(m_mgr->pSKF);
}

void TestMonitorScript::insertionStoresCodeAndName()
{
    push({SKF_EVENT_INSERTED, "TOKEN-1", 0, false});
    QTRY_COMPARE(m_signals, 1);
    QCOMPARE(m_mgr->GetEvent(), ULONG(SKF_EVENT_INSERTED));
    QCOMPARE(m_mgr->GetDevName(), std::string("TOKEN-1"));
    QTest::qWait(100);
    QCOMPARE(m_signals, 1);
}

void TestMonitorScript::removalKeepsName()
{
    push({SKF_EVENT_REMOVED, "TOKEN-OTHER", 0, false});
    QTRY_COMPARE(m_signals, 2);
    QCOMPARE(m_mgr->GetEvent(), ULONG(SKF_EVENT_REMOVED));
    QCOMPARE(m_mgr->GetDevName(), std::string("TOKEN-1"));
}

void TestMonitorScript::otherCodeIsReported()
{
    push({7, "TOKEN-7", 0, false});
    QTRY_COMPARE(m_signals, 3);
    QCOMPARE(m_mgr->GetEvent(), ULONG(7));
    QCOMPARE(m_mgr->GetDevName(), std::string("TOKEN-1"));
}

void TestMonitorScript::nameFillingTheBuffer()
{
    // 1024 bytes without a terminator and a reported length far beyond them.
    push({SKF_EVENT_INSERTED, "ABCDEFGH", 5000, true});
    QTRY_COMPARE(m_signals, 4);
    QCOMPARE(m_mgr->GetEvent(), ULONG(SKF_EVENT_INSERTED));
    std::string expected;
    for (int i = 0; i < 63; ++i)
        expected += "ABCDEFGH"[i % 8];
    QCOMPARE(m_mgr->GetDevName(), expected);
}

void TestMonitorScript::failingWaitsBackOff()
{
    {
        std::lock_guard<std::mutex> guard(m_fake->lock);
        m_fake->waitResult = SAR_FAIL;
        m_fake->failedWaits = 0;
    }
    // The monitor is blocked in a wait; this event ends it, and the waits after it fail.
    push({SKF_EVENT_REMOVED, "TOKEN-1", 0, false});
    QTRY_COMPARE(m_signals, 5);
    QTest::qWait(1000);
    uint32_t failed = 0;
    {
        std::lock_guard<std::mutex> guard(m_fake->lock);
        failed = m_fake->failedWaits;
        m_fake->waitResult = SAR_OK;
    }
    QVERIFY2(failed >= 2, qPrintable(QString::number(failed)));
    QVERIFY2(failed <= 10, qPrintable(QString::number(failed)));
    QCOMPARE(m_signals, 5);

    push({SKF_EVENT_INSERTED, "TOKEN-2", 0, false});
    QTRY_COMPARE_WITH_TIMEOUT(m_signals, 6, 5000);
    QCOMPARE(m_mgr->GetDevName(), std::string("TOKEN-2"));
}

void TestMonitorScript::burstEmitsOncePerEvent()
{
    const int before = m_signals;
    const int eventsBefore = m_events.size();
    QList<QPair<quint32, QByteArray>> expected;
    for (int i = 0; i < 50; ++i) {
        expected.append({SKF_EVENT_INSERTED, "BURST-" + QByteArray::number(i)});
        expected.append({SKF_EVENT_REMOVED, "BURST-" + QByteArray::number(i)});
    }
    {
        std::lock_guard<std::mutex> guard(m_fake->lock);
        for (int i = 0; i < 50; ++i) {
            m_fake->events.push_back({SKF_EVENT_INSERTED, "BURST-" + std::to_string(i), 0, false});
            m_fake->events.push_back({SKF_EVENT_REMOVED, "BURST-" + std::to_string(i), 0, false});
        }
        m_fake->wake.notify_all();
    }
    QTRY_COMPARE(m_signals, before + 100);
    QTest::qWait(200);
    QCOMPARE(m_signals, before + 100);
    QCOMPARE(m_mgr->GetEvent(), ULONG(SKF_EVENT_REMOVED));
    QCOMPARE(m_mgr->GetDevName(), std::string("BURST-49"));
    // However late the receiver runs, each event reaches it with its own code and name, in order.
    QCOMPARE(m_events.mid(eventsBefore), expected);
}

void TestMonitorScript::waitWithoutEventKeepsWatching()
{
    // The library ends a wait with success and no event (here through its cancel call, which
    // the program itself never makes): the monitor must go on watching, not end.
    const int before = m_signals;
    m_mgr->pSKF->SKF_CancelWaitForDevEvent();
    QTest::qWait(200);
    QVERIFY(m_monitor.isRunning());
    push({SKF_EVENT_INSERTED, "AFTER-SPURIOUS", 0, false});
    QTRY_COMPARE(m_signals, before + 1);
    QCOMPARE(m_mgr->GetDevName(), std::string("AFTER-SPURIOUS"));
}

void TestMonitorScript::everyWaitOffersTheWholeBuffer()
{
    std::lock_guard<std::mutex> guard(m_fake->lock);
    QVERIFY(m_fake->offeredSizes.size() > 100);
    for (uint32_t offered : m_fake->offeredSizes)
        QCOMPARE(offered, 1024u);
}

void TestMonitorScript::cleanupTestCase()
{
    QElapsedTimer timer;
    timer.start();
    m_monitor.requestStop();
    QVERIFY(m_monitor.wait(5000));
    QVERIFY(timer.elapsed() < 2000);
}

QTEST_GUILESS_MAIN(TestMonitorScript)
#include "tst_monitor_script.moc"
