// The module's state between C_Initialize and C_Finalize: slots (one per present device and
// application), their objects and login, and the sessions. Every member runs under the one lock
// of the library (see api.cpp), except the event wait, which gives the lock up while it blocks.
#ifndef KEYMGR_PKCS11_MODULE_H
#define KEYMGR_PKCS11_MODULE_H

#include "objects.h"
#include "pkcs11_defs.h"
#include "skf_defs.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace p11 {

struct SignOperation;
class Module;

// What outlives one C_Initialize: the lock around the whole library, the module while initialised,
// and the event waiters, which C_Finalize ends before it takes the module down.
struct Library
{
    std::mutex mutex;
    std::condition_variable waitersGone;
    Module* module = nullptr;
    uint64_t epoch = 0; // counts C_Finalize calls; a waiter that sees it change leaves at once
    int waiters = 0;
};
Library& library();

struct Slot
{
    CK_SLOT_ID id = 0;
    std::string device; // names as the library returned them
    std::string app;
    bool present = false;
    HAPPLICATION handle = nullptr;
    DEVINFO info{}; // as last read, shown while the token is out
    bool loggedIn = false;
    std::vector<Object> objects;
    std::vector<std::string> containers; // the container list the objects were read from
    bool objectsRead = false;
};

struct Session
{
    CK_SESSION_HANDLE handle = 0;
    CK_SLOT_ID slot = 0;
    CK_FLAGS flags = 0;
    bool finding = false;
    std::vector<CK_OBJECT_HANDLE> found;
    std::size_t foundNext = 0;
    std::shared_ptr<SignOperation> sign;
};

class Module
{
public:
    Module() = default;
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    // Slots and tokens (slots.cpp)
    CK_RV getSlotList(CK_BBOOL tokenPresent, CK_SLOT_ID_PTR list, CK_ULONG_PTR count);
    CK_RV getSlotInfo(CK_SLOT_ID id, CK_SLOT_INFO_PTR info);
    CK_RV getTokenInfo(CK_SLOT_ID id, CK_TOKEN_INFO_PTR info);
    // Blocks in the SKF event wait with the library's lock given up. When C_Finalize ends the module
    // meanwhile, it answers CKR_CRYPTOKI_NOT_INITIALIZED and touches nothing of this object.
    CK_RV waitForSlotEvent(CK_FLAGS flags, CK_SLOT_ID_PTR slot, std::unique_lock<std::mutex>& lock);

    // Sessions and login (sessions.cpp)
    CK_RV openSession(CK_SLOT_ID id, CK_FLAGS flags, CK_SESSION_HANDLE_PTR session);
    CK_RV closeSession(CK_SESSION_HANDLE handle);
    CK_RV closeAllSessions(CK_SLOT_ID id);
    bool hasSession(CK_SESSION_HANDLE handle) { return session(handle) != nullptr; }
    CK_RV getSessionInfo(CK_SESSION_HANDLE handle, CK_SESSION_INFO_PTR info);
    CK_RV login(CK_SESSION_HANDLE handle, CK_USER_TYPE user, CK_UTF8CHAR_PTR pin, CK_ULONG pinLength);
    CK_RV logout(CK_SESSION_HANDLE handle);
    CK_RV setPin(CK_SESSION_HANDLE handle, CK_UTF8CHAR_PTR oldPin, CK_ULONG oldLength, CK_UTF8CHAR_PTR newPin,
                 CK_ULONG newLength);

    // Objects (sessions.cpp, on the slot's objects)
    CK_RV findObjectsInit(CK_SESSION_HANDLE handle, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG count);
    CK_RV findObjects(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE_PTR objects, CK_ULONG max, CK_ULONG_PTR count);
    CK_RV findObjectsFinal(CK_SESSION_HANDLE handle);
    CK_RV getAttributeValue(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_PTR pTemplate,
                            CK_ULONG count);

    // Signing (signing.cpp)
    CK_RV getMechanismList(CK_SLOT_ID id, CK_MECHANISM_TYPE_PTR list, CK_ULONG_PTR count);
    CK_RV getMechanismInfo(CK_SLOT_ID id, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO_PTR info);
    CK_RV signInit(CK_SESSION_HANDLE handle, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE key);
    CK_RV sign(CK_SESSION_HANDLE handle, CK_BYTE_PTR data, CK_ULONG dataLength, CK_BYTE_PTR signature,
               CK_ULONG_PTR signatureLength);
    CK_RV signUpdate(CK_SESSION_HANDLE handle, CK_BYTE_PTR part, CK_ULONG partLength);
    CK_RV signFinal(CK_SESSION_HANDLE handle, CK_BYTE_PTR signature, CK_ULONG_PTR signatureLength);

    // Ends every session and the logins, closes what the module opened on the tokens.
    void shutdown();

private:
    // Compares the present devices with the known slots: new ones are connected and get their slots,
    // vanished ones lose their sessions; each change is queued as a slot event once the first look
    // has been taken. hint names a device an event was reported for, whose connection is checked.
    CK_RV refresh(const std::string& hint = std::string());
    bool connectDevice(const std::string& name);
    void dropDevice(const std::string& name);
    void queueEvent(CK_SLOT_ID id);
    bool devicePresent(const std::string& name);
    DEVHANDLE deviceHandle(const std::string& name) const;

    Session* session(CK_SESSION_HANDLE handle);
    // The session and its slot for a call. A session the module ended because its token was pulled
    // answers CKR_DEVICE_REMOVED once, then CKR_SESSION_HANDLE_INVALID like any unknown handle.
    CK_RV useSession(CK_SESSION_HANDLE handle, Session** session, Slot** slot);
    Slot* slotOf(const Session& session);
    Slot* presentSlot(CK_SLOT_ID id);
    const Object* visibleObject(const Slot& slot, CK_OBJECT_HANDLE handle) const;
    CK_RV loadObjects(Slot& slot);
    void endLogin(Slot& slot);
    void closeSessions(CK_SLOT_ID id, bool removed);
    // The PKCS#11 answer for a failed SKF call on a slot: a token found gone ends its sessions and
    // answers CKR_DEVICE_REMOVED; a lost login ends the slot's login.
    CK_RV tokenResult(Slot& slot, ULONG sar);

    CK_RV finishSign(Session& session, CK_BYTE_PTR signature, CK_ULONG_PTR signatureLength);

    std::map<CK_SLOT_ID, Slot> m_slots;
    std::map<std::string, std::pair<DEVHANDLE, DEVINFO>> m_devices; // connected devices by name
    std::map<CK_SESSION_HANDLE, Session> m_sessions;
    std::deque<CK_SESSION_HANDLE> m_removed; // sessions ended by a removal, not yet told
    CK_SESSION_HANDLE m_current = 0;         // the session of the call in progress
    std::deque<CK_SLOT_ID> m_events;
    bool m_lookedOnce = false;
    CK_SESSION_HANDLE m_nextSession = 1;
    CK_OBJECT_HANDLE m_nextObject = 1;
};

} // namespace p11

#endif
