#include "keymgr_app.h"

#include "logging.h"

#include <QDeadlineTimer>

#include <cerrno>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <signal.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

const char kInstanceKeyName[] = "quillkey_5f0c2a9e-7d41-4b8e-9c3a-1e6b8d2f4a70";
const char kRequestFifoName[] = "TesselKey-RADAda5f0c2a9e-7d41-4b8e-9c3a-1e6b8d2f4a70";
const char kShowRequest[] = "show";

namespace {

// The project ids of the keys tried in turn; every start of the user's tries them in this order.
const char kKeyProjects[] = {'Q', 'R', 'S', 'T'};
// A segment of ours nobody is attached to is left over once its creator is gone or this old: a
// live creator attaches right after creating it.
constexpr time_t kAttachGraceSeconds = 2;
constexpr int kClaimTimeoutMs = 5000;

enum class Seen { Free, OursLive, OursStarting, OursLeftOver, Foreign };

Seen look(key_t key, int* id, uid_t* owner)
{
    *id = shmget(key, 0, 0);
    if (*id < 0)
        return errno == ENOENT ? Seen::Free : Seen::Foreign;
    shmid_ds ds{};
    if (shmctl(*id, IPC_STAT, &ds) != 0)
        return errno == EINVAL || errno == EIDRM ? Seen::Free : Seen::Foreign; // EACCES: not ours
    *owner = ds.shm_perm.uid;
    if (ds.shm_perm.uid != geteuid() || ds.shm_perm.cuid != geteuid() || ds.shm_segsz != 1)
        return Seen::Foreign;
    if (ds.shm_nattch > 0)
        return Seen::OursLive;
    const bool creatorGone = kill(ds.shm_cpid, 0) != 0 && errno == ESRCH;
    return creatorGone || time(nullptr) - ds.shm_ctime >= kAttachGraceSeconds ? Seen::OursLeftOver : Seen::OursStarting;
}

// The key file must be a plain file of this user's: ftok() takes its inode, so whoever owns it
// could know the key.
bool usableKeyFile(const QByteArray& path)
{
    for (int attempt = 0; attempt < 2; ++attempt) {
        struct stat st {};
        const int fd = open(path.constData(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
        if (fd >= 0) {
            const bool ours = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid();
            close(fd);
            if (ours)
                return true;
        }
        if (lstat(path.constData(), &st) != 0 || st.st_uid != geteuid() || unlink(path.constData()) != 0) {
            qCWarning(lcApp, "the single-instance key file %s is not a file of this user's: starting without the guard",
                      path.constData());
            return false;
        }
    }
    return false;
}

QByteArray userFile(const char* name)
{
    return userRuntimeDir() + '/' + name + '-' + QByteArray::number(qulonglong(geteuid()));
}

} // namespace

QByteArray userRuntimeDir()
{
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    struct stat st {};
    if (runtime.startsWith('/') && stat(runtime.constData(), &st) == 0 && S_ISDIR(st.st_mode) &&
        st.st_uid == geteuid() && (st.st_mode & 0777) == 0700)
        return runtime;
    return QByteArrayLiteral("/tmp");
}

QByteArray instanceKeyPath()
{
    return userFile(kInstanceKeyName);
}

QByteArray requestFifoPath()
{
    return userFile(kRequestFifoName);
}

InstanceGuard::InstanceGuard(QByteArray keyFile) : m_keyFile(std::move(keyFile)) {}

InstanceGuard::~InstanceGuard()
{
    release();
}

InstanceGuard::Role InstanceGuard::claim()
{
    if (!usableKeyFile(m_keyFile))
        return Role::Unguarded;
    QDeadlineTimer deadline(kClaimTimeoutMs);
    bool reported = false;
    for (;;) {
        key_t freeKey = -1;
        bool starting = false;
        for (char project : kKeyProjects) {
            const key_t key = ftok(m_keyFile.constData(), project);
            if (key == -1) {
                qCWarning(lcApp, "no key from %s (%s): starting without the guard", m_keyFile.constData(),
                          strerror(errno));
                return Role::Unguarded;
            }
            int id = -1;
            uid_t owner = uid_t(-1);
            switch (look(key, &id, &owner)) {
            case Seen::OursLive:
                return Role::Second;
            case Seen::OursStarting:
                starting = true;
                break;
            case Seen::OursLeftOver:
                shmctl(id, IPC_RMID, nullptr); // a copy that died; a second remover just fails
                [[fallthrough]];
            case Seen::Free:
                if (freeKey == -1)
                    freeKey = key;
                break;
            case Seen::Foreign:
                if (!reported) {
                    const QByteArray who = owner == uid_t(-1) ? QByteArray("another user")
                                                              : "uid " + QByteArray::number(qulonglong(owner));
                    qCWarning(lcApp, "the single-instance key 0x%08x is held by a segment of %s: it does not count "
                                     "as a running copy",
                              unsigned(key), who.constData());
                }
                break;
            }
        }
        reported = true;
        if (!starting && freeKey != -1) {
            m_id = shmget(freeKey, 1, IPC_CREAT | IPC_EXCL | 0600);
            if (m_id >= 0) {
                void* attached = shmat(m_id, nullptr, SHM_RDONLY);
                if (attached != reinterpret_cast<void*>(-1)) {
                    m_attached = attached;
                    return Role::First;
                }
                const int error = errno;
                shmctl(m_id, IPC_RMID, nullptr);
                m_id = -1;
                // EIDRM: another start took it for a dead copy's while we were held up; look again.
                if (error != EIDRM && error != EINVAL) {
                    qCWarning(lcApp, "cannot attach the single-instance segment (%s): starting without the guard",
                              strerror(error));
                    return Role::Unguarded;
                }
            } else if (errno != EEXIST) {
                qCWarning(lcApp, "cannot create the single-instance segment (%s): starting without the guard",
                          strerror(errno));
                return Role::Unguarded;
            }
            // Another start of ours created it first: look again.
        } else if (!starting) {
            qCWarning(lcApp, "every single-instance key is held by someone else: starting without the guard");
            return Role::Unguarded;
        }
        if (deadline.hasExpired()) {
            qCWarning(lcApp, "the single-instance segment stays unattached: starting without the guard");
            return Role::Unguarded;
        }
        usleep(10 * 1000);
    }
}

void InstanceGuard::release()
{
    if (m_attached)
        shmdt(m_attached);
    m_attached = nullptr;
    if (m_id >= 0)
        shmctl(m_id, IPC_RMID, nullptr);
    m_id = -1;
}

int sendShowRequest(const char* path, int timeoutMs, QByteArray* why)
{
    QDeadlineTimer deadline(timeoutMs);
    QByteArray reason;
    for (;;) {
        struct stat st {};
        if (lstat(path, &st) == 0 && (!S_ISFIFO(st.st_mode) || st.st_uid != geteuid())) {
            reason = QByteArray(path) + " is not a FIFO of this user's";
            break;
        }
        // Non-blocking: without a reader the open fails with ENXIO instead of waiting for ever.
        const int fd = open(path, O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
        if (fd >= 0) {
            const bool ours = fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode) && st.st_uid == geteuid();
            const ssize_t written = ours ? write(fd, kShowRequest, 4) : -1;
            close(fd);
            if (written == 4)
                return 0;
            reason = QByteArray(path) + (ours ? " did not take the request" : " is not a FIFO of this user's");
            break;
        }
        if (errno != ENXIO && errno != ENOENT && errno != EINTR) {
            reason = QByteArray(path) + ": " + QByteArray(strerror(errno));
            break;
        }
        if (deadline.hasExpired()) {
            reason = "nobody read " + QByteArray(path) + " within " + QByteArray::number(timeoutMs / 1000) + " s";
            break;
        }
        usleep(50 * 1000);
    }
    if (why)
        *why = reason;
    return -1;
}
