#include "certfile_io.h"

#include "childprocess.h"
#include "logging.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QtGlobal>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace certfile {

const char kViewerFileName[] = "lumeno.cer";

namespace {

QString& tempDirSetting()
{
    static QString dir = QStringLiteral("/tmp");
    return dir;
}

// The folder the viewer's copy falls back to, made once per process with mkdtemp (mode 0700).
QString& privateDirSetting()
{
    static QString dir;
    return dir;
}

bool writeAll(int fd, const QByteArray& data)
{
    const char* p = data.constData();
    qint64 left = data.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, std::size_t(left));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        left -= n;
    }
    return true;
}

bool closeChecked(int fd)
{
    return ::close(fd) == 0;
}

// A directory others cannot swap files in: owned by root or us, and sticky when others may write it.
bool directoryIsSafe(const QByteArray& dir)
{
    struct stat st;
    if (::lstat(dir.constData(), &st) != 0 || !S_ISDIR(st.st_mode))
        return false;
    if (st.st_uid != 0 && st.st_uid != ::geteuid())
        return false;
    return !(st.st_mode & (S_IWGRP | S_IWOTH)) || (st.st_mode & S_ISVTX);
}

// Opens path for writing only when it is, or becomes, a regular file of ours that nobody else can
// have open for writing: no symbolic link, no FIFO, no extra hard link, no group or other write bit.
// A file of ours that fails the test is replaced once by a fresh one. -1 when that is not possible.
int openOwnPrivateFile(const QByteArray& path)
{
    // O_NONBLOCK keeps a planted FIFO from blocking the open.
    const int base = O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
    for (int attempt = 0; attempt < 2; ++attempt) {
        const int fd = ::open(path.constData(), attempt == 0 ? base : base | O_EXCL, 0600);
        if (fd < 0)
            return -1;
        struct stat st;
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) {
            ::close(fd);
            return -1;
        }
        if (st.st_nlink == 1 && !(st.st_mode & (S_IWGRP | S_IWOTH))) {
            if ((st.st_mode & 07777) != 0600 && ::fchmod(fd, 0600) != 0) {
                ::close(fd);
                return -1;
            }
            return fd;
        }
        ::close(fd);
        if (::unlink(path.constData()) != 0)
            return -1;
    }
    return -1;
}

bool writePrivateFile(const QByteArray& path, const QByteArray& data)
{
    const int fd = openOwnPrivateFile(path);
    if (fd < 0)
        return false;
    const bool written = ::ftruncate(fd, 0) == 0 && writeAll(fd, data);
    return closeChecked(fd) && written;
}

QByteArray privateDir()
{
    QString& dir = privateDirSetting();
    if (!dir.isEmpty()) {
        struct stat st;
        const QByteArray path = QFile::encodeName(dir);
        if (::lstat(path.constData(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
            !(st.st_mode & 077))
            return path;
        dir.clear();
    }
    QByteArray pattern = QFile::encodeName(QDir::tempPath() + QStringLiteral("/keymgr-cert-XXXXXX"));
    if (!::mkdtemp(pattern.data()))
        return QByteArray();
    dir = QFile::decodeName(pattern);
    return pattern;
}

} // namespace

QString tempDir()
{
    return tempDirSetting();
}

void setTempDirForTesting(const QString& dir)
{
    tempDirSetting() = dir;
}

bool writeExportFile(const QString& path, const QByteArray& data)
{
    if (path.isEmpty())
        return false;
    const QByteArray name = QFile::encodeName(path);
    int flags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK;
    struct stat link;
    const bool existed = ::lstat(name.constData(), &link) == 0;
    if (existed && S_ISLNK(link.st_mode)) {
        // The user's own link (or the system's) is followed; one planted by someone else is not.
        if (link.st_uid != ::geteuid() && link.st_uid != 0)
            return false;
    } else {
        flags |= O_NOFOLLOW;
    }
    const int fd = ::open(name.constData(), flags, 0644);
    if (fd < 0)
        return false;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) {
        ::close(fd);
        return false;
    }
    const mode_t mode = st.st_mode & 0777 & ~mode_t(S_IWGRP | S_IWOTH);
    bool ok = (mode == (st.st_mode & 07777) || ::fchmod(fd, mode) == 0) && ::ftruncate(fd, 0) == 0 &&
              writeAll(fd, data) && ::fsync(fd) == 0;
    ok = closeChecked(fd) && ok;
    if (!ok && !existed)
        ::unlink(name.constData());
    return ok;
}

QString writeViewerFile(const QByteArray& data)
{
    const QByteArray shared = QFile::encodeName(tempDir());
    if (directoryIsSafe(shared)) {
        const QByteArray path = shared + '/' + kViewerFileName;
        if (writePrivateFile(path, data))
            return QFile::decodeName(path);
    }
    const QByteArray own = privateDir();
    if (own.isEmpty())
        return QString();
    const QByteArray path = own + '/' + kViewerFileName;
    return writePrivateFile(path, data) ? QFile::decodeName(path) : QString();
}

QStringList viewerCandidates()
{
    return {QStringLiteral("gcr-viewer"), QStringLiteral("gcr-viewer-gtk4"), QStringLiteral("xdg-open")};
}

QString viewerProgram()
{
    for (const QString& name : viewerCandidates()) {
        const QString found = QStandardPaths::findExecutable(name);
        if (!found.isEmpty())
            return found;
    }
    return QString();
}

bool startViewer(const QString& file)
{
    const QString program = viewerProgram();
    if (program.isEmpty()) {
        qCWarning(lcUi, "no certificate viewer found (tried %s)",
                  qPrintable(viewerCandidates().join(QLatin1String(", "))));
        return false;
    }
    return childprocess::startDetached(program, {file});
}

} // namespace certfile
