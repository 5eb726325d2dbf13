#include "myListen.h"

#include "keymgr_app.h"
#include "logging.h"

#include <QDebug>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

myListen::myListen(const char* path) : m_path(path ? path : kRequestFifoPath)
{
    // unlink removes a planted link itself, never its target; mkfifo then refuses any name it
    // could not take over, and run() checks what it opened.
    unlink(m_path.constData());
    if (mkfifo(m_path.constData(), 0600) != 0)
        qCWarning(lcUi) << "cannot create the request FIFO" << m_path << strerror(errno);
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

void myListen::run()
{
    int fd = open(m_path.constData(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISFIFO(st.st_mode) || st.st_uid != geteuid()) {
        qCWarning(lcUi) << "the request path is not our FIFO:" << m_path;
        close(fd);
        return;
    }
    // Holding a write end of our own keeps read() blocking between writers instead of
    // returning end-of-file, so the thread sleeps in the kernel until the next request.
    char self[64];
    snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
    int keepAlive = open(self, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (keepAlive < 0) {
        close(fd);
        return;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);

    char buf[64];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (isShowRequest(buf, n))
            emit notifyMyListenEvent();
    }
    close(keepAlive);
    close(fd);
}
