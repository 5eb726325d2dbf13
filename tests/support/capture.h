// Captures what is written to a file descriptor (1 or 2) while an object lives, e.g. what the SKF
// library or the loader writes to standard error.
#ifndef KEYMGR_TESTS_CAPTURE_H
#define KEYMGR_TESTS_CAPTURE_H

#include <QByteArray>
#include <QList>
#include <QTemporaryFile>

#include <functional>

class FdCapture
{
public:
    explicit FdCapture(int fd = 2);
    ~FdCapture();
    // Ends the capture (at the first call) and returns what was written.
    QByteArray text();
    QList<QByteArray> lines(); // without the empty one after the last line feed

private:
    void restore();
    QTemporaryFile m_file;
    int m_fd;
    int m_saved = -1;
};

// What work writes to fd.
QByteArray captureFd(int fd, const std::function<void()>& work);

#endif
