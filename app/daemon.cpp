#include "keymgr_app.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
int g_userFileMask = -1;
}

int userFileMask()
{
    return g_userFileMask;
}

int init_daemon()
{
    signal(SIGTTOU, SIG_IGN);
    signal(SIGTTIN, SIG_IGN);
    signal(SIGTSTP, SIG_IGN);
    signal(SIGHUP, SIG_IGN);

    pid_t pid = fork();
    if (pid < 0)
        return -1;
    if (pid > 0)
        _exit(0);

    setsid();
    pid = fork();
    if (pid < 0)
        return -1;
    if (pid > 0)
        _exit(0);

    for (int fd = 0; fd < 256; ++fd)
        close(fd);
    // Keep 0, 1 and 2 taken: otherwise the next file or socket the program opens would become
    // "standard error" and every diagnostic would be written into it.
    int null = open("/dev/null", O_RDWR);
    if (null >= 0) {
        while (null < 2)
            null = dup(null);
    }
    // "/" always exists; were the change to fail, the daemon would still need its mask and SIGCHLD.
    [[maybe_unused]] int cwd = chdir("/");
    // Qt (its file dialog's settings, "New Folder") creates files with the mask; the program's own
    // files set their modes explicitly. A stricter mask of the user's is kept. The programs started
    // for the user (browser, certificate viewer) get the user's own mask back.
    const mode_t inherited = umask(077);
    umask(inherited | 077);
    g_userFileMask = int(inherited);
    signal(SIGCHLD, SIG_IGN);
    return 0;
}
