// The token engine behind the SKF entry points: handles, per-process security state, and the
// operations on the tokens of the store.
#ifndef SOFTSKF_ENGINE_H
#define SOFTSKF_ENGINE_H

#include "answers.h"
#include "events.h"
#include "functions.h"
#include "skf_defs.h"
#include "store.h"

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

namespace softskf {

class Engine
{
public:
    static Engine& instance();
    // Sleeps for the load latency of the store's control, as a slow library would while loading.
    void delayLoad();

    // Counts the call, applies the configured latency, and returns the configured fault
    // code for the function (SAR_OK when the call should go ahead).
    ULONG enter(Fn fn);

    ULONG waitForDevEvent(LPSTR name, ULONG* nameLen, ULONG* event) { return m_events.wait(name, nameLen, event); }
    ULONG cancelWaitForDevEvent();
    ULONG enumDev(BOOL present, LPSTR list, ULONG* size);
    ULONG connectDev(LPSTR name, DEVHANDLE* device);
    ULONG disconnectDev(DEVHANDLE device);
    ULONG getDevState(LPSTR name, ULONG* state);
    ULONG setLabel(DEVHANDLE device, LPSTR label);
    ULONG getDevInfo(DEVHANDLE device, DEVINFO* info);
    ULONG lockDev(DEVHANDLE device, ULONG timeoutMs);
    ULONG unlockDev(DEVHANDLE device);
    ULONG genRandom(DEVHANDLE device, BYTE* out, ULONG length);
    ULONG devAuth(DEVHANDLE device, BYTE* data, ULONG length);
    ULONG changeDevAuthKey(DEVHANDLE device, BYTE* key, ULONG length);

    ULONG changePin(HAPPLICATION app, ULONG type, LPSTR oldPin, LPSTR newPin, ULONG* retry);
    ULONG getPinInfo(HAPPLICATION app, ULONG type, ULONG* maxRetry, ULONG* remainRetry, BOOL* isDefault);
    ULONG verifyPin(HAPPLICATION app, ULONG type, LPSTR pin, ULONG* retry);
    ULONG unblockPin(HAPPLICATION app, LPSTR adminPin, LPSTR newUserPin, ULONG* retry);
    ULONG clearSecureState(HAPPLICATION app);

    ULONG createApplication(DEVHANDLE device, LPSTR name, LPSTR adminPin, DWORD adminRetries, LPSTR userPin,
                            DWORD userRetries, DWORD fileRights, HAPPLICATION* app);
    ULONG enumApplication(DEVHANDLE device, LPSTR list, ULONG* size);
    ULONG deleteApplication(DEVHANDLE device, LPSTR name);
    ULONG openApplication(DEVHANDLE device, LPSTR name, HAPPLICATION* app);
    ULONG closeApplication(HAPPLICATION app);

    ULONG createContainer(HAPPLICATION app, LPSTR name, HCONTAINER* container);
    ULONG deleteContainer(HAPPLICATION app, LPSTR name);
    ULONG openContainer(HAPPLICATION app, LPSTR name, HCONTAINER* container);
    ULONG closeContainer(HCONTAINER container);
    ULONG enumContainer(HAPPLICATION app, LPSTR list, ULONG* size);
    ULONG getContainerType(HCONTAINER container, ULONG* type);
    ULONG extGetContainerInfo(HCONTAINER container, ContainerInfo* info);
    ULONG importCertificate(HCONTAINER container, BOOL sign, BYTE* cert, ULONG length);
    ULONG exportCertificate(HCONTAINER container, BOOL sign, BYTE* cert, ULONG* length);
    ULONG exportPublicKey(HCONTAINER container, BOOL sign, BYTE* blob, ULONG* length);

    ULONG genEccKeyPair(HCONTAINER container, ULONG algId, ECCPUBLICKEYBLOB* blob);
    ULONG genRsaKeyPair(HCONTAINER container, ULONG bits, RSAPUBLICKEYBLOB* blob);
    ULONG eccSignData(HCONTAINER container, BYTE* digest, ULONG length, ECCSIGNATUREBLOB* signature);
    ULONG rsaSignData(HCONTAINER container, BYTE* data, ULONG length, BYTE* signature, ULONG* signatureLength);
    ULONG eccVerify(DEVHANDLE device, ECCPUBLICKEYBLOB* blob, BYTE* digest, ULONG length, ECCSIGNATUREBLOB* signature);
    ULONG rsaVerify(DEVHANDLE device, RSAPUBLICKEYBLOB* blob, BYTE* data, ULONG length, BYTE* signature,
                    ULONG signatureLength);

    ULONG createFile(HAPPLICATION app, LPSTR name, ULONG size, ULONG readRights, ULONG writeRights);
    ULONG deleteFile(HAPPLICATION app, LPSTR name);
    ULONG enumFiles(HAPPLICATION app, LPSTR list, ULONG* size);
    ULONG getFileInfo(HAPPLICATION app, LPSTR name, FILEATTRIBUTE* info);
    ULONG readFile(HAPPLICATION app, LPSTR name, ULONG offset, ULONG size, BYTE* out, ULONG* outLength);
    ULONG writeFile(HAPPLICATION app, LPSTR name, ULONG offset, BYTE* data, ULONG size);

    ULONG setSymmKey(DEVHANDLE device, BYTE* key, ULONG algId, HANDLE* keyHandle);
    ULONG encryptInit(HANDLE key, const BLOCKCIPHERPARAM& param);
    ULONG encrypt(HANDLE key, BYTE* data, ULONG length, BYTE* out, ULONG* outLength);
    ULONG closeHandle(HANDLE handle);

private:
    enum class Kind { Device, Application, Container, Key };
    struct Handle
    {
        Kind kind = Kind::Device;
        std::string token;
        std::string instance;
        uint64_t generation = 0;
        std::string app;
        std::string container;
        std::string random; // device: the last SKF_GenRandom output
        int lockFd = -1;    // device: held while locked
        uint32_t alg = 0;   // key
        std::string key;
        std::string iv;
        bool padding = false;
        bool ready = false;
    };
    struct Cached
    {
        FileStamp stamp;
        Token token;
    };
    struct Security
    {
        bool user = false;
        bool so = false;
    };

    Engine();

    std::shared_ptr<const Control> control();
    Hostility hostility() { return Hostility::from(*control()); }
    Counters* counters();

    // Gives out a handle, or takes one back; both keep the store's open-handle count.
    HANDLE addHandle(const Handle& handle);
    void dropHandle(HANDLE handle);
    Handle* findHandle(HANDLE handle, Kind kind);
    const Token* cachedToken(const std::string& name);
    // The token of a handle, as long as it is present and has not been re-inserted since.
    ULONG tokenOf(const Handle& handle, const Token** token);
    ULONG appOf(const Handle& handle, const Token** token, const Application** app);
    ULONG containerOf(const Handle& handle, const Token** token, const Container** container);
    // Read-modify-write of a handle's token under the store lock; change returns a result and
    // sets *save when the token is to be written back.
    ULONG modify(const Handle& handle, const std::function<ULONG(Token&, bool*)>& change);
    std::string securityKey(const Handle& handle) const;
    std::string deviceKey(const Handle& handle) const;
    static Handle childOf(const Handle& parent, Kind kind);
    bool userLoggedIn(const Handle& handle) { return m_security[securityKey(handle)].user; }
    // SAR_OK when the security state of the handle's application grants rights (SECURE_*_ACCOUNT).
    ULONG checkRights(const Handle& handle, uint32_t rights);
    // A new signature key pair of kind ("sm2", "rsa1024", "rsa2048") for a container; *blob
    // receives its public key blob.
    ULONG generateSignKey(HCONTAINER container, const std::string& kind, std::string* blob);
    // The container's signature key for a private-key operation, once the user PIN is verified.
    ULONG signKeyOf(HCONTAINER container, bool rsa, std::string* keyDer);
    // The file of an application handle, checked against rights read (or write) for access.
    ULONG fileOf(HAPPLICATION app, LPSTR name, bool write, Handle** handle, const File** file);
    ULONG checkPinAndCount(const Handle& handle, ULONG type, const std::string& pin, ULONG* retry,
                           const std::function<void(Application&)>& onSuccess);

    std::mutex m_mutex; // handles, cache and security state
    Store m_store;
    EventWaiter m_events;
    std::map<uintptr_t, Handle> m_handles;
    uintptr_t m_nextHandle = 0x5f0000;
    std::map<std::string, Cached> m_cache;
    std::map<std::string, Security> m_security;    // token, generation and application
    std::set<std::string> m_deviceAuth;            // token and generation
    unsigned m_ghosts[3] = {0, 0, 0};              // growing-list mode: devices, applications, containers
    std::map<std::string, std::string> m_enlarged; // long-cert mode: certificate and size -> enlarged form

    std::mutex m_controlMutex;
    FileStamp m_controlStamp;
    std::shared_ptr<const Control> m_control;
    std::atomic<Counters*> m_counters{nullptr};
    std::mutex m_countersMutex;
};

} // namespace softskf

#endif
