#include "MainWindow.h"
#include "journal.h"
#include "keymgr_app.h"
#include "logging.h"

#include <QApplication>
#include <QDesktopWidget>
#include <QSharedMemory>

int main(int argc, char* argv[])
{
    // Once daemonised, standard error leads nowhere: records go to the journal instead.
    if (init_daemon() == 0)
        installJournalHandler();
    keymgrlog::installCategoryFilter();

    QApplication* app = new QApplication(argc, argv);
    // The program is resident: closing a dialog while the window is hidden must not end it.
    app->setQuitOnLastWindowClosed(false);

    QSharedMemory* instance = new QSharedMemory();
    instance->setKey(QString::fromLatin1(kInstanceKey));
    if (anotherInstanceRunning(*instance)) {
        sendShowRequest(kRequestFifoPath, kShowRequestTimeoutMs);
        delete instance;
        delete app;
        return 1;
    }
    instance->create(1, QSharedMemory::ReadWrite);

    MainWindow* window = new MainWindow();
    window->setWindowTitle(QString::fromUtf8("Norvik银行国密Key管理工具"));
    if (argc > 1)
        window->show();
    QRect desktop = QApplication::desktop()->geometry();
    window->move((desktop.width() - window->width()) / 2, (desktop.height() - window->height()) / 2);

    int result = app->exec();
    delete window;
    instance->detach();
    delete instance;
    delete app;
    return result;
}
