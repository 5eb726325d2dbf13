#include "certinfo.h"

#include "keyprobe.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <ctime>
#include <memory>

namespace keyprobe {

namespace {

struct X509Free
{
    void operator()(X509* x) const { X509_free(x); }
};
struct BioFree
{
    void operator()(BIO* b) const { BIO_free(b); }
};
struct BnFree
{
    void operator()(BIGNUM* b) const { BN_free(b); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;

QByteArray bioContents(BIO* bio)
{
    char* data = nullptr;
    long len = BIO_get_mem_data(bio, &data);
    return len > 0 ? QByteArray(data, int(len)) : QByteArray();
}

QString nameText(const X509_NAME* name)
{
    BioPtr bio(BIO_new(BIO_s_mem()));
    // RFC 2253 escaping, but UTF-8 characters left as they are rather than escaped byte by byte.
    if (!bio || X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB) < 0)
        return QString();
    return QString::fromUtf8(bioContents(bio.get()));
}

QString commonNameOf(const X509_NAME* name)
{
    int index = X509_NAME_get_index_by_NID(name, NID_commonName, -1);
    if (index < 0)
        return QString();
    unsigned char* utf8 = nullptr;
    int len = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, index)));
    if (len < 0)
        return QString();
    QString text = QString::fromUtf8(reinterpret_cast<const char*>(utf8), len);
    OPENSSL_free(utf8);
    return text;
}

QString isoTime(const ASN1_TIME* time)
{
    struct tm tm = {};
    if (time == nullptr || ASN1_TIME_to_tm(time, &tm) != 1)
        return QString();
    char text[32];
    size_t len = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return QString::fromLatin1(text, int(len));
}

QString serialHex(const ASN1_INTEGER* serial)
{
    std::unique_ptr<BIGNUM, BnFree> bn(ASN1_INTEGER_to_BN(serial, nullptr));
    char* hex = bn ? BN_bn2hex(bn.get()) : nullptr;
    if (hex == nullptr)
        return QString();
    QString text = QString::fromLatin1(hex).toLower();
    OPENSSL_free(hex);
    return text;
}

QString algorithmOf(X509* cert)
{
    EVP_PKEY* key = X509_get0_pubkey(cert);
    if (key == nullptr)
        return QString();
    // OpenSSL reads a key on the SM2 curve as an SM2 key, any other curve as EC.
    for (const char* name : {"SM2", "RSA", "EC"}) {
        if (EVP_PKEY_is_a(key, name))
            return QString::fromLatin1(name);
    }
    const char* other = EVP_PKEY_get0_type_name(key);
    return other ? QString::fromLatin1(other) : QString();
}

// An SM2 item's tag says which key pair it belongs to; an RSA item's does not, so its key usage
// decides, and a certificate for both purposes (or neither) has no single usage.
QString usageOf(int tag, X509* cert)
{
    if (tag == KEYPROBE_TAG_SM2_SIGN)
        return QStringLiteral("sign");
    if (tag == KEYPROBE_TAG_SM2_ENC)
        return QStringLiteral("enc");
    if (cert == nullptr || (X509_get_extension_flags(cert) & EXFLAG_KUSAGE) == 0)
        return QString();
    const uint32_t usage = X509_get_key_usage(cert);
    const bool sign = usage & (KU_DIGITAL_SIGNATURE | KU_NON_REPUDIATION);
    const bool enc = usage & (KU_KEY_ENCIPHERMENT | KU_DATA_ENCIPHERMENT | KU_KEY_AGREEMENT);
    if (sign == enc)
        return QString();
    return sign ? QStringLiteral("sign") : QStringLiteral("enc");
}

} // namespace

bool parseCertBlob(const QByteArray& blob, QVector<CertItem>* items)
{
    const auto* b = reinterpret_cast<const unsigned char*>(blob.constData());
    items->clear();
    if (blob.size() < 4 || b[0] != KEYPROBE_TAG_COUNT || b[1] != 0 || b[2] != 1)
        return false;
    int pos = 4;
    while (pos < blob.size()) {
        if (blob.size() - pos < 3)
            return false;
        const int len = (b[pos + 1] << 8) | b[pos + 2];
        if (blob.size() - pos - 3 < len)
            return false;
        items->append({b[pos], blob.mid(pos + 3, len)});
        pos += 3 + len;
    }
    return items->size() == b[3];
}

CertFields describeCertificate(const CertItem& item)
{
    CertFields fields;
    const auto* p = reinterpret_cast<const unsigned char*>(item.der.constData());
    std::unique_ptr<X509, X509Free> cert(d2i_X509(nullptr, &p, item.der.size()));
    fields.usage = usageOf(item.tag, cert.get());
    if (!cert)
        return fields;
    fields.decoded = true;
    fields.algorithm = algorithmOf(cert.get());
    fields.subject = nameText(X509_get_subject_name(cert.get()));
    fields.issuer = nameText(X509_get_issuer_name(cert.get()));
    fields.commonName = commonNameOf(X509_get_subject_name(cert.get()));
    fields.serialNumber = serialHex(X509_get0_serialNumber(cert.get()));
    fields.notBefore = isoTime(X509_get0_notBefore(cert.get()));
    fields.notAfter = isoTime(X509_get0_notAfter(cert.get()));
    return fields;
}

QByteArray toPem(const QByteArray& der)
{
    BioPtr bio(BIO_new(BIO_s_mem()));
    const auto* data = reinterpret_cast<const unsigned char*>(der.constData());
    if (!bio || PEM_write_bio(bio.get(), PEM_STRING_X509, "", data, der.size()) <= 0)
        return QByteArray();
    return bioContents(bio.get());
}

} // namespace keyprobe
