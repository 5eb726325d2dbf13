#include "objects.h"

#include "namelist.h"
#include "skf_binding.h"
#include "text.h"

#include <openssl/sha.h>

#include <algorithm>
#include <cstring>

namespace p11 {

namespace {

// CK_CERTIFICATE_CATEGORY_TOKEN_USER: a certificate of the token's own user.
constexpr CK_ULONG kCategoryTokenUser = 1;
// No real certificate comes near this; a larger size is a broken library.
constexpr ULONG kMaxCertificateSize = 1024 * 1024;
constexpr ULONG kMaxBlobSize = 4096;

void setBytes(Object& o, CK_ATTRIBUTE_TYPE type, const std::string& value)
{
    o.attributes[type] = value;
}

void setBool(Object& o, CK_ATTRIBUTE_TYPE type, bool value)
{
    o.attributes[type] = std::string(1, static_cast<char>(value ? CK_TRUE : CK_FALSE));
}

void setUlong(Object& o, CK_ATTRIBUTE_TYPE type, CK_ULONG value)
{
    o.attributes[type] = std::string(reinterpret_cast<const char*>(&value), sizeof value);
}

// Two-call export: the size first, then the bytes. A size the library reports beyond the buffer it
// was given is not believed.
template <typename Call> ULONG exportBytes(Call call, ULONG cap, std::string* out)
{
    out->clear();
    ULONG size = 0;
    ULONG rc = call(nullptr, &size);
    for (int attempt = 0; rc == SAR_OK && size > 0 && attempt < 2; ++attempt) {
        if (size > cap)
            return SAR_MEMORYERR;
        std::vector<unsigned char> buffer(size);
        ULONG used = size;
        rc = call(buffer.data(), &used);
        if (rc == SAR_BUFFER_TOO_SMALL && used > size) {
            size = used;
            rc = SAR_OK;
            continue;
        }
        if (rc == SAR_OK)
            out->assign(reinterpret_cast<const char*>(buffer.data()), std::min(used, size));
        return rc;
    }
    return rc;
}

ULONG exportPublicKey(HCONTAINER container, bool sign, ULONG type, PublicKey* key)
{
    std::string blob;
    const ULONG rc = exportBytes(
        [&](BYTE* data, ULONG* size) { return call(skf().SKF_ExportPublicKey, container, BOOL(sign), data, size); },
        kMaxBlobSize, &blob);
    if (rc != SAR_OK)
        return rc;
    const unsigned char* data = reinterpret_cast<const unsigned char*>(blob.data());
    const bool parsed =
        type == SKF_CONTAINER_RSA ? parseRsaBlob(data, blob.size(), key) : parseEccBlob(data, blob.size(), key);
    if (!parsed)
        *key = PublicKey();
    return SAR_OK;
}

void addCommon(Object& o, CK_OBJECT_CLASS objectClass, bool isPrivate, const std::string& label)
{
    o.objectClass = objectClass;
    o.isPrivate = isPrivate;
    setUlong(o, CKA_CLASS, objectClass);
    setBool(o, CKA_TOKEN, true);
    setBool(o, CKA_PRIVATE, isPrivate);
    setBool(o, CKA_MODIFIABLE, false);
    setBool(o, CKA_COPYABLE, false);
    setBool(o, CKA_DESTROYABLE, false);
    setBytes(o, CKA_LABEL, label);
}

void addKeyCommon(Object& o, const PublicKey& key, const std::string& subject)
{
    setUlong(o, CKA_KEY_TYPE, key.type);
    setBytes(o, CKA_ID, keyId(key));
    setBytes(o, CKA_START_DATE, std::string());
    setBytes(o, CKA_END_DATE, std::string());
    setBool(o, CKA_DERIVE, false);
    setBool(o, CKA_LOCAL, false);
    setUlong(o, CKA_KEY_GEN_MECHANISM, CK_UNAVAILABLE_INFORMATION);
    setBytes(o, CKA_SUBJECT, subject);
    if (key.type == CKK_RSA) {
        setBytes(o, CKA_MODULUS, key.modulus);
        setBytes(o, CKA_PUBLIC_EXPONENT, key.exponent);
    } else {
        setBytes(o, CKA_EC_PARAMS, sm2CurveOid());
    }
}

Object publicKeyObject(const PublicKey& key, bool sign, const std::string& label, const std::string& subject)
{
    Object o;
    addCommon(o, CKO_PUBLIC_KEY, false, label);
    addKeyCommon(o, key, subject);
    setBool(o, CKA_ENCRYPT, false);
    setBool(o, CKA_VERIFY, sign);
    setBool(o, CKA_VERIFY_RECOVER, false);
    setBool(o, CKA_WRAP, false);
    setBool(o, CKA_TRUSTED, false);
    if (key.type == CKK_RSA) {
        setUlong(o, CKA_MODULUS_BITS, key.modulusBits());
    } else {
        // DER OCTET STRING around the uncompressed point.
        setBytes(o, CKA_EC_POINT, std::string(1, '\x04') + static_cast<char>(key.point.size()) + key.point);
    }
    return o;
}

Object privateKeyObject(const PublicKey& key, bool sign, const std::string& label, const std::string& subject)
{
    Object o;
    addCommon(o, CKO_PRIVATE_KEY, true, label);
    addKeyCommon(o, key, subject);
    setBool(o, CKA_SENSITIVE, true);
    setBool(o, CKA_DECRYPT, false);
    setBool(o, CKA_SIGN, sign);
    setBool(o, CKA_SIGN_RECOVER, false);
    setBool(o, CKA_UNWRAP, false);
    setBool(o, CKA_EXTRACTABLE, false);
    setBool(o, CKA_ALWAYS_SENSITIVE, true);
    setBool(o, CKA_NEVER_EXTRACTABLE, true);
    setBool(o, CKA_WRAP_WITH_TRUSTED, false);
    setBool(o, CKA_ALWAYS_AUTHENTICATE, false);
    return o;
}

Object certificateObject(const std::string& der, const CertificateFields& fields, const std::string& id,
                         const std::string& label)
{
    Object o;
    addCommon(o, CKO_CERTIFICATE, false, label);
    unsigned char digest[SHA_DIGEST_LENGTH];
    SHA1(reinterpret_cast<const unsigned char*>(der.data()), der.size(), digest);
    setUlong(o, CKA_CERTIFICATE_TYPE, CKC_X_509);
    setBool(o, CKA_TRUSTED, false);
    setUlong(o, CKA_CERTIFICATE_CATEGORY, kCategoryTokenUser);
    setBytes(o, CKA_CHECK_VALUE, std::string(reinterpret_cast<const char*>(digest), 3));
    setBytes(o, CKA_START_DATE, std::string());
    setBytes(o, CKA_END_DATE, std::string());
    setBytes(o, CKA_SUBJECT, fields.subject);
    setBytes(o, CKA_ID, id);
    setBytes(o, CKA_ISSUER, fields.issuer);
    setBytes(o, CKA_SERIAL_NUMBER, fields.serial);
    setBytes(o, CKA_VALUE, der);
    setBytes(o, CKA_URL, std::string());
    setBytes(o, CKA_HASH_OF_SUBJECT_PUBLIC_KEY, std::string());
    setBytes(o, CKA_HASH_OF_ISSUER_PUBLIC_KEY, std::string());
    setUlong(o, CKA_JAVA_MIDP_SECURITY_DOMAIN, 0);
    return o;
}

// The objects of one key pair. Returns SAR_DEVICE_REMOVED when the token went away meanwhile.
ULONG addKeyPair(HCONTAINER container, const std::string& name, ULONG type, bool sign, std::vector<Object>* out)
{
    PublicKey key;
    ULONG rc = exportPublicKey(container, sign, type, &key);
    if (rc == SAR_DEVICE_REMOVED)
        return rc;
    std::string der;
    rc = exportBytes(
        [&](BYTE* data, ULONG* size) { return call(skf().SKF_ExportCertificate, container, BOOL(sign), data, size); },
        kMaxCertificateSize, &der);
    if (rc == SAR_DEVICE_REMOVED)
        return rc;
    CertificateFields fields;
    const bool haveCert = rc == SAR_OK && !der.empty() &&
                          parseCertificate(reinterpret_cast<const unsigned char*>(der.data()), der.size(), &fields);
    const CK_KEY_TYPE wanted = type == SKF_CONTAINER_RSA ? CKK_RSA : CKK_EC;
    // A library that hands out no usable blob still has the key in the certificate.
    if (!key.valid() && haveCert && fields.key.valid() && fields.key.type == wanted)
        key = fields.key;
    // The encryption pair is told apart in its label, so that a URI naming the container by its
    // object label finds the one key that signs.
    const std::string label = displayText(name) + (sign ? "" : " (encryption)");
    const std::string subject = haveCert ? fields.subject : std::string();
    if (key.valid()) {
        for (Object o : {publicKeyObject(key, sign, label, subject), privateKeyObject(key, sign, label, subject)}) {
            o.container = name;
            o.signPair = sign;
            o.key = key;
            out->push_back(o);
        }
    }
    if (haveCert) {
        // A certificate of another key is not this pair's: it keeps the identifier of its own key.
        const std::string id = fields.key.valid() ? keyId(fields.key) : key.valid() ? keyId(key) : std::string();
        Object o = certificateObject(der, fields, id, label);
        o.container = name;
        o.signPair = sign;
        out->push_back(o);
    }
    return SAR_OK;
}

bool isSensitive(const Object& object, CK_ATTRIBUTE_TYPE type)
{
    if (object.objectClass != CKO_PRIVATE_KEY)
        return false;
    switch (type) {
    case CKA_VALUE:
    case CKA_PRIVATE_EXPONENT:
    case CKA_PRIME_1:
    case CKA_PRIME_2:
    case CKA_EXPONENT_1:
    case CKA_EXPONENT_2:
    case CKA_COEFFICIENT:
        return true;
    default:
        return false;
    }
}

} // namespace

bool Object::sameAs(const Object& other) const
{
    return objectClass == other.objectClass && container == other.container && signPair == other.signPair &&
           attributes == other.attributes;
}

ULONG listContainers(HAPPLICATION app, std::vector<std::string>* names)
{
    return keymgr::fetchNameList(
        [app](LPSTR list, ULONG* size) { return call(skf().SKF_EnumContainer, app, list, size); }, names,
        keymgr::kNameListFirstTry);
}

ULONG readObjects(HAPPLICATION app, const std::vector<std::string>& names, std::vector<Object>* objects)
{
    objects->clear();
    ULONG rc = SAR_OK;
    for (const std::string& name : names) {
        std::string buffer = name;
        HCONTAINER container = nullptr;
        rc = call(skf().SKF_OpenContainer, app, &buffer[0], &container);
        if (rc == SAR_DEVICE_REMOVED)
            return rc;
        if (rc != SAR_OK)
            continue;
        ULONG type = SKF_CONTAINER_EMPTY;
        rc = call(skf().SKF_GetContainerType, container, &type);
        if (rc == SAR_OK && (type == SKF_CONTAINER_RSA || type == SKF_CONTAINER_ECC)) {
            for (bool sign : {true, false}) {
                rc = addKeyPair(container, name, type, sign, objects);
                if (rc == SAR_DEVICE_REMOVED)
                    break;
            }
        }
        call(skf().SKF_CloseContainer, container);
        if (rc == SAR_DEVICE_REMOVED)
            return rc;
    }
    return SAR_OK;
}

bool matches(const Object& object, const CK_ATTRIBUTE* pTemplate, CK_ULONG count)
{
    for (CK_ULONG i = 0; i < count; ++i) {
        const CK_ATTRIBUTE& a = pTemplate[i];
        if (isSensitive(object, a.type))
            return false;
        auto found = object.attributes.find(a.type);
        if (found == object.attributes.end() || found->second.size() != a.ulValueLen)
            return false;
        if (a.ulValueLen > 0 && (!a.pValue || std::memcmp(found->second.data(), a.pValue, a.ulValueLen) != 0))
            return false;
    }
    return true;
}

CK_RV getAttributes(const Object& object, CK_ATTRIBUTE* pTemplate, CK_ULONG count)
{
    CK_RV rv = CKR_OK;
    auto note = [&rv](CK_RV problem) {
        if (rv == CKR_OK)
            rv = problem;
    };
    for (CK_ULONG i = 0; i < count; ++i) {
        CK_ATTRIBUTE& a = pTemplate[i];
        auto found = object.attributes.find(a.type);
        if (isSensitive(object, a.type)) {
            a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
            note(CKR_ATTRIBUTE_SENSITIVE);
        } else if (found == object.attributes.end()) {
            a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
            note(CKR_ATTRIBUTE_TYPE_INVALID);
        } else if (!a.pValue) {
            a.ulValueLen = found->second.size();
        } else if (a.ulValueLen >= found->second.size()) {
            std::memcpy(a.pValue, found->second.data(), found->second.size());
            a.ulValueLen = found->second.size();
        } else {
            a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
            note(CKR_BUFFER_TOO_SMALL);
        }
    }
    return rv;
}

} // namespace p11
