#include "store.h"

#include "functions.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sstream>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace softskf {

namespace {

bool writeAll(int fd, const char* data, size_t size)
{
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

void syncDir(const std::string& path)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

std::string parentOf(const std::string& path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash ? slash : 1);
}

bool removeTree(const std::string& path)
{
    DIR* d = ::opendir(path.c_str());
    if (!d)
        return ::unlink(path.c_str()) == 0 || errno == ENOENT;
    bool ok = true;
    while (dirent* e = ::readdir(d)) {
        std::string leaf = e->d_name;
        if (leaf == "." || leaf == "..")
            continue;
        std::string child = path + "/" + leaf;
        struct stat st;
        if (::lstat(child.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            ok = removeTree(child) && ok;
        else
            ok = (::unlink(child.c_str()) == 0) && ok;
    }
    ::closedir(d);
    return ::rmdir(path.c_str()) == 0 && ok;
}

const char* const kCounterMagic = "SSKFCNT1";
constexpr size_t kCounterHeader = 16;

} // namespace

bool readFile(const std::string& path, std::string* data)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    std::string out;
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            ::close(fd);
            return false;
        }
        if (n == 0)
            break;
        out.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    *data = out;
    return true;
}

bool writeFileAtomic(const std::string& path, const std::string& data, std::string* error)
{
    std::string tmp = path + ".tmp." + std::to_string(::getpid());
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        if (error)
            *error = "cannot create " + tmp + ": " + std::strerror(errno);
        return false;
    }
    bool ok = writeAll(fd, data.data(), data.size()) && ::fsync(fd) == 0;
    int savedErrno = errno;
    ok = (::close(fd) == 0) && ok;
    if (ok && ::rename(tmp.c_str(), path.c_str()) == 0) {
        syncDir(parentOf(path));
        return true;
    }
    if (ok)
        savedErrno = errno;
    ::unlink(tmp.c_str());
    if (error)
        *error = "cannot write " + path + ": " + std::strerror(savedErrno);
    return false;
}

bool makeDirs(const std::string& path)
{
    if (path.empty())
        return false;
    std::string partial;
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        partial = path.substr(0, pos);
        if (partial.empty())
            continue;
        if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST)
            return false;
    }
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

FileStamp stampOf(const std::string& path)
{
    FileStamp s;
    struct stat st;
    if (::stat(path.c_str(), &st) == 0) {
        s.dev = st.st_dev;
        s.ino = st.st_ino;
        s.mtimeNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
        s.size = st.st_size;
    }
    return s;
}

namespace {

const char* latencyKey(int index)
{
    if (index == kLoadLatency)
        return "load";
    return index < 0 ? "all" : functionName(index);
}

} // namespace

std::string serializeControl(const Control& c)
{
    std::ostringstream s;
    s << "softskf-control 1\n";
    char code[16];
    for (const auto& f : c.faults) {
        std::snprintf(code, sizeof code, "0x%08X", f.second.code);
        s << "fail " << functionName(f.first) << ' ' << code;
        if (f.second.atCall)
            s << ' ' << f.second.atCall;
        s << '\n';
    }
    for (const auto& l : c.latency)
        s << "latency " << latencyKey(l.first) << ' ' << l.second << '\n';
    for (const auto& h : c.hostile)
        s << "hostile " << h.first << ' ' << h.second << '\n';
    return s.str();
}

bool parseControl(const std::string& text, Control* out)
{
    Control c;
    std::istringstream in(text);
    std::string line;
    bool first = true;
    while (std::getline(in, line)) {
        if (first) {
            if (line != "softskf-control 1")
                return false;
            first = false;
            continue;
        }
        std::istringstream fields(line);
        std::string kind, name, value;
        if (!(fields >> kind >> name >> value))
            return false;
        unsigned long long v = std::strtoull(value.c_str(), nullptr, 0);
        if (kind == "hostile") {
            c.hostile[name] = v;
            continue;
        }
        int index = name == "all" ? -1 : name == "load" ? kLoadLatency : functionIndex(name);
        uint64_t atCall = 0;
        if (kind == "fail" && index >= 0 && (fields >> atCall || fields.eof()))
            c.faults.emplace(index, Fault{static_cast<uint32_t>(v), atCall});
        else if (kind == "latency" && (index >= 0 || name == "all" || name == "load"))
            c.latency[index] = static_cast<uint32_t>(v);
        else
            return false;
    }
    *out = c;
    return true;
}

Store::Store(std::string dir) : m_dir(std::move(dir))
{
    while (m_dir.size() > 1 && m_dir.back() == '/')
        m_dir.pop_back();
}

std::string Store::dirFromEnv()
{
    const char* env = std::getenv("SOFTSKF_DIR");
    return env ? std::string(env) : std::string();
}

bool Store::ensure(std::string* error) const
{
    if (m_dir.empty()) {
        if (error)
            *error = "SOFTSKF_DIR is not set";
        return false;
    }
    if (!makeDirs(m_dir + "/tokens") || !makeDirs(caDir())) {
        if (error)
            *error = "cannot create the store in " + m_dir + ": " + std::strerror(errno);
        return false;
    }
    int fd = ::open(eventsPath().c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) {
        if (error)
            *error = "cannot create " + eventsPath() + ": " + std::strerror(errno);
        return false;
    }
    ::close(fd);
    return true;
}

std::string Store::tokenPath(const std::string& name) const
{
    return m_dir + "/tokens/" + name + "/token.state";
}

std::vector<std::string> Store::tokenNames() const
{
    std::vector<std::string> names;
    if (m_dir.empty())
        return names;
    DIR* d = ::opendir((m_dir + "/tokens").c_str());
    if (!d)
        return names;
    while (dirent* e = ::readdir(d)) {
        std::string leaf = e->d_name;
        if (validDeviceName(leaf) && ::access(tokenPath(leaf).c_str(), F_OK) == 0)
            names.push_back(leaf);
    }
    ::closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

bool Store::loadToken(const std::string& name, Token* token, FileStamp* stamp) const
{
    if (m_dir.empty() || !validDeviceName(name))
        return false;
    std::string path = tokenPath(name);
    std::string text;
    // The stamp is taken before reading: a change racing with the read shows up as a newer
    // stamp next time instead of being missed.
    FileStamp before = stampOf(path);
    if (!readFile(path, &text))
        return false;
    if (!parseToken(text, token, nullptr) || token->name != name)
        return false;
    if (stamp)
        *stamp = before;
    return true;
}

bool Store::saveToken(const Token& token, std::string* error) const
{
    return writeFileAtomic(tokenPath(token.name), serializeToken(token), error);
}

bool Store::createToken(const Token& token, std::string* error) const
{
    std::string final = m_dir + "/tokens/" + token.name;
    std::string staging = m_dir + "/tokens/.new-" + token.name + "." + std::to_string(::getpid());
    removeTree(staging);
    if (::mkdir(staging.c_str(), 0700) != 0) {
        if (error)
            *error = "cannot create " + staging + ": " + std::strerror(errno);
        return false;
    }
    if (!writeFileAtomic(staging + "/token.state", serializeToken(token), error)) {
        removeTree(staging);
        return false;
    }
    if (::rename(staging.c_str(), final.c_str()) != 0) {
        if (error)
            *error = "cannot create " + final + ": " + std::strerror(errno);
        removeTree(staging);
        return false;
    }
    syncDir(m_dir + "/tokens");
    return true;
}

bool Store::deleteToken(const std::string& name, std::string* error) const
{
    std::string path = m_dir + "/tokens/" + name;
    std::string doomed = m_dir + "/tokens/.deleted-" + name + "." + std::to_string(::getpid());
    if (::rename(path.c_str(), doomed.c_str()) != 0) {
        if (error)
            *error = "cannot delete " + path + ": " + std::strerror(errno);
        return false;
    }
    syncDir(m_dir + "/tokens");
    removeTree(doomed);
    return true;
}

Control Store::loadControl() const
{
    Control c;
    std::string text;
    if (readFile(controlPath(), &text))
        parseControl(text, &c);
    return c;
}

bool Store::saveControl(const Control& control, std::string* error) const
{
    return writeFileAtomic(controlPath(), serializeControl(control), error);
}

bool Store::appendEvent(uint32_t code, const std::string& name, std::string* error) const
{
    uint64_t offset = 0;
    std::vector<DeviceEvent> all = readEvents(&offset, SIZE_MAX);
    uint64_t seq = all.empty() ? 1 : all.back().seq + 1;
    std::string line = std::to_string(seq) + " " + std::to_string(code) + " " + name + "\n";
    int fd = ::open(eventsPath().c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    bool ok = fd >= 0 && writeAll(fd, line.data(), line.size()) && ::fsync(fd) == 0;
    if (fd >= 0)
        ok = (::close(fd) == 0) && ok;
    if (!ok && error)
        *error = "cannot append to " + eventsPath() + ": " + std::strerror(errno);
    return ok;
}

std::vector<DeviceEvent> Store::readEvents(uint64_t* offset, size_t maxCount) const
{
    std::vector<DeviceEvent> events;
    std::string text;
    if (!readFile(eventsPath(), &text))
        return events;
    // A log that shrank was reset: its content is all new.
    if (*offset > text.size())
        *offset = 0;
    size_t pos = static_cast<size_t>(*offset);
    while (events.size() < maxCount) {
        size_t eol = text.find('\n', pos);
        if (eol == std::string::npos)
            break;
        std::string line = text.substr(pos, eol - pos);
        pos = eol + 1;
        DeviceEvent e;
        size_t a = line.find(' ');
        size_t b = a == std::string::npos ? a : line.find(' ', a + 1);
        if (b == std::string::npos)
            continue;
        e.seq = std::strtoull(line.substr(0, a).c_str(), nullptr, 10);
        e.code = static_cast<uint32_t>(std::strtoul(line.substr(a + 1, b - a - 1).c_str(), nullptr, 10));
        e.name = line.substr(b + 1);
        events.push_back(e);
    }
    *offset = pos;
    return events;
}

StoreLock::StoreLock(const Store& store)
{
    if (store.dir().empty())
        return;
    m_fd = ::open((store.dir() + "/.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (m_fd < 0)
        return;
    while (::flock(m_fd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            ::close(m_fd);
            m_fd = -1;
            return;
        }
    }
}

StoreLock::~StoreLock()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

Counters::Counters(const std::string& path, bool create)
{
    const size_t size = kCounterHeader + kSlots * sizeof(uint64_t);
    int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0), 0600);
    if (fd < 0)
        return;
    struct stat st;
    if (::fstat(fd, &st) != 0 || (static_cast<size_t>(st.st_size) < size && ::ftruncate(fd, size) != 0)) {
        ::close(fd);
        return;
    }
    void* map = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ::close(fd);
    if (map == MAP_FAILED)
        return;
    // A fresh file is all zero; writing the same magic from two processes is harmless.
    if (std::memcmp(map, kCounterMagic, 8) != 0)
        std::memcpy(map, kCounterMagic, 8);
    m_map = map;
    m_slots = reinterpret_cast<uint64_t*>(static_cast<char*>(map) + kCounterHeader);
}

Counters::~Counters()
{
    if (m_map)
        ::munmap(m_map, kCounterHeader + kSlots * sizeof(uint64_t));
}

uint64_t Counters::increment(int index)
{
    if (!m_slots || index < 0 || index >= kSlots)
        return 0;
    return __atomic_add_fetch(&m_slots[index], 1, __ATOMIC_RELAXED);
}

uint64_t Counters::value(int index) const
{
    if (!m_slots || index < 0 || index >= kSlots)
        return 0;
    return __atomic_load_n(&m_slots[index], __ATOMIC_RELAXED);
}

void Counters::reset()
{
    for (int i = 0; m_slots && i < kOpenHandlesSlot; ++i)
        __atomic_store_n(&m_slots[i], 0, __ATOMIC_RELAXED);
}

void Counters::addOpenHandles(int64_t delta)
{
    if (m_slots)
        __atomic_fetch_add(&m_slots[kOpenHandlesSlot], static_cast<uint64_t>(delta), __ATOMIC_RELAXED);
}

int64_t Counters::openHandles() const
{
    return static_cast<int64_t>(value(kOpenHandlesSlot));
}

} // namespace softskf
