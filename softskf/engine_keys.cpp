// Key pair generation, signing with the container's signature key, and verification against
// public key blobs.
#include "crypto.h"
#include "engine.h"

#include <cstring>

namespace softskf {

ULONG Engine::generateSignKey(HCONTAINER container, const std::string& kind, std::string* blob)
{
    Handle* h = findHandle(container, Kind::Container);
    const Token* t = nullptr;
    const Container* c = nullptr;
    ULONG rc = containerOf(*h, &t, &c);
    if (rc != SAR_OK)
        return rc;
    if (!userLoggedIn(*h))
        return SAR_USER_NOT_LOGGED_IN;
    const uint32_t type = kind == "sm2" ? SKF_CONTAINER_ECC : SKF_CONTAINER_RSA;
    // A container holds key pairs of one algorithm: an SM2 key next to an RSA encryption pair
    // would leave the container's type wrong for one of them.
    if (c->type != 0 && c->type != type)
        return SAR_KEYINFOTYPEERR;
    std::string keyDer = generateKeyPair(kind);
    *blob = publicKeyBlob(keyDer);
    if (keyDer.empty() || blob->empty())
        return kind == "sm2" ? SAR_FAIL : SAR_GENRSAKEYERR;
    return modify(*h, [&](Token& tok, bool* save) {
        Application* ap = tok.app(h->app);
        Container* cont = ap ? ap->container(h->container) : nullptr;
        if (!cont)
            return ULONG(ap ? SAR_INVALIDHANDLEERR : SAR_APPLICATION_NOT_EXISTS);
        if (cont->type != 0 && cont->type != type)
            return ULONG(SAR_KEYINFOTYPEERR);
        cont->type = type;
        cont->signKey = keyDer;
        // A certificate of the replaced key no longer matches the container's key.
        cont->signCert.clear();
        *save = true;
        return ULONG(SAR_OK);
    });
}

ULONG Engine::genEccKeyPair(HCONTAINER container, ULONG algId, ECCPUBLICKEYBLOB* blob)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!findHandle(container, Kind::Container))
        return SAR_INVALIDHANDLEERR;
    if (!blob)
        return SAR_INVALIDPARAMERR;
    // Some clients ask for the generic SM2 identifier instead of the signature one.
    if (algId != SGD_SM2_1 && algId != SGD_SM2)
        return SAR_NOTSUPPORTYETERR;
    std::string data;
    ULONG rc = generateSignKey(container, "sm2", &data);
    if (rc == SAR_OK)
        std::memcpy(blob, data.data(), sizeof *blob);
    return rc;
}

ULONG Engine::genRsaKeyPair(HCONTAINER container, ULONG bits, RSAPUBLICKEYBLOB* blob)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!findHandle(container, Kind::Container))
        return SAR_INVALIDHANDLEERR;
    if (!blob || (bits != 1024 && bits != 2048))
        return SAR_INVALIDPARAMERR;
    std::string data;
    ULONG rc = generateSignKey(container, bits == 1024 ? "rsa1024" : "rsa2048", &data);
    if (rc == SAR_OK)
        std::memcpy(blob, data.data(), sizeof *blob);
    return rc;
}

ULONG Engine::signKeyOf(HCONTAINER container, bool rsa, std::string* keyDer)
{
    Handle* h = findHandle(container, Kind::Container);
    const Token* t = nullptr;
    const Container* c = nullptr;
    ULONG rc = containerOf(*h, &t, &c);
    if (rc != SAR_OK)
        return rc;
    if (!userLoggedIn(*h))
        return SAR_USER_NOT_LOGGED_IN;
    if (c->signKey.empty())
        return SAR_KEYNOTFOUNTERR;
    if (isRsaKey(c->signKey) != rsa)
        return SAR_KEYINFOTYPEERR;
    *keyDer = c->signKey;
    return SAR_OK;
}

ULONG Engine::eccSignData(HCONTAINER container, BYTE* digest, ULONG length, ECCSIGNATUREBLOB* signature)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!findHandle(container, Kind::Container))
        return SAR_INVALIDHANDLEERR;
    if (!digest || !signature)
        return SAR_INVALIDPARAMERR;
    // The caller hashes the Z value and the message; what comes here is the 32-byte SM3 value.
    if (length != 32)
        return SAR_INDATALENERR;
    std::string keyDer;
    ULONG rc = signKeyOf(container, false, &keyDer);
    if (rc != SAR_OK)
        return rc;
    std::string blob = eccSignDigest(keyDer, std::string(reinterpret_cast<const char*>(digest), length));
    if (blob.size() != sizeof *signature)
        return SAR_FAIL;
    std::memcpy(signature, blob.data(), sizeof *signature);
    return SAR_OK;
}

ULONG Engine::rsaSignData(HCONTAINER container, BYTE* data, ULONG length, BYTE* signature, ULONG* signatureLength)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!findHandle(container, Kind::Container))
        return SAR_INVALIDHANDLEERR;
    if (!data || length == 0 || !signatureLength)
        return SAR_INVALIDPARAMERR;
    std::string keyDer;
    ULONG rc = signKeyOf(container, true, &keyDer);
    if (rc != SAR_OK)
        return rc;
    ULONG modulusBytes = static_cast<ULONG>(keyBits(keyDer) / 8);
    // PKCS#1 v1.5 needs 11 bytes of the block for its padding.
    if (length > modulusBytes - 11)
        return SAR_INDATALENERR;
    if (!signature || *signatureLength < modulusBytes)
        return answerBytes(std::string(modulusBytes, '\0'), Hostility(), signature, signatureLength);
    std::string sig = softskf::rsaSignData(keyDer, std::string(reinterpret_cast<const char*>(data), length));
    if (sig.size() != modulusBytes)
        return SAR_FAIL;
    return answerBytes(sig, Hostility(), signature, signatureLength);
}

ULONG Engine::eccVerify(DEVHANDLE device, ECCPUBLICKEYBLOB* blob, BYTE* digest, ULONG length,
                        ECCSIGNATUREBLOB* signature)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Handle* h = findHandle(device, Kind::Device);
    if (!h)
        return SAR_INVALIDHANDLEERR;
    if (!blob || !digest || !signature)
        return SAR_INVALIDPARAMERR;
    if (length != 32)
        return SAR_INDATALENERR;
    const Token* t = nullptr;
    ULONG rc = tokenOf(*h, &t);
    if (rc != SAR_OK)
        return rc;
    int valid = eccVerifyDigest(std::string(reinterpret_cast<const char*>(blob), sizeof *blob),
                                std::string(reinterpret_cast<const char*>(digest), length),
                                std::string(reinterpret_cast<const char*>(signature), sizeof *signature));
    return valid < 0 ? SAR_INVALIDPARAMERR : valid ? SAR_OK : SAR_FAIL;
}

ULONG Engine::rsaVerify(DEVHANDLE device, RSAPUBLICKEYBLOB* blob, BYTE* data, ULONG length, BYTE* signature,
                        ULONG signatureLength)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Handle* h = findHandle(device, Kind::Device);
    if (!h)
        return SAR_INVALIDHANDLEERR;
    if (!blob || !data || length == 0 || !signature || signatureLength == 0)
        return SAR_INVALIDPARAMERR;
    const Token* t = nullptr;
    ULONG rc = tokenOf(*h, &t);
    if (rc != SAR_OK)
        return rc;
    int valid = rsaVerifyData(std::string(reinterpret_cast<const char*>(blob), sizeof *blob),
                              std::string(reinterpret_cast<const char*>(data), length),
                              std::string(reinterpret_cast<const char*>(signature), signatureLength));
    return valid < 0 ? SAR_INVALIDPARAMERR : valid ? SAR_OK : SAR_FAIL;
}

} // namespace softskf
