// SKF_WaitForDevEvent and SKF_CancelWaitForDevEvent: insertions and removals are lines
// appended to the store's event log by softskf-ctl. A wait reads the lines this process has
// not seen yet and blocks on inotify while there are none; a cancel wakes it through an eventfd.
#ifndef SOFTSKF_EVENTS_H
#define SOFTSKF_EVENTS_H

#include "skf_defs.h"
#include "store.h"

#include <list>
#include <mutex>

namespace softskf {

class EventWaiter
{
public:
    // Events logged before this point (the library's load) are never reported.
    explicit EventWaiter(const Store& store);

    ULONG wait(LPSTR name, ULONG* nameLen, ULONG* event);
    // Ends every wait in progress at once; with none in progress, the next wait ends at once.
    void cancel();

private:
    struct Waiter
    {
        int fd = -1;
        bool cancelled = false;
    };

    const Store& m_store;
    std::mutex m_mutex;
    uint64_t m_offset = 0;
    bool m_cancelPending = false;
    std::list<Waiter> m_waiters;
};

} // namespace softskf

#endif
