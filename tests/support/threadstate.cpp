#include "threadstate.h"

#include <QDir>
#include <QFile>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace threadstate {

namespace {
QByteArray readProc(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
} // namespace

QList<qint64> threadsNamed(qint64 pid, const QByteArray& name)
{
    QList<qint64> tids;
    const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    for (const QString& tid : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        if (readProc(tasks.filePath(tid + "/comm")).trimmed() == name)
            tids << tid.toLongLong();
    }
    return tids;
}

bool sleepsIn(qint64 pid, qint64 tid, std::initializer_list<long> syscalls)
{
    // A thread that is running or runnable reads "running" here, one woken but not yet back
    // asleep included.
    const QByteArray state = readProc(QStringLiteral("/proc/%1/task/%2/syscall").arg(pid).arg(tid));
    bool numeric = false;
    const long number = state.split(' ').value(0).trimmed().toLong(&numeric);
    if (!numeric)
        return false;
    for (long call : syscalls) {
        if (call == number)
            return true;
    }
    return false;
}

int fifoPending(const QByteArray& path)
{
    const int fd = ::open(path.constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -1;
    int pending = -1;
    if (::ioctl(fd, FIONREAD, &pending) != 0)
        pending = -1;
    ::close(fd);
    return pending;
}

bool fifoReaderIdle(const QByteArray& path, qint64 pid, const QByteArray& readerThread)
{
    if (fifoPending(path) != 0)
        return false;
    const QList<qint64> readers = threadsNamed(pid, readerThread);
    return readers.size() == 1 && sleepsIn(pid, readers.first(), {SYS_read});
}

} // namespace threadstate
