// Device administration: device authentication, authentication-key change and token initialisation.
#include "cDevMgr.h"

#include "namelist.h"

#include <openssl/crypto.h>

#include <cstring>

namespace {

constexpr ULONG kAuthKeyLength = 16;
constexpr const char* kApplicationName = "ORVANE-PKIAPP";
constexpr DWORD kPinRetries = 6;

// The key is the 16 characters of the text itself, not hexadecimal.
bool validAuthKey(const char* key, ULONG len)
{
    return key && len == kAuthKeyLength && strnlen(key, kAuthKeyLength + 1) == kAuthKeyLength;
}

// Clears key material on every way out of a function.
class Wipe
{
public:
    Wipe(void* data, std::size_t size) : m_data(data), m_size(size) {}
    ~Wipe() { OPENSSL_cleanse(m_data, m_size); }
    Wipe(const Wipe&) = delete;
    Wipe& operator=(const Wipe&) = delete;

private:
    void* m_data;
    std::size_t m_size;
};

} // namespace

ULONG cDevMgr::DevAuth(const char* key, ULONG len)
{
    if (!validAuthKey(key, len))
        return SAR_INVALIDPARAMERR;
    CGMSKFOperator* skf = pSKF;
    if (!skf)
        return SKF_NOT_BOUND;

    // Challenge: 8 random bytes from the token, zero-padded to one 16-byte block.
    BYTE challenge[kAuthKeyLength] = {};
    BYTE keyBytes[kAuthKeyLength] = {};
    BYTE response[kAuthKeyLength] = {};
    Wipe wipeChallenge(challenge, sizeof(challenge));
    Wipe wipeKey(keyBytes, sizeof(keyBytes));
    Wipe wipeResponse(response, sizeof(response));

    ULONG result = skf->SKF_GenRandom(hDev, challenge, 8);
    if (result != SAR_OK)
        return result;
    std::memcpy(keyBytes, key, kAuthKeyLength);

    DEVINFO info;
    std::memset(&info, 0, sizeof(info));
    result = skf->SKF_GetDevInfo(hDev, &info);
    if (result != SAR_OK)
        return result;

    HANDLE hKey = nullptr;
    result = skf->SKF_SetSymmKey(hDev, keyBytes, info.DevAuthAlgId, &hKey);
    if (result != SAR_OK)
        return result;
    BLOCKCIPHERPARAM param;
    std::memset(&param, 0, sizeof(param));
    result = skf->SKF_EncryptInit(hKey, param);
    if (result == SAR_OK) {
        ULONG responseLength = sizeof(response);
        result = skf->SKF_Encrypt(hKey, challenge, sizeof(challenge), response, &responseLength);
    }
    // The session key is ours alone; the token need not keep it once the block is encrypted.
    skf->SKF_CloseHandle(hKey);
    if (result != SAR_OK)
        return result;
    return skf->SKF_DevAuth(hDev, response, sizeof(response));
}

ULONG cDevMgr::ChangeDevAuthKey(const char* key, ULONG len)
{
    if (!validAuthKey(key, len))
        return SAR_INVALIDPARAMERR;
    CGMSKFOperator* skf = pSKF;
    if (!skf)
        return SKF_NOT_BOUND;
    BYTE keyBytes[kAuthKeyLength];
    Wipe wipeKey(keyBytes, sizeof(keyBytes));
    std::memcpy(keyBytes, key, kAuthKeyLength);
    return skf->SKF_ChangeDevAuthKey(hDev, keyBytes, kAuthKeyLength);
}

ULONG cDevMgr::ChangeDevAuthKeyEx(const char* oldKey, ULONG oldLen, const char* newKey, ULONG newLen)
{
    // Both keys are checked before the token is touched, so a bad new key costs no authentication.
    if (!validAuthKey(oldKey, oldLen) || !validAuthKey(newKey, newLen))
        return SAR_INVALIDPARAMERR;
    const ULONG result = DevAuth(oldKey, oldLen);
    if (result != SAR_OK)
        return result;
    return ChangeDevAuthKey(newKey, newLen);
}

ULONG cDevMgr::Initialize(const char* authKey, ULONG authKeyLen, const char* label, const char* soPin,
                          const char* userPin)
{
    // Every argument is checked before anything on the token is deleted.
    if (!validAuthKey(authKey, authKeyLen) || !label || !soPin || !userPin)
        return SAR_INVALIDPARAMERR;
    CGMSKFOperator* skf = pSKF;
    if (!skf)
        return SKF_NOT_BOUND;

    ULONG result = DevAuth(authKey, authKeyLen);
    if (result != SAR_OK)
        return result;

    // A failed or empty enumeration deletes nothing; its result is not examined.
    std::vector<std::string> apps;
    keymgr::fetchNameList([this, skf](LPSTR list, ULONG* size) { return skf->SKF_EnumApplication(hDev, list, size); },
                          &apps);
    for (std::string& app : apps) {
        result = skf->SKF_DeleteApplication(hDev, app.data());
        if (result != SAR_OK)
            return result;
        // The open application and container may have been the one just deleted.
        hApplication = nullptr;
        hContainer = nullptr;
    }

    std::string appName = kApplicationName;
    result = skf->SKF_CreateApplication(hDev, appName.data(), const_cast<LPSTR>(soPin), kPinRetries,
                                        const_cast<LPSTR>(userPin), kPinRetries, SECURE_ANYONE_ACCOUNT, &hApplication);
    if (result != SAR_OK)
        return result;
    return skf->SKF_SetLabel(hDev, const_cast<LPSTR>(label));
}
