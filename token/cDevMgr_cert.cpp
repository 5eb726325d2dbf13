// The common name of a container's certificate, read with OpenSSL.
#include "cDevMgr.h"

#include "namelist.h"

#include <openssl/asn1.h>
#include <openssl/crypto.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <cstring>
#include <vector>

namespace {

// The name buffers of the interface hold 128 bytes: 127 bytes of text and a terminator.
constexpr std::size_t kCertNameCapacity = 128;

// Length of text cut to at most limit bytes without splitting a UTF-8 sequence.
std::size_t utf8Cut(const unsigned char* text, std::size_t length, std::size_t limit)
{
    if (length <= limit)
        return length;
    std::size_t cut = limit;
    while (cut > 0 && (text[cut] & 0xC0) == 0x80)
        --cut;
    return cut;
}

} // namespace

int cDevMgr::getCertName(bool sign, char* dst)
{
    if (!dst)
        return -1;
    // The size first, then the bytes, however large the certificate.
    std::vector<BYTE> der;
    const ULONG read = keymgr::fetchCertificateSized(
        [this, sign](BYTE* buf, ULONG* len) { return ExportCertificate(sign ? TRUE : FALSE, buf, len); }, &der);
    if (read != SAR_OK || der.empty())
        return -1;
    const unsigned char* cursor = der.data();
    X509* cert = d2i_X509(nullptr, &cursor, static_cast<long>(der.size()));
    if (!cert)
        return -1;
    getX509Name(X509_get_subject_name(cert), dst);
    X509_free(cert);
    return 0;
}

int cDevMgr::getX509Name(X509_NAME* subject, char* dst)
{
    if (!subject)
        return 0;
    const int count = X509_NAME_entry_count(subject);
    for (int i = 0; i < count; ++i) {
        X509_NAME_ENTRY* entry = X509_NAME_get_entry(subject, i);
        if (!entry)
            return 0;
        ASN1_OBJECT* object = X509_NAME_ENTRY_get_object(entry);
        ASN1_STRING* value = X509_NAME_ENTRY_get_data(entry);
        if (!object || !value)
            return 0;
        if (OBJ_obj2nid(object) != NID_commonName || !dst)
            continue;
        // BMPString and UniversalString names become UTF-8; UTF8String and the ASCII kinds keep their bytes.
        unsigned char* utf8 = nullptr;
        const int converted = ASN1_STRING_to_UTF8(&utf8, value);
        const unsigned char* text = converted >= 0 ? utf8 : ASN1_STRING_get0_data(value);
        const int textLength = converted >= 0 ? converted : ASN1_STRING_length(value);
        std::size_t length = 0;
        if (text && textLength > 0) {
            const void* zero = std::memchr(text, '\0', static_cast<std::size_t>(textLength));
            length = zero ? static_cast<const unsigned char*>(zero) - text : static_cast<std::size_t>(textLength);
            length = utf8Cut(text, length, kCertNameCapacity - 1);
            std::memcpy(dst, text, length);
        }
        dst[length] = '\0';
        OPENSSL_free(utf8);
    }
    return 1;
}
