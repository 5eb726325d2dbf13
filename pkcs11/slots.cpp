// Slots and tokens: one slot per present device and application, found by comparing the library's
// device list with what the module knows, and the slot events those changes make.
#include "module.h"

#include "namelist.h"
#include "results.h"
#include "skf_binding.h"
#include "text.h"

#include <algorithm>
#include <cstring>
#include <set>

namespace p11 {

namespace {

// Wake-ups in a row that change no slot before the wait gives up. A library may hand over every event
// since it was loaded, already seen through the device list; one that wakes without end is broken,
// and the wait ends rather than spin.
constexpr int kMaxQuietWakes = 1024;
constexpr ULONG kMaxDeviceNameSize = 64 * 1024;
constexpr CK_ULONG kMinPinLength = 6;
constexpr CK_ULONG kMaxPinLength = 16;

// Slot ids stay with their device and application for the life of the process, across
// C_Finalize and C_Initialize, so a program that remembered one finds the same token there.
CK_SLOT_ID slotIdFor(const std::string& device, const std::string& app)
{
    static std::map<std::pair<std::string, std::string>, CK_SLOT_ID> ids;
    auto found = ids.find({device, app});
    if (found != ids.end())
        return found->second;
    const CK_SLOT_ID id = ids.size() + 1;
    ids[{device, app}] = id;
    return id;
}

ULONG presentDevices(std::vector<std::string>* names)
{
    return keymgr::fetchNameList([](LPSTR list, ULONG* size) { return call(skf().SKF_EnumDev, TRUE, list, size); },
                                 names, keymgr::kNameListFirstTry);
}

CK_VERSION version(const VERSION& v)
{
    CK_VERSION out;
    out.major = v.major;
    out.minor = v.minor;
    return out;
}

CK_FLAGS pinFlags(HAPPLICATION app, ULONG* result)
{
    ULONG maxRetries = 0;
    ULONG remaining = 0;
    SkfBoolScratch isDefault{};
    *result = call(skf().SKF_GetPINInfo, app, ULONG(USER_TYPE), &maxRetries, &remaining, &isDefault.value);
    if (*result != SAR_OK)
        return 0;
    CK_FLAGS flags = 0;
    if (remaining == 0) {
        flags |= CKF_USER_PIN_LOCKED;
    } else {
        if (remaining < maxRetries)
            flags |= CKF_USER_PIN_COUNT_LOW;
        if (remaining == 1)
            flags |= CKF_USER_PIN_FINAL_TRY;
    }
    if (isDefault.value)
        flags |= CKF_USER_PIN_TO_BE_CHANGED;
    return flags;
}

} // namespace

void Module::queueEvent(CK_SLOT_ID id)
{
    // The first look only learns what is there; and a slot waiting to be reported is reported once.
    if (m_lookedOnce && std::find(m_events.begin(), m_events.end(), id) == m_events.end())
        m_events.push_back(id);
}

bool Module::connectDevice(const std::string& name)
{
    std::string buffer = name;
    DEVHANDLE device = nullptr;
    if (call(skf().SKF_ConnectDev, &buffer[0], &device) != SAR_OK)
        return false;
    DEVINFO info;
    std::memset(&info, 0, sizeof info);
    std::vector<std::string> apps;
    if (call(skf().SKF_GetDevInfo, device, &info) != SAR_OK ||
        keymgr::fetchNameList(
            [device](LPSTR list, ULONG* size) { return call(skf().SKF_EnumApplication, device, list, size); }, &apps,
            keymgr::kNameListFirstTry) != SAR_OK) {
        call(skf().SKF_DisConnectDev, device);
        return false;
    }
    m_devices[name] = {device, info};
    bool opened = false;
    for (const std::string& app : apps) {
        std::string appBuffer = app;
        HAPPLICATION handle = nullptr;
        if (call(skf().SKF_OpenApplication, device, &appBuffer[0], &handle) != SAR_OK)
            continue;
        const CK_SLOT_ID id = slotIdFor(name, app);
        Slot& slot = m_slots[id];
        slot.id = id;
        slot.device = name;
        slot.app = app;
        slot.present = true;
        slot.handle = handle;
        slot.info = info;
        slot.loggedIn = false;
        slot.objects.clear();
        slot.objectsRead = false;
        queueEvent(id);
        opened = true;
    }
    // An application that would not open now is tried again at the next look.
    if (!opened && !apps.empty()) {
        m_devices.erase(name);
        call(skf().SKF_DisConnectDev, device);
        return false;
    }
    return true;
}

void Module::dropDevice(const std::string& name)
{
    for (auto& entry : m_slots) {
        Slot& slot = entry.second;
        if (slot.device != name || !slot.present)
            continue;
        closeSessions(slot.id, true);
        call(skf().SKF_CloseApplication, slot.handle);
        slot.present = false;
        slot.handle = nullptr;
        slot.loggedIn = false;
        slot.objects.clear();
        slot.objectsRead = false;
        queueEvent(slot.id);
    }
    auto device = m_devices.find(name);
    if (device != m_devices.end()) {
        call(skf().SKF_DisConnectDev, device->second.first);
        m_devices.erase(device);
    }
}

DEVHANDLE Module::deviceHandle(const std::string& name) const
{
    auto found = m_devices.find(name);
    return found == m_devices.end() ? nullptr : found->second.first;
}

bool Module::devicePresent(const std::string& name)
{
    std::vector<std::string> names;
    // Without an answer the token is taken to be there: its sessions are not ended on a guess.
    if (presentDevices(&names) != SAR_OK)
        return true;
    return std::find(names.begin(), names.end(), name) != names.end();
}

CK_RV Module::refresh(const std::string& hint)
{
    if (!loadSkf())
        return CKR_OK;
    std::vector<std::string> names;
    const ULONG rc = presentDevices(&names);
    if (rc != SAR_OK)
        return ckrFromSar(rc);
    const std::set<std::string> present(names.begin(), names.end());
    std::vector<std::string> gone;
    for (const auto& device : m_devices) {
        if (!present.count(device.first))
            gone.push_back(device.first);
    }
    // An event for a device the module holds may mean it was pulled and plugged back in between
    // two looks: a connection the library no longer knows is dropped and made anew.
    if (!hint.empty() && present.count(hint) && m_devices.count(hint)) {
        DEVINFO info;
        const ULONG check = call(skf().SKF_GetDevInfo, m_devices[hint].first, &info);
        if (check == SAR_DEVICE_REMOVED || check == SAR_INVALIDHANDLEERR)
            gone.push_back(hint);
    }
    for (const std::string& name : gone)
        dropDevice(name);
    for (const std::string& name : names) {
        if (!m_devices.count(name))
            connectDevice(name);
    }
    m_lookedOnce = true;
    return CKR_OK;
}

Slot* Module::presentSlot(CK_SLOT_ID id)
{
    auto found = m_slots.find(id);
    return found != m_slots.end() && found->second.present ? &found->second : nullptr;
}

CK_RV Module::getSlotList(CK_BBOOL tokenPresent, CK_SLOT_ID_PTR list, CK_ULONG_PTR count)
{
    if (!count)
        return CKR_ARGUMENTS_BAD;
    const CK_RV rv = refresh();
    if (rv != CKR_OK)
        return rv;
    std::vector<CK_SLOT_ID> ids;
    for (const auto& entry : m_slots) {
        if (!tokenPresent || entry.second.present)
            ids.push_back(entry.first);
    }
    if (list && *count < ids.size()) {
        *count = ids.size();
        return CKR_BUFFER_TOO_SMALL;
    }
    if (list)
        std::copy(ids.begin(), ids.end(), list);
    *count = ids.size();
    return CKR_OK;
}

CK_RV Module::getSlotInfo(CK_SLOT_ID id, CK_SLOT_INFO_PTR info)
{
    if (!info)
        return CKR_ARGUMENTS_BAD;
    // Programs that do not wait for events learn of a pulled token here.
    refresh();
    auto found = m_slots.find(id);
    if (found == m_slots.end())
        return CKR_SLOT_ID_INVALID;
    const Slot& slot = found->second;
    padField(displayText(slot.device) + " (" + displayText(slot.app) + ")", info->slotDescription,
             sizeof info->slotDescription);
    padField(displayText(keymgr::fixedText(slot.info.Manufacturer)), info->manufacturerID, sizeof info->manufacturerID);
    info->flags = CKF_REMOVABLE_DEVICE | CKF_HW_SLOT | (slot.present ? CKF_TOKEN_PRESENT : 0);
    info->hardwareVersion = version(slot.info.HWVersion);
    info->firmwareVersion = version(slot.info.FirmwareVersion);
    return CKR_OK;
}

CK_RV Module::getTokenInfo(CK_SLOT_ID id, CK_TOKEN_INFO_PTR info)
{
    if (!info)
        return CKR_ARGUMENTS_BAD;
    if (!m_slots.count(id))
        return CKR_SLOT_ID_INVALID;
    Slot* slot = presentSlot(id);
    if (!slot)
        return CKR_TOKEN_NOT_PRESENT;
    DEVINFO devInfo;
    std::memset(&devInfo, 0, sizeof devInfo);
    ULONG rc = call(skf().SKF_GetDevInfo, deviceHandle(slot->device), &devInfo);
    if (rc != SAR_OK)
        return tokenResult(*slot, rc);
    slot->info = devInfo;
    const CK_FLAGS pin = pinFlags(slot->handle, &rc);
    if (rc == SAR_DEVICE_REMOVED)
        return tokenResult(*slot, rc);

    padField(displayText(keymgr::fixedText(devInfo.Label)), info->label, sizeof info->label);
    padField(displayText(keymgr::fixedText(devInfo.Manufacturer)), info->manufacturerID, sizeof info->manufacturerID);
    // DEVINFO has no model; its issuer names the product line the token was made for.
    padField(displayText(keymgr::fixedText(devInfo.Issuer)), info->model, sizeof info->model);
    padField(tailThatFits(displayText(keymgr::fixedText(devInfo.SerialNumber)), sizeof info->serialNumber),
             info->serialNumber, sizeof info->serialNumber);
    info->flags = CKF_LOGIN_REQUIRED | CKF_USER_PIN_INITIALIZED | CKF_TOKEN_INITIALIZED | pin;
    CK_ULONG sessions = 0;
    CK_ULONG rwSessions = 0;
    for (const auto& entry : m_sessions) {
        if (entry.second.slot == id) {
            ++sessions;
            rwSessions += (entry.second.flags & CKF_RW_SESSION) ? 1 : 0;
        }
    }
    info->ulMaxSessionCount = CK_EFFECTIVELY_INFINITE;
    info->ulSessionCount = sessions;
    info->ulMaxRwSessionCount = CK_EFFECTIVELY_INFINITE;
    info->ulRwSessionCount = rwSessions;
    info->ulMaxPinLen = kMaxPinLength;
    info->ulMinPinLen = kMinPinLength;
    info->ulTotalPublicMemory = devInfo.TotalSpace;
    info->ulFreePublicMemory = devInfo.FreeSpace;
    info->ulTotalPrivateMemory = CK_UNAVAILABLE_INFORMATION;
    info->ulFreePrivateMemory = CK_UNAVAILABLE_INFORMATION;
    info->hardwareVersion = version(devInfo.HWVersion);
    info->firmwareVersion = version(devInfo.FirmwareVersion);
    std::memset(info->utcTime, ' ', sizeof info->utcTime);
    return CKR_OK;
}

CK_RV Module::waitForSlotEvent(CK_FLAGS flags, CK_SLOT_ID_PTR slot, std::unique_lock<std::mutex>& lock)
{
    if (!slot)
        return CKR_ARGUMENTS_BAD;
    CK_RV rv = refresh();
    if (rv != CKR_OK)
        return rv;
    if (m_events.empty() && (flags & CKF_DONT_BLOCK))
        return CKR_NO_EVENT;
    const PFN_SKF_WaitForDevEvent wait = skf().SKF_WaitForDevEvent;
    if (m_events.empty() && !wait)
        return CKR_FUNCTION_NOT_SUPPORTED;

    Library& lib = library();
    const uint64_t epoch = lib.epoch;
    ++lib.waiters;
    std::vector<char> name(256);
    for (int quiet = 0; m_events.empty();) {
        ULONG length = static_cast<ULONG>(name.size());
        ULONG event = 0;
        lock.unlock();
        const ULONG rc = wait(name.data(), &length, &event);
        lock.lock();
        if (lib.epoch != epoch) {
            --lib.waiters;
            lib.waitersGone.notify_all();
            return CKR_CRYPTOKI_NOT_INITIALIZED;
        }
        if (rc == SAR_BUFFER_TOO_SMALL && length > name.size() && length <= kMaxDeviceNameSize) {
            name.resize(length);
            continue;
        }
        if (rc != SAR_OK) {
            rv = ckrFromSar(rc);
            break;
        }
        const std::size_t used = std::min<std::size_t>(length, name.size());
        const std::string device(name.data(), strnlen(name.data(), used));
        rv = refresh(event == SKF_EVENT_INSERTED || event == SKF_EVENT_REMOVED ? device : std::string());
        if (rv != CKR_OK)
            break;
        if (m_events.empty() && ++quiet >= kMaxQuietWakes) {
            rv = CKR_DEVICE_ERROR;
            break;
        }
    }
    --lib.waiters;
    lib.waitersGone.notify_all();
    if (rv != CKR_OK)
        return rv;
    *slot = m_events.front();
    m_events.pop_front();
    return CKR_OK;
}

} // namespace p11
