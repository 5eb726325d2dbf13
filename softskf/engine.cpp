#include "engine.h"

#include "crypto.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <thread>
#include <unistd.h>

namespace softskf {

namespace {

constexpr size_t kMaxApplications = 16;
constexpr ULONG kMaxRandom = 4096;

bool pinLengthOk(const char* pin)
{
    size_t len = strnlen(pin, kMaxPin + 1);
    return len >= kMinPin && len <= kMaxPin;
}

} // namespace

Engine& Engine::instance()
{
    // Never destroyed: a thread may still be waiting for events when the process ends.
    static Engine* engine = new Engine;
    return *engine;
}

Engine::Engine() : m_store(Store::dirFromEnv()), m_events(m_store) {}

Counters* Engine::counters()
{
    Counters* c = m_counters.load(std::memory_order_acquire);
    if (c || m_store.dir().empty())
        return c;
    std::lock_guard<std::mutex> lock(m_countersMutex);
    c = m_counters.load(std::memory_order_relaxed);
    if (!c && ::access(m_store.dir().c_str(), W_OK) == 0) {
        auto fresh = std::make_unique<Counters>(m_store.statsPath(), true);
        if (fresh->valid()) {
            c = fresh.release();
            m_counters.store(c, std::memory_order_release);
        }
    }
    return c;
}

std::shared_ptr<const Control> Engine::control()
{
    std::lock_guard<std::mutex> lock(m_controlMutex);
    FileStamp stamp = stampOf(m_store.controlPath());
    if (!m_control || stamp != m_controlStamp) {
        m_control = std::make_shared<const Control>(m_store.loadControl());
        m_controlStamp = stamp;
    }
    return m_control;
}

void Engine::delayLoad()
{
    if (m_store.dir().empty())
        return;
    std::shared_ptr<const Control> ctl = control();
    auto delay = ctl->latency.find(kLoadLatency);
    if (delay != ctl->latency.end())
        std::this_thread::sleep_for(std::chrono::milliseconds(delay->second));
}

ULONG Engine::enter(Fn fn)
{
    int index = static_cast<int>(fn);
    Counters* c = counters();
    const uint64_t call = c ? c->increment(index) : 0;
    if (m_store.dir().empty())
        return SAR_OK;
    std::shared_ptr<const Control> ctl = control();
    auto delay = ctl->latency.find(index);
    if (delay == ctl->latency.end())
        delay = ctl->latency.find(-1);
    if (delay != ctl->latency.end())
        std::this_thread::sleep_for(std::chrono::milliseconds(delay->second));
    const auto faults = ctl->faults.equal_range(index);
    for (auto fault = faults.first; fault != faults.second; ++fault) {
        if (!fault->second.atCall || fault->second.atCall == call)
            return fault->second.code;
    }
    return SAR_OK;
}

HANDLE Engine::addHandle(const Handle& handle)
{
    m_nextHandle += 0x10;
    m_handles[m_nextHandle] = handle;
    if (Counters* c = counters())
        c->addOpenHandles(1);
    return reinterpret_cast<HANDLE>(m_nextHandle);
}

void Engine::dropHandle(HANDLE handle)
{
    if (m_handles.erase(reinterpret_cast<uintptr_t>(handle)) != 0) {
        if (Counters* c = counters())
            c->addOpenHandles(-1);
    }
}

Engine::Handle* Engine::findHandle(HANDLE handle, Kind kind)
{
    auto it = m_handles.find(reinterpret_cast<uintptr_t>(handle));
    return it == m_handles.end() || it->second.kind != kind ? nullptr : &it->second;
}

const Token* Engine::cachedToken(const std::string& name)
{
    if (m_store.dir().empty() || !validDeviceName(name))
        return nullptr;
    FileStamp stamp = stampOf(m_store.tokenPath(name));
    if (stamp.size < 0) {
        m_cache.erase(name);
        return nullptr;
    }
    auto it = m_cache.find(name);
    if (it != m_cache.end() && it->second.stamp == stamp)
        return &it->second.token;
    Cached fresh;
    if (!m_store.loadToken(name, &fresh.token, &fresh.stamp)) {
        m_cache.erase(name);
        return nullptr;
    }
    return &(m_cache[name] = fresh).token;
}

ULONG Engine::tokenOf(const Handle& handle, const Token** token)
{
    const Token* t = cachedToken(handle.token);
    if (!t || !t->present || t->generation != handle.generation || t->instance != handle.instance)
        return SAR_DEVICE_REMOVED;
    *token = t;
    return SAR_OK;
}

ULONG Engine::appOf(const Handle& handle, const Token** token, const Application** app)
{
    ULONG rc = tokenOf(handle, token);
    if (rc != SAR_OK)
        return rc;
    *app = const_cast<Token*>(*token)->app(handle.app);
    return *app ? SAR_OK : SAR_APPLICATION_NOT_EXISTS;
}

ULONG Engine::containerOf(const Handle& handle, const Token** token, const Container** container)
{
    const Application* app = nullptr;
    ULONG rc = appOf(handle, token, &app);
    if (rc != SAR_OK)
        return rc;
    *container = const_cast<Application*>(app)->container(handle.container);
    return *container ? SAR_OK : SAR_INVALIDHANDLEERR;
}

ULONG Engine::modify(const Handle& handle, const std::function<ULONG(Token&, bool*)>& change)
{
    StoreLock lock(m_store);
    if (!lock.held())
        return SAR_FILEERR;
    Cached fresh;
    if (!m_store.loadToken(handle.token, &fresh.token, &fresh.stamp) || !fresh.token.present ||
        fresh.token.generation != handle.generation || fresh.token.instance != handle.instance)
        return SAR_DEVICE_REMOVED;
    bool save = false;
    ULONG rc = change(fresh.token, &save);
    if (save) {
        if (!m_store.saveToken(fresh.token, nullptr))
            return SAR_WRITEFILEERR;
        m_cache.erase(handle.token);
    }
    return rc;
}

std::string Engine::deviceKey(const Handle& handle) const
{
    return handle.token + '\n' + toHex(handle.instance) + '\n' + std::to_string(handle.generation);
}

std::string Engine::securityKey(const Handle& handle) const
{
    return deviceKey(handle) + '\n' + handle.app;
}

Engine::Handle Engine::childOf(const Handle& parent, Kind kind)
{
    Handle h;
    h.kind = kind;
    h.token = parent.token;
    h.instance = parent.instance;
    h.generation = parent.generation;
    h.app = parent.app;
    return h;
}

ULONG Engine::cancelWaitForDevEvent()
{
    m_events.cancel();
    return SAR_OK;
}

ULONG Engine::enumDev(BOOL present, LPSTR list, ULONG* size)
{
    if (!size)
        return SAR_INVALIDPARAMERR;
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<std::string> names;
    for (const std::string& name : m_store.tokenNames()) {
        const Token* t = cachedToken(name);
        if (t && (t->present || !present))
            names.push_back(name);
    }
    Hostility h = hostility();
    return answerBytes(multiString(names, h, &m_ghosts[0], list == nullptr, "GHOST-DEVICE-"), h, list, size);
}

ULONG Engine::connectDev(LPSTR name, DEVHANDLE* device)
{
    if (!validName(name, kMaxDeviceName) || !device)
        return SAR_INVALIDPARAMERR;
    std::lock_guard<std::mutex> lock(m_mutex);
    const Token* t = cachedToken(name);
    if (!t || !t->present)
        return SAR_DEVICE_REMOVED;
    Handle h;
    h.kind = Kind::Device;
    h.token = name;
    h.generation = t->generation;
    h.instance = t->instance;
    *device = addHandle(h);
    return SAR_OK;
}

ULONG Engine::disconnectDev(DEVHANDLE device)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Handle* h = findHandle(device, Kind::Device);
    if (!h)
        return SAR_INVALIDHANDLEERR;
    if (h->lockFd >= 0)
        ::close(h->lockFd);
    dropHandle(device);
    return SAR_OK;
}

ULONG Engine::getDevState(LPSTR name, ULONG* state)
{
    if (!name || !state)
        return SAR_INVALIDPARAMERR;
    if (strnlen(name, kMaxDeviceName + 1) > kMaxDeviceName)
        return SAR_INVALIDPARAMERR;
    std::lock_guard<std::mutex> lock(m_mutex);
    const Token* t = cachedToken(name);
    *state = t && t->present ? DEV_PRESENT_STATE : DEV_ABSENT_STATE;
    return SAR_OK;
}

ULONG Engine::setLabel(DEVHANDLE device, LPSTR label)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Handle* h = findHandle(device, Kind::Device);
    if (!h)
        return SAR_INVALIDHANDLEERR;
    if (!label || strnlen(label, kMaxLabel + 1) > kMaxLabel)
        return SAR_INVALIDPARAMERR;
    std::string value = label;
    return modify(*h, [&](Token& t, bool* save) {
        t.label = value;
        *save = true;
        return ULONG(SAR_OK);
    });
}

ULONG Engine::getDevInfo(DEVHANDLE device, DEVINFO* info)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Handle* h = findHandle(device, Kind::Device);
    if (!h)
        return SAR_INVALIDHANDLEERR;
    if (!info)
        return SAR_INVALIDPARAMERR;
    const Token* t = nullptr;
    ULONG rc = tokenOf(*h, &t);
    if (rc == SAR_OK)
        fillDevInfo(*t, hostility(), info);
    return rc;
}

ULONG Engine::lockDev(DEVHANDLE device, ULONG timeoutMs)
{
    std::string lockPath;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        Handle* h = findHandle(device, Kind::Device);
        if (!h)
            return SAR_INVALIDHANDLEERR;
        const Token* t = nullptr;
        ULONG rc = tokenOf(*h, &t);
        if (rc != SAR_OK)
            return rc;
        if (h->lockFd >= 0)
            return SAR_OK;
        makeDirs(m_store.dir() + "/locks");
        lockPath = m_store.dir() + "/locks/" + h->token;
    }
    // Every handle opens its own description, so the lock excludes other handles of this
    // process as well as other processes.
    int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return SAR_FILEERR;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (timeoutMs != 0xFFFFFFFFu && std::chrono::steady_clock::now() >= deadline) {
            ::close(fd);
            return SAR_TIMEOUTERR;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    Handle* h = findHandle(device, Kind::Device);
    if (!h || h->lockFd >= 0) {
        ::close(fd);
        return h ? SAR_OK : SAR_INVALIDHANDLEERR;
    }
    h->lockFd = fd;
    return SAR_OK;
}

ULONG Engine::unlockDev(DEVHANDLE device)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Handle* h = findHandle(device, Kind::Device);
    if (!h)
        return SAR_INVALIDHANDLEERR;
    if (h->lockFd >= 0)
        ::close(h->lockFd);
    h->lockFd = -1;
    return SAR_OK;
}

ULONG Engine::genRandom(DEVHANDLE device, BYTE* out, ULONG length)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Handle* h = findHandle(device, Kind::Device);
    if (!h)
        return SAR_INVALIDHANDLEERR;
    if (!out || length == 0 || length > kMaxRandom)
        return SAR_INVALIDPARAMERR;
    const Token* t = nullptr;
    ULONG rc = tokenOf(*h, &t);
    if (rc != SAR_OK)
        return rc;
    std::string r = randomBytes(length);
    if (r.size() != length)
        return SAR_GENRANDERR;
    std::memcpy(out, r.data(), length);
    h->random = r;
    return SAR_OK;
}

ULONG Engine::devAuth(DEVHANDLE device, BYTE* data, ULONG length)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Handle* h = findHandle(device, Kind::Device);
    if (!h)
        return SAR_INVALIDHANDLEERR;
    if (!data || (length != 16 && length != 32))
        return SAR_INVALIDPARAMERR;
    const Token* t = nullptr;
    ULONG rc = tokenOf(*h, &t);
    if (rc != SAR_OK)
        return rc;
    std::string authKey = deviceKey(*h);
    // One answer per challenge: the random bytes are used up whatever the outcome.
    std::string challenge = h->random;
    h->random.clear();
    m_deviceAuth.erase(authKey);
    if (challenge.empty())
        return SAR_FAIL;
    std::string expected = challenge.substr(0, 16);
    expected.resize(16, '\0');
    std::string plain;
    // Only the first block counts; a second block is the PKCS#5 padding some callers send.
    std::string firstBlock(reinterpret_cast<const char*>(data), 16);
    if (!sm4Crypt(SGD_SM4_ECB, t->authKey, std::string(), false, false, firstBlock, &plain) || plain != expected)
        return SAR_FAIL;
    m_deviceAuth.insert(authKey);
    return SAR_OK;
}

ULONG Engine::changeDevAuthKey(DEVHANDLE device, BYTE* key, ULONG length)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Handle* h = findHandle(device, Kind::Device);
    if (!h)
        return SAR_INVALIDHANDLEERR;
    if (!key || length != 16)
        return SAR_INVALIDPARAMERR;
    const Token* t = nullptr;
    ULONG rc = tokenOf(*h, &t);
    if (rc != SAR_OK)
        return rc;
    if (!m_deviceAuth.count(deviceKey(*h)))
        return SAR_USER_NOT_LOGGED_IN;
    std::string value(reinterpret_cast<const char*>(key), 16);
    return modify(*h, [&](Token& tok, bool* save) {
        tok.authKey = value;
        *save = true;
        return ULONG(SAR_OK);
    });
}

ULONG Engine::checkPinAndCount(const Handle& handle, ULONG type, const std::string& pin, ULONG* retry,
                               const std::function<void(Application&)>& onSuccess)
{
    ULONG rc = modify(handle, [&](Token& t, bool* save) {
        Application* a = t.app(handle.app);
        if (!a)
            return ULONG(SAR_APPLICATION_NOT_EXISTS);
        Pin& p = type == ADMIN_TYPE ? a->so : a->user;
        if (p.remaining == 0) {
            *retry = 0;
            return ULONG(SAR_PIN_LOCKED);
        }
        if (!pinMatches(p, pin)) {
            --p.remaining;
            *save = true;
            *retry = p.remaining;
            return ULONG(p.remaining ? SAR_PIN_INCORRECT : SAR_PIN_LOCKED);
        }
        if (p.remaining != p.maxRetries) {
            p.remaining = p.maxRetries;
            *save = true;
        }
        *retry = p.remaining;
        if (onSuccess) {
            onSuccess(*a);
            *save = true;
        }
        return ULONG(SAR_OK);
    });
    Security& s = m_security[securityKey(handle)];
    bool granted = rc == SAR_OK;
    (type == ADMIN_TYPE ? s.so : s.user) = granted;
    return rc;
}

ULONG Engine::verifyPin(HAPPLICATION app, ULONG type, LPSTR pin, ULONG* retry)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Handle* h = findHandle(app, Kind::Application);
    if (!h)
        return SAR_INVALIDHANDLEERR;
    if (!pin || !retry || strnlen(pin, kMaxPin + 1) > kMaxPin)
        return SAR_INVALIDPARAMERR;
    if (type != ADMIN_TYPE && type != USER_TYPE)
        return SAR_USER_TYPE_INVALID;
    return checkPinAndCount(*h, type, pin, retry, nullptr);
}

ULONG Engine::changePin(HAPPLICATION app, ULONG type, LPSTR oldPin, LPSTR newPin, ULONG* retry)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Handle* h = findHandle(app, Kind::Application);
    if (!h)
        return SAR_INVALIDHANDLEERR;
    if (!oldPin || !newPin || !retry || strnlen(oldPin, kMaxPin + 1) > kMaxPin)
        return SAR_INVALIDPARAMERR;
    if (type != ADMIN_TYPE && type != USER_TYPE)
        return SAR_USER_TYPE_INVALID;
    if (!pinLengthOk(newPin))
        return SAR_PIN_LEN_RANGE;
    std::string value = newPin;
    return checkPinAndCount(*h, type, oldPin, retry, [&](Application& a) {
        Pin& p = type == ADMIN_TYPE ? a.so : a.user;
        setPinValue(&p, value);
        p.remaining = p.maxRetries;
    });
}

ULONG Engine::unblockPin(HAPPLICATION app, LPSTR adminPin, LPSTR newUserPin, ULONG* retry)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Handle* h = findHandle(app, Kind::Application);
    if (!h)
        return SAR_INVALIDHANDLEERR;
    if (!adminPin || !newUserPin || !retry || strnlen(adminPin, kMaxPin + 1) > kMaxPin)
        return SAR_INVALIDPARAMERR;
    if (!pinLengthOk(newUserPin))
        return SAR_PIN_LEN_RANGE;
    std::string value = newUserPin;
    return checkPinAndCount(*h, ADMIN_TYPE, adminPin, retry, [&](Application& a) {
        setPinValue(&a.user, value);
        a.user.remaining = a.user.maxRetries;
    });
}

ULONG Engine::getPinInfo(HAPPLICATION app, ULONG type, ULONG* maxRetry, ULONG* remainRetry, BOOL* isDefault)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Handle* h = findHandle(app, Kind::Application);
    if (!h)
        return SAR_INVALIDHANDLEERR;
    if (!maxRetry || !remainRetry || !isDefault)
        return SAR_INVALIDPARAMERR;
    if (type != ADMIN_TYPE && type != USER_TYPE)
        return SAR_USER_TYPE_INVALID;
    const Token* t = nullptr;
    const Application* a = nullptr;
    ULONG rc = appOf(*h, &t, &a);
    if (rc != SAR_OK)
        return rc;
    const Pin& p = type == ADMIN_TYPE ? a->so : a->user;
    *maxRetry = p.maxRetries;
    *remainRetry = p.remaining;
    *isDefault = p.isDefault ? TRUE : FALSE;
    return SAR_OK;
}

ULONG Engine::clearSecureState(HAPPLICATION app)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Handle* h = findHandle(app, Kind::Application);
    if (!h)
        return SAR_INVALIDHANDLEERR;
    m_security.erase(securityKey(*h));
    const Token* t = nullptr;
    const Application* a = nullptr;
    return appOf(*h, &t, &a);
}

ULONG Engine::createApplication(DEVHANDLE device, LPSTR name, LPSTR adminPin, DWORD adminRetries, LPSTR userPin,
                                DWORD userRetries, DWORD fileRights, HAPPLICATION* app)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Handle* h = findHandle(device, Kind::Device);
    if (!h)
        return SAR_INVALIDHANDLEERR;
    if (!validName(name, kMaxObjectName) || !adminPin || !userPin || !app)
        return SAR_INVALIDPARAMERR;
    if (adminRetries == 0 || adminRetries > 255 || userRetries == 0 || userRetries > 255)
        return SAR_INVALIDPARAMERR;
    if (!pinLengthOk(adminPin) || !pinLengthOk(userPin))
        return SAR_PIN_LEN_RANGE;
    const Token* t = nullptr;
    ULONG rc = tokenOf(*h, &t);
    if (rc != SAR_OK)
        return rc;
    if (!m_deviceAuth.count(deviceKey(*h)))
        return SAR_USER_NOT_LOGGED_IN;
    Application created;
    created.name = name;
    created.so = makePin(adminPin, adminRetries, false);
    created.user = makePin(userPin, userRetries, false);
    created.fileRights = fileRights;
    rc = modify(*h, [&](Token& tok, bool* save) {
        if (tok.app(created.name))
            return ULONG(SAR_APPLICATION_EXISTS);
        if (tok.apps.size() >= kMaxApplications)
            return ULONG(SAR_NO_ROOM);
        tok.apps.push_back(created);
        *save = true;
        return ULONG(SAR_OK);
    });
    if (rc != SAR_OK)
        return rc;
    Handle a = childOf(*h, Kind::Application);
    a.app = created.name;
    m_security.erase(securityKey(a));
    *app = addHandle(a);
    return SAR_OK;
}

ULONG Engine::enumApplication(DEVHANDLE device, LPSTR list, ULONG* size)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Handle* h = findHandle(device, Kind::Device);
    if (!h)
        return SAR_INVALIDHANDLEERR;
    if (!size)
        return SAR_INVALIDPARAMERR;
    const Token* t = nullptr;
    ULONG rc = tokenOf(*h, &t);
    if (rc != SAR_OK)
        return rc;
    std::vector<std::string> names;
    for (const Application& a : t->apps)
        names.push_back(a.name);
    Hostility hs = hostility();
    return answerBytes(multiString(names, hs, &m_ghosts[1], list == nullptr, "GHOST-APP-"), hs, list, size);
}

ULONG Engine::deleteApplication(DEVHANDLE device, LPSTR name)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Handle* h = findHandle(device, Kind::Device);
    if (!h)
        return SAR_INVALIDHANDLEERR;
    if (!validName(name, kMaxObjectName))
        return SAR_INVALIDPARAMERR;
    const Token* t = nullptr;
    ULONG rc = tokenOf(*h, &t);
    if (rc != SAR_OK)
        return rc;
    if (!m_deviceAuth.count(deviceKey(*h)))
        return SAR_USER_NOT_LOGGED_IN;
    std::string appName = name;
    rc = modify(*h, [&](Token& tok, bool* save) {
        for (auto it = tok.apps.begin(); it != tok.apps.end(); ++it) {
            if (it->name == appName) {
                // Its files give their space back.
                uint64_t freed = tok.freeSpace;
                for (const File& f : it->files)
                    freed += f.data.size();
                tok.freeSpace = static_cast<uint32_t>(std::min<uint64_t>(freed, tok.totalSpace));
                tok.apps.erase(it);
                *save = true;
                return ULONG(SAR_OK);
            }
        }
        return ULONG(SAR_APPLICATION_NOT_EXISTS);
    });
    if (rc == SAR_OK) {
        Handle gone = childOf(*h, Kind::Application);
        gone.app = appName;
        m_security.erase(securityKey(gone));
    }
    return rc;
}

ULONG Engine::openApplication(DEVHANDLE device, LPSTR name, HAPPLICATION* app)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Handle* h = findHandle(device, Kind::Device);
    if (!h)
        return SAR_INVALIDHANDLEERR;
    if (!validName(name, kMaxObjectName) || !app)
        return SAR_INVALIDPARAMERR;
    const Token* t = nullptr;
    ULONG rc = tokenOf(*h, &t);
    if (rc != SAR_OK)
        return rc;
    if (!const_cast<Token*>(t)->app(name))
        return SAR_APPLICATION_NOT_EXISTS;
    Handle a = childOf(*h, Kind::Application);
    a.app = name;
    *app = addHandle(a);
    return SAR_OK;
}

ULONG Engine::closeApplication(HAPPLICATION app)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!findHandle(app, Kind::Application))
        return SAR_INVALIDHANDLEERR;
    dropHandle(app);
    return SAR_OK;
}

} // namespace softskf
