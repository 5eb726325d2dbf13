// keymgr of two users at once on one X server and one System V IPC namespace, each user in a mount
// namespace of its own (a private /tmp, sealed as every test is): one copy per user, a request
// channel no other user can plant over, another user's segment under the key, two starts at once,
// and the clean end on SIGTERM and SIGHUP.
#include "daemons.h"
#include "keymgr_app.h"
#include "programtest.h"
#include "softskf_fixture.h"
#include "testfiles.h"

#include <QtTest>

#include <QProcess>

#include <memory>

#include <fcntl.h>
#include <signal.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString s_keymgrPath;

struct User
{
    uid_t uid;
    QString dir; // home, runtime (its XDG_RUNTIME_DIR), store (softskf), tmp-root (its /tmp)
};

// Segments of the test's IPC namespace: id -> {owner, creator}.
QMap<int, QPair<uid_t, uid_t>> segments()
{
    QMap<int, QPair<uid_t, uid_t>> found;
    shm_info info{};
    const int highest = shmctl(0, SHM_INFO, reinterpret_cast<shmid_ds*>(&info));
    for (int index = 0; index <= highest; ++index) {
        shmid_ds ds{};
        const int id = shmctl(index, SHM_STAT, &ds);
        if (id >= 0)
            found.insert(id, {ds.shm_perm.uid, ds.shm_perm.cuid});
    }
    return found;
}

// The launcher's exit status once it has ended; -1 when it did not end normally within 20 s.
int exitOf(const std::unique_ptr<QProcess>& launcher)
{
    launcher->waitForFinished(20000);
    return launcher->state() == QProcess::NotRunning && launcher->exitStatus() == QProcess::NormalExit
               ? launcher->exitCode()
               : -1;
}

bool windowShown(qint64 pid)
{
    return !runProgram("xdotool", {"search", "--onlyvisible", "--pid", QString::number(pid)}).isEmpty();
}

} // namespace

class TestUsers : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void cleanup();
    void scenario_data();
    void scenario();

private:
    // Starts keymgr as user, in a mount namespace with the user's own /tmp; standard error goes to
    // the file err in the user's folder.
    std::unique_ptr<QProcess> start(const User& user, const QString& err);
    bool makeUser(const User& user, bool ownRuntimeDir);

    User m_a;
    User m_b;
    int m_plantedFifo = -1;
};

void TestUsers::initTestCase()
{
    QVERIFY2(QFileInfo(s_keymgrPath).isExecutable(), "usage: tst_users <path of keymgr>");
    const QString root = qEnvironmentVariable("KEYMGR_TEST_DIR");
    m_a = {61001, root + "/user-a"};
    m_b = {61002, root + "/user-b"};
    int status = -1;
    runProgram("setpriv", {"--reuid=61002", "--regid=61002", "--clear-groups", "--", "true"}, &status);
    QVERIFY2(status == 0, "makes its users (uids 61001, 61002) with setpriv: needs root");
    QVERIFY(daemons::adopt());
    // The copies' sanitizer reports (their standard error is closed), writable by both users.
    QVERIFY(QDir().mkpath(root + "/reports"));
    QVERIFY(chmod(QFile::encodeName(root + "/reports").constData(), 01777) == 0);
}

void TestUsers::cleanupTestCase()
{
    const QDir reports(qEnvironmentVariable("KEYMGR_TEST_DIR") + "/reports");
    for (const QString& name : reports.entryList(QDir::Files))
        qWarning("%s", readFile(reports.filePath(name)).constData());
    QVERIFY2(reports.entryList(QDir::Files).isEmpty(), "sanitizer reports");
}

void TestUsers::cleanup()
{
    for (const User& user : {m_a, m_b}) {
        for (qint64 pid : daemons::processesOf(s_keymgrPath, user.uid)) {
            kill(pid_t(pid), SIGKILL);
            daemons::waitForExit(pid);
        }
    }
    for (int id : segments().keys())
        shmctl(id, IPC_RMID, nullptr);
    if (m_plantedFifo >= 0)
        close(m_plantedFifo);
    m_plantedFifo = -1;
}

bool TestUsers::makeUser(const User& user, bool ownRuntimeDir)
{
    QDir(user.dir).removeRecursively();
    for (const char* sub : {"home", "runtime", "store", "tmp-root"}) {
        if (!QDir().mkpath(user.dir + '/' + sub))
            return false;
    }
    const QByteArray dir = QFile::encodeName(user.dir);
    // A runtime folder of root's is not the user's: keymgr must fall back to /tmp.
    const bool owned = chown(dir + "/home", user.uid, user.uid) == 0 &&
                       chown(dir + "/store", user.uid, user.uid) == 0 &&
                       (!ownRuntimeDir || chown(dir + "/runtime", user.uid, user.uid) == 0);
    return owned && chmod(dir + "/runtime", 0700) == 0 && chmod(dir + "/tmp-root", 01777) == 0 &&
           QFile::copy(qEnvironmentVariable("XAUTHORITY"), user.dir + "/home/.Xauthority") &&
           chown(dir + "/home/.Xauthority", user.uid, user.uid) == 0;
}

std::unique_ptr<QProcess> TestUsers::start(const User& user, const QString& err)
{
    QProcessEnvironment env;
    for (const char* name : {"DISPLAY", "PATH", "LANG", "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
        if (qEnvironmentVariableIsSet(name))
            env.insert(name, qEnvironmentVariable(name));
    }
    for (const char* sub : {"HOME=home", "XDG_RUNTIME_DIR=runtime", "SOFTSKF_DIR=store", "XAUTHORITY=home/.Xauthority"})
        env.insert(QString(sub).section('=', 0, 0), user.dir + '/' + QString(sub).section('=', 1));
    // run-test.sh, told it is sealed already, only binds the user's tmp-root onto /tmp.
    env.insert("KEYMGR_TEST_DIR", user.dir);
    env.insert("KEYMGR_TEST_SEALED", user.dir);
    auto launcher = std::make_unique<QProcess>();
    launcher->setProcessEnvironment(env);
    launcher->setStandardErrorFile(user.dir + '/' + err);
    const QString uid = QString::number(user.uid);
    launcher->start("unshare", {"--mount", "--", qEnvironmentVariable("KEYMGR_SOURCE_DIR") + "/tests/run-test.sh",
                                "setpriv", "--reuid=" + uid, "--regid=" + uid, "--clear-groups", "--", s_keymgrPath});
    return launcher;
}

void TestUsers::scenario_data()
{
    QTest::addColumn<QString>("plant");      // what the other user (or a crashed copy) left for user A
    QTest::addColumn<bool>("ownRuntimeDir"); // A's XDG_RUNTIME_DIR is A's; else A's FIFO is in /tmp
    QTest::addColumn<bool>("together");      // A starts twice at once, not one start after the other
    QTest::addColumn<bool>("shown");         // A's second start shows A's window; else it says why it cannot
    QTest::addColumn<QString>("said");       // on standard error by A's first start
    QTest::addColumn<int>("endSignal");      // to end A; B gets the other one

    QTest::newRow("two users") << "" << true << false << true << "" << SIGTERM;
    QTest::newRow("other user's file at the FIFO path") << "file" << false << false << false << "uid 61002" << SIGTERM;
    QTest::newRow("other user's link at the FIFO path") << "link" << false << false << false << "uid 61002" << SIGHUP;
    QTest::newRow("other user's FIFO at the FIFO path") << "fifo" << false << false << false << "uid 61002" << SIGTERM;
    QTest::newRow("own link left at the FIFO path") << "own link" << false << false << true << "" << SIGHUP;
    QTest::newRow("other user's 0666 segment under the key")
        << "segment" << true << false << true << "segment of uid 61002" << SIGTERM;
    QTest::newRow("two starts at once") << "" << true << true << true << "" << SIGHUP;
}

void TestUsers::scenario()
{
    QFETCH(QString, plant);
    QFETCH(bool, ownRuntimeDir);
    QFETCH(bool, together);
    QFETCH(bool, shown);
    QFETCH(QString, said);
    QFETCH(int, endSignal);
    QVERIFY(makeUser(m_a, ownRuntimeDir) && makeUser(m_b, true));
    const QString keyName = QString("%1-%2").arg(kInstanceKeyName).arg(m_a.uid);
    const QString fifoName = QString("%1-%2").arg(kRequestFifoName).arg(m_a.uid);
    const QString fifoSeen = (ownRuntimeDir ? m_a.dir + "/runtime/" : m_a.dir + "/tmp-root/") + fifoName;
    const QString victim = m_a.dir + "/tmp-root/victim";
    const QByteArray planted = QFile::encodeName(fifoSeen);
    int plantedSegment = -1;
    if (plant == "segment") {
        const QByteArray keyFile = QFile::encodeName(m_a.dir + "/runtime/" + keyName);
        QVERIFY(writeFile(keyFile, QByteArray()) && chown(keyFile, m_a.uid, m_a.uid) == 0);
        plantedSegment = shmget(ftok(keyFile, 'Q'), 1, IPC_CREAT | IPC_EXCL | 0666);
        shmid_ds ds{};
        QVERIFY(plantedSegment >= 0 && shmctl(plantedSegment, IPC_STAT, &ds) == 0);
        ds.shm_perm.uid = m_b.uid;
        QCOMPARE(shmctl(plantedSegment, IPC_SET, &ds), 0);
    } else if (!plant.isEmpty()) {
        // Anyone may write the file the planted path leads to: only keymgr's checks keep it intact.
        QVERIFY(writeFile(victim, "precious"));
        QVERIFY(chmod(QFile::encodeName(victim), 0666) == 0 && chown(QFile::encodeName(victim), m_b.uid, m_b.uid) == 0);
        if (plant == "file")
            QVERIFY(QFile::copy(victim, fifoSeen));
        else if (plant == "fifo")
            QVERIFY(mkfifo(planted, 0666) == 0 && chmod(planted, 0666) == 0 &&
                    (m_plantedFifo = open(planted, O_RDONLY | O_NONBLOCK)) >= 0);
        else
            QVERIFY(QFile::link(victim, fifoSeen));
        const uid_t owner = plant == "own link" ? m_a.uid : m_b.uid;
        QCOMPARE(lchown(planted, owner, owner), 0);
    }

    // User A starts, then B starts twice: B's second start shows B's window, not A's.
    const auto first = start(m_a, "first.err");
    const auto atOnce = together ? start(m_a, "second.err") : nullptr;
    QCOMPARE(exitOf(first), 0);
    QVERIFY(!together || exitOf(atOnce) == 0);
    const qint64 a = daemons::waitForResident(s_keymgrPath, m_a.uid);
    QVERIFY(a > 0);
    QVERIFY2(readFile(m_a.dir + "/first.err").contains(said.toUtf8()), readFile(m_a.dir + "/first.err").constData());
    QCOMPARE(exitOf(start(m_b, "first.err")), 0);
    const qint64 b = daemons::waitForResident(s_keymgrPath, m_b.uid);
    QVERIFY(b > 0);
    QCOMPARE(exitOf(start(m_b, "second.err")), 0);
    QVERIFY(daemons::waitWhileRunning(b, [b] { return windowShown(b); }));
    QCOMPARE(daemons::waitForResident(s_keymgrPath, m_b.uid), b);
    QVERIFY(together || !windowShown(a));

    if (!together)
        QCOMPARE(exitOf(start(m_a, "second.err")), shown ? 0 : 1);
    if (shown)
        QVERIFY(daemons::waitWhileRunning(a, [a] { return windowShown(a); }));
    else
        QVERIFY2(readFile(m_a.dir + "/second.err").contains(fifoName.toUtf8()), readFile(m_a.dir + "/second.err"));
    QCOMPARE(daemons::waitForResident(s_keymgrPath, m_a.uid), a);

    // Each copy ends with status 0, its FIFO and segment gone and its event wait cancelled.
    QCOMPARE(kill(pid_t(a), endSignal), 0);
    QCOMPARE(kill(pid_t(b), endSignal == SIGTERM ? SIGHUP : SIGTERM), 0);
    QCOMPARE(daemons::waitForExit(a), 0);
    QCOMPARE(daemons::waitForExit(b), 0);
    const bool foreignPath = plant == "file" || plant == "link" || plant == "fifo";
    for (const User& user : {m_a, m_b}) {
        qputenv("SOFTSKF_DIR", QFile::encodeName(user.dir + "/store"));
        QVERIFY(SoftSkfFixture().stats().value("SKF_CancelWaitForDevEvent") >= 1);
        const QString fifo =
            user.uid == m_a.uid ? fifoSeen : user.dir + QString("/runtime/%1-%2").arg(kRequestFifoName).arg(user.uid);
        QVERIFY(!QFileInfo::exists(fifo) || (foreignPath && user.uid == m_a.uid));
        for (const auto& owners : segments())
            QVERIFY(owners.second != user.uid);
    }

    // Whatever the other user left is as it was, and nothing was written through it.
    if (plant == "segment")
        QCOMPARE(segments().value(plantedSegment).first, m_b.uid);
    if (!plant.isEmpty() && plant != "segment")
        QCOMPARE(readFile(victim), QByteArray("precious"));
    if (foreignPath) {
        QCOMPARE(QFileInfo(fifoSeen).ownerId(), uint(m_b.uid));
        char byte = 0;
        QVERIFY(m_plantedFifo < 0 || read(m_plantedFifo, &byte, 1) <= 0);
    }
}

KEYMGR_PROGRAM_TEST_MAIN(TestUsers, s_keymgrPath)
#include "tst_users.moc"
