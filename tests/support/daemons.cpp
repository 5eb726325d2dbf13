#include "daemons.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace daemons {

namespace {

// State, parent and session of pid from /proc/<pid>/stat; the fields count from the last ')',
// since the command name before it may hold anything.
QList<QByteArray> statOf(qint64 pid)
{
    QFile file(QStringLiteral("/proc/%1/stat").arg(pid));
    const QByteArray text = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    return fields.size() > 3 ? QList<QByteArray>{fields[0], fields[1], fields[3]} : QList<QByteArray>{"X", "0", "0"};
}

} // namespace

bool adopt()
{
    return prctl(PR_SET_CHILD_SUBREAPER, 1) == 0;
}

int waitForExit(qint64 pid, int ms)
{
    QElapsedTimer timer;
    timer.start();
    int status = 0;
    pid_t done = 0;
    while ((done = waitpid(pid_t(pid), &status, WNOHANG)) == 0 && timer.elapsed() < ms)
        QTest::qWait(20);
    return done == pid_t(pid) && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool running(qint64 pid)
{
    const QByteArray state = statOf(pid).first();
    return state != "Z" && state != "X";
}

QList<qint64> processesOf(const QString& exe, qint64 uid)
{
    const QString canonical = QFileInfo(exe).canonicalFilePath();
    QList<qint64> found;
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        // /proc/<pid> belongs to the process's user.
        const QFileInfo proc(QStringLiteral("/proc/") + entry);
        if (QFile::symLinkTarget(proc.filePath() + QStringLiteral("/exe")) == canonical &&
            (uid < 0 || proc.ownerId() == uint(uid)) && running(entry.toLongLong()))
            found << entry.toLongLong();
    }
    return found;
}

qint64 waitForResident(const QString& exe, qint64 uid, int ms)
{
    QElapsedTimer timer;
    timer.start();
    // A listing of /proc is no snapshot: it may miss the daemon forked while it was read and
    // then find the first fork ended. The next listing, made after that end, has the daemon.
    bool noneBefore = false;
    for (;;) {
        const QList<qint64> copies = processesOf(exe, uid);
        int daemons = 0;
        for (qint64 pid : copies) {
            // The daemon lives in the session its first fork made and leads none; the first fork
            // is in our session until it has made its own.
            const QList<QByteArray> stat = statOf(pid);
            const qint64 session = stat[2].toLongLong();
            daemons += stat[1].toLongLong() == getpid() && session != pid && session != getsid(0);
        }
        if (copies.size() == 1 && daemons == 1)
            return copies.first();
        if ((copies.isEmpty() && noneBefore) || daemons > 1 || timer.elapsed() >= ms) {
            qWarning() << "copies of" << exe << "for uid" << uid << ":" << copies;
            return 0;
        }
        noneBefore = copies.isEmpty();
        QTest::qWait(50);
    }
}

} // namespace daemons
