// The whole program on a private X server: daemonising, the single instance, the second start
// after a crashed copy, a screenshot of the window, and a start with a token present.
#include "daemons.h"
#include "keymgr_app.h"
#include "myMessageBox.h"
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
    return threadstate::fifoReaderIdle(requestFifoPath(), pid, "myListen") &&
           threadstate::sleepsIn(pid, pid, {
#ifdef SYS_poll
                                                SYS_poll,
#endif
                                                SYS_ppoll});
}

// The change form's success message once it is up: the form's title at the message's size.
QString successMessage()
{
    const QString size = QString("%1x%2").arg(myMessageBox::kMessageWidth).arg(myMessageBox::kMessageHeight);
    for (const QString& id : visibleWindows(kChangePinTitle)) {
        if (runProgram("xdotool", {"getwindowgeometry", id}).contains(size))
            return id;
    }
    return QString();
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
    void staleSegmentDoesNotStopTheNextStart();
    void windowIsCentredAndPhotographed();
    void tokenPresentAtStart();

private:
    // Starts keymgr the way a user does; the launcher returns at once (daemon).
    void launch(const QStringList& args);
    // Waits for cond while the copy m_pid runs.
    template <typename Cond> bool whileRunning(Cond cond) { return daemons::waitWhileRunning(m_pid, cond); }

    QString m_keymgr;
    QProcess m_trayer;
    qint64 m_pid = 0;
};

void TestKeymgr::initTestCase()
{
    m_keymgr = s_keymgrPath;
    QVERIFY2(QFileInfo(m_keymgr).isExecutable(), "usage: tst_keymgr <path of keymgr>");
    QVERIFY2(!qgetenv("DISPLAY").isEmpty(), "runs on an X server (xvfb-run)");
    QVERIFY(daemons::adopt());
    // A system tray, so that the tray icon is real.
    m_trayer.start("trayer", {"--edge", "top", "--align", "right", "--widthtype", "pixel", "--width", "120",
                              "--height", "24", "--SetDockType", "true"});
    QVERIFY(m_trayer.waitForStarted(5000));
    QVERIFY(daemons::waitWhileRunning(m_trayer.processId(), [] {
        return !runProgram("xdotool", {"search", "--onlyvisible", "--class", "trayer"}).isEmpty();
    }));
}

void TestKeymgr::cleanupTestCase()
{
    if (m_pid > 0 && kill(pid_t(m_pid), SIGKILL) == 0)
        daemons::waitForExit(m_pid);
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

void TestKeymgr::startsHiddenWithoutArgument()
{
    launch({});
    m_pid = daemons::waitForResident(m_keymgr);
    QVERIFY(m_pid > 0);
    // The reader has the FIFO open once the window is built.
    QVERIFY(whileRunning([] { return writeFifo(requestFifoPath(), QByteArray()); }));
    QVERIFY(whileRunning([this] { return settled(m_pid); }));
    QVERIFY(visibleWindows().isEmpty());
    // Hidden, but present in the tray.
    QVERIFY(whileRunning([] { return visibleProgramWindows().size() == 1; }));
    QString geometry = runProgram("xdotool", {"getwindowgeometry", visibleProgramWindows().value(0)});
    QVERIFY2(!geometry.contains("702x530"), qPrintable(geometry));
}

void TestKeymgr::staleSegmentDoesNotStopTheNextStart()
{
    QVERIFY(m_pid > 0);
    kill(pid_t(m_pid), SIGKILL);
    // Reaped: every thread of the copy has ended and let go of the segment.
    QCOMPARE(daemons::waitForExit(m_pid), -1);

    launch({"show"});
    const qint64 pid = daemons::waitForResident(m_keymgr);
    QVERIFY(pid > 0);
    QVERIFY(pid != m_pid);
    m_pid = pid;
    QVERIFY(whileRunning([] { return !visibleWindows().isEmpty(); }));
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
    QCOMPARE(daemons::waitForExit(m_pid), 0);
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
    m_pid = daemons::waitForResident(m_keymgr);
    QVERIFY(m_pid > 0);
    QVERIFY(whileRunning([] { return visibleWindows(kChangePinTitle).size() == 1; }));
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
    QVERIFY(
        whileRunning([&fx] { return !fx.show("START").value("applications")[0]["userPin"]["default"].toBool(true); }));
    // The key goes to the message only once it is up: the form closes before the message opens.
    QString message;
    QVERIFY(whileRunning([&message] { return !(message = successMessage()).isEmpty(); }));
    QCOMPARE(xdotool({"windowfocus", "--sync", message}), 0);
    QCOMPARE(xdotool({"key", "Return"}), 0);
    QVERIFY(whileRunning([] { return visibleWindows(kChangePinTitle).isEmpty(); }));

    // Plugged in again: the expiry notice from the token's certificate, and no more form.
    QVERIFY(fx.insert("START"));
    QVERIFY(whileRunning([] { return visibleWindows(kExpiryTitle).size() == 1; }));
    QVERIFY(fx.stats().value("SKF_ExportCertificate") > 0);
    const QString shot = qEnvironmentVariable("KEYMGR_BINARY_DIR") + "/test-artifacts/keymgr-expiry.png";
    runProgram("import", {"-window", "root", shot});
    QVERIFY(visibleWindows(kChangePinTitle).isEmpty());

    // Ended while the notice is open: the dialog is closed first, and the program ends cleanly.
    QCOMPARE(kill(pid_t(m_pid), SIGTERM), 0);
    QCOMPARE(daemons::waitForExit(m_pid), 0);
    m_pid = 0;
}

KEYMGR_PROGRAM_TEST_MAIN(TestKeymgr, s_keymgrPath)
#include "tst_keymgr.moc"
