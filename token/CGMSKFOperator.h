// Call table of the SKF library: opens the vendor library at run time and binds its functions
// by name. Each forwarding operation returns SKF_NOT_BOUND (0xFFFFFFFF) when the library lacks
// the function, and otherwise passes arguments and result through unchanged.
#ifndef KEYMGR_CGMSKFOPERATOR_H
#define KEYMGR_CGMSKFOPERATOR_H

#include "skf_defs.h"

#include <string>
#include <vector>

namespace keymgr {
// Runs before every call the calling thread makes through a call table; nullptr removes it.
using SkfCallHook = void (*)();
void setSkfCallHook(SkfCallHook hook);
} // namespace keymgr

class CGMSKFOperator
{
public:
    CGMSKFOperator();
    // Neither empties the table nor closes the library: the table lives as long as the process.
    ~CGMSKFOperator();
    CGMSKFOperator(const CGMSKFOperator&) = delete;
    CGMSKFOperator& operator=(const CGMSKFOperator&) = delete;

    void* LoadLibrary(const char* path);
    void* GetProcAddress(void* handle, const char* name);
    int UNLoadLibrary(void* handle);
    // 0 once the library is open (missing names leave their entries empty), -1 when it cannot be opened.
    int LoadSKFAPI(const char* path);
    // 0 when all 71 entries are bound, 1 when any is empty.
    int IsValid();
    // Names of the entries the library left empty, in table order.
    std::vector<std::string> missingFunctions() const;
    // The same for the entries the program's visible functions call (listing, information, PIN
    // verification and change, certificates, deletion, clean-up): without them it cannot work.
    std::vector<std::string> missingNeededFunctions() const;
    // Why this thread's last LoadLibrary failed (the loader's text); empty after a success.
    static std::string lastLoadError();

    ULONG SKF_WaitForDevEvent(LPSTR szDevName, ULONG* pulDevNameLen, ULONG* pulEvent);
    ULONG SKF_CancelWaitForDevEvent();
    ULONG SKF_EnumDev(BOOL bPresent, LPSTR szNameList, ULONG* pulSize);
    ULONG SKF_ConnectDev(LPSTR szName, DEVHANDLE* phDev);
    ULONG SKF_DisConnectDev(DEVHANDLE hDev);
    ULONG SKF_GetDevState(LPSTR szDevName, ULONG* pulDevState);
    ULONG SKF_SetLabel(DEVHANDLE hDev, LPSTR szLabel);
    ULONG SKF_GetDevInfo(DEVHANDLE hDev, DEVINFO* pDevInfo);
    ULONG SKF_Transmit(DEVHANDLE hDev, BYTE* pbCommand, ULONG ulCommandLen, BYTE* pbData, ULONG* pulDataLen);
    ULONG SKF_DevAuth(DEVHANDLE hDev, BYTE* pbAuthData, ULONG ulLen);
    ULONG SKF_ChangeDevAuthKey(DEVHANDLE hDev, BYTE* pbKeyValue, ULONG ulKeyLen);
    ULONG SKF_ChangePIN(HAPPLICATION hApplication, ULONG ulPINType, LPSTR szOldPin, LPSTR szNewPin,
                        ULONG* pulRetryCount);
    ULONG SKF_GetPINInfo(HAPPLICATION hApplication, ULONG ulPINType, ULONG* pulMaxRetryCount,
                         ULONG* pulRemainRetryCount, BOOL* pbDefaultPin);
    ULONG SKF_VerifyPIN(HAPPLICATION hApplication, ULONG ulPINType, LPSTR szPIN, ULONG* pulRetryCount);
    ULONG SKF_UnblockPIN(HAPPLICATION hApplication, LPSTR szAdminPIN, LPSTR szNewUserPIN, ULONG* pulRetryCount);
    ULONG SKF_ClearSecureState(HAPPLICATION hApplication);
    ULONG SKF_CreateApplication(DEVHANDLE hDev, LPSTR szAppName, LPSTR szAdminPin, DWORD dwAdminPinRetryCount,
                                LPSTR szUserPin, DWORD dwUserPinRetryCount, DWORD dwCreateFileRights,
                                HAPPLICATION* phApplication);
    ULONG SKF_EnumApplication(DEVHANDLE hDev, LPSTR szAppName, ULONG* pulSize);
    ULONG SKF_DeleteApplication(DEVHANDLE hDev, LPSTR szAppName);
    ULONG SKF_OpenApplication(DEVHANDLE hDev, LPSTR szAppName, HAPPLICATION* phApplication);
    ULONG SKF_CloseApplication(HAPPLICATION hApplication);
    ULONG SKF_CreateFile(HAPPLICATION hApplication, LPSTR szFileName, ULONG ulFileSize, ULONG ulReadRights,
                         ULONG ulWriteRights);
    ULONG SKF_DeleteFile(HAPPLICATION hApplication, LPSTR szFileName);
    ULONG SKF_EnumFiles(HAPPLICATION hApplication, LPSTR szFileList, ULONG* pulSize);
    ULONG SKF_GetFileInfo(HAPPLICATION hApplication, LPSTR szFileName, FILEATTRIBUTE* pFileInfo);
    ULONG SKF_ReadFile(HAPPLICATION hApplication, LPSTR szFileName, ULONG ulOffset, ULONG ulSize, BYTE* pbOutData,
                       ULONG* pulOutLen);
    ULONG SKF_WriteFile(HAPPLICATION hApplication, LPSTR szFileName, ULONG ulOffset, BYTE* pbData, ULONG ulSize);
    ULONG SKF_CreateContainer(HAPPLICATION hApplication, LPSTR szContainerName, HCONTAINER* phContainer);
    ULONG SKF_DeleteContainer(HAPPLICATION hApplication, LPSTR szContainerName);
    ULONG SKF_OpenContainer(HAPPLICATION hApplication, LPSTR szContainerName, HCONTAINER* phContainer);
    ULONG SKF_CloseContainer(HCONTAINER hContainer);
    ULONG SKF_EnumContainer(HAPPLICATION hApplication, LPSTR szContainerName, ULONG* pulSize);
    ULONG SKF_GetContainerType(HCONTAINER hContainer, ULONG* pulContainerType);
    ULONG SKF_ExtGetContainerInfo(HCONTAINER hContainer, ContainerInfo* pContainerInfo);
    ULONG SKF_ImportCertificate(HCONTAINER hContainer, BOOL bSignFlag, BYTE* pbCert, ULONG ulCertLen);
    ULONG SKF_ExportCertificate(HCONTAINER hContainer, BOOL bSignFlag, BYTE* pbCert, ULONG* pulCertLen);
    ULONG SKF_GenRandom(DEVHANDLE hDev, BYTE* pbRandom, ULONG ulRandomLen);
    ULONG SKF_RSASignData(HCONTAINER hContainer, BYTE* pbData, ULONG ulDataLen, BYTE* pbSignature, ULONG* pulSignLen);
    ULONG SKF_RSAVerify(DEVHANDLE hDev, RSAPUBLICKEYBLOB* pRSAPubKeyBlob, BYTE* pbData, ULONG ulDataLen,
                        BYTE* pbSignature, ULONG ulSignLen);
    ULONG SKF_GenECCKeyPair(HCONTAINER hContainer, ULONG ulAlgId, ECCPUBLICKEYBLOB* pBlob);
    ULONG SKF_ImportECCKeyPair(HCONTAINER hContainer, ENVELOPEDKEYBLOB* pEnvelopedKeyBlob);
    ULONG SKF_ECCSignData(HCONTAINER hContainer, BYTE* pbData, ULONG ulDataLen, ECCSIGNATUREBLOB* pSignature);
    ULONG SKF_ECCVerify(DEVHANDLE hDev, ECCPUBLICKEYBLOB* pECCPubKeyBlob, BYTE* pbData, ULONG ulDataLen,
                        ECCSIGNATUREBLOB* pSignature);
    ULONG SKF_ECCExportSessionKey(HCONTAINER hContainer, ULONG ulAlgId, ECCPUBLICKEYBLOB* pPubKey, ECCCIPHERBLOB* pData,
                                  HANDLE* phSessionKey);
    ULONG SKF_ExtECCEncrypt(DEVHANDLE hDev, ECCPUBLICKEYBLOB* pECCPubKeyBlob, BYTE* pbPlainText, ULONG ulPlainTextLen,
                            ECCCIPHERBLOB* pCipherText);
    ULONG SKF_ExtECCDecrypt(DEVHANDLE hDev, ECCPRIVATEKEYBLOB* pECCPriKeyBlob, ECCCIPHERBLOB* pCipherText,
                            BYTE* pbPlainText, ULONG* pulPlainTextLen);
    ULONG SKF_ExtECCSign(DEVHANDLE hDev, ECCPRIVATEKEYBLOB* pECCPriKeyBlob, BYTE* pbData, ULONG ulDataLen,
                         ECCSIGNATUREBLOB* pSignature);
    ULONG SKF_ExtECCVerify(DEVHANDLE hDev, ECCPUBLICKEYBLOB* pECCPubKeyBlob, BYTE* pbData, ULONG ulDataLen,
                           ECCSIGNATUREBLOB* pSignature);
    ULONG SKF_GenerateAgreementDataWithECC(HCONTAINER hContainer, ULONG ulAlgId, ECCPUBLICKEYBLOB* pTempECCPubKeyBlob,
                                           BYTE* pbID, ULONG ulIDLen, HANDLE* phAgreementHandle);
    ULONG SKF_GenerateAgreementDataAndKeyWithECC(HANDLE hContainer, ULONG ulAlgId,
                                                 ECCPUBLICKEYBLOB* pSponsorECCPubKeyBlob,
                                                 ECCPUBLICKEYBLOB* pSponsorTempECCPubKeyBlob,
                                                 ECCPUBLICKEYBLOB* pTempECCPubKeyBlob, BYTE* pbID, ULONG ulIDLen,
                                                 BYTE* pbSponsorID, ULONG ulSponsorIDLen, HANDLE* phKeyHandle);
    ULONG SKF_GenerateKeyWithECC(HANDLE hAgreementHandle, ECCPUBLICKEYBLOB* pECCPubKeyBlob,
                                 ECCPUBLICKEYBLOB* pTempECCPubKeyBlob, BYTE* pbID, ULONG ulIDLen, HANDLE* phKeyHandle);
    ULONG SKF_ExportPublicKey(HCONTAINER hContainer, BOOL bSignFlag, BYTE* pbBlob, ULONG* pulBlobLen);
    ULONG SKF_ImportSessionKey(HCONTAINER hContainer, ULONG ulAlgId, BYTE* pbWrapedData, ULONG ulWrapedLen,
                               HANDLE* phKey);
    ULONG SKF_SetSymmKey(DEVHANDLE hDev, BYTE* pbKey, ULONG ulAlgID, HANDLE* phKey);
    ULONG SKF_EncryptInit(HANDLE hKey, BLOCKCIPHERPARAM EncryptParam);
    ULONG SKF_Encrypt(HANDLE hKey, BYTE* pbData, ULONG ulDataLen, BYTE* pbEncryptedData, ULONG* pulEncryptedLen);
    ULONG SKF_EncryptUpdate(HANDLE hKey, BYTE* pbData, ULONG ulDataLen, BYTE* pbEncryptedData, ULONG* pulEncryptedLen);
    ULONG SKF_EncryptFinal(HANDLE hKey, BYTE* pbEncryptedData, ULONG* pulEncryptedDataLen);
    ULONG SKF_DecryptInit(HANDLE hKey, BLOCKCIPHERPARAM DecryptParam);
    ULONG SKF_Decrypt(HANDLE hKey, BYTE* pbEncryptedData, ULONG ulEncryptedLen, BYTE* pbData, ULONG* pulDataLen);
    ULONG SKF_DecryptUpdate(HANDLE hKey, BYTE* pbEncryptedData, ULONG ulEncryptedLen, BYTE* pbData, ULONG* pulDataLen);
    ULONG SKF_DecryptFinal(HANDLE hKey, BYTE* pbDecryptedData, ULONG* pulDecryptedDataLen);
    ULONG SKF_DigestInit(DEVHANDLE hDev, ULONG ulAlgID, ECCPUBLICKEYBLOB* pPubKey, unsigned char* pucID, ULONG ulIDLen,
                         HANDLE* phHash);
    ULONG SKF_Digest(HANDLE hHash, BYTE* pbData, ULONG ulDataLen, BYTE* pbHashData, ULONG* pulHashLen);
    ULONG SKF_DigestUpdate(HANDLE hHash, BYTE* pbData, ULONG ulDataLen);
    ULONG SKF_DigestFinal(HANDLE hHash, BYTE* pHashData, ULONG* pulHashLen);
    ULONG SKF_MacInit(HANDLE hKey, BLOCKCIPHERPARAM* pMacParam, HANDLE* phMac);
    ULONG SKF_Mac(HANDLE hMac, BYTE* pbData, ULONG ulDataLen, BYTE* pbMacData, ULONG* pulMacLen);
    ULONG SKF_MacUpdate(HANDLE hMac, BYTE* pbData, ULONG ulDataLen);
    ULONG SKF_MacFinal(HANDLE hMac, BYTE* pbMacData, ULONG* pulMacDataLen);
    ULONG SKF_CloseHandle(HANDLE hHandle);

    void* hLibrary;

private:
#define SKF_DECLARE_ENTRY(name) PFN_##name m_##name;
    SKF_CALL_TABLE(SKF_DECLARE_ENTRY)
#undef SKF_DECLARE_ENTRY
};

#endif
