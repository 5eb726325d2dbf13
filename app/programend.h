// The clean end of the running copy: SIGTERM, SIGHUP (the session ending) and SIGINT, and the
// tray's quit, all take the same way out of the event loop.
#ifndef KEYMGR_PROGRAMEND_H
#define KEYMGR_PROGRAMEND_H

#include <QElapsedTimer>
#include <QObject>

class QSocketNotifier;

class ProgramEnd : public QObject {
    Q_OBJECT

public:
    // Catches the signals through a pipe that the event loop watches (a handler may do no more
    // than write to it). Make one, after the application object.
    explicit ProgramEnd(QObject* parent = nullptr);
    ~ProgramEnd() override;

public slots:
    // Closes open modal dialogs first, so that each returns to the code that opened it, then
    // quits the event loop.
    void request();

private:
    void closeDialogsThenQuit();

    QSocketNotifier* m_notifier = nullptr;
    QElapsedTimer m_requested;
};

#endif
