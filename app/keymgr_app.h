// Start-up services of the program: daemonising, the single-instance guard, the request FIFO
// a second start writes into, and the version texts.
#ifndef KEYMGR_APP_H
#define KEYMGR_APP_H

class QSharedMemory;

// Shared-memory key of the running copy and the FIFO a second start asks it through.
extern const char kInstanceKey[];
extern const char kRequestFifoPath[];
// The one request: these 4 bytes, without terminator.
extern const char kShowRequest[];
// How long a second start waits for the running copy to open the FIFO.
constexpr int kShowRequestTimeoutMs = 3000;

// Detaches from the terminal: returns 0 in the process that goes on, -1 when a fork failed
// (the program then keeps running in the foreground). The parents exit with status 0.
int init_daemon();
// The file-creation mask the program was started with, which init_daemon() replaced by a stricter
// one; -1 when it has not run. Programs the daemon starts for the user get it back.
int userFileMask();

// True when another copy holds the segment of `memory` (whose key is set). Attach, detach and
// attach again: the detach removes a segment that a killed copy left behind, so only a second
// successful attach means a live copy. `memory` is left detached.
bool anotherInstanceRunning(QSharedMemory& memory);

// Writes "show" into the FIFO at `path`, creating it when missing. Gives up with -1 after
// `timeoutMs` without a reader, and at once when the path is not our own FIFO (a planted file
// or link is never opened for writing through). 0 when the request was written.
int sendShowRequest(const char* path, int timeoutMs);

// Version line "版本：V<version>_<yymmdd>" and ownership line of this build. Both buffers are
// zero-filled by the caller and at least 64 bytes; the texts are copied without terminator.
int getMgrVersion(char* version, char* ownership);
// The same from a date in the compiler's form ("Sep  5 2024"); an unknown month counts as 13.
int makeMgrVersion(const char* buildDate, char* version, char* ownership);

#endif
