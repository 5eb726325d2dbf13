#include "programend.h"

#include "logging.h"

#include <QApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <QWidget>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

namespace {

int g_pipe[2] = {-1, -1};
// A dialog that will not close (or code that keeps opening new ones) does not hold the end back
// longer than this.
constexpr qint64 kUnwindMs = 3000;
const int kEndSignals[] = {SIGTERM, SIGHUP, SIGINT};

void onEndSignal(int)
{
    const int saved = errno;
    const char signalled = 1;
    [[maybe_unused]] ssize_t written = write(g_pipe[1], &signalled, 1);
    errno = saved;
}

} // namespace

ProgramEnd::ProgramEnd(QObject* parent) : QObject(parent)
{
    if (pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        qCWarning(lcApp, "cannot watch for SIGTERM and SIGHUP: %s", strerror(errno));
        return;
    }
    m_notifier = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, [this] {
        char drained[16];
        while (read(g_pipe[0], drained, sizeof drained) > 0) {
        }
        request();
    });
    struct sigaction action {};
    action.sa_handler = onEndSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signo : kEndSignals)
        sigaction(signo, &action, nullptr);
}

ProgramEnd::~ProgramEnd()
{
    for (int signo : kEndSignals)
        signal(signo, SIG_DFL);
}

void ProgramEnd::request()
{
    if (m_requested.isValid())
        return;
    m_requested.start();
    closeDialogsThenQuit();
}

void ProgramEnd::closeDialogsThenQuit()
{
    QWidget* modal = QApplication::activeModalWidget();
    if (modal && m_requested.elapsed() < kUnwindMs) {
        modal->close();
        QTimer::singleShot(10, this, &ProgramEnd::closeDialogsThenQuit);
        return;
    }
    QCoreApplication::quit();
}
