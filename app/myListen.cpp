#include "myListen.h"

#include "keymgr_app.h"
#include "logging.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

myListen::myListen(const QByteArray& path) : m_path(path)
{
    const char* name = m_path.constData();
    struct stat st {};
    if (lstat(name, &st) == 0) {
        if (st.st_uid != geteuid()) {
            qCWarning(lcApp, "%s belongs to uid %u: running without a request channel, a second start cannot show "
                             "this window",
                      name, unsigned(st.st_uid));
            return;
        }
        // A FIFO left by a copy that died, or anything else of ours; unlink removes a link itself,
        // never its target.
        unlink(name);
    }
    if (mkfifo(name, 0600) != 0) {
        qCWarning(lcApp, "cannot create the request FIFO %s (%s): running without a request channel", name,
                  strerror(errno));
        return;
    }
    const int fd = open(name, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    const int wake = fd >= 0 ? open(name, O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC) : -1;
    struct stat reading {}, writing {};
    if (wake < 0 || fstat(fd, &reading) != 0 || fstat(wake, &writing) != 0 || !S_ISFIFO(reading.st_mode) ||
        reading.st_uid != geteuid() || reading.st_ino != writing.st_ino || reading.st_dev != writing.st_dev) {
        qCWarning(lcApp, "the request FIFO %s was replaced while it was opened: running without a request channel",
                  name);
        if (fd >= 0)
            close(fd);
        if (wake >= 0)
            close(wake);
        return;
    }
    // Owner only, whatever the file-creation mask took away or left.
    fchmod(fd, 0600);
    m_fd = fd;
    m_wakeFd = wake;
    m_dev = reading.st_dev;
    m_ino = reading.st_ino;
}

myListen::~myListen()
{
    if (m_fd < 0)
        return;
    struct stat st {};
    if (lstat(m_path.constData(), &st) == 0 && st.st_dev == m_dev && st.st_ino == m_ino)
        unlink(m_path.constData());
    close(m_wakeFd);
    close(m_fd);
}

bool myListen::isShowRequest(const char* chunk, long length)
{
    if (length <= 0 || length % 4 != 0)
        return false;
    for (long i = 0; i < length; i += 4) {
        if (memcmp(chunk + i, kShowRequest, 4) != 0)
            return false;
    }
    return true;
}

void myListen::stop()
{
    m_stop = true;
    // When the FIFO is full the reader is awake anyway and sees the mark after its read.
    if (m_wakeFd >= 0 && write(m_wakeFd, "", 1) < 0 && errno != EAGAIN)
        qCWarning(lcApp, "cannot wake the request reader: %s", strerror(errno));
}

void myListen::run()
{
    if (m_fd < 0)
        return;
    // Blocking from here: with our own write end open, read() sleeps in the kernel until the next
    // request or stop().
    fcntl(m_fd, F_SETFL, fcntl(m_fd, F_GETFL) & ~O_NONBLOCK);
    char buf[64];
    while (!m_stop) {
        const ssize_t n = read(m_fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0 || m_stop)
            break;
        if (isShowRequest(buf, n))
            emit notifyMyListenEvent();
    }
}
