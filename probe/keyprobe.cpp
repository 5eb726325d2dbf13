#include "keyprobe.h"

#include "gmskfoperator.h"
#include "keymgr_config.h"
#include "namelist.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <vector>

// A build for a test may point the library elsewhere; every other build uses the one path.
#ifndef KEYPROBE_SKF_LIBRARY_PATH
#define KEYPROBE_SKF_LIBRARY_PATH KEYMGR_SKF_LIBRARY_PATH
#endif

#define KEYPROBE_EXPORT __attribute__((visibility("default")))

namespace {

// Created empty when the library is loaded, filled on first use, never destroyed.
CGMSKFOperator g_skf;

// A list that grows between the size call and the fetch is read again, a few times at most.
constexpr int kNameListAttempts = 3;

long loadTable()
{
    return g_skf.LoadSKFAPI(KEYPROBE_SKF_LIBRARY_PATH);
}

// Fetches a name list of the given size; a list that has grown since its size was learnt is
// read again. A size of 0 is an empty list.
template <typename Call>
ULONG fetchNameList(Call call, ULONG size, std::vector<std::string>& names)
{
    names.clear();
    for (int attempt = 1; size != 0; ++attempt) {
        // A larger size is a broken library, not a reason to allocate gigabytes.
        if (size > keymgr::kMaxNameListSize)
            return SAR_INDATALENERR;
        // One spare zero byte: even a list the library leaves unterminated ends inside.
        std::vector<char> buffer(size_t(size) + 1, '\0');
        ULONG used = size;
        ULONG rc = call(buffer.data(), &used);
        if (rc == SAR_BUFFER_TOO_SMALL && attempt < kNameListAttempts) {
            if (used <= size) {
                used = 0;
                rc = call(nullptr, &used);
                if (rc != SAR_OK)
                    return rc;
            }
            size = std::max(used, size + 1);
            continue;
        }
        if (rc != SAR_OK)
            return rc;
        // A used size beyond the buffer given is not believed; the list ends at its first empty name
        // or at that size, a last name without its zero byte kept.
        names = keymgr::splitNameList(buffer.data(), buffer.size(), std::min(used, size));
        break;
    }
    return SAR_OK;
}

// Learns the size of a name list, then fetches it.
template <typename Call>
ULONG readNameList(Call call, std::vector<std::string>& names)
{
    ULONG size = 0;
    ULONG rc = call(nullptr, &size);
    if (rc != SAR_OK)
        return rc;
    return fetchNameList(call, size, names);
}

ULONG readPresentDevices(std::vector<std::string>& names)
{
    return readNameList([](LPSTR list, ULONG* size) { return g_skf.SKF_EnumDev(TRUE, list, size); }, names);
}

// Connects to the first present token. An empty list is handed to the library as an empty
// name, so the caller sees the library's own code for "no such device".
ULONG connectFirstDevice(DEVHANDLE* device)
{
    std::vector<std::string> devices;
    ULONG rc = readPresentDevices(devices);
    if (rc != SAR_OK)
        return rc;
    std::string name = devices.empty() ? std::string() : devices.front();
    *device = nullptr;
    return g_skf.SKF_ConnectDev(name.data(), device);
}

// Calls close(handle) when the scope ends, so every return path releases what was opened.
template <typename Close>
class ScopedHandle
{
public:
    ScopedHandle(HANDLE handle, Close close) : m_handle(handle), m_close(close) {}
    ~ScopedHandle() { m_close(m_handle); }
    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;

private:
    HANDLE m_handle;
    Close m_close;
};

auto closeDevice = [](HANDLE h) { g_skf.SKF_DisConnectDev(h); };
auto closeApplication = [](HANDLE h) { g_skf.SKF_CloseApplication(h); };
auto closeContainer = [](HANDLE h) { g_skf.SKF_CloseContainer(h); };

ULONG countPresentTokens(unsigned long* count)
{
    auto enumDev = [](LPSTR list, ULONG* size) { return g_skf.SKF_EnumDev(TRUE, list, size); };
    ULONG size = 0;
    ULONG rc = enumDev(nullptr, &size);
    if (rc != SAR_OK)
        return rc;
    std::vector<std::string> devices;
    rc = fetchNameList(enumDev, size, devices);
    *count = rc == SAR_OK ? devices.size() : 0;
    return rc;
}

ULONG readSerialNumber(char* buffer, unsigned long* length)
{
    DEVHANDLE device = nullptr;
    ULONG rc = connectFirstDevice(&device);
    if (rc != SAR_OK)
        return rc;
    ScopedHandle<decltype(closeDevice)> deviceGuard(device, closeDevice);

    DEVINFO info;
    std::memset(&info, 0, sizeof info);
    rc = g_skf.SKF_GetDevInfo(device, &info);
    if (rc != SAR_OK)
        return rc;

    // The field need not be terminated inside its 32 bytes.
    size_t n = strnlen(info.SerialNumber, sizeof info.SerialNumber);
    if (buffer != nullptr) {
        if (*length < n + 1) {
            *length = n + 1;
            return SAR_BUFFER_TOO_SMALL;
        }
        std::memset(buffer, 0, *length);
        std::memcpy(buffer, info.SerialNumber, n);
    }
    *length = n + 1;
    return SAR_OK;
}

void appendItem(std::vector<unsigned char>& blob, unsigned char tag, const BYTE* value, size_t len)
{
    blob.push_back(tag);
    blob.push_back(static_cast<unsigned char>((len >> 8) & 0xFF));
    blob.push_back(static_cast<unsigned char>(len & 0xFF));
    blob.insert(blob.end(), value, value + len);
}

// Learns the certificate's size, then fetches it. One that grew meanwhile is read again with its new
// size; a length reported beyond the buffer given is not believed, only the size asked for is kept.
// One the 16-bit length of an item cannot describe is left out (SAR_INDATALENERR).
ULONG readCertificate(HCONTAINER container, BOOL sign, std::vector<BYTE>& cert)
{
    cert.clear();
    ULONG size = 0;
    ULONG rc = g_skf.SKF_ExportCertificate(container, sign, nullptr, &size);
    for (int attempt = 1; rc == SAR_OK && size != 0; ++attempt) {
        if (size > KEYPROBE_MAX_CERT_LENGTH)
            return SAR_INDATALENERR;
        std::vector<BYTE> buffer(size_t(size) + 1, 0);
        ULONG got = size;
        rc = g_skf.SKF_ExportCertificate(container, sign, buffer.data(), &got);
        if (rc == SAR_BUFFER_TOO_SMALL && attempt < kNameListAttempts) {
            size = got > size ? got : 0;
            rc = size != 0 ? SAR_OK : g_skf.SKF_ExportCertificate(container, sign, nullptr, &size);
            continue;
        }
        if (rc == SAR_OK)
            cert.assign(buffer.begin(), buffer.begin() + std::min(got, size));
        break;
    }
    return rc;
}

// Appends the container's encryption certificate, then its signature certificate. Returns
// the number of items added.
int appendContainerCerts(HCONTAINER container, ULONG type, std::vector<unsigned char>& blob, int room)
{
    int added = 0;
    for (BOOL sign : {FALSE, TRUE}) {
        if (added >= room)
            break;
        std::vector<BYTE> cert;
        if (readCertificate(container, sign, cert) != SAR_OK || cert.empty())
            continue;
        const size_t got = cert.size();
        unsigned char tag = type == SKF_CONTAINER_RSA ? KEYPROBE_TAG_RSA
                            : sign                    ? KEYPROBE_TAG_SM2_SIGN
                                                      : KEYPROBE_TAG_SM2_ENC;
        appendItem(blob, tag, cert.data(), got);
        ++added;
    }
    return added;
}

ULONG buildCertBlob(std::vector<unsigned char>& blob)
{
    DEVHANDLE device = nullptr;
    ULONG rc = connectFirstDevice(&device);
    if (rc != SAR_OK)
        return rc;
    ScopedHandle<decltype(closeDevice)> deviceGuard(device, closeDevice);

    std::vector<std::string> applications;
    // Application lists are short: one fixed buffer usually does, without a size call.
    rc = fetchNameList([device](LPSTR list, ULONG* size) { return g_skf.SKF_EnumApplication(device, list, size); },
                       256, applications);
    if (rc != SAR_OK)
        return rc;
    std::string appName = applications.empty() ? std::string() : applications.front();
    HAPPLICATION application = nullptr;
    rc = g_skf.SKF_OpenApplication(device, appName.data(), &application);
    if (rc != SAR_OK)
        return rc;
    ScopedHandle<decltype(closeApplication)> applicationGuard(application, closeApplication);

    std::vector<std::string> containers;
    rc = readNameList(
        [application](LPSTR list, ULONG* size) { return g_skf.SKF_EnumContainer(application, list, size); },
        containers);
    if (rc != SAR_OK)
        return rc;

    blob = {KEYPROBE_TAG_COUNT, 0x00, 0x01, 0x00};
    int count = 0;
    for (std::string& name : containers) {
        if (count >= KEYPROBE_MAX_CERT_ITEMS)
            break;
        HCONTAINER container = nullptr;
        if (g_skf.SKF_OpenContainer(application, name.data(), &container) != SAR_OK)
            continue;
        ScopedHandle<decltype(closeContainer)> containerGuard(container, closeContainer);
        ULONG type = SKF_CONTAINER_EMPTY;
        if (g_skf.SKF_GetContainerType(container, &type) != SAR_OK || type == SKF_CONTAINER_EMPTY)
            continue;
        count += appendContainerCerts(container, type, blob, KEYPROBE_MAX_CERT_ITEMS - count);
    }
    blob[3] = static_cast<unsigned char>(count);
    return SAR_OK;
}

} // namespace

KEYPROBE_EXPORT long Initialize()
{
    return loadTable();
}

extern "C" {

KEYPROBE_EXPORT uint32_t LM_UsbkeyOnline(unsigned long* count)
{
    if (count == nullptr)
        return SAR_INVALIDPARAMERR;
    try {
        loadTable();
        return countPresentTokens(count);
    } catch (const std::bad_alloc&) {
        return SAR_MEMORYERR;
    } catch (...) {
        return SAR_UNKNOWNERR;
    }
}

KEYPROBE_EXPORT uint32_t LM_GetSerialNum(char* buffer, unsigned long* length)
{
    if (length == nullptr)
        return SAR_INVALIDPARAMERR;
    try {
        loadTable();
        return readSerialNumber(buffer, length);
    } catch (const std::bad_alloc&) {
        return SAR_MEMORYERR;
    } catch (...) {
        return SAR_UNKNOWNERR;
    }
}

KEYPROBE_EXPORT uint32_t LM_GetUserCert(unsigned char* buffer, unsigned long* length)
{
    if (length == nullptr)
        return SAR_INVALIDPARAMERR;
    try {
        loadTable();
        std::vector<unsigned char> blob;
        ULONG rc = buildCertBlob(blob);
        if (rc != SAR_OK)
            return rc;
        if (buffer == nullptr || *length < blob.size()) {
            *length = blob.size();
            return SAR_BUFFER_TOO_SMALL;
        }
        std::memcpy(buffer, blob.data(), blob.size());
        *length = blob.size();
        return SAR_OK;
    } catch (const std::bad_alloc&) {
        return SAR_MEMORYERR;
    } catch (...) {
        // Nothing may unwind into a C caller.
        return SAR_UNKNOWNERR;
    }
}

} // extern "C"
