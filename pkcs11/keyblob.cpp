#include "keyblob.h"

#include "skf_defs.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>
#include <openssl/sha.h>
#include <openssl/x509.h>

#include <cstring>
#include <memory>

namespace p11 {

namespace {

bool allZero(const unsigned char* data, std::size_t size)
{
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] != 0)
            return false;
    }
    return true;
}

std::string stripLeadingZeros(const unsigned char* data, std::size_t size)
{
    std::size_t i = 0;
    while (i < size && data[i] == 0)
        ++i;
    return std::string(reinterpret_cast<const char*>(data + i), size - i);
}

bool onSm2Curve(const std::string& point)
{
    std::unique_ptr<EC_GROUP, decltype(&EC_GROUP_free)> group(EC_GROUP_new_by_curve_name(NID_sm2), EC_GROUP_free);
    if (!group)
        return false;
    std::unique_ptr<EC_POINT, decltype(&EC_POINT_free)> p(EC_POINT_new(group.get()), EC_POINT_free);
    return p &&
           EC_POINT_oct2point(group.get(), p.get(), reinterpret_cast<const unsigned char*>(point.data()), point.size(),
                              nullptr) == 1 &&
           EC_POINT_is_on_curve(group.get(), p.get(), nullptr) == 1;
}

std::string bnBytes(const EVP_PKEY* pkey, const char* name)
{
    BIGNUM* bn = nullptr;
    if (!EVP_PKEY_get_bn_param(pkey, name, &bn))
        return std::string();
    std::string out(static_cast<std::size_t>(BN_num_bytes(bn)), '\0');
    BN_bn2bin(bn, reinterpret_cast<unsigned char*>(&out[0]));
    BN_free(bn);
    return out;
}

bool keyFromCertificate(X509* cert, PublicKey* key)
{
    const EVP_PKEY* pkey = X509_get0_pubkey(cert);
    if (!pkey)
        return false;
    if (EVP_PKEY_is_a(pkey, "RSA")) {
        key->type = CKK_RSA;
        key->modulus = bnBytes(pkey, OSSL_PKEY_PARAM_RSA_N);
        key->exponent = bnBytes(pkey, OSSL_PKEY_PARAM_RSA_E);
        return !key->modulus.empty() && !key->exponent.empty();
    }
    char group[64] = {0};
    std::size_t groupLength = 0;
    if (!EVP_PKEY_get_utf8_string_param(pkey, OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group, &groupLength) ||
        OBJ_sn2nid(group) != NID_sm2)
        return false;
    unsigned char point[65];
    std::size_t pointLength = 0;
    if (!EVP_PKEY_get_octet_string_param(pkey, OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY, point, sizeof point, &pointLength) ||
        pointLength != sizeof point || point[0] != 0x04)
        return false;
    key->type = CKK_EC;
    key->point.assign(reinterpret_cast<const char*>(point), sizeof point);
    return onSm2Curve(key->point);
}

template <typename Encode, typename T> std::string der(Encode encode, T* value)
{
    const int length = encode(value, nullptr);
    if (length <= 0)
        return std::string();
    std::string out(static_cast<std::size_t>(length), '\0');
    unsigned char* p = reinterpret_cast<unsigned char*>(&out[0]);
    return encode(value, &p) == length ? out : std::string();
}

} // namespace

std::size_t PublicKey::modulusBits() const
{
    if (modulus.empty())
        return 0;
    std::size_t bits = (modulus.size() - 1) * 8;
    for (unsigned top = static_cast<unsigned char>(modulus[0]); top; top >>= 1)
        ++bits;
    return bits;
}

bool parseRsaBlob(const unsigned char* data, std::size_t size, PublicKey* key)
{
    RSAPUBLICKEYBLOB blob;
    if (!data || size < sizeof blob)
        return false;
    std::memcpy(&blob, data, sizeof blob);
    if (blob.BitLen < 1024 || blob.BitLen > MAX_RSA_MODULUS_LEN * 8 || blob.BitLen % 8 != 0)
        return false;
    const std::size_t n = blob.BitLen / 8;
    const std::size_t spare = sizeof blob.Modulus - n;
    const unsigned char* modulus = nullptr;
    if (blob.Modulus[spare] >= 0x80 && allZero(blob.Modulus, spare))
        modulus = blob.Modulus + spare;
    else if (blob.Modulus[0] >= 0x80 && allZero(blob.Modulus + n, spare))
        modulus = blob.Modulus;
    const std::string exponent = stripLeadingZeros(blob.PublicExponent, sizeof blob.PublicExponent);
    if (!modulus || exponent.empty())
        return false;
    key->type = CKK_RSA;
    key->modulus.assign(reinterpret_cast<const char*>(modulus), n);
    key->exponent = exponent;
    key->point.clear();
    return true;
}

bool parseEccBlob(const unsigned char* data, std::size_t size, PublicKey* key)
{
    ECCPUBLICKEYBLOB blob;
    if (!data || size < sizeof blob)
        return false;
    std::memcpy(&blob, data, sizeof blob);
    if (blob.BitLen != 256 || !allZero(blob.XCoordinate, 32) || !allZero(blob.YCoordinate, 32))
        return false;
    std::string point(1, '\x04');
    point.append(reinterpret_cast<const char*>(blob.XCoordinate + 32), 32);
    point.append(reinterpret_cast<const char*>(blob.YCoordinate + 32), 32);
    if (!onSm2Curve(point))
        return false;
    key->type = CKK_EC;
    key->point = point;
    key->modulus.clear();
    key->exponent.clear();
    return true;
}

bool parseCertificate(const unsigned char* data, std::size_t size, CertificateFields* fields)
{
    if (!data || size == 0 || size > 0x7fffffff)
        return false;
    const unsigned char* p = data;
    std::unique_ptr<X509, decltype(&X509_free)> cert(d2i_X509(nullptr, &p, static_cast<long>(size)), X509_free);
    if (!cert || p != data + size)
        return false;
    fields->subject = der(i2d_X509_NAME, X509_get_subject_name(cert.get()));
    fields->issuer = der(i2d_X509_NAME, X509_get_issuer_name(cert.get()));
    fields->serial = der(i2d_ASN1_INTEGER, X509_get0_serialNumber(cert.get()));
    fields->key = PublicKey();
    if (!keyFromCertificate(cert.get(), &fields->key))
        fields->key = PublicKey();
    return !fields->subject.empty() && !fields->issuer.empty() && !fields->serial.empty();
}

std::string keyId(const PublicKey& key)
{
    const std::string& value = key.type == CKK_RSA ? key.modulus : key.point;
    unsigned char digest[SHA_DIGEST_LENGTH];
    SHA1(reinterpret_cast<const unsigned char*>(value.data()), value.size(), digest);
    return std::string(reinterpret_cast<const char*>(digest), sizeof digest);
}

const std::string& sm2CurveOid()
{
    static const std::string kOid("\x06\x08\x2a\x81\x1c\xcf\x55\x01\x82\x2d", 10);
    return kOid;
}

} // namespace p11
