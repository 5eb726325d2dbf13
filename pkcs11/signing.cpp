// The mechanisms and signing: RSA PKCS #1 v1.5 (raw, or over SHA-2 hashed here) and SM2 (a digest
// prepared by the caller, or SM3 over Z and the message computed here), each signed by the token.
#include "module.h"

#include "results.h"
#include "skf_binding.h"

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>

#include <algorithm>
#include <cstring>

namespace p11 {

namespace {

// DER DigestInfo of each hash up to its value (PKCS #1 v2.2, 9.2).
const unsigned char kSha256Prefix[] = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                       0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
const unsigned char kSha384Prefix[] = {0x30, 0x41, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                       0x65, 0x03, 0x04, 0x02, 0x02, 0x05, 0x00, 0x04, 0x30};
const unsigned char kSha512Prefix[] = {0x30, 0x51, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                       0x65, 0x03, 0x04, 0x02, 0x03, 0x05, 0x00, 0x04, 0x40};

// The signer ID of GM/T 0009 when the caller gives none.
const char kDefaultSignerId[] = "1234567812345678";
// ENTL, the ID's length in bits, has 16 bits.
constexpr CK_ULONG kMaxSignerId = 8191;
constexpr std::size_t kSm2DigestSize = 32;
constexpr std::size_t kSm2SignatureSize = 64;
// PKCS #1 v1.5 needs 11 bytes of the block for its padding.
constexpr std::size_t kPkcs1Overhead = 11;

struct Mechanism
{
    CK_MECHANISM_TYPE type;
    CK_KEY_TYPE keyType;
    const EVP_MD* (*hash)(); // nullptr: the data is signed as it is
    const unsigned char* prefix;
    std::size_t prefixSize;
    CK_ULONG minBits;
    CK_ULONG maxBits;
};

// clang-format off
const Mechanism kMechanisms[] = {
    {CKM_RSA_PKCS,        CKK_RSA, nullptr,    nullptr,       0,                     1024, 2048},
    {CKM_SHA256_RSA_PKCS, CKK_RSA, EVP_sha256, kSha256Prefix, sizeof kSha256Prefix,  1024, 2048},
    {CKM_SHA384_RSA_PKCS, CKK_RSA, EVP_sha384, kSha384Prefix, sizeof kSha384Prefix,  1024, 2048},
    {CKM_SHA512_RSA_PKCS, CKK_RSA, EVP_sha512, kSha512Prefix, sizeof kSha512Prefix,  1024, 2048},
    {CKM_KEYMGR_SM2,      CKK_EC,  nullptr,    nullptr,       0,                     256,  256},
    {CKM_KEYMGR_SM3_SM2,  CKK_EC,  EVP_sm3,    nullptr,       0,                     256,  256},
};
// clang-format on

const Mechanism* findMechanism(CK_MECHANISM_TYPE type)
{
    for (const Mechanism& m : kMechanisms) {
        if (m.type == type)
            return &m;
    }
    return nullptr;
}

struct DigestDeleter
{
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};

// Z = SM3(ENTL || ID || a || b || xG || yG || xA || yA), GM/T 0003.2.
bool sm2Z(const std::string& point, const std::string& id, unsigned char z[kSm2DigestSize])
{
    std::unique_ptr<EC_GROUP, decltype(&EC_GROUP_free)> group(EC_GROUP_new_by_curve_name(NID_sm2), EC_GROUP_free);
    std::unique_ptr<BN_CTX, decltype(&BN_CTX_free)> ctx(BN_CTX_new(), BN_CTX_free);
    if (!group || !ctx || point.size() != 65)
        return false;
    BN_CTX_start(ctx.get());
    BIGNUM* p = BN_CTX_get(ctx.get());
    BIGNUM* a = BN_CTX_get(ctx.get());
    BIGNUM* b = BN_CTX_get(ctx.get());
    BIGNUM* gx = BN_CTX_get(ctx.get());
    BIGNUM* gy = BN_CTX_get(ctx.get());
    unsigned char params[4 * 32];
    bool ok = gy && EC_GROUP_get_curve(group.get(), p, a, b, ctx.get()) &&
              EC_POINT_get_affine_coordinates(group.get(), EC_GROUP_get0_generator(group.get()), gx, gy, ctx.get()) &&
              BN_bn2binpad(a, params, 32) == 32 && BN_bn2binpad(b, params + 32, 32) == 32 &&
              BN_bn2binpad(gx, params + 64, 32) == 32 && BN_bn2binpad(gy, params + 96, 32) == 32;
    BN_CTX_end(ctx.get());
    const unsigned bits = static_cast<unsigned>(id.size() * 8);
    const unsigned char entl[2] = {static_cast<unsigned char>(bits >> 8), static_cast<unsigned char>(bits)};
    std::unique_ptr<EVP_MD_CTX, DigestDeleter> md(EVP_MD_CTX_new());
    unsigned int size = 0;
    return ok && md && EVP_DigestInit_ex(md.get(), EVP_sm3(), nullptr) &&
           EVP_DigestUpdate(md.get(), entl, sizeof entl) && EVP_DigestUpdate(md.get(), id.data(), id.size()) &&
           EVP_DigestUpdate(md.get(), params, sizeof params) && EVP_DigestUpdate(md.get(), point.data() + 1, 64) &&
           EVP_DigestFinal_ex(md.get(), z, &size) && size == kSm2DigestSize;
}

} // namespace

struct SignOperation
{
    const Mechanism* mechanism = nullptr;
    std::string container;
    PublicKey key;
    std::string data; // the mechanisms without a hash collect their input here
    std::unique_ptr<EVP_MD_CTX, DigestDeleter> digest;

    std::size_t signatureSize() const { return mechanism->keyType == CKK_RSA ? key.modulus.size() : kSm2SignatureSize; }
    std::size_t maxData() const
    {
        return mechanism->keyType == CKK_RSA ? key.modulus.size() - kPkcs1Overhead : kSm2DigestSize;
    }
    bool add(const CK_BYTE* part, CK_ULONG size)
    {
        if (digest)
            return EVP_DigestUpdate(digest.get(), part, size) == 1;
        if (size > maxData() - data.size())
            return false;
        data.append(reinterpret_cast<const char*>(part), size);
        return true;
    }
};

CK_RV Module::getMechanismList(CK_SLOT_ID id, CK_MECHANISM_TYPE_PTR list, CK_ULONG_PTR count)
{
    if (!count)
        return CKR_ARGUMENTS_BAD;
    if (!m_slots.count(id))
        return CKR_SLOT_ID_INVALID;
    const CK_ULONG n = sizeof kMechanisms / sizeof kMechanisms[0];
    if (list && *count < n) {
        *count = n;
        return CKR_BUFFER_TOO_SMALL;
    }
    for (CK_ULONG i = 0; list && i < n; ++i)
        list[i] = kMechanisms[i].type;
    *count = n;
    return CKR_OK;
}

CK_RV Module::getMechanismInfo(CK_SLOT_ID id, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO_PTR info)
{
    if (!info)
        return CKR_ARGUMENTS_BAD;
    if (!m_slots.count(id))
        return CKR_SLOT_ID_INVALID;
    const Mechanism* m = findMechanism(type);
    if (!m)
        return CKR_MECHANISM_INVALID;
    info->ulMinKeySize = m->minBits;
    info->ulMaxKeySize = m->maxBits;
    info->flags = CKF_HW | CKF_SIGN;
    if (m->keyType == CKK_EC)
        info->flags |= CKF_EC_F_P | CKF_EC_NAMEDCURVE | CKF_EC_UNCOMPRESS;
    return CKR_OK;
}

CK_RV Module::signInit(CK_SESSION_HANDLE handle, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE key)
{
    Session* s = nullptr;
    Slot* slot = nullptr;
    const CK_RV known = useSession(handle, &s, &slot);
    if (known != CKR_OK)
        return known;
    if (s->sign)
        return CKR_OPERATION_ACTIVE;
    if (!mechanism)
        return CKR_ARGUMENTS_BAD;
    const Mechanism* m = findMechanism(mechanism->mechanism);
    if (!m)
        return CKR_MECHANISM_INVALID;
    auto object =
        std::find_if(slot->objects.begin(), slot->objects.end(), [key](const Object& o) { return o.handle == key; });
    if (object == slot->objects.end() || object->objectClass == CKO_CERTIFICATE)
        return CKR_KEY_HANDLE_INVALID;
    if (object->isPrivate && !slot->loggedIn)
        return CKR_USER_NOT_LOGGED_IN;
    if (object->objectClass != CKO_PRIVATE_KEY || !object->signPair)
        return CKR_KEY_FUNCTION_NOT_PERMITTED;
    if (object->key.type != m->keyType)
        return CKR_KEY_TYPE_INCONSISTENT;
    std::string signerId;
    if (m->type == CKM_KEYMGR_SM3_SM2 && mechanism->ulParameterLen > 0) {
        if (!mechanism->pParameter || mechanism->ulParameterLen > kMaxSignerId)
            return CKR_MECHANISM_PARAM_INVALID;
        signerId.assign(static_cast<const char*>(mechanism->pParameter), mechanism->ulParameterLen);
    } else if (mechanism->ulParameterLen > 0) {
        return CKR_MECHANISM_PARAM_INVALID;
    } else if (m->type == CKM_KEYMGR_SM3_SM2) {
        signerId = kDefaultSignerId;
    }

    auto op = std::make_shared<SignOperation>();
    op->mechanism = m;
    op->container = object->container;
    op->key = object->key;
    if (m->hash) {
        op->digest.reset(EVP_MD_CTX_new());
        if (!op->digest || !EVP_DigestInit_ex(op->digest.get(), m->hash(), nullptr))
            return CKR_FUNCTION_FAILED;
        unsigned char z[kSm2DigestSize];
        if (m->type == CKM_KEYMGR_SM3_SM2 &&
            (!sm2Z(op->key.point, signerId, z) || !EVP_DigestUpdate(op->digest.get(), z, sizeof z)))
            return CKR_FUNCTION_FAILED;
    }
    s->sign = op;
    return CKR_OK;
}

CK_RV Module::sign(CK_SESSION_HANDLE handle, CK_BYTE_PTR data, CK_ULONG dataLength, CK_BYTE_PTR signature,
                   CK_ULONG_PTR signatureLength)
{
    Session* s = nullptr;
    Slot* slot = nullptr;
    const CK_RV known = useSession(handle, &s, &slot);
    if (known != CKR_OK)
        return known;
    if (!s->sign)
        return CKR_OPERATION_NOT_INITIALIZED;
    if (!signatureLength || (!data && dataLength > 0)) {
        s->sign.reset();
        return CKR_ARGUMENTS_BAD;
    }
    // A size query, or a buffer too small, leaves the operation as it was.
    const std::size_t size = s->sign->signatureSize();
    if (!signature || *signatureLength < size) {
        *signatureLength = size;
        return signature ? CKR_BUFFER_TOO_SMALL : CKR_OK;
    }
    if (!s->sign->add(data, dataLength)) {
        s->sign.reset();
        return CKR_DATA_LEN_RANGE;
    }
    return finishSign(*s, signature, signatureLength);
}

CK_RV Module::signUpdate(CK_SESSION_HANDLE handle, CK_BYTE_PTR part, CK_ULONG partLength)
{
    Session* s = nullptr;
    Slot* slot = nullptr;
    const CK_RV known = useSession(handle, &s, &slot);
    if (known != CKR_OK)
        return known;
    if (!s->sign)
        return CKR_OPERATION_NOT_INITIALIZED;
    if (!part && partLength > 0) {
        s->sign.reset();
        return CKR_ARGUMENTS_BAD;
    }
    if (!s->sign->add(part, partLength)) {
        s->sign.reset();
        return CKR_DATA_LEN_RANGE;
    }
    return CKR_OK;
}

CK_RV Module::signFinal(CK_SESSION_HANDLE handle, CK_BYTE_PTR signature, CK_ULONG_PTR signatureLength)
{
    Session* s = nullptr;
    Slot* slot = nullptr;
    const CK_RV known = useSession(handle, &s, &slot);
    if (known != CKR_OK)
        return known;
    if (!s->sign)
        return CKR_OPERATION_NOT_INITIALIZED;
    if (!signatureLength) {
        s->sign.reset();
        return CKR_ARGUMENTS_BAD;
    }
    const std::size_t size = s->sign->signatureSize();
    if (!signature || *signatureLength < size) {
        *signatureLength = size;
        return signature ? CKR_BUFFER_TOO_SMALL : CKR_OK;
    }
    return finishSign(*s, signature, signatureLength);
}

CK_RV Module::finishSign(Session& session, CK_BYTE_PTR signature, CK_ULONG_PTR signatureLength)
{
    // The operation ends here whatever the token answers.
    const std::shared_ptr<SignOperation> op = std::move(session.sign);
    Slot& slot = *slotOf(session);
    const Mechanism& m = *op->mechanism;
    std::string input = op->data;
    if (op->digest) {
        unsigned char hash[EVP_MAX_MD_SIZE];
        unsigned int hashSize = 0;
        if (!EVP_DigestFinal_ex(op->digest.get(), hash, &hashSize))
            return CKR_FUNCTION_FAILED;
        input.assign(reinterpret_cast<const char*>(m.prefix), m.prefixSize);
        input.append(reinterpret_cast<const char*>(hash), hashSize);
    }
    if (m.keyType == CKK_EC && input.size() != kSm2DigestSize)
        return CKR_DATA_LEN_RANGE;

    std::string name = op->container;
    HCONTAINER container = nullptr;
    ULONG rc = call(skf().SKF_OpenContainer, slot.handle, &name[0], &container);
    if (rc != SAR_OK)
        return tokenResult(slot, rc);
    BYTE* in = reinterpret_cast<BYTE*>(&input[0]);
    const std::size_t size = op->signatureSize();
    std::vector<BYTE> out(size, 0);
    if (m.keyType == CKK_RSA) {
        ULONG used = static_cast<ULONG>(size);
        rc = call(skf().SKF_RSASignData, container, in, static_cast<ULONG>(input.size()), out.data(), &used);
        // A library that drops leading zero bytes gets them back: the signature has the modulus' size.
        if (rc == SAR_OK && used > 0 && used <= size) {
            std::memmove(out.data() + (size - used), out.data(), used);
            std::fill(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(size - used), 0);
        } else if (rc == SAR_OK) {
            rc = SAR_UNKNOWNERR;
        }
    } else {
        ECCSIGNATUREBLOB blob;
        std::memset(&blob, 0, sizeof blob);
        rc = call(skf().SKF_ECCSignData, container, in, static_cast<ULONG>(input.size()), &blob);
        // r and s sit right-aligned in their 64-byte fields; anything left of them is not SM2.
        const BYTE zeros[32] = {0};
        if (rc == SAR_OK && (std::memcmp(blob.r, zeros, 32) != 0 || std::memcmp(blob.s, zeros, 32) != 0))
            rc = SAR_UNKNOWNERR;
        std::memcpy(out.data(), blob.r + 32, 32);
        std::memcpy(out.data() + 32, blob.s + 32, 32);
    }
    call(skf().SKF_CloseContainer, container);
    std::fill(input.begin(), input.end(), '\0');
    if (rc != SAR_OK)
        return tokenResult(slot, rc);
    std::copy(out.begin(), out.end(), signature);
    *signatureLength = size;
    return CKR_OK;
}

} // namespace p11
