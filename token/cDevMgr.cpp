#include "cDevMgr.h"

#include "keymgr_config.h"
#include "namelist.h"

#include <QtGlobal>

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>

cDevMgr* cDevMgr::hDevMgr = nullptr;

namespace {

std::mutex& loadLock()
{
    static std::mutex lock;
    return lock;
}

// Only tests replace it, and only before the library is loaded; guarded by loadLock().
std::string& libraryPath()
{
    static std::string path = KEYMGR_SKF_LIBRARY_PATH;
    return path;
}

// A name for the clean-up's line on standard output: control bytes written as \xNN, so that a name
// cannot move a terminal's cursor, change its title or forge another line.
std::string printableName(const std::string& name)
{
    std::string out;
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7f) {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

// The standard declares its input strings as LPSTR; the library does not write through them.
LPSTR input(const char* text)
{
    return const_cast<LPSTR>(text);
}

} // namespace

cDevMgr* cDevMgr::getInst()
{
    static std::once_flag once;
    std::call_once(once, [] { hDevMgr = new cDevMgr; });
    return hDevMgr;
}

void cDevMgr::setLibraryPathForTesting(const char* path)
{
    std::lock_guard<std::mutex> guard(loadLock());
    libraryPath() = path ? path : "";
}

std::string cDevMgr::skfLibraryPath()
{
    std::lock_guard<std::mutex> guard(loadLock());
    return libraryPath();
}

int cDevMgr::Initialize()
{
    std::lock_guard<std::mutex> guard(loadLock());
    // The table is set once and never replaced: the interface thread may be calling through it.
    if (pSKF)
        return 0;
    std::unique_ptr<CGMSKFOperator> table(new CGMSKFOperator);
    const char* path = libraryPath().c_str();
    const int result = table->LoadSKFAPI(path);
    // The loader's own line goes to standard error, which a daemon has closed; the warning channel
    // is where the program's diagnostics are collected, so say there why no token will appear.
    if (result != 0) {
        qWarning("keymgr: cannot load the SKF library %s: %s; no token will be shown", path,
                 access(path, F_OK) == 0 ? "the file does not load" : "the file is missing");
        return result;
    }
    pSKF = table.release();
    return result;
}

ULONG cDevMgr::WaitForDevEvent(char* name, ULONG* len, ULONG* event)
{
    CGMSKFOperator* skf = pSKF;
    if (!skf)
        return SKF_NOT_BOUND;
    return skf->SKF_WaitForDevEvent(name, len, event);
}

ULONG cDevMgr::GetEvent()
{
    std::lock_guard<std::mutex> guard(m_eventLock);
    return ulEvent;
}

ULONG cDevMgr::SetEvent(ULONG event)
{
    std::lock_guard<std::mutex> guard(m_eventLock);
    ulEvent = event;
    return SAR_OK;
}

std::string cDevMgr::GetDevName()
{
    std::lock_guard<std::mutex> guard(m_eventLock);
    return std::string(szDevName, strnlen(szDevName, sizeof(szDevName)));
}

ULONG cDevMgr::SetDevName(const char* name)
{
    if (!name)
        return SAR_INVALIDPARAMERR;
    const std::size_t length = strnlen(name, sizeof(szDevName) - 1);
    std::lock_guard<std::mutex> guard(m_eventLock);
    std::memset(szDevName, 0, sizeof(szDevName));
    std::memcpy(szDevName, name, length);
    return SAR_OK;
}

ULONG cDevMgr::ConnectDev(const char* name)
{
    if (!name)
        return SAR_INVALIDPARAMERR;
    CGMSKFOperator* skf = pSKF;
    if (!skf)
        return SKF_NOT_BOUND;
    hDev = nullptr;
    hApplication = nullptr;
    hContainer = nullptr;
    const ULONG result = skf->SKF_ConnectDev(input(name), &hDev);
    m_connectedName = result == SAR_OK ? std::string(name) : std::string();
    return result;
}

ULONG cDevMgr::getDevInfo(const char* name, DEVINFO* info)
{
    if (!name || !*name || !info)
        return SAR_INVALIDPARAMERR;
    CGMSKFOperator* skf = pSKF;
    if (!skf)
        return SKF_NOT_BOUND;
    std::vector<std::string> devices;
    const ULONG listed =
        keymgr::fetchNameList([skf](LPSTR list, ULONG* size) { return skf->SKF_EnumDev(TRUE, list, size); }, &devices);
    if (listed != SAR_OK)
        return SAR_INVALIDPARAMERR;
    for (const std::string& device : devices) {
        // The given name matches a listed device when it begins with that device's name.
        if (std::strncmp(name, device.c_str(), device.size()) != 0)
            continue;
        const ULONG connected = skf->SKF_ConnectDev(input(name), &hDev);
        m_connectedName = connected == SAR_OK ? device : std::string();
        if (connected != SAR_OK)
            return connected;
        std::memset(info, 0, sizeof(*info));
        return skf->SKF_GetDevInfo(hDev, info);
    }
    return SAR_INVALIDPARAMERR;
}

bool cDevMgr::deviceNameFits(const std::string& name)
{
    return !name.empty() && name.size() < sizeof(szDevName) && name.find('\0') == std::string::npos;
}

ULONG cDevMgr::open(const TokenChoice& choice)
{
    close();
    const std::string& device = choice.device;
    if (!deviceNameFits(device))
        return SAR_INVALIDPARAMERR;
    ULONG result = ConnectDev(device.c_str());
    if (result != SAR_OK) {
        hDev = nullptr;
        return result;
    }
    if (!choice.application.empty()) {
        result = OpenApplication(choice.application.c_str());
        if (result != SAR_OK) {
            hApplication = nullptr;
            return result;
        }
    }
    if (!choice.container.empty()) {
        result = OpenContainer(choice.container.c_str());
        if (result != SAR_OK)
            hContainer = nullptr;
    }
    return result;
}

void cDevMgr::close()
{
    closeContainer();
    CGMSKFOperator* skf = pSKF;
    if (skf && hApplication)
        skf->SKF_CloseApplication(hApplication);
    if (skf && hDev)
        skf->SKF_DisConnectDev(hDev);
    hApplication = nullptr;
    hDev = nullptr;
    m_connectedName.clear();
}

void cDevMgr::closeContainer()
{
    CGMSKFOperator* skf = pSKF;
    if (skf && hContainer)
        skf->SKF_CloseContainer(hContainer);
    hContainer = nullptr;
}

ULONG cDevMgr::clearSecureState(const TokenChoice& choice)
{
    CGMSKFOperator* skf = pSKF;
    if (!skf)
        return SKF_NOT_BOUND;
    const std::string& device = choice.device;
    if (!deviceNameFits(device) || choice.application.empty())
        return SAR_INVALIDPARAMERR;
    DEVHANDLE dev = nullptr;
    ULONG result = skf->SKF_ConnectDev(input(device.c_str()), &dev);
    if (result != SAR_OK)
        return result;
    HAPPLICATION app = nullptr;
    result = skf->SKF_OpenApplication(dev, input(choice.application.c_str()), &app);
    if (result == SAR_OK) {
        result = skf->SKF_ClearSecureState(app);
        skf->SKF_CloseApplication(app);
    }
    skf->SKF_DisConnectDev(dev);
    return result;
}

ULONG cDevMgr::GetDevInfo(DEVINFO* info)
{
    if (!info)
        return SAR_INVALIDPARAMERR;
    CGMSKFOperator* skf = pSKF;
    if (!skf)
        return SKF_NOT_BOUND;
    std::memset(info, 0, sizeof(*info));
    return skf->SKF_GetDevInfo(hDev, info);
}

ULONG cDevMgr::SetDevLabel(const char* label, ULONG /*len*/)
{
    if (!label)
        return SAR_INVALIDPARAMERR;
    CGMSKFOperator* skf = pSKF;
    return skf ? skf->SKF_SetLabel(hDev, input(label)) : SKF_NOT_BOUND;
}

ULONG cDevMgr::EnumApplication(char* buf, ULONG* size)
{
    CGMSKFOperator* skf = pSKF;
    return skf ? skf->SKF_EnumApplication(hDev, buf, size) : SKF_NOT_BOUND;
}

ULONG cDevMgr::OpenApplication(const char* name)
{
    CGMSKFOperator* skf = pSKF;
    return skf ? skf->SKF_OpenApplication(hDev, input(name), &hApplication) : SKF_NOT_BOUND;
}

ULONG cDevMgr::EnumContainer(char* buf, ULONG* size)
{
    CGMSKFOperator* skf = pSKF;
    return skf ? skf->SKF_EnumContainer(hApplication, buf, size) : SKF_NOT_BOUND;
}

ULONG cDevMgr::OpenContainer(const char* name)
{
    CGMSKFOperator* skf = pSKF;
    return skf ? skf->SKF_OpenContainer(hApplication, input(name), &hContainer) : SKF_NOT_BOUND;
}

ULONG cDevMgr::GetContainerInfo(ContainerInfo* info)
{
    if (!info)
        return SAR_INVALIDPARAMERR;
    ULONG type = 0;
    CGMSKFOperator* skf = pSKF;
    const ULONG result = skf ? skf->SKF_GetContainerType(hContainer, &type) : SKF_NOT_BOUND;
    info->ContainerType = static_cast<BYTE>(type & 0xFF);
    return result;
}

ULONG cDevMgr::DeleteContainer(const char* name)
{
    CGMSKFOperator* skf = pSKF;
    return skf ? skf->SKF_DeleteContainer(hApplication, input(name)) : SKF_NOT_BOUND;
}

ULONG cDevMgr::ImportCertificate(BOOL sign, const BYTE* der, ULONG len)
{
    CGMSKFOperator* skf = pSKF;
    return skf ? skf->SKF_ImportCertificate(hContainer, sign, const_cast<BYTE*>(der), len) : SKF_NOT_BOUND;
}

ULONG cDevMgr::ExportCertificate(BOOL sign, BYTE* buf, ULONG* len)
{
    CGMSKFOperator* skf = pSKF;
    return skf ? skf->SKF_ExportCertificate(hContainer, sign, buf, len) : SKF_NOT_BOUND;
}

ULONG cDevMgr::ExportPublicKey(BOOL sign, BYTE* buf, ULONG* len)
{
    CGMSKFOperator* skf = pSKF;
    return skf ? skf->SKF_ExportPublicKey(hContainer, sign, buf, len) : SKF_NOT_BOUND;
}

ULONG cDevMgr::GetPINInfo(ULONG type, ULONG* max, ULONG* remain, BOOL* isDefault)
{
    CGMSKFOperator* skf = pSKF;
    if (!skf)
        return SKF_NOT_BOUND;
    // A library built with a 64-bit BOOL writes 8 bytes here; we read the low 32 bits.
    SkfBoolScratch scratch;
    scratch.wide = 0;
    const ULONG result = skf->SKF_GetPINInfo(hApplication, type, max, remain, &scratch.value);
    if (isDefault)
        *isDefault = static_cast<BOOL>(static_cast<uint32_t>(scratch.wide & 0xFFFFFFFFu));
    return result;
}

ULONG cDevMgr::VerifyPIN(ULONG type, const char* pin, ULONG* retry)
{
    CGMSKFOperator* skf = pSKF;
    return skf ? skf->SKF_VerifyPIN(hApplication, type, input(pin), retry) : SKF_NOT_BOUND;
}

ULONG cDevMgr::ChangePIN(ULONG type, const char* oldPin, const char* newPin, ULONG* retry)
{
    CGMSKFOperator* skf = pSKF;
    return skf ? skf->SKF_ChangePIN(hApplication, type, input(oldPin), input(newPin), retry) : SKF_NOT_BOUND;
}

ULONG cDevMgr::UnblockPIN(const char* soPin, const char* newUserPin, ULONG* retry)
{
    CGMSKFOperator* skf = pSKF;
    return skf ? skf->SKF_UnblockPIN(hApplication, input(soPin), input(newUserPin), retry) : SKF_NOT_BOUND;
}

ULONG cDevMgr::ClearEmptyContainers(ULONG* removed)
{
    if (removed)
        *removed = 0;
    if (!hDev)
        return SAR_DEVICE_REMOVED;
    CGMSKFOperator* skf = pSKF;
    if (!skf)
        return SKF_NOT_BOUND;

    // Both lists are read whole, their size asked first: a token with many containers is cleaned too.
    std::vector<std::string> apps;
    ULONG result = keymgr::fetchNameList(
        [this, skf](LPSTR list, ULONG* size) { return skf->SKF_EnumApplication(hDev, list, size); }, &apps);
    if (result != SAR_OK)
        return result;
    if (apps.empty() || apps.front().empty())
        return SAR_APPLICATION_NOT_EXISTS;
    result = skf->SKF_OpenApplication(hDev, apps.front().data(), &hApplication);
    if (result != SAR_OK)
        return result;

    std::vector<std::string> containers;
    result = keymgr::fetchNameList(
        [this, skf](LPSTR list, ULONG* size) { return skf->SKF_EnumContainer(hApplication, list, size); }, &containers);
    if (result != SAR_OK)
        return result;
    // A container that cannot be opened or typed, or whose deletion the token refuses, fails the
    // clean-up with the first such result; the walk still goes on to remove every other empty one.
    ULONG failed = SAR_OK;
    for (std::string& name : containers) {
        // A container that does not open is left alone: the handle would still be the previous
        // container's, and its type must never decide about this one.
        ULONG step = skf->SKF_OpenContainer(hApplication, name.data(), &hContainer);
        if (step != SAR_OK) {
            hContainer = nullptr;
            failed = failed == SAR_OK ? step : failed;
            continue;
        }
        ULONG type = 0;
        step = skf->SKF_GetContainerType(hContainer, &type);
        std::printf("containet name = %s, type = %d\n", printableName(name).c_str(), static_cast<int>(type));
        std::fflush(stdout);
        if (step == SAR_OK && type == SKF_CONTAINER_EMPTY) {
            step = skf->SKF_DeleteContainer(hApplication, name.data());
            if (step == SAR_OK && removed)
                ++*removed;
            hContainer = nullptr;
        }
        if (failed == SAR_OK)
            failed = step;
    }
    return failed;
}
