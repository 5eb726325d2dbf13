// The softskf store: a directory (SOFTSKF_DIR) shared by every process that uses softskf.
//
//   .lock                 flock()ed around every change, so changes are atomic across processes
//   tokens/<name>/token.state   one token (model.h text form), replaced by write-temp/fsync/rename
//   control               faults, latencies and hostile modes
//   events.log            append-only "<seq> <code> <name>" lines, one per insertion or removal
//   stats.cnt             call counters shared by all processes through mmap
//   ca/                   the store's test certificate authorities
#ifndef SOFTSKF_STORE_H
#define SOFTSKF_STORE_H

#include "model.h"

#include <cstdint>
#include <map>
#include <string>
#include <sys/types.h>
#include <vector>

namespace softskf {

bool readFile(const std::string& path, std::string* data);
bool writeFileAtomic(const std::string& path, const std::string& data, std::string* error);
bool makeDirs(const std::string& path);

// Identity of a file's current content: a rename or a rewrite changes it.
struct FileStamp
{
    dev_t dev = 0;
    ino_t ino = 0;
    int64_t mtimeNs = 0;
    off_t size = -1;
    bool operator==(const FileStamp& o) const
    {
        return dev == o.dev && ino == o.ino && mtimeNs == o.mtimeNs && size == o.size;
    }
    bool operator!=(const FileStamp& o) const { return !(*this == o); }
};
FileStamp stampOf(const std::string& path);

// The latency key that slows down loading the library rather than a call.
constexpr int kLoadLatency = -2;

struct Fault
{
    uint32_t code = 0;
    uint64_t atCall = 0; // 0: every call fails; else only the call that brings the counter to this value
};

struct Control
{
    std::multimap<int, Fault> faults;        // function index -> its faults
    std::map<int, uint32_t> latency;         // function index (-1 = every function) -> milliseconds
                                             // (kLoadLatency: the library's load itself)
    std::map<std::string, uint64_t> hostile; // mode -> parameter
};
std::string serializeControl(const Control& control);
bool parseControl(const std::string& text, Control* control);

struct DeviceEvent
{
    uint64_t seq = 0;
    uint32_t code = 0;
    std::string name;
};

class Store
{
public:
    explicit Store(std::string dir);
    // The directory named by SOFTSKF_DIR, or empty when it is not set.
    static std::string dirFromEnv();

    const std::string& dir() const { return m_dir; }
    bool ensure(std::string* error) const;

    std::string tokenPath(const std::string& name) const;
    std::vector<std::string> tokenNames() const; // sorted by name
    bool loadToken(const std::string& name, Token* token, FileStamp* stamp = nullptr) const;
    // Callers hold the store lock for the whole read-modify-write.
    bool saveToken(const Token& token, std::string* error) const;
    bool createToken(const Token& token, std::string* error) const;
    bool deleteToken(const std::string& name, std::string* error) const;

    std::string controlPath() const { return m_dir + "/control"; }
    Control loadControl() const;
    bool saveControl(const Control& control, std::string* error) const;

    std::string eventsPath() const { return m_dir + "/events.log"; }
    bool appendEvent(uint32_t code, const std::string& name, std::string* error) const;
    // Complete event lines from byte offset on; *offset moves past the lines returned.
    std::vector<DeviceEvent> readEvents(uint64_t* offset, size_t maxCount) const;

    std::string statsPath() const { return m_dir + "/stats.cnt"; }
    std::string caDir() const { return m_dir + "/ca"; }

private:
    std::string m_dir;
};

// Exclusive lock on the store for one change; released when destroyed.
class StoreLock
{
public:
    explicit StoreLock(const Store& store);
    ~StoreLock();
    StoreLock(const StoreLock&) = delete;
    StoreLock& operator=(const StoreLock&) = delete;
    bool held() const { return m_fd >= 0; }

private:
    int m_fd = -1;
};

// The call counters: one 64-bit slot per function in a small shared file, incremented with
// atomic adds on a MAP_SHARED mapping, so counting costs one instruction and every process
// sees the same totals.
class Counters
{
public:
    explicit Counters(const std::string& path, bool create);
    ~Counters();
    Counters(const Counters&) = delete;
    Counters& operator=(const Counters&) = delete;
    bool valid() const { return m_slots != nullptr; }
    // The counter's value after this call, 0 when there are no counters.
    uint64_t increment(int index);
    uint64_t value(int index) const;
    // Zeroes the call counters. The open-handle count stays: it counts what is open now.
    void reset();
    // Handles open in every process (device, application, container and key handles alike): up by
    // one for each handle a call gives out, down by one for each one closed.
    void addOpenHandles(int64_t delta);
    int64_t openHandles() const;

    static constexpr int kSlots = 128;
    static constexpr int kOpenHandlesSlot = kSlots - 1;

private:
    void* m_map = nullptr;
    uint64_t* m_slots = nullptr;
};

} // namespace softskf

#endif
