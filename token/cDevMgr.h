// The device manager: the one object through which the program talks to the token. It loads the
// SKF library, keeps the handles of the device, application and container in use, remembers the
// last token event and offers the token operations of the interface.
//
// Threads: the monitor thread calls getInst, Initialize(), WaitForDevEvent, SetEvent and
// SetDevName; the interface thread calls everything else. The event code and device name are
// guarded by a lock; the handles belong to the interface thread.
#ifndef KEYMGR_CDEVMGR_H
#define KEYMGR_CDEVMGR_H

#include "CGMSKFOperator.h"
#include "skf_defs.h"
#include "tokenchoice.h"

#include <openssl/types.h>

#include <atomic>
#include <mutex>
#include <string>

// Holds the call table once loaded. Written once by Initialize() on the monitor thread and read
// on the interface thread, so it is published atomically; it reads like a plain pointer:
// `if (mgr->pSKF) mgr->pSKF->SKF_EnumDev(...)`.
class SkfTablePtr
{
public:
    CGMSKFOperator* get() const { return m_table.load(std::memory_order_acquire); }
    operator CGMSKFOperator*() const { return get(); }
    CGMSKFOperator* operator->() const { return get(); }
    SkfTablePtr& operator=(CGMSKFOperator* table)
    {
        m_table.store(table, std::memory_order_release);
        return *this;
    }

private:
    std::atomic<CGMSKFOperator*> m_table{nullptr};
};

class cDevMgr
{
public:
    // The single manager, created safely by whichever thread asks first; never destroyed.
    static cDevMgr* getInst();

    // Test seam: the library path the next Initialize() opens while none is loaded yet. The
    // program never calls it and always uses KEYMGR_SKF_LIBRARY_PATH.
    static void setLibraryPathForTesting(const char* path);
    // The path Initialize() opens.
    static std::string skfLibraryPath();

    // Loads the SKF library, touching no token (the five-argument Initialize wipes and sets up a token).
    // 0 on success (also when it was loaded before), -1 when it cannot be opened.
    int Initialize();
    ULONG WaitForDevEvent(char* name, ULONG* len, ULONG* event);
    ULONG GetEvent();
    ULONG SetEvent(ULONG event);
    // A copy of the device name of the last insertion event ("" before the first).
    std::string GetDevName();
    // Keeps at most 63 bytes of name; a null name is refused with SAR_INVALIDPARAMERR.
    ULONG SetDevName(const char* name);

    // Whether a device name fits whole in the 64-byte buffer names travel in (terminator included)
    // and holds no zero byte: one that does not names no device of ours.
    static bool deviceNameFits(const std::string& name);

    ULONG ConnectDev(const char* name);
    // Name of the device the handles belong to ("" when none is connected); for log records.
    std::string connectedDevName() const { return m_connectedName; }
    ULONG getDevInfo(const char* name, DEVINFO* info);
    ULONG SetDevLabel(const char* label, ULONG len);
    ULONG EnumApplication(char* buf, ULONG* size);
    ULONG OpenApplication(const char* name);
    ULONG EnumContainer(char* buf, ULONG* size);
    ULONG OpenContainer(const char* name);
    ULONG GetContainerInfo(ContainerInfo* info);
    ULONG DeleteContainer(const char* name);
    ULONG ImportCertificate(BOOL sign, const BYTE* der, ULONG len);
    ULONG ExportCertificate(BOOL sign, BYTE* buf, ULONG* len);
    ULONG ExportPublicKey(BOOL sign, BYTE* buf, ULONG* len);
    ULONG GetPINInfo(ULONG type, ULONG* max, ULONG* remain, BOOL* isDefault);
    ULONG VerifyPIN(ULONG type, const char* pin, ULONG* retry);
    ULONG ChangePIN(ULONG type, const char* oldPin, const char* newPin, ULONG* retry);
    ULONG UnblockPIN(const char* soPin, const char* newUserPin, ULONG* retry);
    // Removes the empty containers of the first application; *removed (when given) counts them.
    ULONG ClearEmptyContainers(ULONG* removed = nullptr);
    ULONG DevAuth(const char* key, ULONG len);
    ULONG ChangeDevAuthKey(const char* key, ULONG len);
    ULONG ChangeDevAuthKeyEx(const char* oldKey, ULONG oldLen, const char* newKey, ULONG newLen);
    // Wipes and sets up the connected token (unlike Initialize(), which only loads the library):
    // device authentication, every application deleted, a new one with these PINs, the new label.
    ULONG Initialize(const char* authKey, ULONG authKeyLen, const char* label, const char* soPin, const char* userPin);
    // Common name of the selected certificate of the open container into dst (128 bytes): 0 or -1.
    int getCertName(bool sign, char* dst);
    // Copies the subject's common name into dst (128 bytes, at most 127 bytes and a zero): 1, or 0
    // when an entry of the name is broken. dst is untouched when there is no common name.
    int getX509Name(X509_NAME* subject, char* dst);

    // Connects the chosen device by name and opens its application and container as far as the
    // choice names them: at most three calls and no device scan. The handles held before are closed
    // first, so after a failure (device gone, name refused, object missing) nothing of another token
    // is left to act on. Returns the first failure, or 0.
    ULONG open(const TokenChoice& choice);
    // Closes the container, application and device handles held (SKF_CloseContainer,
    // SKF_CloseApplication, SKF_DisConnectDev) and empties them: a token allows few sessions.
    void close();
    // Closes the container handle alone, before another container of the application is opened.
    void closeContainer();
    // Ends the login of the choice's application (SKF_ClearSecureState) through handles of its own,
    // closed again, leaving the ones held untouched.
    ULONG clearSecureState(const TokenChoice& choice);
    // The information of the device connected last (by open or ConnectDev): one call, no scan.
    ULONG GetDevInfo(DEVINFO* info);

    SkfTablePtr pSKF;
    DEVHANDLE hDev = nullptr;
    HAPPLICATION hApplication = nullptr;
    HCONTAINER hContainer = nullptr;

private:
    cDevMgr() = default;
    ~cDevMgr() = default;
    cDevMgr(const cDevMgr&) = delete;
    cDevMgr& operator=(const cDevMgr&) = delete;

    static cDevMgr* hDevMgr;

    // Guards ulEvent and szDevName, handed from the monitor thread to the interface thread.
    std::mutex m_eventLock;
    ULONG ulEvent = 0;
    char szDevName[64] = {};
    // Interface thread only, like the handles.
    std::string m_connectedName;
};

// Closes the manager's handles when it goes out of scope: what a walk or an action opened ends with it.
class HandlesClosedAtEnd
{
public:
    HandlesClosedAtEnd() = default;
    ~HandlesClosedAtEnd() { cDevMgr::getInst()->close(); }
    HandlesClosedAtEnd(const HandlesClosedAtEnd&) = delete;
    HandlesClosedAtEnd& operator=(const HandlesClosedAtEnd&) = delete;
};

#endif
