// Fetching name lists and certificates with the size-then-fetch protocol; the readers of what was
// fetched are in namesplit.cpp.
#include "namelist.h"

#include <openssl/x509.h>

#include <algorithm>

namespace keymgr {

namespace {

// How often a list that keeps growing between the size call and the fetch is asked again.
constexpr int kFetchAttempts = 4;

// The size-then-fetch protocol shared by lists and certificates. On success *buf holds the answer
// with one zero byte beyond the size asked for, and *used the size the library reported. A list
// that grew between the two calls is fetched again with the larger size (a few times at most).
// With firstTry, the answer is first fetched into a buffer of that size without asking for the
// size; retryRefusal then asks for the size after any failure of that first fetch, since a library
// may refuse a buffer it finds too small in its own way.
template <typename Unit, typename Call>
ULONG fetchSized(const Call& call, ULONG firstTry, ULONG maxSize, bool retryRefusal, std::vector<Unit>* buf,
                 ULONG* used)
{
    buf->clear();
    *used = 0;
    ULONG size = std::min(firstTry, maxSize);
    ULONG result = SAR_OK;
    if (size == 0) {
        result = call(nullptr, &size);
        if (result != SAR_OK)
            return result;
    }
    for (int attempt = 0; attempt < kFetchAttempts; ++attempt) {
        if (size > maxSize)
            return SAR_MEMORYERR;
        if (size == 0) {
            buf->clear();
            *used = 0;
            return SAR_OK;
        }
        // One byte beyond the size asked for: a list whose last zero the library left out still
        // ends inside the buffer, short of its end, and is not taken for a cut one.
        buf->assign(std::size_t(size) + 1, Unit(0));
        *used = static_cast<ULONG>(buf->size());
        result = call(buf->data(), used);
        const bool grew = result == SAR_BUFFER_TOO_SMALL || (result == SAR_OK && *used > buf->size());
        if (grew && attempt + 1 < kFetchAttempts) {
            // Ask for what the library says it needs now, and at least twice as much as before.
            size = std::max<ULONG>(*used, size > maxSize / 2 ? maxSize + 1 : size * 2);
            continue;
        }
        if (result != SAR_OK && retryRefusal && firstTry > 0 && attempt == 0) {
            size = 0;
            result = call(nullptr, &size);
            if (result != SAR_OK)
                return result;
            continue;
        }
        return result;
    }
    return result;
}

ULONG readCertificate(const ByteCall& call, ULONG firstTry, std::vector<BYTE>* der)
{
    if (!der)
        return SAR_INVALIDPARAMERR;
    std::vector<BYTE> buf;
    ULONG used = 0;
    const ULONG result = fetchSized(call, firstTry, kMaxCertificateSize, false, &buf, &used);
    der->clear();
    if (result != SAR_OK)
        return result;
    const std::size_t length = std::min<std::size_t>(used, buf.size());
    const unsigned char* cursor = buf.data();
    X509* cert = length > 0 ? d2i_X509(nullptr, &cursor, static_cast<long>(length)) : nullptr;
    const std::size_t kept = cert ? std::size_t(cursor - buf.data()) : length;
    X509_free(cert);
    der->assign(buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(kept));
    return SAR_OK;
}

} // namespace

ULONG fetchNameList(const NameListCall& call, std::vector<std::string>* names, ULONG firstTry)
{
    if (!names)
        return SAR_INVALIDPARAMERR;
    names->clear();
    std::vector<char> buf;
    ULONG used = 0;
    const ULONG result = fetchSized(call, firstTry, kMaxNameListSize, true, &buf, &used);
    if (result == SAR_OK)
        *names = splitNameList(buf.data(), buf.size(), used);
    return result;
}

ULONG fetchCertificate(const ByteCall& call, std::vector<BYTE>* der)
{
    return readCertificate(call, kCertificateFirstTry, der);
}

ULONG fetchCertificateSized(const ByteCall& call, std::vector<BYTE>* der)
{
    return readCertificate(call, 0, der);
}

} // namespace keymgr
