// Start-up services of the program: daemonising, the single-instance guard and the request FIFO
// a second start writes into, both per user.
#ifndef KEYMGR_KEYMGR_APP_H
#define KEYMGR_KEYMGR_APP_H

#include <QByteArray>

#include <vector>

// File names of the single-instance key and the request FIFO; the user's id follows each.
extern const char kInstanceKeyName[];
extern const char kRequestFifoName[];
// The one request: these 4 bytes, without terminator.
extern const char kShowRequest[];
// How long a second start tries to reach the running copy's reader.
constexpr int kShowRequestTimeoutMs = 5000;

// The folder of this user's key file and FIFO: $XDG_RUNTIME_DIR when it is a folder of this
// user's with mode 0700, otherwise /tmp.
QByteArray userRuntimeDir();
// <folder>/<name>-<uid> of the two.
QByteArray instanceKeyPath();
QByteArray requestFifoPath();

// Detaches from the terminal: returns 0 in the process that goes on, -1 when a fork failed
// (the program then keeps running in the foreground). The parents exit with status 0. Every
// descriptor but those in `keep` is closed; 0, 1 and 2 lead to /dev/null.
int init_daemon(const std::vector<int>& keep = {});
// The file-creation mask the program was started with, which init_daemon() replaced by a stricter
// one; -1 when it has not run. Programs the daemon starts for the user get it back.
int userFileMask();

// One copy per user. The copy that creates the segment (1 byte, this user's only) under the key
// ftok(key file, 'Q') is the first; it stays attached until release(), or until the process ends,
// so a segment of this user's that nobody is attached to was left by a copy that died. A segment
// of anyone else's under the key is skipped: the keys made with 'R', 'S' and 'T' come next.
class InstanceGuard
{
public:
    enum class Role {
        First,     // this process created the segment
        Second,    // a live copy of this user's holds it
        Unguarded, // no key could be used (logged): run without the guard
    };

    explicit InstanceGuard(QByteArray keyFile);
    ~InstanceGuard();
    InstanceGuard(const InstanceGuard&) = delete;
    InstanceGuard& operator=(const InstanceGuard&) = delete;

    Role claim();
    // Detaches and removes the segment this copy created.
    void release();

private:
    QByteArray m_keyFile;
    int m_id = -1;
    void* m_attached = nullptr;
};

// Writes "show" into this user's FIFO at `path`. While nobody reads it (or it does not exist
// yet) a non-blocking open is retried for `timeoutMs`; a path that is not this user's FIFO is
// given up at once and never written through. 0 when the request was written, else -1 with the
// reason in *why.
int sendShowRequest(const char* path, int timeoutMs, QByteArray* why = nullptr);

#endif
