#include "childprocess.h"

#include "keymgr_app.h"

#include <QFile>
#include <QStandardPaths>

#include <cerrno>
#include <csignal>
#include <vector>

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace childprocess {

namespace {

// Runs in the forked child, where only async-signal-safe calls are allowed: every signal back to
// its default action (the daemon ignores SIGHUP, SIGTSTP, SIGTTIN, SIGTTOU, SIGCHLD; Qt SIGPIPE).
void defaultSignals()
{
    struct sigaction dfl = {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    for (int sig = 1; sig < NSIG; ++sig)
        sigaction(sig, &dfl, nullptr); // SIGKILL, SIGSTOP and the C library's own signals refuse
}

void reportAndExit(int fd, int error)
{
    [[maybe_unused]] const ssize_t n = ::write(fd, &error, sizeof error);
    _exit(127);
}

} // namespace

bool startDetached(const QString& program, const QStringList& arguments)
{
    const QString path = program.contains(QLatin1Char('/')) ? program : QStandardPaths::findExecutable(program);
    if (path.isEmpty())
        return false;
    // Everything the child needs is made before the fork.
    std::vector<QByteArray> texts{QFile::encodeName(path)};
    for (const QString& argument : arguments)
        texts.push_back(argument.toLocal8Bit());
    std::vector<char*> argv;
    for (QByteArray& text : texts)
        argv.push_back(text.data());
    argv.push_back(nullptr);
    const int mask = userFileMask();

    // The exec closes the pipe: an empty read means the program runs, an errno that it did not.
    int status[2];
    if (::pipe2(status, O_CLOEXEC) != 0)
        return false;
    // No handler of ours may run in the child before its signals are reset.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(status[0]);
        defaultSignals();
        ::setsid();
        // A second fork: the program is nobody's child here and never waits as a zombie.
        const pid_t grandchild = ::fork();
        if (grandchild < 0)
            reportAndExit(status[1], errno);
        if (grandchild > 0)
            _exit(0);
        if (mask >= 0)
            ::umask(mode_t(mask));
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        ::execv(argv[0], argv.data());
        reportAndExit(status[1], errno);
    }
    const int forkError = errno;
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    ::close(status[1]);
    if (child < 0) {
        ::close(status[0]);
        errno = forkError;
        return false;
    }
    // The daemon ignores SIGCHLD, so the system may have reaped it already (ECHILD).
    while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
    int error = 0;
    ssize_t n;
    while ((n = ::read(status[0], &error, sizeof error)) < 0 && errno == EINTR) {
    }
    ::close(status[0]);
    return n == 0;
}

} // namespace childprocess
