#ifndef KEYMGR_MYLISTEN_H
#define KEYMGR_MYLISTEN_H

#include <QByteArray>
#include <QThread>

// Reads the request FIFO and tells the window about every "show" a second start writes.
class myListen : public QThread {
    Q_OBJECT

public:
    // Replaces whatever is at `path` by a fresh FIFO that only this user can write.
    explicit myListen(const char* path = nullptr);

    // True when `chunk` (the bytes of one read) holds one or more whole "show" requests and
    // nothing else.
    static bool isShowRequest(const char* chunk, long length);

signals:
    void notifyMyListenEvent();

protected:
    void run() override;

private:
    QByteArray m_path;
};

#endif
