#include "certParse.h"

#include "cDevMgr.h"
#include "namelist.h"

#include <openssl/asn1.h>
#include <openssl/x509.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

constexpr long kDaySeconds = 86400;
constexpr ULONG kAppListSize = 256;
constexpr ULONG kContainerListSize = 1024;

// The SKF library takes names as writable text; it gets a private copy of ours.
std::vector<char> writableName(const std::string& name)
{
    return std::vector<char>(name.c_str(), name.c_str() + name.size() + 1);
}

bool readDigits(const unsigned char* p, int count, int* value)
{
    int v = 0;
    for (int i = 0; i < count; ++i) {
        if (!std::isdigit(p[i]))
            return false;
        v = v * 10 + (p[i] - '0');
    }
    *value = v;
    return true;
}

// Handles opened by the check are its own, not the device manager's: they are closed on every path.
struct SkfHandles
{
    CGMSKFOperator* skf;
    DEVHANDLE dev = nullptr;
    HAPPLICATION app = nullptr;
    HCONTAINER container = nullptr;

    void closeContainer()
    {
        if (container)
            skf->SKF_CloseContainer(container);
        container = nullptr;
    }
    ~SkfHandles()
    {
        closeContainer();
        if (app)
            skf->SKF_CloseApplication(app);
        if (dev)
            skf->SKF_DisConnectDev(dev);
    }
};

} // namespace

int getUTCTime(const ASN1_TIME* t, char* text, int* year, int* month, int* day)
{
    if (!t)
        return -1;
    const unsigned char* data = ASN1_STRING_get0_data(t);
    const int length = ASN1_STRING_length(t);
    const bool generalized = ASN1_STRING_type(t) == V_ASN1_GENERALIZEDTIME;
    const int yearDigits = generalized ? 4 : 2;
    // The date and the hour must be there: YYMMDDHH or YYYYMMDDHH.
    if (!data || length < yearDigits + 8)
        return -1;
    int y = 0, m = 0, d = 0;
    if (!readDigits(data, yearDigits, &y) || !readDigits(data + yearDigits, 2, &m) ||
        !readDigits(data + yearDigits + 2, 2, &d))
        return -1;
    if (m < 1 || m > 12 || d < 1 || d > 31)
        return -1;
    if (!generalized)
        y += y < 50 ? 2000 : 1900;
    if (text) {
        // At most four year digits, so "YYYY-MM-DD" and its terminator fit the 16 bytes.
        char date[32];
        const int n = std::snprintf(date, sizeof date, "%04d-%02d-%02d", y, m, d);
        std::memcpy(text, date, static_cast<std::size_t>(n) + 1);
    }
    *year = y;
    *month = m;
    *day = d;
    return 0;
}

int stringToTimestamp(const char* text, long* out)
{
    struct tm when;
    std::memset(&when, 0, sizeof when);
    const char* end = strptime(text, "%Y%m%d%H%M%S", &when);
    if (!end || *end != '\0')
        return -1;
    // Let mktime decide whether daylight saving time applies on that day.
    when.tm_isdst = -1;
    *out = static_cast<long>(mktime(&when));
    return 0;
}

int getCurrentTimestamp(long* out)
{
    const time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    *out = static_cast<long>(mktime(&local));
    return 0;
}

int certParse::secondsLeftOf(const unsigned char* der, std::size_t len, long* secondsLeft)
{
    if (!der || len == 0 || len > keymgr::kMaxCertificateSize || !secondsLeft)
        return -1;
    const unsigned char* p = der;
    X509* cert = d2i_X509(nullptr, &p, static_cast<long>(len));
    if (!cert)
        return -1;
    int year = 0, month = 0, day = 0;
    char dateText[16] = {};
    const int read = getUTCTime(X509_get0_notAfter(cert), dateText, &year, &month, &day);
    X509_free(cert);
    if (read != 0)
        return -1;
    // Midnight at the start of the expiry day, local time.
    char stamp[32] = {};
    std::snprintf(stamp, sizeof stamp, "%04d%02d%02d000000", year, month, day);
    long expiry = 0;
    long now = 0;
    if (stringToTimestamp(stamp, &expiry) != 0)
        return -1;
    getCurrentTimestamp(&now);
    *secondsLeft = expiry - now;
    return 0;
}

int certParse::certValid(const char* deviceName, long* secondsLeft)
{
    cDevMgr* mgr = cDevMgr::getInst();
    CGMSKFOperator* skf = mgr->pSKF;
    if (!skf || !deviceName || !*deviceName || !secondsLeft)
        return -1;
    SkfHandles h{skf};
    std::vector<char> device = writableName(deviceName);
    if (skf->SKF_ConnectDev(device.data(), &h.dev) != SAR_OK) {
        h.dev = nullptr;
        return -1;
    }
    std::vector<std::string> apps;
    // The lists are fetched into buffers of the usual sizes in one call; a longer one is still read.
    if (keymgr::fetchNameList([&](LPSTR list, ULONG* size) { return skf->SKF_EnumApplication(h.dev, list, size); },
                              &apps, kAppListSize) != SAR_OK ||
        apps.empty())
        return -1;
    std::vector<char> app = writableName(apps.front());
    if (skf->SKF_OpenApplication(h.dev, app.data(), &h.app) != SAR_OK) {
        h.app = nullptr;
        return -1;
    }
    return firstCertificateIn(skf, h.app, secondsLeft);
}

int certParse::firstCertificateIn(CGMSKFOperator* skf, HAPPLICATION app, long* secondsLeft)
{
    if (!skf || !app || !secondsLeft)
        return -1;
    // Only the container handle is the scan's own; the application stays with the caller.
    SkfHandles h{skf};
    std::vector<std::string> containers;
    if (keymgr::fetchNameList([&](LPSTR list, ULONG* size) { return skf->SKF_EnumContainer(app, list, size); },
                              &containers, kContainerListSize) != SAR_OK ||
        containers.empty())
        return -1;

    for (const std::string& name : containers) {
        std::vector<char> container = writableName(name);
        if (skf->SKF_OpenContainer(app, container.data(), &h.container) != SAR_OK) {
            h.container = nullptr;
            continue;
        }
        for (BOOL sign : {FALSE, TRUE}) {
            // Read whole, however large; a length beyond the buffer is the library's mistake and
            // nothing past the buffer is read.
            std::vector<BYTE> cert;
            if (keymgr::fetchCertificate(
                    [&](BYTE* buf, ULONG* len) { return skf->SKF_ExportCertificate(h.container, sign, buf, len); },
                    &cert) != SAR_OK ||
                cert.empty())
                continue;
            return secondsLeftOf(cert.data(), cert.size(), secondsLeft);
        }
        h.closeContainer();
    }
    return -1;
}

ExpiryNotice expiryNoticeFor(long secondsLeft)
{
    ExpiryNotice notice;
    if (secondsLeft < -(kDaySeconds - 1)) {
        notice.kind = ExpiryNotice::Critical;
        notice.days = -secondsLeft / kDaySeconds;
        return notice;
    }
    notice.days = secondsLeft / kDaySeconds + 1;
    if (notice.days > 30)
        notice.kind = ExpiryNotice::None;
    else if (notice.days >= 8)
        notice.kind = ExpiryNotice::Balloon;
    else
        notice.kind = ExpiryNotice::Warning;
    return notice;
}
