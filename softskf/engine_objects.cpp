// Containers, certificates, public keys and the symmetric keys used for device authentication.
#include "crypto.h"
#include "engine.h"

#include <cstring>

namespace softskf {

namespace {

constexpr size_t kMaxContainers = 32;
constexpr ULONG kMaxCertificate = 1024 * 1024;

} // namespace

ULONG Engine::createContainer(HAPPLICATION app, LPSTR name, HCONTAINER* container)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Handle* h = findHandle(app, Kind::Application);
    if (!h)
        return SAR_INVALIDHANDLEERR;
    if (!validName(name, kMaxObjectName) || !container)
        return SAR_INVALIDPARAMERR;
    const Token* t = nullptr;
    const Application* a = nullptr;
    ULONG rc = appOf(*h, &t, &a);
    if (rc != SAR_OK)
        return rc;
    if (!m_security[securityKey(*h)].user)
        return SAR_USER_NOT_LOGGED_IN;
    std::string containerName = name;
    rc = modify(*h, [&](Token& tok, bool* save) {
        Application* ap = tok.app(h->app);
        if (!ap)
            return ULONG(SAR_APPLICATION_NOT_EXISTS);
        if (ap->container(containerName))
            return ULONG(SAR_FILE_ALREADY_EXIST);
        if (ap->containers.size() >= kMaxContainers)
            return ULONG(SAR_REACH_MAX_CONTAINER_COUNT);
        Container c;
        c.name = containerName;
        ap->containers.push_back(c);
        *save = true;
        return ULONG(SAR_OK);
    });
    if (rc != SAR_OK)
        return rc;
    Handle c = childOf(*h, Kind::Container);
    c.container = containerName;
    *container = addHandle(c);
    return SAR_OK;
}

ULONG Engine::deleteContainer(HAPPLICATION app, LPSTR name)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Handle* h = findHandle(app, Kind::Application);
    if (!h)
        return SAR_INVALIDHANDLEERR;
    if (!validName(name, kMaxObjectName))
        return SAR_INVALIDPARAMERR;
    const Token* t = nullptr;
    const Application* a = nullptr;
    ULONG rc = appOf(*h, &t, &a);
    if (rc != SAR_OK)
        return rc;
    if (!m_security[securityKey(*h)].user)
        return SAR_USER_NOT_LOGGED_IN;
    std::string containerName = name;
    return modify(*h, [&](Token& tok, bool* save) {
        Application* ap = tok.app(h->app);
        if (!ap)
            return ULONG(SAR_APPLICATION_NOT_EXISTS);
        for (auto it = ap->containers.begin(); it != ap->containers.end(); ++it) {
            if (it->name == containerName) {
                // The key pairs go with the container.
                ap->containers.erase(it);
                *save = true;
                return ULONG(SAR_OK);
            }
        }
        return ULONG(SAR_FILE_NOT_EXIST);
    });
}

ULONG Engine::openContainer(HAPPLICATION app, LPSTR name, HCONTAINER* container)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Handle* h = findHandle(app, Kind::Application);
    if (!h)
        return SAR_INVALIDHANDLEERR;
    if (!validName(name, kMaxObjectName) || !container)
        return SAR_INVALIDPARAMERR;
    const Token* t = nullptr;
    const Application* a = nullptr;
    ULONG rc = appOf(*h, &t, &a);
    if (rc != SAR_OK)
        return rc;
    if (!const_cast<Application*>(a)->container(name))
        return SAR_FILE_NOT_EXIST;
    Handle c = childOf(*h, Kind::Container);
    c.container = name;
    *container = addHandle(c);
    return SAR_OK;
}

ULONG Engine::closeContainer(HCONTAINER container)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!findHandle(container, Kind::Container))
        return SAR_INVALIDHANDLEERR;
    dropHandle(container);
    return SAR_OK;
}

ULONG Engine::enumContainer(HAPPLICATION app, LPSTR list, ULONG* size)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Handle* h = findHandle(app, Kind::Application);
    if (!h)
        return SAR_INVALIDHANDLEERR;
    if (!size)
        return SAR_INVALIDPARAMERR;
    const Token* t = nullptr;
    const Application* a = nullptr;
    ULONG rc = appOf(*h, &t, &a);
    if (rc != SAR_OK)
        return rc;
    std::vector<std::string> names;
    for (const Container& c : a->containers)
        names.push_back(c.name);
    Hostility hs = hostility();
    return answerBytes(multiString(names, hs, &m_ghosts[2], list == nullptr, "GHOST-CONTAINER-"), hs, list, size);
}

ULONG Engine::getContainerType(HCONTAINER container, ULONG* type)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Handle* h = findHandle(container, Kind::Container);
    if (!h)
        return SAR_INVALIDHANDLEERR;
    if (!type)
        return SAR_INVALIDPARAMERR;
    const Token* t = nullptr;
    const Container* c = nullptr;
    ULONG rc = containerOf(*h, &t, &c);
    if (rc == SAR_OK)
        *type = c->type;
    return rc;
}

ULONG Engine::extGetContainerInfo(HCONTAINER container, ContainerInfo* info)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Handle* h = findHandle(container, Kind::Container);
    if (!h)
        return SAR_INVALIDHANDLEERR;
    if (!info)
        return SAR_INVALIDPARAMERR;
    const Token* t = nullptr;
    const Container* c = nullptr;
    ULONG rc = containerOf(*h, &t, &c);
    if (rc == SAR_OK) {
        std::memset(info, 0, sizeof *info);
        info->ContainerType = static_cast<BYTE>(c->type);
    }
    return rc;
}

ULONG Engine::importCertificate(HCONTAINER container, BOOL sign, BYTE* cert, ULONG length)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Handle* h = findHandle(container, Kind::Container);
    if (!h)
        return SAR_INVALIDHANDLEERR;
    if (!cert || length == 0)
        return SAR_INVALIDPARAMERR;
    if (length > kMaxCertificate)
        return SAR_INDATALENERR;
    std::string bytes(reinterpret_cast<const char*>(cert), length);
    return modify(*h, [&](Token& tok, bool* save) {
        Application* ap = tok.app(h->app);
        Container* c = ap ? ap->container(h->container) : nullptr;
        if (!c)
            return ULONG(ap ? SAR_INVALIDHANDLEERR : SAR_APPLICATION_NOT_EXISTS);
        (sign ? c->signCert : c->encCert) = bytes;
        *save = true;
        return ULONG(SAR_OK);
    });
}

ULONG Engine::exportCertificate(HCONTAINER container, BOOL sign, BYTE* cert, ULONG* length)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Handle* h = findHandle(container, Kind::Container);
    if (!h)
        return SAR_INVALIDHANDLEERR;
    if (!length)
        return SAR_INVALIDPARAMERR;
    const Token* t = nullptr;
    const Container* c = nullptr;
    ULONG rc = containerOf(*h, &t, &c);
    if (rc != SAR_OK)
        return rc;
    const std::string& der = sign ? c->signCert : c->encCert;
    if (der.empty())
        return SAR_CERTNOTFOUNTERR;
    Hostility hs = hostility();
    if (hs.longCert == 0)
        return answerBytes(der, hs, cert, length);
    // Re-signing gives new bytes each time, so the enlarged form is kept for the size
    // call and the fetch to agree.
    std::string key = toHex(der) + ':' + std::to_string(hs.longCert);
    auto it = m_enlarged.find(key);
    if (it == m_enlarged.end()) {
        std::string big;
        if (!enlargeCertificate(der, sign ? c->signKey : c->encKey, hs.longCert, &big))
            return SAR_FAIL;
        it = m_enlarged.emplace(key, big).first;
    }
    return answerBytes(it->second, hs, cert, length);
}

ULONG Engine::exportPublicKey(HCONTAINER container, BOOL sign, BYTE* blob, ULONG* length)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Handle* h = findHandle(container, Kind::Container);
    if (!h)
        return SAR_INVALIDHANDLEERR;
    if (!length)
        return SAR_INVALIDPARAMERR;
    const Token* t = nullptr;
    const Container* c = nullptr;
    ULONG rc = containerOf(*h, &t, &c);
    if (rc != SAR_OK)
        return rc;
    const std::string& keyDer = sign ? c->signKey : c->encKey;
    if (keyDer.empty())
        return SAR_KEYNOTFOUNTERR;
    Hostility hs = hostility();
    std::string data = publicKeyBlob(keyDer, hs.rsaBitLen);
    if (data.empty())
        return SAR_KEYNOTFOUNTERR;
    return answerBytes(data, hs, blob, length);
}

ULONG Engine::setSymmKey(DEVHANDLE device, BYTE* key, ULONG algId, HANDLE* keyHandle)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Handle* h = findHandle(device, Kind::Device);
    if (!h)
        return SAR_INVALIDHANDLEERR;
    if (!key || !keyHandle)
        return SAR_INVALIDPARAMERR;
    const Token* t = nullptr;
    ULONG rc = tokenOf(*h, &t);
    if (rc != SAR_OK)
        return rc;
    if (algId != SGD_SM4_ECB && algId != SGD_SM4_CBC)
        return SAR_NOTSUPPORTYETERR;
    Handle k = childOf(*h, Kind::Key);
    k.alg = algId;
    k.key.assign(reinterpret_cast<const char*>(key), 16);
    *keyHandle = addHandle(k);
    return SAR_OK;
}

ULONG Engine::encryptInit(HANDLE key, const BLOCKCIPHERPARAM& param)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Handle* k = findHandle(key, Kind::Key);
    if (!k)
        return SAR_INVALIDHANDLEERR;
    if (param.PaddingType > 1 || param.IVLen > MAX_IV_LEN)
        return SAR_INVALIDPARAMERR;
    if (k->alg == SGD_SM4_CBC && param.IVLen != 16)
        return SAR_INVALIDPARAMERR;
    k->iv.assign(reinterpret_cast<const char*>(param.IV), k->alg == SGD_SM4_CBC ? 16 : 0);
    k->padding = param.PaddingType == 1;
    k->ready = true;
    return SAR_OK;
}

ULONG Engine::encrypt(HANDLE key, BYTE* data, ULONG length, BYTE* out, ULONG* outLength)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Handle* k = findHandle(key, Kind::Key);
    if (!k)
        return SAR_INVALIDHANDLEERR;
    if ((!data && length) || !outLength)
        return SAR_INVALIDPARAMERR;
    if (!k->ready)
        return SAR_NOTINITIALIZEERR;
    if (!k->padding && length % 16)
        return SAR_INDATALENERR;
    std::string cipher;
    std::string plain(reinterpret_cast<const char*>(data), length);
    if (!sm4Crypt(k->alg, k->key, k->iv, true, k->padding, plain, &cipher))
        return SAR_FAIL;
    ULONG rc = answerBytes(cipher, Hostility(), out, outLength);
    // A completed single-shot encryption ends the operation; a size query does not.
    if (rc == SAR_OK && out)
        k->ready = false;
    return rc;
}

ULONG Engine::closeHandle(HANDLE handle)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!findHandle(handle, Kind::Key))
        return SAR_INVALIDHANDLEERR;
    dropHandle(handle);
    return SAR_OK;
}

} // namespace softskf
