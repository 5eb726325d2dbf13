#include "crypto.h"

#include "skf_defs.h"
#include "store.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace softskf {

namespace {

struct PkeyFree
{
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct X509Free
{
    void operator()(X509* p) const { X509_free(p); }
};
struct BnFree
{
    void operator()(BIGNUM* p) const { BN_free(p); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;
using X509Ptr = std::unique_ptr<X509, X509Free>;
using BnPtr = std::unique_ptr<BIGNUM, BnFree>;

constexpr int kPinIterations = 2048;

PkeyPtr loadKey(const std::string& der)
{
    const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
    return PkeyPtr(d2i_AutoPrivateKey(nullptr, &p, static_cast<long>(der.size())));
}

std::string keyToDer(EVP_PKEY* key)
{
    unsigned char* buf = nullptr;
    int len = i2d_PrivateKey(key, &buf);
    if (len <= 0)
        return std::string();
    std::string der(reinterpret_cast<char*>(buf), static_cast<size_t>(len));
    OPENSSL_free(buf);
    return der;
}

std::string certToDer(X509* cert)
{
    unsigned char* buf = nullptr;
    int len = i2d_X509(cert, &buf);
    if (len <= 0)
        return std::string();
    std::string der(reinterpret_cast<char*>(buf), static_cast<size_t>(len));
    OPENSSL_free(buf);
    return der;
}

X509Ptr certFromDer(const std::string& der)
{
    const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
    return X509Ptr(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
}

// Signs a certificate: RSA keys with SHA-256; SM2 keys with SM3 over the Z value of the default
// signer ID, which standard verifiers assume (X509_sign would hash with an empty ID).
bool signCertificate(X509* cert, EVP_PKEY* key)
{
    bool rsa = EVP_PKEY_is_a(key, "RSA");
    EVP_MD_CTX* md = EVP_MD_CTX_new();
    EVP_PKEY_CTX* pctx = nullptr;
    bool ok = md && EVP_DigestSignInit_ex(md, &pctx, rsa ? "SHA256" : "SM3", nullptr, nullptr, key, nullptr) == 1;
    if (ok && !rsa)
        ok = EVP_PKEY_CTX_set1_id(pctx, kSm2DefaultId, std::strlen(kSm2DefaultId)) == 1;
    ok = ok && X509_sign_ctx(cert, md) > 0;
    EVP_MD_CTX_free(md);
    return ok;
}

bool signedWithDefaultId(X509* cert, EVP_PKEY* key)
{
    ASN1_OCTET_STRING* id = ASN1_OCTET_STRING_new();
    if (!id || ASN1_OCTET_STRING_set(id, reinterpret_cast<const unsigned char*>(kSm2DefaultId),
                                     static_cast<int>(std::strlen(kSm2DefaultId))) != 1) {
        ASN1_OCTET_STRING_free(id);
        return false;
    }
    X509_set0_distinguishing_id(cert, id);
    return X509_verify(cert, key) == 1;
}

bool addExtension(X509* cert, X509* issuer, int nid, const char* value)
{
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    if (!ext)
        return false;
    bool ok = X509_add_ext(cert, ext, -1) == 1;
    X509_EXTENSION_free(ext);
    return ok;
}

bool setName(X509_NAME* name, const std::string& cn)
{
    X509_NAME_add_entry_by_txt(name, "C", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>("CN"), -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>("softskf"), -1, -1, 0);
    return X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(cn.data()),
                                      static_cast<int>(cn.size()), -1, 0) == 1;
}

bool setSerial(X509* cert)
{
    std::string raw = randomBytes(8);
    raw[0] = static_cast<char>((raw[0] & 0x7f) | 0x10);
    BnPtr bn(BN_bin2bn(reinterpret_cast<const unsigned char*>(raw.data()), 8, nullptr));
    return bn && BN_to_ASN1_INTEGER(bn.get(), X509_get_serialNumber(cert)) != nullptr;
}

// Builds and signs a certificate; issuer null means self-signed.
X509Ptr buildCertificate(EVP_PKEY* subjectKey, const std::string& cn, time_t notBefore, time_t notAfter, X509* issuer,
                         EVP_PKEY* issuerKey, bool ca, bool signature)
{
    X509Ptr cert(X509_new());
    if (!cert || X509_set_version(cert.get(), 2) != 1 || !setSerial(cert.get()))
        return nullptr;
    if (!setName(X509_get_subject_name(cert.get()), cn))
        return nullptr;
    X509_set_issuer_name(cert.get(), issuer ? X509_get_subject_name(issuer) : X509_get_subject_name(cert.get()));
    if (!ASN1_TIME_set(X509_getm_notBefore(cert.get()), notBefore) ||
        !ASN1_TIME_set(X509_getm_notAfter(cert.get()), notAfter))
        return nullptr;
    if (X509_set_pubkey(cert.get(), subjectKey) != 1)
        return nullptr;
    X509* authority = issuer ? issuer : cert.get();
    // End-entity certificates carry no BasicConstraints: CA:FALSE is its default and DER would
    // leave an empty sequence, which some verifiers refuse.
    bool ok = !ca || addExtension(cert.get(), authority, NID_basic_constraints, "critical,CA:TRUE");
    const char* usage = ca          ? "critical,keyCertSign,cRLSign"
                        : signature ? "critical,digitalSignature,nonRepudiation"
                                    : "critical,keyEncipherment,dataEncipherment,keyAgreement";
    ok = ok && addExtension(cert.get(), authority, NID_key_usage, usage);
    ok = ok && addExtension(cert.get(), authority, NID_subject_key_identifier, "hash");
    if (issuer)
        ok = ok && addExtension(cert.get(), authority, NID_authority_key_identifier, "keyid:always");
    if (!ok)
        return nullptr;
    if (!signCertificate(cert.get(), issuer ? issuerKey : subjectKey))
        return nullptr;
    return cert;
}

// Loads the CA for the algorithm, creating it on first use.
bool loadCa(const std::string& caDir, bool rsa, X509Ptr* cert, PkeyPtr* key, std::string* error)
{
    std::string base = caDir + (rsa ? "/rsa" : "/sm2");
    std::string keyDer, certDer;
    if (readFile(base + ".key", &keyDer) && readFile(base + ".der", &certDer)) {
        *key = loadKey(keyDer);
        *cert = certFromDer(certDer);
        if (*key && *cert && !rsa && !signedWithDefaultId(cert->get(), key->get())) {
            // Made by an older softskf without the signer ID: signed again with the same key and
            // name, so that the certificates it issued still chain to it.
            if (!signCertificate(cert->get(), key->get()) ||
                !writeFileAtomic(base + ".der", certToDer(cert->get()), error))
                return false;
        }
        if (*key && *cert)
            return true;
    }
    keyDer = generateKeyPair(rsa ? "rsa2048" : "sm2");
    *key = loadKey(keyDer);
    if (!*key) {
        *error = "cannot generate the test CA key";
        return false;
    }
    time_t now = time(nullptr);
    std::string cn = rsa ? "softskf Test CA (RSA)" : "softskf Test CA (SM2)";
    *cert = buildCertificate(key->get(), cn, now - 86400, now + 20LL * 365 * 86400, nullptr, nullptr, true, true);
    if (!*cert) {
        *error = "cannot create the test CA certificate";
        return false;
    }
    return makeDirs(caDir) && writeFileAtomic(base + ".key", keyDer, error) &&
           writeFileAtomic(base + ".der", certToDer(cert->get()), error);
}

void putBigEndian(BYTE* field, size_t width, const BIGNUM* bn)
{
    int len = BN_num_bytes(bn);
    if (static_cast<size_t>(len) <= width) {
        BN_bn2binpad(bn, field, static_cast<int>(width));
        return;
    }
    // Wider than the field: keep the low-order bytes.
    std::string all(static_cast<size_t>(len), '\0');
    BN_bn2bin(bn, reinterpret_cast<unsigned char*>(&all[0]));
    std::memcpy(field, all.data() + (all.size() - width), width);
}

} // namespace

std::string randomBytes(size_t count)
{
    std::string out(count, '\0');
    if (count && RAND_bytes(reinterpret_cast<unsigned char*>(&out[0]), static_cast<int>(count)) != 1)
        return std::string();
    return out;
}

static std::string pinHash(const std::string& pin, const std::string& salt)
{
    unsigned char out[32];
    PKCS5_PBKDF2_HMAC(pin.data(), static_cast<int>(pin.size()), reinterpret_cast<const unsigned char*>(salt.data()),
                      static_cast<int>(salt.size()), kPinIterations, EVP_sha256(), sizeof out, out);
    return std::string(reinterpret_cast<char*>(out), sizeof out);
}

Pin makePin(const std::string& pin, uint32_t retries, bool isDefault)
{
    Pin p;
    p.maxRetries = retries;
    p.remaining = retries;
    setPinValue(&p, pin);
    p.isDefault = isDefault;
    return p;
}

void setPinValue(Pin* pin, const std::string& value)
{
    pin->salt = randomBytes(16);
    pin->hash = pinHash(value, pin->salt);
    pin->isDefault = false;
}

bool pinMatches(const Pin& pin, const std::string& candidate)
{
    std::string h = pinHash(candidate, pin.salt);
    return h.size() == pin.hash.size() && CRYPTO_memcmp(h.data(), pin.hash.data(), h.size()) == 0;
}

std::string generateKeyPair(const std::string& kind)
{
    EVP_PKEY* key = nullptr;
    if (kind == "rsa1024")
        key = EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(1024));
    else if (kind == "rsa2048")
        key = EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(2048));
    else if (kind == "sm2")
        key = EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2");
    PkeyPtr owned(key);
    return key ? keyToDer(key) : std::string();
}

bool isRsaKey(const std::string& keyDer)
{
    PkeyPtr key = loadKey(keyDer);
    return key && EVP_PKEY_is_a(key.get(), "RSA");
}

int keyBits(const std::string& keyDer)
{
    PkeyPtr key = loadKey(keyDer);
    return key ? EVP_PKEY_get_bits(key.get()) : 0;
}

std::string publicKeyBlob(const std::string& keyDer, uint32_t reportedBits)
{
    PkeyPtr key = loadKey(keyDer);
    if (!key)
        return std::string();
    if (EVP_PKEY_is_a(key.get(), "RSA")) {
        RSAPUBLICKEYBLOB blob;
        std::memset(&blob, 0, sizeof blob);
        BIGNUM* n = nullptr;
        BIGNUM* e = nullptr;
        if (!EVP_PKEY_get_bn_param(key.get(), OSSL_PKEY_PARAM_RSA_N, &n) ||
            !EVP_PKEY_get_bn_param(key.get(), OSSL_PKEY_PARAM_RSA_E, &e)) {
            BN_free(n);
            return std::string();
        }
        BnPtr nOwned(n), eOwned(e);
        blob.AlgID = SGD_RSA;
        blob.BitLen = reportedBits ? reportedBits : static_cast<ULONG>(BN_num_bits(n));
        putBigEndian(blob.Modulus, sizeof blob.Modulus, n);
        putBigEndian(blob.PublicExponent, sizeof blob.PublicExponent, e);
        return std::string(reinterpret_cast<char*>(&blob), sizeof blob);
    }
    unsigned char point[133];
    size_t len = 0;
    if (!EVP_PKEY_get_octet_string_param(key.get(), OSSL_PKEY_PARAM_PUB_KEY, point, sizeof point, &len) || len != 65 ||
        point[0] != 0x04)
        return std::string();
    ECCPUBLICKEYBLOB blob;
    std::memset(&blob, 0, sizeof blob);
    blob.BitLen = 256;
    std::memcpy(blob.XCoordinate + 32, point + 1, 32);
    std::memcpy(blob.YCoordinate + 32, point + 33, 32);
    return std::string(reinterpret_cast<char*>(&blob), sizeof blob);
}

bool issueCertificate(const std::string& caDir, const CertRequest& request, std::string* der, std::string* error)
{
    PkeyPtr key = loadKey(request.keyDer);
    if (!key) {
        *error = "the container holds no usable key pair";
        return false;
    }
    time_t now = time(nullptr);
    time_t notBefore = std::min(now - 86400, request.notAfter - 86400);
    X509Ptr caCert;
    PkeyPtr caKey;
    if (!request.selfSigned && !loadCa(caDir, EVP_PKEY_is_a(key.get(), "RSA"), &caCert, &caKey, error))
        return false;
    X509Ptr cert = buildCertificate(key.get(), request.commonName, notBefore, request.notAfter, caCert.get(),
                                    caKey.get(), false, request.signature);
    if (!cert) {
        *error = "cannot create the certificate";
        return false;
    }
    *der = certToDer(cert.get());
    return !der->empty();
}

bool parseAsn1Time(const std::string& text, time_t* out)
{
    ASN1_TIME* t = ASN1_TIME_new();
    struct tm tm;
    std::memset(&tm, 0, sizeof tm);
    bool ok = t && ASN1_TIME_set_string_X509(t, text.c_str()) == 1 && ASN1_TIME_to_tm(t, &tm) == 1;
    ASN1_TIME_free(t);
    if (ok)
        *out = timegm(&tm);
    return ok;
}

bool enlargeCertificate(const std::string& der, const std::string& keyDer, size_t minSize, std::string* out)
{
    PkeyPtr key = loadKey(keyDer);
    if (!key)
        key = loadKey(generateKeyPair("sm2"));
    if (!key)
        return false;
    ASN1_OBJECT* oid = OBJ_txt2obj("1.3.6.1.4.1.32473.1.1", 1);
    size_t extra = minSize > der.size() ? minSize - der.size() + 64 : 64;
    bool ok = oid != nullptr;
    // Re-signing with the container's key may change the signature's length (an RSA-1024 key
    // after a 2048-bit CA shortens it), so grow the padding by any shortfall and sign again.
    for (int attempt = 0; ok && attempt < 3; ++attempt) {
        X509Ptr cert = certFromDer(der);
        ASN1_OCTET_STRING* padding = ASN1_OCTET_STRING_new();
        std::string fill(extra, 'P');
        ok = cert && padding &&
             ASN1_OCTET_STRING_set(padding, reinterpret_cast<const unsigned char*>(fill.data()),
                                   static_cast<int>(fill.size())) == 1;
        X509_EXTENSION* ext = ok ? X509_EXTENSION_create_by_OBJ(nullptr, oid, 0, padding) : nullptr;
        ok = ext && X509_add_ext(cert.get(), ext, -1) == 1 && signCertificate(cert.get(), key.get());
        X509_EXTENSION_free(ext);
        ASN1_OCTET_STRING_free(padding);
        if (ok) {
            *out = certToDer(cert.get());
            if (out->size() >= minSize)
                break;
            extra += minSize - out->size();
        }
    }
    ASN1_OBJECT_free(oid);
    return ok && out->size() >= minSize;
}

bool sm4Crypt(uint32_t alg, const std::string& key, const std::string& iv, bool encrypt, bool padding,
              const std::string& in, std::string* out)
{
    if (key.size() != 16 || (alg != SGD_SM4_ECB && alg != SGD_SM4_CBC))
        return false;
    if (alg == SGD_SM4_CBC && iv.size() != 16)
        return false;
    EVP_CIPHER* cipher = EVP_CIPHER_fetch(nullptr, alg == SGD_SM4_ECB ? "SM4-ECB" : "SM4-CBC", nullptr);
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    std::string result(in.size() + 32, '\0');
    int len1 = 0, len2 = 0;
    const unsigned char* ivp = alg == SGD_SM4_CBC ? reinterpret_cast<const unsigned char*>(iv.data()) : nullptr;
    bool ok = cipher && ctx &&
              EVP_CipherInit_ex2(ctx, cipher, reinterpret_cast<const unsigned char*>(key.data()), ivp, encrypt ? 1 : 0,
                                 nullptr) == 1 &&
              EVP_CIPHER_CTX_set_padding(ctx, padding ? 1 : 0) == 1 &&
              EVP_CipherUpdate(ctx, reinterpret_cast<unsigned char*>(&result[0]), &len1,
                               reinterpret_cast<const unsigned char*>(in.data()), static_cast<int>(in.size())) == 1 &&
              EVP_CipherFinal_ex(ctx, reinterpret_cast<unsigned char*>(&result[0]) + len1, &len2) == 1;
    EVP_CIPHER_CTX_free(ctx);
    EVP_CIPHER_free(cipher);
    if (!ok)
        return false;
    result.resize(static_cast<size_t>(len1 + len2));
    *out = result;
    return true;
}

} // namespace softskf
