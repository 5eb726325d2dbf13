// Fuzzes the certificate readers with any bytes as a DER certificate: the seconds left before the
// expiry day, the dates of the validity times, and the common name the certificate page shows.
// Dates read must be real calendar values; a name stays within its 128-byte buffer.
#include "cDevMgr.h"
#include "certParse.h"

#include <openssl/x509.h>

#include <cstdint>
#include <cstring>

namespace {

void checkTime(const ASN1_TIME* time)
{
    char text[16];
    std::memset(text, 0x5a, sizeof text);
    int year = -1, month = -1, day = -1;
    if (getUTCTime(time, text, &year, &month, &day) != 0)
        return;
    if (year < 0 || year > 9999 || month < 1 || month > 12 || day < 1 || day > 31)
        __builtin_trap();
    if (std::memchr(text, '\0', sizeof text) == nullptr)
        __builtin_trap();
}

void checkName(X509_NAME* subject)
{
    char name[128 + 16];
    std::memset(name, 0x5a, sizeof name);
    cDevMgr::getInst()->getX509Name(subject, name);
    for (std::size_t i = 128; i < sizeof name; ++i) {
        if (name[i] != 0x5a)
            __builtin_trap();
    }
    if (name[0] != 0x5a && std::memchr(name, '\0', 128) == nullptr)
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    long secondsLeft = 0;
    const int read = certParse::secondsLeftOf(data, size, &secondsLeft);

    const unsigned char* p = data;
    X509* cert = d2i_X509(nullptr, &p, long(size));
    if (!cert) {
        if (read == 0)
            __builtin_trap(); // a time read from something that is not a certificate
        return 0;
    }
    checkTime(X509_get0_notBefore(cert));
    checkTime(X509_get0_notAfter(cert));
    checkName(X509_get_subject_name(cert));
    if (read == 0) {
        const ExpiryNotice notice = expiryNoticeFor(secondsLeft);
        if (notice.days < 0 || (notice.kind != ExpiryNotice::Critical && notice.days == 0))
            __builtin_trap();
    }
    X509_free(cert);
    return 0;
}
