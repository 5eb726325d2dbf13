// For tests of the daemonised program. The test adopts the copies it starts (PR_SET_CHILD_SUBREAPER:
// a daemon that leaves its launcher becomes the test's child), so it learns of their end and exit
// status from waitpid() instead of guessing from /proc, where a killed process vanishes before its
// last thread has let go of its memory (and of the single-instance segment with it).
#ifndef KEYMGR_TESTS_DAEMONS_H
#define KEYMGR_TESTS_DAEMONS_H

#include <QElapsedTimer>
#include <QList>
#include <QString>
#include <QTest>

namespace daemons {

// Makes this process the parent of its orphaned descendants.
bool adopt();
// The exit status of the child pid once it has ended, waiting at most ms; -1 when it died of a
// signal or still runs.
int waitForExit(qint64 pid, int ms = 20000);
// Whether pid is a process that has not ended (a zombie has).
bool running(qint64 pid);
// The running processes of exe, of user uid when given.
QList<qint64> processesOf(const QString& exe, qint64 uid = -1);
// The one adopted copy of exe (of uid when given) that stays once its launcher has ended: the
// daemon, not the first fork. 0 once none runs or two do, or after ms.
qint64 waitForResident(const QString& exe, qint64 uid = -1, int ms = 20000);

// Waits for cond, for at most ms: false at once when pid ends, since nothing it was to do can come.
template <typename Cond> bool waitWhileRunning(qint64 pid, Cond cond, int ms = 20000)
{
    QElapsedTimer timer;
    timer.start();
    while (!cond()) {
        if (!running(pid) || timer.elapsed() >= ms)
            return false;
        QTest::qWait(50);
    }
    return true;
}

} // namespace daemons

#endif
