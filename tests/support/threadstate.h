// What the threads of a process are doing, read from /proc: lets a test tell that everything it
// sent has been handled, instead of sleeping and hoping.
#ifndef KEYMGR_TESTS_THREADSTATE_H
#define KEYMGR_TESTS_THREADSTATE_H

#include <QByteArray>
#include <QList>

#include <initializer_list>

namespace threadstate {

// Ids of the threads of process pid named `name` (as in /proc/<pid>/task/<tid>/comm).
QList<qint64> threadsNamed(qint64 pid, const QByteArray& name);
// True when the thread sleeps in one of the system calls (numbers from <sys/syscall.h>).
bool sleepsIn(qint64 pid, qint64 tid, std::initializer_list<long> syscalls);
// Unread bytes in the FIFO at path, or -1 when it has no reader or cannot be opened.
int fifoPending(const QByteArray& path);
// The FIFO holds nothing unread and the reader thread of process pid sleeps in read(): every
// chunk written before has been read and handled by that thread.
bool fifoReaderIdle(const QByteArray& path, qint64 pid, const QByteArray& readerThread);

} // namespace threadstate

#endif
