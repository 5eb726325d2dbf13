// The token event monitor: loads the SKF library through the device manager, then blocks in the
// library's event wait and reports every insertion and removal with notifyTokenEvent(). The
// receiver reads the event from cDevMgr::GetEvent() and cDevMgr::GetDevName().
#ifndef KEYMGR_CMONITOR_H
#define KEYMGR_CMONITOR_H

#include <QThread>

class cMonitor : public QThread
{
    Q_OBJECT
public:
    cMonitor();

signals:
    void notifyTokenEvent();

protected:
    void run() override;
};

#endif
