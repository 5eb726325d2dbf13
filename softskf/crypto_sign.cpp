// Signatures with the container keys and their verification against public key blobs.
#include "crypto.h"

#include "skf_defs.h"

#include <cstring>
#include <functional>
#include <memory>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>

namespace softskf {

namespace {

struct Free
{
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
    void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
    void operator()(BIGNUM* p) const { BN_free(p); }
    void operator()(ECDSA_SIG* p) const { ECDSA_SIG_free(p); }
    void operator()(OSSL_PARAM_BLD* p) const { OSSL_PARAM_BLD_free(p); }
    void operator()(OSSL_PARAM* p) const { OSSL_PARAM_free(p); }
};
template <typename T> using Owned = std::unique_ptr<T, Free>;

const unsigned char* bytes(const std::string& s)
{
    return reinterpret_cast<const unsigned char*>(s.data());
}

Owned<EVP_PKEY> privateKey(const std::string& der)
{
    const unsigned char* p = bytes(der);
    return Owned<EVP_PKEY>(d2i_AutoPrivateKey(nullptr, &p, static_cast<long>(der.size())));
}

Owned<EVP_PKEY> publicKeyFrom(const char* type, const std::function<bool(OSSL_PARAM_BLD*)>& fill)
{
    Owned<OSSL_PARAM_BLD> bld(OSSL_PARAM_BLD_new());
    if (!bld || !fill(bld.get()))
        return nullptr;
    Owned<OSSL_PARAM> params(OSSL_PARAM_BLD_to_param(bld.get()));
    Owned<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_name(nullptr, type, nullptr));
    EVP_PKEY* key = nullptr;
    if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
        EVP_PKEY_fromdata(ctx.get(), &key, EVP_PKEY_PUBLIC_KEY, params.get()) != 1)
        return nullptr;
    return Owned<EVP_PKEY>(key);
}

// The blob fields are 64 bytes wide; a 256-bit value sits in the low 32 with zeros before it.
bool lowHalf(const BYTE* field, std::string* out)
{
    for (int i = 0; i < 32; ++i) {
        if (field[i] != 0)
            return false;
    }
    out->assign(reinterpret_cast<const char*>(field) + 32, 32);
    return true;
}

} // namespace

std::string eccSignDigest(const std::string& keyDer, const std::string& digest)
{
    Owned<EVP_PKEY> key = privateKey(keyDer);
    if (!key || !EVP_PKEY_is_a(key.get(), "SM2") || digest.size() != 32)
        return std::string();
    Owned<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new(key.get(), nullptr));
    unsigned char der[160];
    size_t derLen = sizeof der;
    // Without a digest set, the SM2 signer takes its input as the final hash value e.
    if (!ctx || EVP_PKEY_sign_init(ctx.get()) != 1 ||
        EVP_PKEY_sign(ctx.get(), der, &derLen, bytes(digest), digest.size()) != 1)
        return std::string();
    const unsigned char* p = der;
    Owned<ECDSA_SIG> sig(d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(derLen)));
    if (!sig)
        return std::string();
    ECCSIGNATUREBLOB blob;
    std::memset(&blob, 0, sizeof blob);
    if (BN_bn2binpad(ECDSA_SIG_get0_r(sig.get()), blob.r + 32, 32) != 32 ||
        BN_bn2binpad(ECDSA_SIG_get0_s(sig.get()), blob.s + 32, 32) != 32)
        return std::string();
    return std::string(reinterpret_cast<const char*>(&blob), sizeof blob);
}

int eccVerifyDigest(const std::string& publicBlob, const std::string& digest, const std::string& signatureBlob)
{
    if (publicBlob.size() != sizeof(ECCPUBLICKEYBLOB) || signatureBlob.size() != sizeof(ECCSIGNATUREBLOB))
        return -1;
    ECCPUBLICKEYBLOB pub;
    std::memcpy(&pub, publicBlob.data(), sizeof pub);
    std::string x, y;
    if (pub.BitLen != 256 || !lowHalf(pub.XCoordinate, &x) || !lowHalf(pub.YCoordinate, &y))
        return -1;
    std::string point = '\x04' + x + y;
    // Decoding the point checks that it lies on the curve.
    Owned<EVP_PKEY> key = publicKeyFrom("SM2", [&](OSSL_PARAM_BLD* b) {
        return OSSL_PARAM_BLD_push_utf8_string(b, OSSL_PKEY_PARAM_GROUP_NAME, "SM2", 0) == 1 &&
               OSSL_PARAM_BLD_push_octet_string(b, OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size()) == 1;
    });
    if (!key)
        return -1;
    if (digest.size() != 32)
        return 0;
    ECCSIGNATUREBLOB sigBlob;
    std::memcpy(&sigBlob, signatureBlob.data(), sizeof sigBlob);
    Owned<ECDSA_SIG> sig(ECDSA_SIG_new());
    BIGNUM* r = BN_bin2bn(sigBlob.r, sizeof sigBlob.r, nullptr);
    BIGNUM* s = BN_bin2bn(sigBlob.s, sizeof sigBlob.s, nullptr);
    if (!sig || !r || !s || ECDSA_SIG_set0(sig.get(), r, s) != 1) {
        BN_free(r);
        BN_free(s);
        return -1;
    }
    unsigned char* der = nullptr;
    int derLen = i2d_ECDSA_SIG(sig.get(), &der);
    Owned<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new(key.get(), nullptr));
    int ok = derLen > 0 && ctx && EVP_PKEY_verify_init(ctx.get()) == 1 &&
             EVP_PKEY_verify(ctx.get(), der, static_cast<size_t>(derLen), bytes(digest), digest.size()) == 1;
    OPENSSL_free(der);
    return ok ? 1 : 0;
}

std::string rsaSignData(const std::string& keyDer, const std::string& data)
{
    Owned<EVP_PKEY> key = privateKey(keyDer);
    if (!key || !EVP_PKEY_is_a(key.get(), "RSA"))
        return std::string();
    Owned<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new(key.get(), nullptr));
    std::string sig(static_cast<size_t>(EVP_PKEY_get_size(key.get())), '\0');
    size_t len = sig.size();
    // No digest: the data is padded as it is (a DigestInfo, a bare hash, or whatever the caller sends).
    if (!ctx || EVP_PKEY_sign_init(ctx.get()) != 1 || EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_sign(ctx.get(), reinterpret_cast<unsigned char*>(&sig[0]), &len, bytes(data), data.size()) != 1)
        return std::string();
    sig.resize(len);
    return sig;
}

int rsaVerifyData(const std::string& publicBlob, const std::string& data, const std::string& signature)
{
    if (publicBlob.size() != sizeof(RSAPUBLICKEYBLOB))
        return -1;
    RSAPUBLICKEYBLOB pub;
    std::memcpy(&pub, publicBlob.data(), sizeof pub);
    if (pub.AlgID != SGD_RSA || pub.BitLen % 8 || pub.BitLen < 512 || pub.BitLen > MAX_RSA_MODULUS_LEN * 8)
        return -1;
    Owned<BIGNUM> n(BN_bin2bn(pub.Modulus, sizeof pub.Modulus, nullptr));
    Owned<BIGNUM> e(BN_bin2bn(pub.PublicExponent, sizeof pub.PublicExponent, nullptr));
    if (!n || !e || BN_num_bits(n.get()) != static_cast<int>(pub.BitLen) || !BN_is_odd(e.get()) || BN_is_one(e.get()))
        return -1;
    Owned<EVP_PKEY> key = publicKeyFrom("RSA", [&](OSSL_PARAM_BLD* b) {
        return OSSL_PARAM_BLD_push_BN(b, OSSL_PKEY_PARAM_RSA_N, n.get()) == 1 &&
               OSSL_PARAM_BLD_push_BN(b, OSSL_PKEY_PARAM_RSA_E, e.get()) == 1;
    });
    if (!key)
        return -1;
    if (signature.size() != pub.BitLen / 8)
        return 0;
    Owned<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new(key.get(), nullptr));
    std::string recovered(signature.size(), '\0');
    size_t len = recovered.size();
    if (!ctx || EVP_PKEY_verify_recover_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_verify_recover(ctx.get(), reinterpret_cast<unsigned char*>(&recovered[0]), &len, bytes(signature),
                                signature.size()) != 1)
        return 0;
    recovered.resize(len);
    return recovered == data ? 1 : 0;
}

} // namespace softskf
