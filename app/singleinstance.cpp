#include "keymgr_app.h"

#include <QSharedMemory>

#include <cerrno>
#include <ctime>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

const char kInstanceKey[] = "quillkey_5f0c2a9e-7d41-4b8e-9c3a-1e6b8d2f4a70";
const char kRequestFifoPath[] = "/tmp/TesselKey-RADAda5f0c2a9e-7d41-4b8e-9c3a-1e6b8d2f4a70";
const char kShowRequest[] = "show";

bool anotherInstanceRunning(QSharedMemory& memory)
{
    if (!memory.attach(QSharedMemory::ReadWrite))
        return false;
    memory.detach();
    if (!memory.attach(QSharedMemory::ReadWrite))
        return false;
    memory.detach();
    return true;
}

int sendShowRequest(const char* path, int timeoutMs)
{
    if (mkfifo(path, 0600) != 0 && errno != EEXIST)
        return -1;

    timespec start {};
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        // Non-blocking: without a reader the open fails with ENXIO instead of waiting for ever.
        int fd = open(path, O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
        if (fd >= 0) {
            struct stat st {};
            bool ours = fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode) && st.st_uid == geteuid();
            ssize_t written = ours ? write(fd, kShowRequest, 4) : -1;
            close(fd);
            return written == 4 ? 0 : -1;
        }
        if (errno != ENXIO && errno != EINTR)
            return -1;

        timespec now {};
        clock_gettime(CLOCK_MONOTONIC, &now);
        long elapsedMs = (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
        if (elapsedMs >= timeoutMs)
            return -1;
        usleep(50 * 1000);
    }
}
