// The token event monitor: loads the SKF library through the device manager, then blocks in the
// library's event wait and reports every insertion and removal. tokenEvent() carries each event's
// own code and device name, so a receiver that runs late still handles every event once, in
// order; notifyTokenEvent() only says that cDevMgr::GetEvent() and GetDevName() have changed.
#ifndef KEYMGR_CMONITOR_H
#define KEYMGR_CMONITOR_H

#include <QByteArray>
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
    // requestStop(), repeated until the thread has ended or timeoutMs have passed (a library may
    // miss a cancel that comes just before its wait starts). True when the thread has ended.
    bool stop(unsigned long timeoutMs);

signals:
    void notifyTokenEvent();
    // Code 1 inserted or 2 removed, and the name the library gave with it.
    void tokenEvent(quint32 event, const QByteArray& device);
    // The library has been loaded (or could not be): tokens present now can be listed. Emitted
    // once, before any tokenEvent().
    void libraryReady(bool loaded);

protected:
    void run() override;

private:
    std::atomic<bool> m_stopRequested{false};
};

#endif
