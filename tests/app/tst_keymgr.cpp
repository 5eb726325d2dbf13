// The whole program on a private X server: daemonising, the single instance, the second start
// showing the first copy's window, a screenshot of that window, and a start with a token present.
#include "keymgr_app.h"
#include "programtest.h"
#include "softskf_fixture.h"
#include "testfiles.h"
#include "threadstate.h"

#include <QtTest>

#include <QProcess>

#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

QString s_keymgrPath;
const char kTitle[] = "Norvik";
const char kExpiryTitle[] = "USB Key"; // of "网上银行USB Key管理工具": xdotool matches ASCII reliably
// The forced change's title in the language the window starts in.
const QString kChangePinTitle = QString::fromUtf8("修改密码");

// Process ids of every running program whose executable is `exe`.
QList<qint64> processesOf(const QString& exe)
{
    QList<qint64> pids;
    const QString canonical = QFileInfo(exe).canonicalFilePath();
    for (const QString& entry : QDir("/proc").entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool numeric = false;
        qint64 pid = entry.toLongLong(&numeric);
        if (!numeric)
            continue;
        QString target = QFile::symLinkTarget(QString("/proc/%1/exe").arg(pid));
        if (target == canonical) {
            // A zombie or a process being torn down has no state worth counting.
            QFile stat(QString("/proc/%1/stat").arg(pid));
            if (stat.open(QIODevice::ReadOnly) && !stat.readAll().contains(") Z "))
                pids << pid;
        }
    }
    return pids;
}

int xdotool(const QStringList& args)
{
    int exitCode = -1;
    runProgram("xdotool", args, &exitCode);
    return exitCode;
}

// X window ids of keymgr's visible windows whose title contains title. xdotool's own name search
// misses titles that are not ASCII, so the titles are compared here.
QStringList visibleWindows(const QString& title = QString::fromUtf8(kTitle))
{
    QStringList found;
    for (const QString& id : runProgram("xdotool", {"search", "--onlyvisible", "--class", "keymgr"}).split('\n')) {
        if (!id.isEmpty() && runProgram("xdotool", {"getwindowname", id}).contains(title))
            found << id;
    }
    return found;
}

// Everything written to the FIFO has been read and whatever it asked of the window is done: the
// reader sleeps in read() and the interface thread sleeps waiting for events.
bool settled(qint64 pid)
{
    return threadstate::fifoReaderIdle(kRequestFifoPath, pid, "myListen") &&
           threadstate::sleepsIn(pid, pid, {
#ifdef SYS_poll
                                                SYS_poll,
#endif
                                                SYS_ppoll});
}

// Visible windows of the program of any title: with the main window hidden, the tray icon's.
QStringList visibleProgramWindows()
{
    QString out = runProgram("xdotool", {"search", "--onlyvisible", "--class", "keymgr"});
    return out.isEmpty() ? QStringList() : out.split('\n');
}

}

class TestKeymgr : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void startsHiddenWithoutArgument();
    void otherTextOnTheFifoIsIgnored();
    void secondStartShowsTheFirstWindow();
    void staleSegmentDoesNotStopTheNextStart();
    void windowIsCentredAndPhotographed();
    void tokenPresentAtStart();

private:
    // Starts keymgr the way a user does; the launcher returns at once (daemon).
    void launch(const QStringList& args);
    qint64 waitForSingleCopy();
    void endAll();

    QString m_keymgr;
    QProcess m_trayer;
    qint64 m_pid = 0;
};

void TestKeymgr::initTestCase()
{
    m_keymgr = s_keymgrPath;
    QVERIFY2(QFileInfo(m_keymgr).isExecutable(), "usage: tst_keymgr <path of keymgr>");
    QVERIFY2(!qgetenv("DISPLAY").isEmpty(), "runs on an X server (xvfb-run)");
    endAll();
    // A system tray, so that the tray icon is real.
    m_trayer.start("trayer", {"--edge", "top", "--align", "right", "--widthtype", "pixel", "--width", "120",
                              "--height", "24", "--SetDockType", "true"});
    QVERIFY(m_trayer.waitForStarted(5000));
    QTest::qWait(500);
}

void TestKeymgr::cleanupTestCase()
{
    endAll();
    m_trayer.terminate();
    m_trayer.waitForFinished(3000);
    // Sanitizer builds send the copies' reports here (their standard error is closed).
    QDir dir(qEnvironmentVariable("KEYMGR_TEST_DIR"));
    QStringList reports = dir.entryList({"sanitizer.*"}, QDir::Files);
    for (const QString& name : reports) {
        QFile report(dir.filePath(name));
        if (report.open(QIODevice::ReadOnly))
            qWarning("%s", report.readAll().constData());
    }
    QVERIFY2(reports.isEmpty(), qPrintable(reports.join(' ')));
}

void TestKeymgr::launch(const QStringList& args)
{
    int exitCode = -1;
    QElapsedTimer timer;
    timer.start();
    runProgram(m_keymgr, args, &exitCode);
    QCOMPARE(exitCode, 0);
    QVERIFY2(timer.elapsed() < 5000, "the launcher must return at once");
}

qint64 TestKeymgr::waitForSingleCopy()
{
    // The daemonising parents live for an instant; only a copy that stays counts.
    QList<qint64> pids;
    qint64 candidate = 0;
    QElapsedTimer stable;
    for (int i = 0; i < 150; ++i) {
        pids = processesOf(m_keymgr);
        if (pids.size() == 1 && pids.first() == candidate) {
            if (stable.elapsed() >= 600)
                return candidate;
        } else {
            candidate = pids.size() == 1 ? pids.first() : 0;
            stable.start();
        }
        QTest::qWait(100);
    }
    qWarning() << "keymgr processes:" << pids;
    return 0;
}

void TestKeymgr::endAll()
{
    for (qint64 pid : processesOf(m_keymgr))
        kill(pid_t(pid), SIGKILL);
    QTRY_VERIFY_WITH_TIMEOUT(processesOf(m_keymgr).isEmpty(), 5000);
}

void TestKeymgr::startsHiddenWithoutArgument()
{
    launch({});
    m_pid = waitForSingleCopy();
    QVERIFY(m_pid > 0);
    // The reader has the FIFO open once the window is built.
    QTRY_VERIFY_WITH_TIMEOUT(writeFifo(kRequestFifoPath, QByteArray()), 10000);
    QTRY_VERIFY_WITH_TIMEOUT(settled(m_pid), 10000);
    QVERIFY(visibleWindows().isEmpty());
    QVERIFY(kill(pid_t(m_pid), 0) == 0);
    // Hidden, but present in the tray.
    QTRY_COMPARE_WITH_TIMEOUT(visibleProgramWindows().size(), 1, 5000);
    QString geometry = runProgram("xdotool", {"getwindowgeometry", visibleProgramWindows().value(0)});
    QVERIFY2(!geometry.contains("702x530"), qPrintable(geometry));
}

void TestKeymgr::otherTextOnTheFifoIsIgnored()
{
    QVERIFY(m_pid > 0);
    QVERIFY(writeFifo(kRequestFifoPath, "hello"));
    QTRY_VERIFY_WITH_TIMEOUT(settled(m_pid), 10000);
    QVERIFY(visibleWindows().isEmpty());
    QVERIFY(kill(pid_t(m_pid), 0) == 0);
}

void TestKeymgr::secondStartShowsTheFirstWindow()
{
    QVERIFY(m_pid > 0);
    launch({});
    QTRY_VERIFY_WITH_TIMEOUT(!visibleWindows().isEmpty(), 10000);
    QCOMPARE(waitForSingleCopy(), m_pid);
}

void TestKeymgr::staleSegmentDoesNotStopTheNextStart()
{
    QVERIFY(m_pid > 0);
    kill(pid_t(m_pid), SIGKILL);
    QTRY_VERIFY_WITH_TIMEOUT(processesOf(m_keymgr).isEmpty(), 5000);

    launch({"show"});
    qint64 pid = waitForSingleCopy();
    QVERIFY(pid > 0);
    QVERIFY(pid != m_pid);
    m_pid = pid;
    QTRY_VERIFY_WITH_TIMEOUT(!visibleWindows().isEmpty(), 10000);
}

void TestKeymgr::windowIsCentredAndPhotographed()
{
    QStringList windows = visibleWindows();
    QCOMPARE(windows.size(), 1);
    QString geometry = runProgram("xdotool", {"getwindowgeometry", "--shell", windows.first()});
    QMap<QString, int> values;
    for (const QString& line : geometry.split('\n')) {
        QStringList pair = line.split('=');
        if (pair.size() == 2)
            values[pair[0]] = pair[1].toInt();
    }
    QCOMPARE(values.value("WIDTH"), 702);
    QCOMPARE(values.value("HEIGHT"), 530);
    QString screen = runProgram("xdotool", {"getdisplaygeometry"});
    QStringList size = screen.split(' ');
    QCOMPARE(size.size(), 2);
    QCOMPARE(values.value("X"), (size[0].toInt() - 702) / 2);
    QCOMPARE(values.value("Y"), (size[1].toInt() - 530) / 2);

    QString dir = qEnvironmentVariable("KEYMGR_BINARY_DIR") + "/test-artifacts";
    QVERIFY(QDir().mkpath(dir));
    QString shot = dir + "/keymgr-window.png";
    QFile::remove(shot);
    int exitCode = -1;
    runProgram("import", {"-window", windows.first(), shot}, &exitCode);
    QCOMPARE(exitCode, 0);
    QVERIFY(QFileInfo(shot).size() > 0);
    qInfo("screenshot: %s", qPrintable(shot));

    QCOMPARE(kill(pid_t(m_pid), SIGTERM), 0);
    QTRY_VERIFY_WITH_TIMEOUT(processesOf(m_keymgr).isEmpty(), 5000);
}

void TestKeymgr::tokenPresentAtStart()
{
    // A token whose user PIN is still the factory one, with a certificate ending in 3 days.
    SoftSkfFixture fx;
    QVERIFY(fx.init());
    QVERIFY(fx.createToken("START", true, true));
    QVERIFY(fx.addContainer("START", "c1", "sm2"));
    QVERIFY(fx.addCert("START", "c1", true, "Expiring", 3));
    QVERIFY(fx.resetStats());

    // Start-up runs the token handler once: one listing of the token, its PIN information, and the
    // change form for the factory PIN. No certificate is read: the expiry check belongs to insertions.
    launch({});
    m_pid = waitForSingleCopy();
    QVERIFY(m_pid > 0);
    QTRY_COMPARE_WITH_TIMEOUT(visibleWindows(kChangePinTitle).size(), 1, 20000);
    QMap<QString, qint64> calls = fx.stats();
    calls.remove("SKF_WaitForDevEvent"); // the monitor thread's own timing
    const QMap<QString, qint64> startup{{"SKF_EnumDev", 1},         {"SKF_ConnectDev", 1},
                                        {"SKF_EnumApplication", 1}, {"SKF_OpenApplication", 1},
                                        {"SKF_GetPINInfo", 1}};
    QCOMPARE(calls, startup);
    QVERIFY(visibleWindows(kExpiryTitle).isEmpty());

    // The user fills in the form and confirms the success message.
    QCOMPARE(xdotool({"windowfocus", "--sync", visibleWindows(kChangePinTitle).value(0)}), 0);
    for (const char* typed : {"12345678", "abc123", "abc123"}) {
        QCOMPARE(xdotool({"type", "--delay", "20", typed}), 0);
        QCOMPARE(xdotool({"key", "Tab"}), 0);
    }
    QCOMPARE(xdotool({"key", "space"}), 0);
    QTRY_VERIFY_WITH_TIMEOUT(!fx.show("START").value("applications")[0]["userPin"]["default"].toBool(true), 10000);
    QCOMPARE(xdotool({"key", "Return"}), 0);
    QTRY_VERIFY_WITH_TIMEOUT(visibleWindows(kChangePinTitle).isEmpty(), 10000);

    // Plugged in again: the expiry notice from the token's certificate, and no more form.
    QVERIFY(fx.insert("START"));
    QTRY_COMPARE_WITH_TIMEOUT(visibleWindows(kExpiryTitle).size(), 1, 20000);
    QVERIFY(fx.stats().value("SKF_ExportCertificate") > 0);
    const QString shot = qEnvironmentVariable("KEYMGR_BINARY_DIR") + "/test-artifacts/keymgr-expiry.png";
    runProgram("import", {"-window", "root", shot});
    QVERIFY(visibleWindows(kChangePinTitle).isEmpty());
}

KEYMGR_PROGRAM_TEST_MAIN(TestKeymgr, s_keymgrPath)
#include "tst_keymgr.moc"
