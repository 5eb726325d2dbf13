#include "CGMSKFOperator.h"

#include <dlfcn.h>

#include <cstdio>

namespace {

thread_local std::string t_lastLoadError;

// Per thread: the interface thread installs one to notice a long token walk while it is blocked in
// it; the monitor thread has none.
thread_local keymgr::SkfCallHook t_hook = nullptr;

inline void beforeCall()
{
    if (t_hook)
        t_hook();
}

} // namespace

void keymgr::setSkfCallHook(SkfCallHook hook)
{
    t_hook = hook;
}

CGMSKFOperator::CGMSKFOperator() : hLibrary(nullptr)
{
#define SKF_CLEAR_ENTRY(name) m_##name = nullptr;
    SKF_CALL_TABLE(SKF_CLEAR_ENTRY)
#undef SKF_CLEAR_ENTRY
}

CGMSKFOperator::~CGMSKFOperator() {}

void* CGMSKFOperator::LoadLibrary(const char* path)
{
    // dlopen(nullptr) would hand back the program itself, never an SKF library.
    void* handle = (path && *path) ? dlopen(path, RTLD_LAZY) : nullptr;
    if (!handle) {
        const char* error = (path && *path) ? dlerror() : "no SKF library path given";
        std::fprintf(stderr, "%s\n", error ? error : "cannot open the SKF library");
        t_lastLoadError = error ? error : "cannot open the SKF library";
    } else {
        t_lastLoadError.clear();
    }
    dlerror();
    return handle;
}

void* CGMSKFOperator::GetProcAddress(void* handle, const char* name)
{
    if (!handle || !name)
        return nullptr;
    return dlsym(handle, name);
}

int CGMSKFOperator::UNLoadLibrary(void* handle)
{
    return handle ? dlclose(handle) : -1;
}

int CGMSKFOperator::LoadSKFAPI(const char* path)
{
    void* handle = LoadLibrary(path);
    if (!handle)
        return -1;
    hLibrary = handle;
#define SKF_RESOLVE_ENTRY(name) m_##name = reinterpret_cast<PFN_##name>(GetProcAddress(hLibrary, #name));
    SKF_CALL_TABLE(SKF_RESOLVE_ENTRY)
#undef SKF_RESOLVE_ENTRY
    // A name the library lacks leaves an error pending in the loader; it is not ours to report.
    dlerror();
    return 0;
}

std::vector<std::string> CGMSKFOperator::missingFunctions() const
{
    std::vector<std::string> missing;
#define SKF_LIST_MISSING(name)                                                                                     \
    if (!m_##name)                                                                                                 \
        missing.push_back(#name);
    SKF_CALL_TABLE(SKF_LIST_MISSING)
#undef SKF_LIST_MISSING
    return missing;
}

std::vector<std::string> CGMSKFOperator::missingNeededFunctions() const
{
    static const char* const needed[] = {
        "SKF_WaitForDevEvent",  "SKF_EnumDev",           "SKF_ConnectDev",      "SKF_DisConnectDev",
        "SKF_GetDevInfo",       "SKF_GetPINInfo",        "SKF_VerifyPIN",       "SKF_ChangePIN",
        "SKF_ClearSecureState", "SKF_EnumApplication",   "SKF_OpenApplication", "SKF_CloseApplication",
        "SKF_DeleteContainer",  "SKF_OpenContainer",     "SKF_CloseContainer",  "SKF_EnumContainer",
        "SKF_GetContainerType", "SKF_ExportCertificate", "SKF_ExportPublicKey"};
    std::vector<std::string> missing;
    for (const std::string& name : missingFunctions()) {
        for (const char* wanted : needed) {
            if (name == wanted)
                missing.push_back(name);
        }
    }
    return missing;
}

std::string CGMSKFOperator::lastLoadError()
{
    return t_lastLoadError;
}

int CGMSKFOperator::IsValid()
{
    bool complete = true;
#define SKF_CHECK_ENTRY(name) complete = complete && m_##name != nullptr;
    SKF_CALL_TABLE(SKF_CHECK_ENTRY)
#undef SKF_CHECK_ENTRY
    return complete ? 0 : 1;
}

ULONG CGMSKFOperator::SKF_WaitForDevEvent(LPSTR szDevName, ULONG* pulDevNameLen, ULONG* pulEvent)
{
    return m_SKF_WaitForDevEvent ? (beforeCall(), m_SKF_WaitForDevEvent(szDevName, pulDevNameLen, pulEvent))
                                 : SKF_NOT_BOUND;
}

ULONG CGMSKFOperator::SKF_CancelWaitForDevEvent()
{
    return m_SKF_CancelWaitForDevEvent ? (beforeCall(), m_SKF_CancelWaitForDevEvent()) : SKF_NOT_BOUND;
}

ULONG CGMSKFOperator::SKF_EnumDev(BOOL bPresent, LPSTR szNameList, ULONG* pulSize)
{
    return m_SKF_EnumDev ? (beforeCall(), m_SKF_EnumDev(bPresent, szNameList, pulSize)) : SKF_NOT_BOUND;
}

ULONG CGMSKFOperator::SKF_ConnectDev(LPSTR szName, DEVHANDLE* phDev)
{
    return m_SKF_ConnectDev ? (beforeCall(), m_SKF_ConnectDev(szName, phDev)) : SKF_NOT_BOUND;
}

ULONG CGMSKFOperator::SKF_DisConnectDev(DEVHANDLE hDev)
{
    return m_SKF_DisConnectDev ? (beforeCall(), m_SKF_DisConnectDev(hDev)) : SKF_NOT_BOUND;
}

ULONG CGMSKFOperator::SKF_GetDevState(LPSTR szDevName, ULONG* pulDevState)
{
    return m_SKF_GetDevState ? (beforeCall(), m_SKF_GetDevState(szDevName, pulDevState)) : SKF_NOT_BOUND;
}

ULONG CGMSKFOperator::SKF_SetLabel(DEVHANDLE hDev, LPSTR szLabel)
{
    return m_SKF_SetLabel ? (beforeCall(), m_SKF_SetLabel(hDev, szLabel)) : SKF_NOT_BOUND;
}

ULONG CGMSKFOperator::SKF_GetDevInfo(DEVHANDLE hDev, DEVINFO* pDevInfo)
{
    return m_SKF_GetDevInfo ? (beforeCall(), m_SKF_GetDevInfo(hDev, pDevInfo)) : SKF_NOT_BOUND;
}

ULONG CGMSKFOperator::SKF_Transmit(DEVHANDLE hDev, BYTE* pbCommand, ULONG ulCommandLen, BYTE* pbData, ULONG* pulDataLen)
{
    return m_SKF_Transmit ? (beforeCall(), m_SKF_Transmit(hDev, pbCommand, ulCommandLen, pbData, pulDataLen))
                          : SKF_NOT_BOUND;
}

ULONG CGMSKFOperator::SKF_DevAuth(DEVHANDLE hDev, BYTE* pbAuthData, ULONG ulLen)
{
    return m_SKF_DevAuth ? (beforeCall(), m_SKF_DevAuth(hDev, pbAuthData, ulLen)) : SKF_NOT_BOUND;
}

ULONG CGMSKFOperator::SKF_ChangeDevAuthKey(DEVHANDLE hDev, BYTE* pbKeyValue, ULONG ulKeyLen)
{
    return m_SKF_ChangeDevAuthKey ? (beforeCall(), m_SKF_ChangeDevAuthKey(hDev, pbKeyValue, ulKeyLen)) : SKF_NOT_BOUND;
}

ULONG CGMSKFOperator::SKF_ChangePIN(HAPPLICATION hApplication, ULONG ulPINType, LPSTR szOldPin, LPSTR szNewPin,
                                    ULONG* pulRetryCount)
{
    return m_SKF_ChangePIN ? (beforeCall(), m_SKF_ChangePIN(hApplication, ulPINType, szOldPin, szNewPin, pulRetryCount))
                           : SKF_NOT_BOUND;
}

ULONG CGMSKFOperator::SKF_GetPINInfo(HAPPLICATION hApplication, ULONG ulPINType, ULONG* pulMaxRetryCount,
                                     ULONG* pulRemainRetryCount, BOOL* pbDefaultPin)
{
    return m_SKF_GetPINInfo ? (beforeCall(), m_SKF_GetPINInfo(hApplication, ulPINType, pulMaxRetryCount,
                                                              pulRemainRetryCount, pbDefaultPin))
                            : SKF_NOT_BOUND;
}

ULONG CGMSKFOperator::SKF_VerifyPIN(HAPPLICATION hApplication, ULONG ulPINType, LPSTR szPIN, ULONG* pulRetryCount)
{
    return m_SKF_VerifyPIN ? (beforeCall(), m_SKF_VerifyPIN(hApplication, ulPINType, szPIN, pulRetryCount))
                           : SKF_NOT_BOUND;
}

ULONG CGMSKFOperator::SKF_UnblockPIN(HAPPLICATION hApplication, LPSTR szAdminPIN, LPSTR szNewUserPIN,
                                     ULONG* pulRetryCount)
{
    return m_SKF_UnblockPIN ? (beforeCall(), m_SKF_UnblockPIN(hApplication, szAdminPIN, szNewUserPIN, pulRetryCount))
                            : SKF_NOT_BOUND;
}

ULONG CGMSKFOperator::SKF_ClearSecureState(HAPPLICATION hApplication)
{
    return m_SKF_ClearSecureState ? (beforeCall(), m_SKF_ClearSecureState(hApplication)) : SKF_NOT_BOUND;
}

ULONG CGMSKFOperator::SKF_CreateApplication(DEVHANDLE hDev, LPSTR szAppName, LPSTR szAdminPin,
                                            DWORD dwAdminPinRetryCount, LPSTR szUserPin, DWORD dwUserPinRetryCount,
                                            DWORD dwCreateFileRights, HAPPLICATION* phApplication)
{
    return m_SKF_CreateApplication
               ? (beforeCall(), m_SKF_CreateApplication(hDev, szAppName, szAdminPin, dwAdminPinRetryCount, szUserPin,
                                                        dwUserPinRetryCount, dwCreateFileRights, phApplication))
               : SKF_NOT_BOUND;
}

ULONG CGMSKFOperator::SKF_EnumApplication(DEVHANDLE hDev, LPSTR szAppName, ULONG* pulSize)
{
    return m_SKF_EnumApplication ? (beforeCall(), m_SKF_EnumApplication(hDev, szAppName, pulSize)) : SKF_NOT_BOUND;
}

ULONG CGMSKFOperator::SKF_DeleteApplication(DEVHANDLE hDev, LPSTR szAppName)
{
    return m_SKF_DeleteApplication ? (beforeCall(), m_SKF_DeleteApplication(hDev, szAppName)) : SKF_NOT_BOUND;
}

ULONG CGMSKFOperator::SKF_OpenApplication(DEVHANDLE hDev, LPSTR szAppName, HAPPLICATION* phApplication)
{
    return m_SKF_OpenApplication ? (beforeCall(), m_SKF_OpenApplication(hDev, szAppName, phApplication))
                                 : SKF_NOT_BOUND;
}

ULONG CGMSKFOperator::SKF_CloseApplication(HAPPLICATION hApplication)
{
    return m_SKF_CloseApplication ? (beforeCall(), m_SKF_CloseApplication(hApplication)) : SKF_NOT_BOUND;
}

ULONG CGMSKFOperator::SKF_CreateFile(HAPPLICATION hApplication, LPSTR szFileName, ULONG ulFileSize, ULONG ulReadRights,
                                     ULONG ulWriteRights)
{
    return m_SKF_CreateFile
               ? (beforeCall(), m_SKF_CreateFile(hApplication, szFileName, ulFileSize, ulReadRights, ulWriteRights))
               : SKF_NOT_BOUND;
}

ULONG CGMSKFOperator::SKF_DeleteFile(HAPPLICATION hApplication, LPSTR szFileName)
{
    return m_SKF_DeleteFile ? (beforeCall(), m_SKF_DeleteFile(hApplication, szFileName)) : SKF_NOT_BOUND;
}

ULONG CGMSKFOperator::SKF_EnumFiles(HAPPLICATION hApplication, LPSTR szFileList, ULONG* pulSize)
{
    return m_SKF_EnumFiles ? (beforeCall(), m_SKF_EnumFiles(hApplication, szFileList, pulSize)) : SKF_NOT_BOUND;
}

ULONG CGMSKFOperator::SKF_GetFileInfo(HAPPLICATION hApplication, LPSTR szFileName, FILEATTRIBUTE* pFileInfo)
{
    return m_SKF_GetFileInfo ? (beforeCall(), m_SKF_GetFileInfo(hApplication, szFileName, pFileInfo)) : SKF_NOT_BOUND;
}

ULONG CGMSKFOperator::SKF_ReadFile(HAPPLICATION hApplication, LPSTR szFileName, ULONG ulOffset, ULONG ulSize,
                                   BYTE* pbOutData, ULONG* pulOutLen)
{
    return m_SKF_ReadFile
               ? (beforeCall(), m_SKF_ReadFile(hApplication, szFileName, ulOffset, ulSize, pbOutData, pulOutLen))
               : SKF_NOT_BOUND;
}

ULONG CGMSKFOperator::SKF_WriteFile(HAPPLICATION hApplication, LPSTR szFileName, ULONG ulOffset, BYTE* pbData,
                                    ULONG ulSize)
{
    return m_SKF_WriteFile ? (beforeCall(), m_SKF_WriteFile(hApplication, szFileName, ulOffset, pbData, ulSize))
                           : SKF_NOT_BOUND;
}

ULONG CGMSKFOperator::SKF_CreateContainer(HAPPLICATION hApplication, LPSTR szContainerName, HCONTAINER* phContainer)
{
    return m_SKF_CreateContainer ? (beforeCall(), m_SKF_CreateContainer(hApplication, szContainerName, phContainer))
                                 : SKF_NOT_BOUND;
}

ULONG CGMSKFOperator::SKF_DeleteContainer(HAPPLICATION hApplication, LPSTR szContainerName)
{
    return m_SKF_DeleteContainer ? (beforeCall(), m_SKF_DeleteContainer(hApplication, szContainerName)) : SKF_NOT_BOUND;
}

ULONG CGMSKFOperator::SKF_OpenContainer(HAPPLICATION hApplication, LPSTR szContainerName, HCONTAINER* phContainer)
{
    return m_SKF_OpenContainer ? (beforeCall(), m_SKF_OpenContainer(hApplication, szContainerName, phContainer))
                               : SKF_NOT_BOUND;
}

ULONG CGMSKFOperator::SKF_CloseContainer(HCONTAINER hContainer)
{
    return m_SKF_CloseContainer ? (beforeCall(), m_SKF_CloseContainer(hContainer)) : SKF_NOT_BOUND;
}

ULONG CGMSKFOperator::SKF_EnumContainer(HAPPLICATION hApplication, LPSTR szContainerName, ULONG* pulSize)
{
    return m_SKF_EnumContainer ? (beforeCall(), m_SKF_EnumContainer(hApplication, szContainerName, pulSize))
                               : SKF_NOT_BOUND;
}

ULONG CGMSKFOperator::SKF_GetContainerType(HCONTAINER hContainer, ULONG* pulContainerType)
{
    return m_SKF_GetContainerType ? (beforeCall(), m_SKF_GetContainerType(hContainer, pulContainerType))
                                  : SKF_NOT_BOUND;
}

ULONG CGMSKFOperator::SKF_ExtGetContainerInfo(HCONTAINER hContainer, ContainerInfo* pContainerInfo)
{
    return m_SKF_ExtGetContainerInfo ? (beforeCall(), m_SKF_ExtGetContainerInfo(hContainer, pContainerInfo))
                                     : SKF_NOT_BOUND;
}

ULONG CGMSKFOperator::SKF_ImportCertificate(HCONTAINER hContainer, BOOL bSignFlag, BYTE* pbCert, ULONG ulCertLen)
{
    return m_SKF_ImportCertificate ? (beforeCall(), m_SKF_ImportCertificate(hContainer, bSignFlag, pbCert, ulCertLen))
                                   : SKF_NOT_BOUND;
}

ULONG CGMSKFOperator::SKF_ExportCertificate(HCONTAINER hContainer, BOOL bSignFlag, BYTE* pbCert, ULONG* pulCertLen)
{
    return m_SKF_ExportCertificate ? (beforeCall(), m_SKF_ExportCertificate(hContainer, bSignFlag, pbCert, pulCertLen))
                                   : SKF_NOT_BOUND;
}

ULONG CGMSKFOperator::SKF_GenRandom(DEVHANDLE hDev, BYTE* pbRandom, ULONG ulRandomLen)
{
    return m_SKF_GenRandom ? (beforeCall(), m_SKF_GenRandom(hDev, pbRandom, ulRandomLen)) : SKF_NOT_BOUND;
}

ULONG CGMSKFOperator::SKF_RSASignData(HCONTAINER hContainer, BYTE* pbData, ULONG ulDataLen, BYTE* pbSignature,
                                      ULONG* pulSignLen)
{
    return m_SKF_RSASignData ? (beforeCall(), m_SKF_RSASignData(hContainer, pbData, ulDataLen, pbSignature, pulSignLen))
                             : SKF_NOT_BOUND;
}

ULONG CGMSKFOperator::SKF_RSAVerify(DEVHANDLE hDev, RSAPUBLICKEYBLOB* pRSAPubKeyBlob, BYTE* pbData, ULONG ulDataLen,
                                    BYTE* pbSignature, ULONG ulSignLen)
{
    return m_SKF_RSAVerify
               ? (beforeCall(), m_SKF_RSAVerify(hDev, pRSAPubKeyBlob, pbData, ulDataLen, pbSignature, ulSignLen))
               : SKF_NOT_BOUND;
}

ULONG CGMSKFOperator::SKF_GenECCKeyPair(HCONTAINER hContainer, ULONG ulAlgId, ECCPUBLICKEYBLOB* pBlob)
{
    return m_SKF_GenECCKeyPair ? (beforeCall(), m_SKF_GenECCKeyPair(hContainer, ulAlgId, pBlob)) : SKF_NOT_BOUND;
}

ULONG CGMSKFOperator::SKF_ImportECCKeyPair(HCONTAINER hContainer, ENVELOPEDKEYBLOB* pEnvelopedKeyBlob)
{
    return m_SKF_ImportECCKeyPair ? (beforeCall(), m_SKF_ImportECCKeyPair(hContainer, pEnvelopedKeyBlob))
                                  : SKF_NOT_BOUND;
}

ULONG CGMSKFOperator::SKF_ECCSignData(HCONTAINER hContainer, BYTE* pbData, ULONG ulDataLen,
                                      ECCSIGNATUREBLOB* pSignature)
{
    return m_SKF_ECCSignData ? (beforeCall(), m_SKF_ECCSignData(hContainer, pbData, ulDataLen, pSignature))
                             : SKF_NOT_BOUND;
}

ULONG CGMSKFOperator::SKF_ECCVerify(DEVHANDLE hDev, ECCPUBLICKEYBLOB* pECCPubKeyBlob, BYTE* pbData, ULONG ulDataLen,
                                    ECCSIGNATUREBLOB* pSignature)
{
    return m_SKF_ECCVerify ? (beforeCall(), m_SKF_ECCVerify(hDev, pECCPubKeyBlob, pbData, ulDataLen, pSignature))
                           : SKF_NOT_BOUND;
}

ULONG CGMSKFOperator::SKF_ECCExportSessionKey(HCONTAINER hContainer, ULONG ulAlgId, ECCPUBLICKEYBLOB* pPubKey,
                                              ECCCIPHERBLOB* pData, HANDLE* phSessionKey)
{
    return m_SKF_ECCExportSessionKey
               ? (beforeCall(), m_SKF_ECCExportSessionKey(hContainer, ulAlgId, pPubKey, pData, phSessionKey))
               : SKF_NOT_BOUND;
}

ULONG CGMSKFOperator::SKF_ExtECCEncrypt(DEVHANDLE hDev, ECCPUBLICKEYBLOB* pECCPubKeyBlob, BYTE* pbPlainText,
                                        ULONG ulPlainTextLen, ECCCIPHERBLOB* pCipherText)
{
    return m_SKF_ExtECCEncrypt
               ? (beforeCall(), m_SKF_ExtECCEncrypt(hDev, pECCPubKeyBlob, pbPlainText, ulPlainTextLen, pCipherText))
               : SKF_NOT_BOUND;
}

ULONG CGMSKFOperator::SKF_ExtECCDecrypt(DEVHANDLE hDev, ECCPRIVATEKEYBLOB* pECCPriKeyBlob, ECCCIPHERBLOB* pCipherText,
                                        BYTE* pbPlainText, ULONG* pulPlainTextLen)
{
    return m_SKF_ExtECCDecrypt
               ? (beforeCall(), m_SKF_ExtECCDecrypt(hDev, pECCPriKeyBlob, pCipherText, pbPlainText, pulPlainTextLen))
               : SKF_NOT_BOUND;
}

ULONG CGMSKFOperator::SKF_ExtECCSign(DEVHANDLE hDev, ECCPRIVATEKEYBLOB* pECCPriKeyBlob, BYTE* pbData, ULONG ulDataLen,
                                     ECCSIGNATUREBLOB* pSignature)
{
    return m_SKF_ExtECCSign ? (beforeCall(), m_SKF_ExtECCSign(hDev, pECCPriKeyBlob, pbData, ulDataLen, pSignature))
                            : SKF_NOT_BOUND;
}

ULONG CGMSKFOperator::SKF_ExtECCVerify(DEVHANDLE hDev, ECCPUBLICKEYBLOB* pECCPubKeyBlob, BYTE* pbData, ULONG ulDataLen,
                                       ECCSIGNATUREBLOB* pSignature)
{
    return m_SKF_ExtECCVerify ? (beforeCall(), m_SKF_ExtECCVerify(hDev, pECCPubKeyBlob, pbData, ulDataLen, pSignature))
                              : SKF_NOT_BOUND;
}

ULONG CGMSKFOperator::SKF_GenerateAgreementDataWithECC(HCONTAINER hContainer, ULONG ulAlgId,
                                                       ECCPUBLICKEYBLOB* pTempECCPubKeyBlob, BYTE* pbID, ULONG ulIDLen,
                                                       HANDLE* phAgreementHandle)
{
    return m_SKF_GenerateAgreementDataWithECC
               ? (beforeCall(), m_SKF_GenerateAgreementDataWithECC(hContainer, ulAlgId, pTempECCPubKeyBlob, pbID,
                                                                   ulIDLen, phAgreementHandle))
               : SKF_NOT_BOUND;
}

ULONG CGMSKFOperator::SKF_GenerateAgreementDataAndKeyWithECC(HANDLE hContainer, ULONG ulAlgId,
                                                             ECCPUBLICKEYBLOB* pSponsorECCPubKeyBlob,
                                                             ECCPUBLICKEYBLOB* pSponsorTempECCPubKeyBlob,
                                                             ECCPUBLICKEYBLOB* pTempECCPubKeyBlob, BYTE* pbID,
                                                             ULONG ulIDLen, BYTE* pbSponsorID, ULONG ulSponsorIDLen,
                                                             HANDLE* phKeyHandle)
{
    return m_SKF_GenerateAgreementDataAndKeyWithECC
               ? (beforeCall(), m_SKF_GenerateAgreementDataAndKeyWithECC(
                                    hContainer, ulAlgId, pSponsorECCPubKeyBlob, pSponsorTempECCPubKeyBlob,
                                    pTempECCPubKeyBlob, pbID, ulIDLen, pbSponsorID, ulSponsorIDLen, phKeyHandle))
               : SKF_NOT_BOUND;
}

ULONG CGMSKFOperator::SKF_GenerateKeyWithECC(HANDLE hAgreementHandle, ECCPUBLICKEYBLOB* pECCPubKeyBlob,
                                             ECCPUBLICKEYBLOB* pTempECCPubKeyBlob, BYTE* pbID, ULONG ulIDLen,
                                             HANDLE* phKeyHandle)
{
    return m_SKF_GenerateKeyWithECC
               ? (beforeCall(), m_SKF_GenerateKeyWithECC(hAgreementHandle, pECCPubKeyBlob, pTempECCPubKeyBlob, pbID,
                                                         ulIDLen, phKeyHandle))
               : SKF_NOT_BOUND;
}

ULONG CGMSKFOperator::SKF_ExportPublicKey(HCONTAINER hContainer, BOOL bSignFlag, BYTE* pbBlob, ULONG* pulBlobLen)
{
    return m_SKF_ExportPublicKey ? (beforeCall(), m_SKF_ExportPublicKey(hContainer, bSignFlag, pbBlob, pulBlobLen))
                                 : SKF_NOT_BOUND;
}

ULONG CGMSKFOperator::SKF_ImportSessionKey(HCONTAINER hContainer, ULONG ulAlgId, BYTE* pbWrapedData, ULONG ulWrapedLen,
                                           HANDLE* phKey)
{
    return m_SKF_ImportSessionKey
               ? (beforeCall(), m_SKF_ImportSessionKey(hContainer, ulAlgId, pbWrapedData, ulWrapedLen, phKey))
               : SKF_NOT_BOUND;
}

ULONG CGMSKFOperator::SKF_SetSymmKey(DEVHANDLE hDev, BYTE* pbKey, ULONG ulAlgID, HANDLE* phKey)
{
    return m_SKF_SetSymmKey ? (beforeCall(), m_SKF_SetSymmKey(hDev, pbKey, ulAlgID, phKey)) : SKF_NOT_BOUND;
}

ULONG CGMSKFOperator::SKF_EncryptInit(HANDLE hKey, BLOCKCIPHERPARAM EncryptParam)
{
    return m_SKF_EncryptInit ? (beforeCall(), m_SKF_EncryptInit(hKey, EncryptParam)) : SKF_NOT_BOUND;
}

ULONG CGMSKFOperator::SKF_Encrypt(HANDLE hKey, BYTE* pbData, ULONG ulDataLen, BYTE* pbEncryptedData,
                                  ULONG* pulEncryptedLen)
{
    return m_SKF_Encrypt ? (beforeCall(), m_SKF_Encrypt(hKey, pbData, ulDataLen, pbEncryptedData, pulEncryptedLen))
                         : SKF_NOT_BOUND;
}

ULONG CGMSKFOperator::SKF_EncryptUpdate(HANDLE hKey, BYTE* pbData, ULONG ulDataLen, BYTE* pbEncryptedData,
                                        ULONG* pulEncryptedLen)
{
    return m_SKF_EncryptUpdate
               ? (beforeCall(), m_SKF_EncryptUpdate(hKey, pbData, ulDataLen, pbEncryptedData, pulEncryptedLen))
               : SKF_NOT_BOUND;
}

ULONG CGMSKFOperator::SKF_EncryptFinal(HANDLE hKey, BYTE* pbEncryptedData, ULONG* pulEncryptedDataLen)
{
    return m_SKF_EncryptFinal ? (beforeCall(), m_SKF_EncryptFinal(hKey, pbEncryptedData, pulEncryptedDataLen))
                              : SKF_NOT_BOUND;
}

ULONG CGMSKFOperator::SKF_DecryptInit(HANDLE hKey, BLOCKCIPHERPARAM DecryptParam)
{
    return m_SKF_DecryptInit ? (beforeCall(), m_SKF_DecryptInit(hKey, DecryptParam)) : SKF_NOT_BOUND;
}

ULONG CGMSKFOperator::SKF_Decrypt(HANDLE hKey, BYTE* pbEncryptedData, ULONG ulEncryptedLen, BYTE* pbData,
                                  ULONG* pulDataLen)
{
    return m_SKF_Decrypt ? (beforeCall(), m_SKF_Decrypt(hKey, pbEncryptedData, ulEncryptedLen, pbData, pulDataLen))
                         : SKF_NOT_BOUND;
}

ULONG CGMSKFOperator::SKF_DecryptUpdate(HANDLE hKey, BYTE* pbEncryptedData, ULONG ulEncryptedLen, BYTE* pbData,
                                        ULONG* pulDataLen)
{
    return m_SKF_DecryptUpdate
               ? (beforeCall(), m_SKF_DecryptUpdate(hKey, pbEncryptedData, ulEncryptedLen, pbData, pulDataLen))
               : SKF_NOT_BOUND;
}

ULONG CGMSKFOperator::SKF_DecryptFinal(HANDLE hKey, BYTE* pbDecryptedData, ULONG* pulDecryptedDataLen)
{
    return m_SKF_DecryptFinal ? (beforeCall(), m_SKF_DecryptFinal(hKey, pbDecryptedData, pulDecryptedDataLen))
                              : SKF_NOT_BOUND;
}

ULONG CGMSKFOperator::SKF_DigestInit(DEVHANDLE hDev, ULONG ulAlgID, ECCPUBLICKEYBLOB* pPubKey, unsigned char* pucID,
                                     ULONG ulIDLen, HANDLE* phHash)
{
    return m_SKF_DigestInit ? (beforeCall(), m_SKF_DigestInit(hDev, ulAlgID, pPubKey, pucID, ulIDLen, phHash))
                            : SKF_NOT_BOUND;
}

ULONG CGMSKFOperator::SKF_Digest(HANDLE hHash, BYTE* pbData, ULONG ulDataLen, BYTE* pbHashData, ULONG* pulHashLen)
{
    return m_SKF_Digest ? (beforeCall(), m_SKF_Digest(hHash, pbData, ulDataLen, pbHashData, pulHashLen))
                        : SKF_NOT_BOUND;
}

ULONG CGMSKFOperator::SKF_DigestUpdate(HANDLE hHash, BYTE* pbData, ULONG ulDataLen)
{
    return m_SKF_DigestUpdate ? (beforeCall(), m_SKF_DigestUpdate(hHash, pbData, ulDataLen)) : SKF_NOT_BOUND;
}

ULONG CGMSKFOperator::SKF_DigestFinal(HANDLE hHash, BYTE* pHashData, ULONG* pulHashLen)
{
    return m_SKF_DigestFinal ? (beforeCall(), m_SKF_DigestFinal(hHash, pHashData, pulHashLen)) : SKF_NOT_BOUND;
}

ULONG CGMSKFOperator::SKF_MacInit(HANDLE hKey, BLOCKCIPHERPARAM* pMacParam, HANDLE* phMac)
{
    return m_SKF_MacInit ? (beforeCall(), m_SKF_MacInit(hKey, pMacParam, phMac)) : SKF_NOT_BOUND;
}

ULONG CGMSKFOperator::SKF_Mac(HANDLE hMac, BYTE* pbData, ULONG ulDataLen, BYTE* pbMacData, ULONG* pulMacLen)
{
    return m_SKF_Mac ? (beforeCall(), m_SKF_Mac(hMac, pbData, ulDataLen, pbMacData, pulMacLen)) : SKF_NOT_BOUND;
}

ULONG CGMSKFOperator::SKF_MacUpdate(HANDLE hMac, BYTE* pbData, ULONG ulDataLen)
{
    return m_SKF_MacUpdate ? (beforeCall(), m_SKF_MacUpdate(hMac, pbData, ulDataLen)) : SKF_NOT_BOUND;
}

ULONG CGMSKFOperator::SKF_MacFinal(HANDLE hMac, BYTE* pbMacData, ULONG* pulMacDataLen)
{
    return m_SKF_MacFinal ? (beforeCall(), m_SKF_MacFinal(hMac, pbMacData, pulMacDataLen)) : SKF_NOT_BOUND;
}

ULONG CGMSKFOperator::SKF_CloseHandle(HANDLE hHandle)
{
    return m_SKF_CloseHandle ? (beforeCall(), m_SKF_CloseHandle(hHandle)) : SKF_NOT_BOUND;
}
