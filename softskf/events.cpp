#include "events.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

namespace softskf {

EventWaiter::EventWaiter(const Store& store) : m_store(store)
{
    if (!store.dir().empty())
        store.readEvents(&m_offset, SIZE_MAX);
}

ULONG EventWaiter::wait(LPSTR name, ULONG* nameLen, ULONG* event)
{
    if (!name || !nameLen || !event)
        return SAR_INVALIDPARAMERR;

    int notify = -1;
    if (!m_store.dir().empty()) {
        makeDirs(m_store.dir());
        notify = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
        // Watching the directory covers the log being created, appended to or replaced.
        if (notify >= 0 && inotify_add_watch(notify, m_store.dir().c_str(),
                                             IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE) < 0) {
            ::close(notify);
            notify = -1;
        }
    }

    std::list<Waiter>::iterator self;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_cancelPending) {
            m_cancelPending = false;
            if (notify >= 0)
                ::close(notify);
            if (*nameLen > 0)
                name[0] = '\0';
            *nameLen = 0;
            *event = 0;
            return SAR_OK;
        }
        Waiter w;
        w.fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        self = m_waiters.insert(m_waiters.end(), w);
    }

    ULONG result = SAR_OK;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (self->cancelled) {
                if (*nameLen > 0)
                    name[0] = '\0';
                *nameLen = 0;
                *event = 0;
                result = SAR_OK;
                break;
            }
            uint64_t offset = m_offset;
            std::vector<DeviceEvent> events = m_store.readEvents(&offset, 1);
            if (!events.empty()) {
                const DeviceEvent& e = events.front();
                ULONG needed = static_cast<ULONG>(e.name.size() + 1);
                if (*nameLen < needed) {
                    // The event stays pending for a wait with a larger buffer.
                    *nameLen = needed;
                    result = SAR_BUFFER_TOO_SMALL;
                    break;
                }
                std::memcpy(name, e.name.c_str(), needed);
                *nameLen = needed;
                *event = e.code;
                m_offset = offset;
                result = SAR_OK;
                break;
            }
            m_offset = offset; // skips malformed lines
        }
        pollfd fds[2];
        int count = 0;
        fds[count++] = {self->fd, POLLIN, 0};
        if (notify >= 0)
            fds[count++] = {notify, POLLIN, 0};
        // Without inotify (no store directory) the log is looked at twice a second.
        int rc = ::poll(fds, static_cast<nfds_t>(count), notify >= 0 || m_store.dir().empty() ? -1 : 500);
        if (rc < 0 && errno != EINTR) {
            result = SAR_FAIL;
            break;
        }
        if (notify >= 0) {
            char buf[4096];
            while (::read(notify, buf, sizeof buf) > 0) {
            }
        }
    }

    std::lock_guard<std::mutex> lock(m_mutex);
    if (self->fd >= 0)
        ::close(self->fd);
    m_waiters.erase(self);
    if (notify >= 0)
        ::close(notify);
    return result;
}

void EventWaiter::cancel()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_waiters.empty()) {
        m_cancelPending = true;
        return;
    }
    for (Waiter& w : m_waiters) {
        w.cancelled = true;
        uint64_t one = 1;
        if (w.fd >= 0 && ::write(w.fd, &one, sizeof one) < 0) {
            // An eventfd only fails to take a write when its counter is full: it is readable then.
        }
    }
}

} // namespace softskf
