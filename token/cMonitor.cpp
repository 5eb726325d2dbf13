#include "cMonitor.h"

#include "cDevMgr.h"
#include "logging.h"

#include <QElapsedTimer>

#include <algorithm>
#include <cstring>

namespace {

constexpr ULONG kNameBufferSize = 1024;
constexpr unsigned long kMaxBackoffMs = 2000;

} // namespace

cMonitor::cMonitor() : QThread(nullptr) {}

void cMonitor::requestStop()
{
    m_stopRequested = true;
    cDevMgr* mgr = cDevMgr::getInst();
    if (mgr->pSKF)
        mgr->pSKF->SKF_CancelWaitForDevEvent();
}

bool cMonitor::stop(unsigned long timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    for (;;) {
        requestStop();
        if (wait(200))
            return true;
        if (timer.elapsed() >= qint64(timeoutMs))
            return false;
    }
}

void cMonitor::run()
{
    cDevMgr* mgr = cDevMgr::getInst();
    const bool loaded = mgr->Initialize() == 0;
    logSkfLibrary(cDevMgr::skfLibraryPath(), loaded, CGMSKFOperator::lastLoadError(),
                  loaded ? mgr->pSKF->missingFunctions() : std::vector<std::string>());
    if (!loaded) {
        emit libraryReady(false);
        return;
    }
    emit libraryReady(true);

    // One byte beyond the size we pass keeps a terminator behind a name that fills the buffer.
    char name[kNameBufferSize + 1];
    unsigned failures = 0;
    while (!m_stopRequested) {
        std::memset(name, 0, sizeof(name));
        // The size is in/out: every wait offers the whole buffer again.
        ULONG size = kNameBufferSize;
        ULONG event = 0;
        const ULONG result = mgr->WaitForDevEvent(name, &size, &event);
        if (result == SKF_NOT_BOUND)
            return; // the library has no event wait: no event can ever arrive
        // A successful wait without an event is how SKF_CancelWaitForDevEvent ends the wait; it
        // ends the thread only when we asked for it, otherwise it counts like a failed wait.
        if (result == SAR_OK && event == 0 && m_stopRequested)
            return;
        if (result != SAR_OK || event == 0) {
            // Retry at once, then back off so a library failing every wait does not spin a core.
            if (failures > 0)
                msleep(std::min(kMaxBackoffMs, 50ul << std::min(failures - 1, 6u)));
            ++failures;
            continue;
        }
        failures = 0;
        logTokenEvent(event, name);
        mgr->SetEvent(event);
        if (event == SKF_EVENT_INSERTED)
            mgr->SetDevName(name);
        emit tokenEvent(quint32(event), QByteArray(name, int(strnlen(name, kNameBufferSize))));
        emit notifyTokenEvent();
    }
}
