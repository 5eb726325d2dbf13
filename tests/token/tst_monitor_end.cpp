// A monitor that can never see an event ends its thread at once and emits nothing: run once with
// a library path that does not exist, once with a library that has no event wait.
// Either way the start-up record names the library and says why.
#include "cDevMgr.h"
#include "cMonitor.h"

#include <QElapsedTimer>
#include <QtTest>

class TestMonitorEnd : public QObject
{
    Q_OBJECT
private slots:
    void endsAtOnce();
};

void TestMonitorEnd::endsAtOnce()
{
    const QByteArray path = qgetenv("MONITOR_LIBRARY");
    const bool loadable = qgetenv("MONITOR_LIBRARY_LOADS") == "1";
    cDevMgr::setLibraryPathForTesting(path.constData());

    const QString record = loadable ? "SKF library %1 loaded; 71 functions missing: SKF_WaitForDevEvent, "
                                      "SKF_CancelWaitForDevEvent, SKF_EnumDev, .*, SKF_CloseHandle$"
                                    : "SKF library %1 not loaded: %1: cannot open shared object file";
    QTest::ignoreMessage(QtWarningMsg,
                         QRegularExpression("^keymgr 1\\.2\\.4 .*" + record.arg(QRegularExpression::escape(path))));

    cMonitor monitor;
    int emitted = 0;
    connect(&monitor, &cMonitor::notifyTokenEvent, this, [&emitted] { ++emitted; });
    QElapsedTimer timer;
    timer.start();
    monitor.start();
    QVERIFY(monitor.wait(5000));
    QVERIFY2(timer.elapsed() < 1000, qPrintable(QString::number(timer.elapsed())));
    QCoreApplication::processEvents();
    QCOMPARE(emitted, 0);
    QCOMPARE(bool(cDevMgr::getInst()->pSKF), loadable);
    QCOMPARE(cDevMgr::getInst()->GetEvent(), ULONG(0));
}

QTEST_GUILESS_MAIN(TestMonitorEnd)
#include "tst_monitor_end.moc"
