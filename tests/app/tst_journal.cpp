// The daemonised program's records as the journal receives them. The test runs in mount and IPC
// namespaces of its own (its /tmp, with the request FIFO, is its own as for every test), where it
// owns /run/systemd/journal/socket and the single-instance segment; the program it starts inherits
// them and sends there.
#include "journal.h"
#include "keymgr_config.h"
#include "logging.h"
#include "programtest.h"
#include "softskf_fixture.h"

#include <QtTest>

#include <QProcess>

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

QString s_keymgrPath;
const char kSocketDir[] = "/run/systemd/journal";
const char kWrongPin[] = "Wr0ngPin9";

using Record = QMap<QByteArray, QByteArray>;

// One datagram of the journal's native protocol: KEY=value lines, or KEY\n, a 64-bit
// little-endian length and the value bytes for values that hold line breaks.
Record parseDatagram(const QByteArray& data)
{
    Record record;
    int pos = 0;
    while (pos < data.size()) {
        const int end = data.indexOf('\n', pos);
        const QByteArray line = data.mid(pos, end < 0 ? -1 : end - pos);
        const int eq = line.indexOf('=');
        if (eq >= 0) {
            record.insert(line.left(eq), line.mid(eq + 1));
            pos = end < 0 ? data.size() : end + 1;
        } else {
            if (end < 0 || end + 9 > data.size())
                break;
            quint64 len = 0;
            memcpy(&len, data.constData() + end + 1, sizeof len);
            record.insert(line, data.mid(end + 9, int(len)));
            pos = end + 9 + int(len) + 1;
        }
    }
    return record;
}

QByteArray linkOf(const QString& path)
{
    char target[4096];
    const ssize_t len = readlink(QFile::encodeName(path).constData(), target, sizeof target);
    return len > 0 ? QByteArray(target, int(len)) : QByteArray();
}

} // namespace

class TestJournal : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void handlerFallsBackWithoutJournal();
    void startRecord();
    void tokenEventRecord();
    void failedVerifyRecord();
    void noPinInAnyRecord();

private:
    // Waits until a datagram has the field with the value; the datagrams read so far stay in m_raw.
    Record waitFor(const QByteArray& key, const QByteArray& value, int timeoutMs = 20000);
    qint64 ourKeymgr() const;

    SoftSkfFixture m_skf;
    int m_socket = -1;
    QList<QByteArray> m_raw;
    qint64 m_pid = 0;
    bool m_started = false;
    QString m_window;
};

void TestJournal::initTestCase()
{
    QVERIFY2(QFileInfo(s_keymgrPath).isExecutable(), "usage: tst_journal <path of keymgr>");
    QVERIFY2(unshare(CLONE_NEWNS | CLONE_NEWIPC) == 0, "needs root for private mount and IPC namespaces");
    QCOMPARE(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
    QCOMPARE(mount("tmpfs", "/run", "tmpfs", 0, "mode=0755"), 0);
    QVERIFY(QDir().mkpath(kSocketDir));
    QVERIFY2(m_skf.init(), m_skf.lastError().constData());
    SoftSkfFixture::TokenSpec token;
    token.present = false;
    QVERIFY(m_skf.createToken(token));
}

void TestJournal::cleanupTestCase()
{
    if (m_pid > 0) {
        kill(pid_t(m_pid), SIGTERM);
        QTRY_COMPARE_WITH_TIMEOUT(ourKeymgr(), qint64(0), 5000);
    }
    close(m_socket);
    // Sanitizer builds send the daemon's reports to files (its standard error is closed).
    QDir dir(qEnvironmentVariable("KEYMGR_TEST_DIR"));
    const QStringList reports = dir.entryList({"sanitizer.*"}, QDir::Files);
    QVERIFY2(reports.isEmpty(), qPrintable(reports.join(' ')));
}

Record TestJournal::waitFor(const QByteArray& key, const QByteArray& value, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    int seen = 0;
    int misses = 0;
    while (timer.elapsed() < timeoutMs) {
        QByteArray buffer(256 * 1024, '\0');
        const ssize_t got = recv(m_socket, buffer.data(), size_t(buffer.size()), 0);
        if (got > 0)
            m_raw << buffer.left(int(got));
        for (; seen < m_raw.size(); ++seen) {
            const Record record = parseDatagram(m_raw[seen]);
            if (record.value(key) == value)
                return record;
        }
        // Nothing waiting, and a program that has ended sends nothing more. Seen missing twice: a
        // look while it forks into the background may miss it once.
        if (got <= 0 && m_started)
            misses = ourKeymgr() == 0 ? misses + 1 : 0;
        if (misses == 2)
            break;
        if (got <= 0)
            QTest::qWait(50);
    }
    return Record();
}

// The program daemonises away from the test: it is the copy of keymgr in our mount namespace.
qint64 TestJournal::ourKeymgr() const
{
    const QByteArray exe = QFile::encodeName(QFileInfo(s_keymgrPath).canonicalFilePath());
    const QByteArray ns = linkOf(QStringLiteral("/proc/self/ns/mnt"));
    for (const QString& entry : QDir("/proc").entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        if (linkOf("/proc/" + entry + "/exe") == exe && linkOf("/proc/" + entry + "/ns/mnt") == ns)
            return entry.toLongLong();
    }
    return 0;
}

// The handler in this process: a record goes to the handler before it while no journal listens,
// and to the journal, with its priority and category, once one does.
void TestJournal::handlerFallsBackWithoutJournal()
{
    const QtMessageHandler testHandler = qInstallMessageHandler(nullptr);
    qInstallMessageHandler(testHandler);
    installJournalHandler();
    QTest::ignoreMessage(QtWarningMsg, "no journal yet");
    qCWarning(lcUi, "no journal yet");

    m_socket = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    qstrcpy(address.sun_path, "/run/systemd/journal/socket");
    const int bound = bind(m_socket, reinterpret_cast<sockaddr*>(&address), sizeof address);
    qCWarning(lcUi, "to the journal");
    qInstallMessageHandler(testHandler);
    QCOMPARE(bound, 0);
    const Record record = waitFor("MESSAGE", "to the journal", 5000);
    QCOMPARE(record.value("PRIORITY"), QByteArray("4"));
    QCOMPARE(record.value("QT_CATEGORY"), QByteArray("keymgr.ui"));
    QCOMPARE(record.value("SYSLOG_IDENTIFIER"), QByteArray("keymgr"));
}

void TestJournal::startRecord()
{
    qputenv("QT_LOGGING_RULES", "keymgr.*.debug=true");
    QProcess::execute(s_keymgrPath, {QStringLiteral("show")});
    m_started = true;
    const QByteArray library = QByteArray(KEYMGR_APP_DIR) + "/lib/liborvane.so.1.0.0";
    const Record record = waitFor("SKF_LIBRARY", library);
    QVERIFY2(!record.isEmpty(), qPrintable(QStringLiteral("%1 datagrams, none from the start").arg(m_raw.size())));
    QCOMPARE(record.value("SYSLOG_IDENTIFIER"), QByteArray("keymgr"));
    QCOMPARE(record.value("PRIORITY"), QByteArray("6"));
    QCOMPARE(record.value("QT_CATEGORY"), QByteArray("keymgr.skf"));
    QVERIFY2(record.value("MESSAGE").contains("keymgr 1.2.4") && record.value("MESSAGE").contains(library + " loaded"),
             record.value("MESSAGE").constData());
    m_pid = ourKeymgr();
    QVERIFY(m_pid > 0);
}

void TestJournal::tokenEventRecord()
{
    QVERIFY(m_skf.insert(QStringLiteral("TOKEN1")));
    const Record record = waitFor("DEVICE", "TOKEN1");
    QCOMPARE(record.value("QT_CATEGORY"), QByteArray("keymgr.events"));
    QVERIFY2(record.value("MESSAGE").startsWith("token event 1 (inserted)"), record.value("MESSAGE").constData());
}

// A wrong PIN typed on the verify page, as a user does it.
void TestJournal::failedVerifyRecord()
{
    QTRY_VERIFY_WITH_TIMEOUT(
        !(m_window = runProgram("xdotool", {"search", "--onlyvisible", "--name", "Norvik"})).isEmpty(), 10000);
    m_window = m_window.section('\n', 0, 0);
    // Device row, "Verify PIN", the PIN field, then OK. A busy machine may still be filling the
    // tree when the first click lands, so the whole round is tried again.
    Record record;
    for (int round = 0; round < 3 && record.isEmpty(); ++round) {
        for (const QStringList& at : QList<QStringList>{{"60", "105"}, {"344", "417"}, {"500", "188"}}) {
            runProgram("xdotool", {"mousemove", "--window", m_window, at[0], at[1], "click", "1"});
            QTest::qWait(700);
        }
        runProgram("xdotool", {"type", "--delay", "40", kWrongPin});
        QTest::qWait(300);
        runProgram("xdotool", {"mousemove", "--window", m_window, "530", "318", "click", "1"});
        record = waitFor("SKF_FUNCTION", "SKF_VerifyPIN", 3500);
    }
    if (record.isEmpty()) {
        const QString shot = qEnvironmentVariable("KEYMGR_TEST_DIR") + "/journal-verify.png";
        QProcess::execute("import", {"-window", "root", shot});
        QFAIL(qPrintable("no SKF_VerifyPIN record; screen in " + shot));
    }
    QCOMPARE(record.value("SKF_RESULT"), QByteArray("0x0A000024"));
    QCOMPARE(record.value("DEVICE"), QByteArray("TOKEN1"));
    QCOMPARE(record.value("PRIORITY"), QByteArray("4"));
}

void TestJournal::noPinInAnyRecord()
{
    QVERIFY(m_raw.size() >= 3);
    for (const QByteArray& datagram : m_raw)
        QVERIFY2(!datagram.contains(kWrongPin) && !datagram.contains("12345678"), datagram.constData());
}

KEYMGR_PROGRAM_TEST_MAIN(TestJournal, s_keymgrPath)
#include "tst_journal.moc"
