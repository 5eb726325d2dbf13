// The daemon's file-creation mask as the programs it starts and Qt's file dialog meet it: run in a
// process that daemonises exactly as keymgr does.
#include "certfile_dialogs.h"
#include "certfile_io.h"
#include "childprocess.h"
#include "keymgr_app.h"
#include "testfiles.h"
#include "webopen.h"

#include <QtTest>

#include <QApplication>
#include <QDirIterator>
#include <QFileDialog>
#include <QToolButton>

#include <csignal>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// The C library keeps the signals from 32 up to SIGRTMIN for itself and refuses to change them, so
// whatever disposition this test inherited there (some CI runners ignore 32) reaches every child.
QByteArray expectedSignalState()
{
    quint64 reserved = 0;
    for (int sig = 32; sig < SIGRTMIN; ++sig)
        reserved |= quint64(1) << (sig - 1);
    quint64 own = 0;
    QFile status("/proc/self/status");
    if (status.open(QIODevice::ReadOnly))
        for (const QByteArray &line : status.readAll().split('\n'))
            if (line.startsWith("SigIgn:"))
                own = line.mid(7).trimmed().toULongLong(nullptr, 16);
    return "SigBlk: 0000000000000000\nSigIgn: " + QByteArray::number(own & reserved, 16).rightJustified(16, '0') + "\n";
}

// In the daemonised process: start the browser as an insertion does, then (dialog) make a folder
// with the save dialog's "New Folder" button and export into it. Returns "ok" or what went wrong.
QByteArray runAsDaemon(bool dialog, const QString& home)
{
    if (!openWebAddress(QStringLiteral("https://bank.example/")))
        return "the browser was not started";
    if (!dialog)
        return "ok";
    int argc = 1;
    char name[] = "tst_daemon";
    char* argv[] = {name, nullptr};
    QApplication app(argc, argv);
    QByteArray error;
    QTimer answer;
    QObject::connect(&answer, &QTimer::timeout, [&] {
        auto* fileDialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        if (!fileDialog)
            return;
        answer.stop();
        auto* newFolder = fileDialog->findChild<QToolButton*>(QStringLiteral("newFolderButton"));
        if (!newFolder)
            error = "no New Folder button";
        else
            newFolder->click();
        fileDialog->selectFile(home + QStringLiteral("/exported.cer"));
        static_cast<QDialog*>(fileDialog)->accept(); // as the Save button does
    });
    answer.start(20);
    const QString chosen = certfile::askSaveFileName(nullptr, QStringLiteral("Export Certificate"), home);
    if (chosen.isEmpty())
        return "nothing chosen in the save dialog";
    if (!certfile::writeExportFile(chosen, QByteArray("\x30\x03\x02\x01\x01", 5)))
        return "the export was not written";
    return error.isEmpty() ? QByteArray("ok") : error;
}

} // namespace

class TestDaemon : public QObject
{
    Q_OBJECT

private slots:
    void fileMask_data();
    void fileMask();
};

void TestDaemon::fileMask_data()
{
    QTest::addColumn<int>("inherited"); // the mask the program is started with
    QTest::addColumn<bool>("dialog");
    QTest::addColumn<int>("stubFileMode");
    // The browser gets the user's own mask, not the daemon's.
    QTest::newRow("no mask") << 0 << true << 0666;
    QTest::newRow("usual mask") << 022 << true << 0644;
    // Leaves the owner no write bit, so only the browser's file is looked at.
    QTest::newRow("stricter mask kept") << 0277 << false << 0400;
}

void TestDaemon::fileMask()
{
    QFETCH(int, inherited);
    QFETCH(bool, dialog);
    QFETCH(int, stubFileMode);

    const QString dir = qEnvironmentVariable("KEYMGR_TEST_DIR") + "/" + QTest::currentDataTag();
    const QString home = dir + "/home";
    const QString stubLog = dir + "/stub-calls.log";
    const QString stubState = dir + "/stub-state";
    const QString result = dir + "/result";
    QVERIFY(QDir().mkpath(home));

    const pid_t child = fork();
    QVERIFY(child >= 0);
    if (child == 0) {
        umask(mode_t(inherited));
        qputenv("HOME", QFile::encodeName(home));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(home + "/.config"));
        qputenv("KEYMGR_STUB_LOG", QFile::encodeName(stubLog));
        qputenv("KEYMGR_STUB_STATE", QFile::encodeName(stubState));
        if (init_daemon() != 0)
            _exit(3);
        childprocess::setUserFileMask(userFileMask()); // as main does
        alarm(60); // a dialog nobody answers must not leave the process behind
        QFile out(result);
        if (out.open(QIODevice::WriteOnly))
            out.write(runAsDaemon(dialog, home));
        out.close();
        _exit(0);
    }
    int status = -1;
    QCOMPARE(waitpid(child, &status, 0), child);
    QCOMPARE(status, 0);
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(result).size() > 0, 20000);
    QCOMPARE(readFile(result), QByteArray("ok"));
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(stubLog).size() > 0, 10000);
    QCOMPARE(int(modeOf(stubLog)), stubFileMode);
    // No signal the daemon ignores (SIGHUP, SIGTSTP, SIGTTIN, SIGTTOU, SIGCHLD) or Qt's SIGPIPE.
    QTRY_COMPARE_WITH_TIMEOUT(readFile(stubState), expectedSignalState(), 10000);
    if (!dialog)
        return;

    // What Qt made on the program's behalf is there, and nothing under HOME is open to others.
    QVERIFY(QFileInfo::exists(home + "/.config/QtProject.conf"));
    QVERIFY(QFileInfo(home + "/New Folder").isDir());
    QVERIFY(QFileInfo::exists(home + "/exported.cer"));
    QDirIterator it(home, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        QVERIFY2((modeOf(path) & 022) == 0, qPrintable(QString("%1 has mode %2").arg(path).arg(modeOf(path), 0, 8)));
    }
}

QTEST_APPLESS_MAIN(TestDaemon)
#include "tst_daemon.moc"
