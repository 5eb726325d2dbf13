// The token event monitor: loads the SKF library through the device manager, then blocks in the
// library's event wait and reports every insertion and removal with notifyTokenEvent(). The
// receiver reads the event from cDevMgr::GetEvent() and cDevMgr::GetDevName().
#ifndef KEYMGR_CMONITOR_H
#define KEYMGR_CMONITOR_H

#include <QThread>

#include <atomic>

class cMonitor : public QThread
{
    Q_OBJECT
public:
    cMonitor();
    // Ends the thread: marks the stop, then cancels the library's event wait. A wait that
    // returns without an event for any other reason is taken as spurious and waited again.
    void requestStop();

signals:
    void notifyTokenEvent();

protected:
    void run() override;

private:
    std::atomic<bool> m_stopRequested{false};
};

#endif
