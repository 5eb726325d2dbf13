#ifndef KEYMGR_MYLISTEN_H
#define KEYMGR_MYLISTEN_H

#include <QByteArray>
#include <QThread>

#include <atomic>
#include <vector>

#include <sys/types.h>

// The request FIFO of the running copy: reads it and tells the window about every "show" a
// second start writes.
class myListen : public QThread {
    Q_OBJECT

public:
    // Makes a fresh FIFO at `path` that only this user can use and opens it. Whatever was there is
    // removed when it is this user's; anything of someone else's stays untouched, and the reader
    // then has no channel (logged).
    explicit myListen(const QByteArray& path);
    // Closes the FIFO and removes it, unless something else has taken its path. Stop the thread
    // first.
    ~myListen() override;

    bool isListening() const { return m_fd >= 0; }
    // The FIFO's descriptors, to keep open across daemonising.
    std::vector<int> descriptors() const { return {m_fd, m_wakeFd}; }
    // Ends run() soon: marks the stop and wakes the read with a byte of our own.
    void stop();

    // True when `chunk` (the bytes of one read) holds one or more whole "show" requests and
    // nothing else.
    static bool isShowRequest(const char* chunk, long length);

signals:
    void notifyMyListenEvent();

protected:
    void run() override;

private:
    QByteArray m_path;
    int m_fd = -1;
    // Our own write end: read() blocks between writers instead of returning end-of-file, and
    // stop() writes through it.
    int m_wakeFd = -1;
    dev_t m_dev = 0;
    ino_t m_ino = 0;
    std::atomic<bool> m_stop{false};
};

#endif
