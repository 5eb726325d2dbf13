#include "MainWindow.h"
#include "childprocess.h"
#include "journal.h"
#include "keymgr_app.h"
#include "logging.h"
#include "myListen.h"
#include "programend.h"

#include <QApplication>
#include <QDesktopWidget>

#include <cstdio>

namespace {
// The reader wakes at once when stopped; this only bounds a thread that hangs.
constexpr unsigned long kReaderStopMs = 3000;
} // namespace

int main(int argc, char* argv[])
{
    keymgrlog::installCategoryFilter();

    // Decided before daemonising, while standard error still reaches whoever started us.
    InstanceGuard instance(instanceKeyPath());
    if (instance.claim() == InstanceGuard::Role::Second) {
        QByteArray why;
        if (sendShowRequest(requestFifoPath().constData(), kShowRequestTimeoutMs, &why) == 0)
            return 0;
        fprintf(stderr, "keymgr: already running for this user, but its window could not be shown: %s\n",
                why.constData());
        return 1;
    }
    myListen* listener = new myListen(requestFifoPath());

    // Once daemonised, standard error leads nowhere: records go to the journal instead.
    if (init_daemon(listener->descriptors()) == 0)
        installJournalHandler();
    childprocess::setUserFileMask(userFileMask());

    QApplication* app = new QApplication(argc, argv);
    // The program is resident: closing a dialog while the window is hidden must not end it.
    app->setQuitOnLastWindowClosed(false);
    ProgramEnd* end = new ProgramEnd();

    MainWindow* window = new MainWindow();
    QObject::connect(listener, &myListen::notifyMyListenEvent, window, &MainWindow::myListenEventChange);
    QObject::connect(window, &MainWindow::quitRequested, end, &ProgramEnd::request);
    // Requests written before this point wait in the FIFO.
    listener->start();
    window->setWindowTitle(QString::fromUtf8("Norvik银行国密Key管理工具"));
    if (argc > 1)
        window->show();
    QRect desktop = QApplication::desktop()->geometry();
    window->move((desktop.width() - window->width()) / 2, (desktop.height() - window->height()) / 2);

    int result = app->exec();
    listener->stop();
    // On this thread: the window stops the monitor thread and ends what the token keeps of
    // this session.
    delete window;
    // Removes the FIFO; a reader that did not stop is left to the process's end.
    if (listener->wait(kReaderStopMs))
        delete listener;
    instance.release();
    delete end;
    delete app;
    return result;
}
