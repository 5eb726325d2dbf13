#include "capture.h"

#include <cstdio>
#include <unistd.h>

FdCapture::FdCapture(int fd) : m_fd(fd)
{
    if (!m_file.open())
        return;
    std::fflush(nullptr);
    m_saved = ::dup(fd);
    ::dup2(m_file.handle(), fd);
}

FdCapture::~FdCapture()
{
    restore();
}

void FdCapture::restore()
{
    if (m_saved < 0)
        return;
    std::fflush(nullptr);
    ::dup2(m_saved, m_fd);
    ::close(m_saved);
    m_saved = -1;
}

QByteArray FdCapture::text()
{
    restore();
    m_file.seek(0);
    return m_file.readAll();
}

QList<QByteArray> FdCapture::lines()
{
    QList<QByteArray> result = text().split('\n');
    if (!result.isEmpty() && result.last().isEmpty())
        result.removeLast();
    return result;
}

QByteArray captureFd(int fd, const std::function<void()>& work)
{
    FdCapture capture(fd);
    work();
    return capture.text();
}
