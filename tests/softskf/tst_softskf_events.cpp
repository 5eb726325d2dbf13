// Token events of the SKF library at $SOFTSKF_LIB: insertions and removals made by softskf-ctl
// wake SKF_WaitForDevEvent in every process, in order; SKF_CancelWaitForDevEvent ends a wait.
#include "skf_testlib.h"
#include "softskf_fixture.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QtTest>
#include <chrono>
#include <future>

namespace {

struct Event
{
    ULONG rc = 0;
    ULONG code = 0;
    ULONG length = 0;
    QByteArray name;
};

} // namespace

class tst_SoftSkfEvents : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void eventsBeforeLoadAreNotReported();
    void insertAndRemoveWakeInOrder();
    void cancelEndsWaitAtOnce();
    void cancelWithoutWaitEndsNextWait();
    void everyProcessWakes();
    void nameBufferTooSmallKeepsEvent();
    void otherThreadCallsWhileWaiting();
    void faultedWaitReturnsCode();

private:
    Event waitRaw(ULONG bufferSize);
    std::future<Event> waitAsync(ULONG bufferSize = 256);
    // The event the wait returns; one still blocked after 20 s is cancelled and so reports none.
    Event take(std::future<Event>& wait);
    Event waitNow(ULONG bufferSize = 256)
    {
        std::future<Event> wait = waitAsync(bufferSize);
        return take(wait);
    }

    SkfTestLib m_skf;
    SoftSkfFixture m_fx;
};

Event tst_SoftSkfEvents::waitRaw(ULONG bufferSize)
{
    Event e;
    QByteArray buf(int(bufferSize) + 1, '\xEE');
    e.length = bufferSize;
    e.rc = m_skf.SKF_WaitForDevEvent(buf.data(), &e.length, &e.code);
    if (e.rc == SAR_OK && e.length > 0)
        e.name = buf.left(int(e.length));
    return e;
}

std::future<Event> tst_SoftSkfEvents::waitAsync(ULONG bufferSize)
{
    return std::async(std::launch::async, [this, bufferSize] { return waitRaw(bufferSize); });
}

Event tst_SoftSkfEvents::take(std::future<Event>& wait)
{
    if (wait.wait_for(std::chrono::seconds(20)) == std::future_status::timeout)
        m_skf.SKF_CancelWaitForDevEvent();
    return wait.get();
}

void tst_SoftSkfEvents::initTestCase()
{
    QVERIFY(m_fx.init());
    QVERIFY(m_fx.createToken("EV", false));
    // Logged before the library is loaded: never reported to this process.
    QVERIFY(m_fx.insert("EV"));
    QVERIFY(m_skf.load());
}

void tst_SoftSkfEvents::eventsBeforeLoadAreNotReported()
{
    std::future<Event> f = waitAsync();
    QVERIFY(f.wait_for(std::chrono::milliseconds(300)) == std::future_status::timeout);
    QCOMPARE(m_skf.SKF_CancelWaitForDevEvent(), ULONG(SAR_OK));
    Event e = f.get();
    QCOMPARE(e.rc, ULONG(SAR_OK));
    QCOMPARE(e.code, ULONG(0));
    QCOMPARE(e.length, ULONG(0));
}

void tst_SoftSkfEvents::insertAndRemoveWakeInOrder()
{
    QVERIFY(m_fx.createToken("OTHER", false));
    std::future<Event> first = waitAsync();
    QVERIFY(first.wait_for(std::chrono::milliseconds(100)) == std::future_status::timeout);
    QElapsedTimer timer;
    QVERIFY(m_fx.remove("EV"));
    timer.start();
    Event e = take(first);
    // Woken by the log change itself, not by a periodic look.
    QVERIFY2(timer.elapsed() < 400, qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(e.rc, ULONG(SAR_OK));
    QCOMPARE(e.code, ULONG(SKF_EVENT_REMOVED));
    QCOMPARE(e.name, QByteArray("EV", 3));
    QCOMPARE(e.length, ULONG(3));
    QVERIFY(m_fx.insert("OTHER"));
    QVERIFY(m_fx.insert("EV"));
    QVERIFY(m_fx.remove("OTHER"));
    const std::pair<ULONG, QByteArray> expected[] = {
        {SKF_EVENT_INSERTED, "OTHER"}, {SKF_EVENT_INSERTED, "EV"}, {SKF_EVENT_REMOVED, "OTHER"}};
    for (const auto& x : expected) {
        e = waitNow();
        QCOMPARE(e.rc, ULONG(SAR_OK));
        QCOMPARE(e.code, x.first);
        QCOMPARE(e.name, x.second + '\0');
    }
}

void tst_SoftSkfEvents::cancelEndsWaitAtOnce()
{
    std::future<Event> f = waitAsync();
    QVERIFY(f.wait_for(std::chrono::milliseconds(200)) == std::future_status::timeout);
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(m_skf.SKF_CancelWaitForDevEvent(), ULONG(SAR_OK));
    QVERIFY(f.wait_for(std::chrono::milliseconds(1000)) == std::future_status::ready);
    QVERIFY(timer.elapsed() < 300);
    Event e = f.get();
    QCOMPARE(e.rc, ULONG(SAR_OK));
    QCOMPARE(e.code, ULONG(0));
    QCOMPARE(e.length, ULONG(0));
}

void tst_SoftSkfEvents::cancelWithoutWaitEndsNextWait()
{
    QCOMPARE(m_skf.SKF_CancelWaitForDevEvent(), ULONG(SAR_OK));
    std::future<Event> f = waitAsync();
    QVERIFY(f.wait_for(std::chrono::milliseconds(1000)) == std::future_status::ready);
    QCOMPARE(f.get().code, ULONG(0));
    // Only the next one.
    f = waitAsync();
    QVERIFY(f.wait_for(std::chrono::milliseconds(200)) == std::future_status::timeout);
    QCOMPARE(m_skf.SKF_CancelWaitForDevEvent(), ULONG(SAR_OK));
    QCOMPARE(f.get().code, ULONG(0));
}

void tst_SoftSkfEvents::everyProcessWakes()
{
    QProcess child;
    child.start(QCoreApplication::applicationFilePath(), {"--child", "wait", "2"});
    QVERIFY(child.waitForReadyRead(20000));
    QCOMPARE(child.readLine().trimmed(), QByteArray("ready"));
    std::future<Event> mine = waitAsync();
    QVERIFY(m_fx.remove("EV"));
    QVERIFY(m_fx.insert("EV"));
    QVERIFY(child.waitForFinished(20000));
    QCOMPARE(child.exitCode(), 0);
    QCOMPARE(child.readAll(), QByteArray("2 EV\n1 EV\n"));
    Event e = take(mine);
    QCOMPARE(e.code, ULONG(SKF_EVENT_REMOVED));
    e = waitNow();
    QCOMPARE(e.code, ULONG(SKF_EVENT_INSERTED));
    QCOMPARE(e.name, QByteArray("EV", 3));
}

void tst_SoftSkfEvents::nameBufferTooSmallKeepsEvent()
{
    QVERIFY(m_fx.createToken("A-LONGER-NAME", false));
    QVERIFY(m_fx.insert("A-LONGER-NAME"));
    Event e = waitNow(4);
    QCOMPARE(e.rc, ULONG(SAR_BUFFER_TOO_SMALL));
    QCOMPARE(e.length, ULONG(14));
    e = waitNow(14);
    QCOMPARE(e.rc, ULONG(SAR_OK));
    QCOMPARE(e.code, ULONG(SKF_EVENT_INSERTED));
    QCOMPARE(e.name, QByteArray("A-LONGER-NAME", 14));
}

void tst_SoftSkfEvents::otherThreadCallsWhileWaiting()
{
    std::future<Event> f = waitAsync();
    for (int i = 0; i < 100; ++i) {
        DEVHANDLE dev = m_skf.connect("EV");
        QVERIFY(dev);
        DEVINFO info;
        QCOMPARE(m_skf.SKF_GetDevInfo(dev, &info), ULONG(SAR_OK));
        QCOMPARE(m_skf.SKF_DisConnectDev(dev), ULONG(SAR_OK));
    }
    QVERIFY(f.wait_for(std::chrono::milliseconds(0)) == std::future_status::timeout);
    QVERIFY(m_fx.remove("EV"));
    Event e = take(f);
    QCOMPARE(e.code, ULONG(SKF_EVENT_REMOVED));
    QVERIFY(m_fx.insert("EV"));
    QCOMPARE(waitNow().code, ULONG(SKF_EVENT_INSERTED));
}

void tst_SoftSkfEvents::faultedWaitReturnsCode()
{
    QVERIFY(m_fx.fail("WaitForDevEvent", SAR_FAIL));
    std::future<Event> f = waitAsync();
    QVERIFY(f.wait_for(std::chrono::milliseconds(2000)) == std::future_status::ready);
    QCOMPARE(f.get().rc, ULONG(SAR_FAIL));
    QVERIFY(m_fx.clearFaults());
    QVERIFY(m_fx.remove("EV"));
    QCOMPARE(waitNow().code, ULONG(SKF_EVENT_REMOVED));
}

SKF_TEST_MAIN(tst_SoftSkfEvents)

#include "tst_softskf_events.moc"
