// Sessions, login and the user PIN, and finding objects and reading their attributes.
#include "module.h"

#include "results.h"
#include "skf_binding.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cstring>

namespace p11 {

namespace {

// The PIN rules of the window's PIN-change dialog: 6 to 16 bytes of printable ASCII drawing on at
// least two of upper-case letters, lower-case letters and digits, and not the old PIN again.
constexpr CK_ULONG kMinPin = 6;
constexpr CK_ULONG kMaxPin = 16;
// Sessions ended by a removal that are remembered until their program calls on them.
constexpr std::size_t kMaxRemembered = 4096;
// A PIN to verify is handed on as it is; beyond this it cannot be a token's PIN.
constexpr CK_ULONG kMaxVerifiedPin = 256;

// A PIN as the zero-terminated string SKF takes, wiped when it goes out of scope.
class PinText
{
public:
    PinText(const CK_UTF8CHAR* pin, CK_ULONG length) : m_text(reinterpret_cast<const char*>(pin), length) {}
    ~PinText() { OPENSSL_cleanse(&m_text[0], m_text.size()); }
    PinText(const PinText&) = delete;
    PinText& operator=(const PinText&) = delete;

    LPSTR data() { return &m_text[0]; }
    const std::string& bytes() const { return m_text; }
    // SKF stops at a zero byte: a PIN holding one would be checked as a shorter one.
    bool usable() const { return m_text.size() >= kMinPin && m_text.find('\0') == std::string::npos; }

private:
    std::string m_text;
};

CK_RV newPinRule(const std::string& oldPin, const std::string& newPin)
{
    for (unsigned char c : newPin) {
        if (c < 0x20 || c > 0x7E)
            return CKR_PIN_INVALID;
    }
    const bool upper = std::any_of(newPin.begin(), newPin.end(), [](char c) { return c >= 'A' && c <= 'Z'; });
    const bool lower = std::any_of(newPin.begin(), newPin.end(), [](char c) { return c >= 'a' && c <= 'z'; });
    const bool digit = std::any_of(newPin.begin(), newPin.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (int(upper) + int(lower) + int(digit) < 2)
        return CKR_PIN_INVALID;
    if (newPin.size() < kMinPin || newPin.size() > kMaxPin)
        return CKR_PIN_LEN_RANGE;
    if (newPin == oldPin)
        return CKR_PIN_INVALID;
    return CKR_OK;
}

} // namespace

Session* Module::session(CK_SESSION_HANDLE handle)
{
    auto found = m_sessions.find(handle);
    return found == m_sessions.end() ? nullptr : &found->second;
}

CK_RV Module::useSession(CK_SESSION_HANDLE handle, Session** s, Slot** slot)
{
    m_current = handle;
    *s = session(handle);
    *slot = *s ? slotOf(**s) : nullptr;
    if (*slot)
        return CKR_OK;
    auto removed = std::find(m_removed.begin(), m_removed.end(), handle);
    if (removed == m_removed.end())
        return CKR_SESSION_HANDLE_INVALID;
    m_removed.erase(removed);
    return CKR_DEVICE_REMOVED;
}

Slot* Module::slotOf(const Session& session)
{
    return presentSlot(session.slot);
}

CK_RV Module::tokenResult(Slot& slot, ULONG sar)
{
    if (sar == SAR_OK)
        return CKR_OK;
    // On tokens that keep the login on the card, another program's log-out ends ours as well.
    if (sar == SAR_USER_NOT_LOGGED_IN)
        slot.loggedIn = false;
    if (sar == SAR_DEVICE_REMOVED || (!isCredentialResult(sar) && !devicePresent(slot.device))) {
        dropDevice(slot.device);
        // This call tells its own session; the next call on it finds no such session.
        m_removed.erase(std::remove(m_removed.begin(), m_removed.end(), m_current), m_removed.end());
        return CKR_DEVICE_REMOVED;
    }
    return ckrFromSar(sar);
}

void Module::closeSessions(CK_SLOT_ID id, bool removed)
{
    for (auto it = m_sessions.begin(); it != m_sessions.end();) {
        if (it->second.slot != id) {
            ++it;
            continue;
        }
        if (removed) {
            // A program that never comes back to its sessions does not make the list grow for ever.
            if (m_removed.size() >= kMaxRemembered)
                m_removed.pop_front();
            m_removed.push_back(it->first);
        }
        it = m_sessions.erase(it);
    }
}

void Module::endLogin(Slot& slot)
{
    if (!slot.loggedIn)
        return;
    call(skf().SKF_ClearSecureState, slot.handle);
    slot.loggedIn = false;
}

CK_RV Module::openSession(CK_SLOT_ID id, CK_FLAGS flags, CK_SESSION_HANDLE_PTR handle)
{
    if (!handle)
        return CKR_ARGUMENTS_BAD;
    if (!(flags & CKF_SERIAL_SESSION))
        return CKR_SESSION_PARALLEL_NOT_SUPPORTED;
    refresh();
    if (!m_slots.count(id))
        return CKR_SLOT_ID_INVALID;
    if (!presentSlot(id))
        return CKR_TOKEN_NOT_PRESENT;
    Session session;
    session.handle = m_nextSession++;
    session.slot = id;
    session.flags = flags & (CKF_SERIAL_SESSION | CKF_RW_SESSION);
    m_sessions[session.handle] = session;
    *handle = session.handle;
    return CKR_OK;
}

CK_RV Module::closeSession(CK_SESSION_HANDLE handle)
{
    Session* s = nullptr;
    Slot* slot = nullptr;
    const CK_RV known = useSession(handle, &s, &slot);
    if (known != CKR_OK)
        return known;
    const CK_SLOT_ID id = s->slot;
    m_sessions.erase(handle);
    const bool last =
        std::none_of(m_sessions.begin(), m_sessions.end(),
                     [id](const std::pair<const CK_SESSION_HANDLE, Session>& e) { return e.second.slot == id; });
    if (last)
        endLogin(*slot);
    return CKR_OK;
}

CK_RV Module::closeAllSessions(CK_SLOT_ID id)
{
    if (!m_slots.count(id))
        return CKR_SLOT_ID_INVALID;
    closeSessions(id, false);
    if (Slot* slot = presentSlot(id))
        endLogin(*slot);
    return CKR_OK;
}

CK_RV Module::getSessionInfo(CK_SESSION_HANDLE handle, CK_SESSION_INFO_PTR info)
{
    if (!info)
        return CKR_ARGUMENTS_BAD;
    Session* s = nullptr;
    Slot* slot = nullptr;
    const CK_RV known = useSession(handle, &s, &slot);
    if (known != CKR_OK)
        return known;
    const bool rw = (s->flags & CKF_RW_SESSION) != 0;
    info->slotID = s->slot;
    if (slot->loggedIn)
        info->state = rw ? CKS_RW_USER_FUNCTIONS : CKS_RO_USER_FUNCTIONS;
    else
        info->state = rw ? CKS_RW_PUBLIC_SESSION : CKS_RO_PUBLIC_SESSION;
    info->flags = s->flags;
    info->ulDeviceError = 0;
    return CKR_OK;
}

CK_RV Module::login(CK_SESSION_HANDLE handle, CK_USER_TYPE user, CK_UTF8CHAR_PTR pin, CK_ULONG pinLength)
{
    Session* s = nullptr;
    Slot* slot = nullptr;
    const CK_RV known = useSession(handle, &s, &slot);
    if (known != CKR_OK)
        return known;
    // The token's administrator PIN stays with the bank's own tools.
    if (user != CKU_USER)
        return CKR_USER_TYPE_INVALID;
    if (slot->loggedIn)
        return CKR_USER_ALREADY_LOGGED_IN;
    if (!pin)
        return CKR_ARGUMENTS_BAD;
    PinText text(pin, pinLength);
    // A PIN that cannot be right costs no try of the token's counter.
    if (!text.usable() || pinLength > kMaxVerifiedPin)
        return CKR_PIN_INCORRECT;
    ULONG retries = 0;
    const ULONG rc = call(skf().SKF_VerifyPIN, slot->handle, ULONG(USER_TYPE), text.data(), &retries);
    if (rc == SAR_OK || rc == SAR_USER_ALREADY_LOGGED_IN) {
        slot->loggedIn = true;
        return rc == SAR_OK ? CKR_OK : CKR_USER_ALREADY_LOGGED_IN;
    }
    return tokenResult(*slot, rc);
}

CK_RV Module::logout(CK_SESSION_HANDLE handle)
{
    Session* s = nullptr;
    Slot* slot = nullptr;
    const CK_RV known = useSession(handle, &s, &slot);
    if (known != CKR_OK)
        return known;
    if (!slot->loggedIn)
        return CKR_USER_NOT_LOGGED_IN;
    slot->loggedIn = false;
    return tokenResult(*slot, call(skf().SKF_ClearSecureState, slot->handle));
}

CK_RV Module::setPin(CK_SESSION_HANDLE handle, CK_UTF8CHAR_PTR oldPin, CK_ULONG oldLength, CK_UTF8CHAR_PTR newPin,
                     CK_ULONG newLength)
{
    Session* s = nullptr;
    Slot* slot = nullptr;
    const CK_RV known = useSession(handle, &s, &slot);
    if (known != CKR_OK)
        return known;
    if (!(s->flags & CKF_RW_SESSION))
        return CKR_SESSION_READ_ONLY;
    if (!oldPin || !newPin)
        return CKR_ARGUMENTS_BAD;
    PinText oldText(oldPin, oldLength);
    PinText newText(newPin, newLength);
    const CK_RV rule = newPinRule(oldText.bytes(), newText.bytes());
    if (rule != CKR_OK)
        return rule;
    if (!oldText.usable() || oldLength > kMaxVerifiedPin)
        return CKR_PIN_INCORRECT;
    ULONG retries = 0;
    return tokenResult(
        *slot, call(skf().SKF_ChangePIN, slot->handle, ULONG(USER_TYPE), oldText.data(), newText.data(), &retries));
}

CK_RV Module::loadObjects(Slot& slot)
{
    // A token answers slowly: the key pairs are read again only when the container list changed,
    // as it does when keymgr or another program adds or deletes a container.
    std::vector<std::string> names;
    ULONG rc = listContainers(slot.handle, &names);
    if (rc != SAR_OK)
        return tokenResult(slot, rc);
    if (slot.objectsRead && names == slot.containers)
        return CKR_OK;
    std::vector<Object> fresh;
    rc = readObjects(slot.handle, names, &fresh);
    if (rc != SAR_OK)
        return tokenResult(slot, rc);
    slot.containers = names;
    slot.objectsRead = true;
    // An object that is still there keeps its handle.
    for (Object& object : fresh) {
        auto same = std::find_if(slot.objects.begin(), slot.objects.end(),
                                 [&object](const Object& old) { return old.sameAs(object); });
        object.handle = same != slot.objects.end() ? same->handle : m_nextObject++;
    }
    slot.objects.swap(fresh);
    return CKR_OK;
}

const Object* Module::visibleObject(const Slot& slot, CK_OBJECT_HANDLE handle) const
{
    for (const Object& object : slot.objects) {
        if (object.handle == handle)
            return object.isPrivate && !slot.loggedIn ? nullptr : &object;
    }
    return nullptr;
}

CK_RV Module::findObjectsInit(CK_SESSION_HANDLE handle, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG count)
{
    Session* s = nullptr;
    Slot* slot = nullptr;
    const CK_RV known = useSession(handle, &s, &slot);
    if (known != CKR_OK)
        return known;
    if (s->finding)
        return CKR_OPERATION_ACTIVE;
    if (count > 0 && !pTemplate)
        return CKR_ARGUMENTS_BAD;
    const CK_RV rv = loadObjects(*slot);
    if (rv != CKR_OK)
        return rv;
    s->found.clear();
    for (const Object& object : slot->objects) {
        if (visibleObject(*slot, object.handle) && matches(object, pTemplate, count))
            s->found.push_back(object.handle);
    }
    s->foundNext = 0;
    s->finding = true;
    return CKR_OK;
}

CK_RV Module::findObjects(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE_PTR objects, CK_ULONG max, CK_ULONG_PTR count)
{
    Session* s = nullptr;
    Slot* slot = nullptr;
    const CK_RV known = useSession(handle, &s, &slot);
    if (known != CKR_OK)
        return known;
    if (!s->finding)
        return CKR_OPERATION_NOT_INITIALIZED;
    if (!objects || !count)
        return CKR_ARGUMENTS_BAD;
    const std::size_t n = std::min<std::size_t>(max, s->found.size() - s->foundNext);
    std::copy_n(s->found.begin() + static_cast<std::ptrdiff_t>(s->foundNext), n, objects);
    s->foundNext += n;
    *count = n;
    return CKR_OK;
}

CK_RV Module::findObjectsFinal(CK_SESSION_HANDLE handle)
{
    Session* s = nullptr;
    Slot* slot = nullptr;
    const CK_RV known = useSession(handle, &s, &slot);
    if (known != CKR_OK)
        return known;
    if (!s->finding)
        return CKR_OPERATION_NOT_INITIALIZED;
    s->finding = false;
    s->found.clear();
    return CKR_OK;
}

CK_RV Module::getAttributeValue(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_PTR pTemplate,
                                CK_ULONG count)
{
    Session* s = nullptr;
    Slot* slot = nullptr;
    const CK_RV known = useSession(handle, &s, &slot);
    if (known != CKR_OK)
        return known;
    if (count > 0 && !pTemplate)
        return CKR_ARGUMENTS_BAD;
    const Object* found = visibleObject(*slot, object);
    if (!found)
        return CKR_OBJECT_HANDLE_INVALID;
    return getAttributes(*found, pTemplate, count);
}

void Module::shutdown()
{
    m_sessions.clear();
    for (auto& entry : m_slots) {
        Slot& slot = entry.second;
        if (!slot.present)
            continue;
        endLogin(slot);
        call(skf().SKF_CloseApplication, slot.handle);
        slot.present = false;
    }
    for (const auto& device : m_devices)
        call(skf().SKF_DisConnectDev, device.second.first);
    m_devices.clear();
}

} // namespace p11
