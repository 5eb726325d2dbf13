// The SKF entry points of libsoftskf.so. Each one counts the call, applies the configured
// latency and fault, then hands over to the engine. Functions softskf does not implement
// answer SAR_NOTSUPPORTYETERR and change nothing.
#include "engine.h"
#include "skf_defs.h"

using softskf::Engine;
using softskf::Fn;

#define SKF_EXPORT extern "C" __attribute__((visibility("default")))
#define SKF_ENTER(name)                                                                                                \
    do {                                                                                                               \
        if (ULONG injected_ = Engine::instance().enter(Fn::name))                                                      \
            return injected_;                                                                                          \
    } while (0)

// The engine starts with the library, so a wait reports only events logged after the load; an
// event logged while a slow load goes on is reported too.
__attribute__((constructor)) static void softskfLoaded()
{
    Engine::instance().delayLoad();
}

SKF_EXPORT ULONG SKF_WaitForDevEvent(LPSTR szDevName, ULONG* pulDevNameLen, ULONG* pulEvent)
{
    SKF_ENTER(SKF_WaitForDevEvent);
    return Engine::instance().waitForDevEvent(szDevName, pulDevNameLen, pulEvent);
}

SKF_EXPORT ULONG SKF_CancelWaitForDevEvent(void)
{
    SKF_ENTER(SKF_CancelWaitForDevEvent);
    return Engine::instance().cancelWaitForDevEvent();
}

SKF_EXPORT ULONG SKF_EnumDev(BOOL bPresent, LPSTR szNameList, ULONG* pulSize)
{
    SKF_ENTER(SKF_EnumDev);
    return Engine::instance().enumDev(bPresent, szNameList, pulSize);
}

SKF_EXPORT ULONG SKF_ConnectDev(LPSTR szName, DEVHANDLE* phDev)
{
    SKF_ENTER(SKF_ConnectDev);
    return Engine::instance().connectDev(szName, phDev);
}

SKF_EXPORT ULONG SKF_DisConnectDev(DEVHANDLE hDev)
{
    SKF_ENTER(SKF_DisConnectDev);
    return Engine::instance().disconnectDev(hDev);
}

SKF_EXPORT ULONG SKF_GetDevState(LPSTR szDevName, ULONG* pulDevState)
{
    SKF_ENTER(SKF_GetDevState);
    return Engine::instance().getDevState(szDevName, pulDevState);
}

SKF_EXPORT ULONG SKF_SetLabel(DEVHANDLE hDev, LPSTR szLabel)
{
    SKF_ENTER(SKF_SetLabel);
    return Engine::instance().setLabel(hDev, szLabel);
}

SKF_EXPORT ULONG SKF_GetDevInfo(DEVHANDLE hDev, DEVINFO* pDevInfo)
{
    SKF_ENTER(SKF_GetDevInfo);
    return Engine::instance().getDevInfo(hDev, pDevInfo);
}

SKF_EXPORT ULONG SKF_LockDev(DEVHANDLE hDev, ULONG ulTimeOut)
{
    SKF_ENTER(SKF_LockDev);
    return Engine::instance().lockDev(hDev, ulTimeOut);
}

SKF_EXPORT ULONG SKF_UnlockDev(DEVHANDLE hDev)
{
    SKF_ENTER(SKF_UnlockDev);
    return Engine::instance().unlockDev(hDev);
}

SKF_EXPORT ULONG SKF_Transmit(DEVHANDLE, BYTE*, ULONG, BYTE*, ULONG*)
{
    SKF_ENTER(SKF_Transmit);
    return SAR_NOTSUPPORTYETERR;
}

SKF_EXPORT ULONG SKF_DevAuth(DEVHANDLE hDev, BYTE* pbAuthData, ULONG ulLen)
{
    SKF_ENTER(SKF_DevAuth);
    return Engine::instance().devAuth(hDev, pbAuthData, ulLen);
}

SKF_EXPORT ULONG SKF_ChangeDevAuthKey(DEVHANDLE hDev, BYTE* pbKeyValue, ULONG ulKeyLen)
{
    SKF_ENTER(SKF_ChangeDevAuthKey);
    return Engine::instance().changeDevAuthKey(hDev, pbKeyValue, ulKeyLen);
}

SKF_EXPORT ULONG SKF_ChangePIN(HAPPLICATION hApplication, ULONG ulPINType, LPSTR szOldPin, LPSTR szNewPin,
                               ULONG* pulRetryCount)
{
    SKF_ENTER(SKF_ChangePIN);
    return Engine::instance().changePin(hApplication, ulPINType, szOldPin, szNewPin, pulRetryCount);
}

SKF_EXPORT ULONG SKF_GetPINInfo(HAPPLICATION hApplication, ULONG ulPINType, ULONG* pulMaxRetryCount,
                                ULONG* pulRemainRetryCount, BOOL* pbDefaultPin)
{
    SKF_ENTER(SKF_GetPINInfo);
    return Engine::instance().getPinInfo(hApplication, ulPINType, pulMaxRetryCount, pulRemainRetryCount, pbDefaultPin);
}

SKF_EXPORT ULONG SKF_VerifyPIN(HAPPLICATION hApplication, ULONG ulPINType, LPSTR szPIN, ULONG* pulRetryCount)
{
    SKF_ENTER(SKF_VerifyPIN);
    return Engine::instance().verifyPin(hApplication, ulPINType, szPIN, pulRetryCount);
}

SKF_EXPORT ULONG SKF_UnblockPIN(HAPPLICATION hApplication, LPSTR szAdminPIN, LPSTR szNewUserPIN, ULONG* pulRetryCount)
{
    SKF_ENTER(SKF_UnblockPIN);
    return Engine::instance().unblockPin(hApplication, szAdminPIN, szNewUserPIN, pulRetryCount);
}

SKF_EXPORT ULONG SKF_ClearSecureState(HAPPLICATION hApplication)
{
    SKF_ENTER(SKF_ClearSecureState);
    return Engine::instance().clearSecureState(hApplication);
}

SKF_EXPORT ULONG SKF_CreateApplication(DEVHANDLE hDev, LPSTR szAppName, LPSTR szAdminPin, DWORD dwAdminPinRetryCount,
                                       LPSTR szUserPin, DWORD dwUserPinRetryCount, DWORD dwCreateFileRights,
                                       HAPPLICATION* phApplication)
{
    SKF_ENTER(SKF_CreateApplication);
    return Engine::instance().createApplication(hDev, szAppName, szAdminPin, dwAdminPinRetryCount, szUserPin,
                                                dwUserPinRetryCount, dwCreateFileRights, phApplication);
}

SKF_EXPORT ULONG SKF_EnumApplication(DEVHANDLE hDev, LPSTR szAppName, ULONG* pulSize)
{
    SKF_ENTER(SKF_EnumApplication);
    return Engine::instance().enumApplication(hDev, szAppName, pulSize);
}

SKF_EXPORT ULONG SKF_DeleteApplication(DEVHANDLE hDev, LPSTR szAppName)
{
    SKF_ENTER(SKF_DeleteApplication);
    return Engine::instance().deleteApplication(hDev, szAppName);
}

SKF_EXPORT ULONG SKF_OpenApplication(DEVHANDLE hDev, LPSTR szAppName, HAPPLICATION* phApplication)
{
    SKF_ENTER(SKF_OpenApplication);
    return Engine::instance().openApplication(hDev, szAppName, phApplication);
}

SKF_EXPORT ULONG SKF_CloseApplication(HAPPLICATION hApplication)
{
    SKF_ENTER(SKF_CloseApplication);
    return Engine::instance().closeApplication(hApplication);
}

SKF_EXPORT ULONG SKF_CreateFile(HAPPLICATION hApplication, LPSTR szFileName, ULONG ulFileSize, ULONG ulReadRights,
                                ULONG ulWriteRights)
{
    SKF_ENTER(SKF_CreateFile);
    return Engine::instance().createFile(hApplication, szFileName, ulFileSize, ulReadRights, ulWriteRights);
}

SKF_EXPORT ULONG SKF_DeleteFile(HAPPLICATION hApplication, LPSTR szFileName)
{
    SKF_ENTER(SKF_DeleteFile);
    return Engine::instance().deleteFile(hApplication, szFileName);
}

SKF_EXPORT ULONG SKF_EnumFiles(HAPPLICATION hApplication, LPSTR szFileList, ULONG* pulSize)
{
    SKF_ENTER(SKF_EnumFiles);
    return Engine::instance().enumFiles(hApplication, szFileList, pulSize);
}

SKF_EXPORT ULONG SKF_GetFileInfo(HAPPLICATION hApplication, LPSTR szFileName, FILEATTRIBUTE* pFileInfo)
{
    SKF_ENTER(SKF_GetFileInfo);
    return Engine::instance().getFileInfo(hApplication, szFileName, pFileInfo);
}

SKF_EXPORT ULONG SKF_ReadFile(HAPPLICATION hApplication, LPSTR szFileName, ULONG ulOffset, ULONG ulSize,
                              BYTE* pbOutData, ULONG* pulOutLen)
{
    SKF_ENTER(SKF_ReadFile);
    return Engine::instance().readFile(hApplication, szFileName, ulOffset, ulSize, pbOutData, pulOutLen);
}

SKF_EXPORT ULONG SKF_WriteFile(HAPPLICATION hApplication, LPSTR szFileName, ULONG ulOffset, BYTE* pbData, ULONG ulSize)
{
    SKF_ENTER(SKF_WriteFile);
    return Engine::instance().writeFile(hApplication, szFileName, ulOffset, pbData, ulSize);
}

SKF_EXPORT ULONG SKF_CreateContainer(HAPPLICATION hApplication, LPSTR szContainerName, HCONTAINER* phContainer)
{
    SKF_ENTER(SKF_CreateContainer);
    return Engine::instance().createContainer(hApplication, szContainerName, phContainer);
}

SKF_EXPORT ULONG SKF_DeleteContainer(HAPPLICATION hApplication, LPSTR szContainerName)
{
    SKF_ENTER(SKF_DeleteContainer);
    return Engine::instance().deleteContainer(hApplication, szContainerName);
}

SKF_EXPORT ULONG SKF_OpenContainer(HAPPLICATION hApplication, LPSTR szContainerName, HCONTAINER* phContainer)
{
    SKF_ENTER(SKF_OpenContainer);
    return Engine::instance().openContainer(hApplication, szContainerName, phContainer);
}

SKF_EXPORT ULONG SKF_CloseContainer(HCONTAINER hContainer)
{
    SKF_ENTER(SKF_CloseContainer);
    return Engine::instance().closeContainer(hContainer);
}

SKF_EXPORT ULONG SKF_EnumContainer(HAPPLICATION hApplication, LPSTR szContainerName, ULONG* pulSize)
{
    SKF_ENTER(SKF_EnumContainer);
    return Engine::instance().enumContainer(hApplication, szContainerName, pulSize);
}

SKF_EXPORT ULONG SKF_GetContainerType(HCONTAINER hContainer, ULONG* pulContainerType)
{
    SKF_ENTER(SKF_GetContainerType);
    return Engine::instance().getContainerType(hContainer, pulContainerType);
}

SKF_EXPORT ULONG SKF_ExtGetContainerInfo(HCONTAINER hContainer, ContainerInfo* pContainerInfo)
{
    SKF_ENTER(SKF_ExtGetContainerInfo);
    return Engine::instance().extGetContainerInfo(hContainer, pContainerInfo);
}

SKF_EXPORT ULONG SKF_ImportCertificate(HCONTAINER hContainer, BOOL bSignFlag, BYTE* pbCert, ULONG ulCertLen)
{
    SKF_ENTER(SKF_ImportCertificate);
    return Engine::instance().importCertificate(hContainer, bSignFlag, pbCert, ulCertLen);
}

SKF_EXPORT ULONG SKF_ExportCertificate(HCONTAINER hContainer, BOOL bSignFlag, BYTE* pbCert, ULONG* pulCertLen)
{
    SKF_ENTER(SKF_ExportCertificate);
    return Engine::instance().exportCertificate(hContainer, bSignFlag, pbCert, pulCertLen);
}

SKF_EXPORT ULONG SKF_GenRandom(DEVHANDLE hDev, BYTE* pbRandom, ULONG ulRandomLen)
{
    SKF_ENTER(SKF_GenRandom);
    return Engine::instance().genRandom(hDev, pbRandom, ulRandomLen);
}

SKF_EXPORT ULONG SKF_GenRSAKeyPair(HCONTAINER hContainer, ULONG ulBitsLen, RSAPUBLICKEYBLOB* pBlob)
{
    SKF_ENTER(SKF_GenRSAKeyPair);
    return Engine::instance().genRsaKeyPair(hContainer, ulBitsLen, pBlob);
}

SKF_EXPORT ULONG SKF_RSASignData(HCONTAINER hContainer, BYTE* pbData, ULONG ulDataLen, BYTE* pbSignature,
                                 ULONG* pulSignLen)
{
    SKF_ENTER(SKF_RSASignData);
    return Engine::instance().rsaSignData(hContainer, pbData, ulDataLen, pbSignature, pulSignLen);
}

SKF_EXPORT ULONG SKF_RSAVerify(DEVHANDLE hDev, RSAPUBLICKEYBLOB* pRSAPubKeyBlob, BYTE* pbData, ULONG ulDataLen,
                               BYTE* pbSignature, ULONG ulSignLen)
{
    SKF_ENTER(SKF_RSAVerify);
    return Engine::instance().rsaVerify(hDev, pRSAPubKeyBlob, pbData, ulDataLen, pbSignature, ulSignLen);
}

SKF_EXPORT ULONG SKF_GenECCKeyPair(HCONTAINER hContainer, ULONG ulAlgId, ECCPUBLICKEYBLOB* pBlob)
{
    SKF_ENTER(SKF_GenECCKeyPair);
    return Engine::instance().genEccKeyPair(hContainer, ulAlgId, pBlob);
}

SKF_EXPORT ULONG SKF_ImportECCKeyPair(HCONTAINER, ENVELOPEDKEYBLOB*)
{
    SKF_ENTER(SKF_ImportECCKeyPair);
    return SAR_NOTSUPPORTYETERR;
}

SKF_EXPORT ULONG SKF_ECCSignData(HCONTAINER hContainer, BYTE* pbData, ULONG ulDataLen, ECCSIGNATUREBLOB* pSignature)
{
    SKF_ENTER(SKF_ECCSignData);
    return Engine::instance().eccSignData(hContainer, pbData, ulDataLen, pSignature);
}

SKF_EXPORT ULONG SKF_ECCVerify(DEVHANDLE hDev, ECCPUBLICKEYBLOB* pECCPubKeyBlob, BYTE* pbData, ULONG ulDataLen,
                               ECCSIGNATUREBLOB* pSignature)
{
    SKF_ENTER(SKF_ECCVerify);
    return Engine::instance().eccVerify(hDev, pECCPubKeyBlob, pbData, ulDataLen, pSignature);
}

SKF_EXPORT ULONG SKF_ECCExportSessionKey(HCONTAINER, ULONG, ECCPUBLICKEYBLOB*, ECCCIPHERBLOB*, HANDLE*)
{
    SKF_ENTER(SKF_ECCExportSessionKey);
    return SAR_NOTSUPPORTYETERR;
}

SKF_EXPORT ULONG SKF_ExtECCEncrypt(DEVHANDLE, ECCPUBLICKEYBLOB*, BYTE*, ULONG, ECCCIPHERBLOB*)
{
    SKF_ENTER(SKF_ExtECCEncrypt);
    return SAR_NOTSUPPORTYETERR;
}

SKF_EXPORT ULONG SKF_ExtECCDecrypt(DEVHANDLE, ECCPRIVATEKEYBLOB*, ECCCIPHERBLOB*, BYTE*, ULONG*)
{
    SKF_ENTER(SKF_ExtECCDecrypt);
    return SAR_NOTSUPPORTYETERR;
}

SKF_EXPORT ULONG SKF_ExtECCSign(DEVHANDLE, ECCPRIVATEKEYBLOB*, BYTE*, ULONG, ECCSIGNATUREBLOB*)
{
    SKF_ENTER(SKF_ExtECCSign);
    return SAR_NOTSUPPORTYETERR;
}

SKF_EXPORT ULONG SKF_ExtECCVerify(DEVHANDLE, ECCPUBLICKEYBLOB*, BYTE*, ULONG, ECCSIGNATUREBLOB*)
{
    SKF_ENTER(SKF_ExtECCVerify);
    return SAR_NOTSUPPORTYETERR;
}

SKF_EXPORT ULONG SKF_GenerateAgreementDataWithECC(HCONTAINER, ULONG, ECCPUBLICKEYBLOB*, BYTE*, ULONG, HANDLE*)
{
    SKF_ENTER(SKF_GenerateAgreementDataWithECC);
    return SAR_NOTSUPPORTYETERR;
}

SKF_EXPORT ULONG SKF_GenerateAgreementDataAndKeyWithECC(HANDLE, ULONG, ECCPUBLICKEYBLOB*, ECCPUBLICKEYBLOB*,
                                                        ECCPUBLICKEYBLOB*, BYTE*, ULONG, BYTE*, ULONG, HANDLE*)
{
    SKF_ENTER(SKF_GenerateAgreementDataAndKeyWithECC);
    return SAR_NOTSUPPORTYETERR;
}

SKF_EXPORT ULONG SKF_GenerateKeyWithECC(HANDLE, ECCPUBLICKEYBLOB*, ECCPUBLICKEYBLOB*, BYTE*, ULONG, HANDLE*)
{
    SKF_ENTER(SKF_GenerateKeyWithECC);
    return SAR_NOTSUPPORTYETERR;
}

SKF_EXPORT ULONG SKF_ExportPublicKey(HCONTAINER hContainer, BOOL bSignFlag, BYTE* pbBlob, ULONG* pulBlobLen)
{
    SKF_ENTER(SKF_ExportPublicKey);
    return Engine::instance().exportPublicKey(hContainer, bSignFlag, pbBlob, pulBlobLen);
}

SKF_EXPORT ULONG SKF_ImportSessionKey(HCONTAINER, ULONG, BYTE*, ULONG, HANDLE*)
{
    SKF_ENTER(SKF_ImportSessionKey);
    return SAR_NOTSUPPORTYETERR;
}

SKF_EXPORT ULONG SKF_SetSymmKey(DEVHANDLE hDev, BYTE* pbKey, ULONG ulAlgID, HANDLE* phKey)
{
    SKF_ENTER(SKF_SetSymmKey);
    return Engine::instance().setSymmKey(hDev, pbKey, ulAlgID, phKey);
}

SKF_EXPORT ULONG SKF_EncryptInit(HANDLE hKey, BLOCKCIPHERPARAM EncryptParam)
{
    SKF_ENTER(SKF_EncryptInit);
    return Engine::instance().encryptInit(hKey, EncryptParam);
}

SKF_EXPORT ULONG SKF_Encrypt(HANDLE hKey, BYTE* pbData, ULONG ulDataLen, BYTE* pbEncryptedData, ULONG* pulEncryptedLen)
{
    SKF_ENTER(SKF_Encrypt);
    return Engine::instance().encrypt(hKey, pbData, ulDataLen, pbEncryptedData, pulEncryptedLen);
}

SKF_EXPORT ULONG SKF_EncryptUpdate(HANDLE, BYTE*, ULONG, BYTE*, ULONG*)
{
    SKF_ENTER(SKF_EncryptUpdate);
    return SAR_NOTSUPPORTYETERR;
}

SKF_EXPORT ULONG SKF_EncryptFinal(HANDLE, BYTE*, ULONG*)
{
    SKF_ENTER(SKF_EncryptFinal);
    return SAR_NOTSUPPORTYETERR;
}

SKF_EXPORT ULONG SKF_DecryptInit(HANDLE, BLOCKCIPHERPARAM)
{
    SKF_ENTER(SKF_DecryptInit);
    return SAR_NOTSUPPORTYETERR;
}

SKF_EXPORT ULONG SKF_Decrypt(HANDLE, BYTE*, ULONG, BYTE*, ULONG*)
{
    SKF_ENTER(SKF_Decrypt);
    return SAR_NOTSUPPORTYETERR;
}

SKF_EXPORT ULONG SKF_DecryptUpdate(HANDLE, BYTE*, ULONG, BYTE*, ULONG*)
{
    SKF_ENTER(SKF_DecryptUpdate);
    return SAR_NOTSUPPORTYETERR;
}

SKF_EXPORT ULONG SKF_DecryptFinal(HANDLE, BYTE*, ULONG*)
{
    SKF_ENTER(SKF_DecryptFinal);
    return SAR_NOTSUPPORTYETERR;
}

SKF_EXPORT ULONG SKF_DigestInit(DEVHANDLE, ULONG, ECCPUBLICKEYBLOB*, unsigned char*, ULONG, HANDLE*)
{
    SKF_ENTER(SKF_DigestInit);
    return SAR_NOTSUPPORTYETERR;
}

SKF_EXPORT ULONG SKF_Digest(HANDLE, BYTE*, ULONG, BYTE*, ULONG*)
{
    SKF_ENTER(SKF_Digest);
    return SAR_NOTSUPPORTYETERR;
}

SKF_EXPORT ULONG SKF_DigestUpdate(HANDLE, BYTE*, ULONG)
{
    SKF_ENTER(SKF_DigestUpdate);
    return SAR_NOTSUPPORTYETERR;
}

SKF_EXPORT ULONG SKF_DigestFinal(HANDLE, BYTE*, ULONG*)
{
    SKF_ENTER(SKF_DigestFinal);
    return SAR_NOTSUPPORTYETERR;
}

SKF_EXPORT ULONG SKF_MacInit(HANDLE, BLOCKCIPHERPARAM*, HANDLE*)
{
    SKF_ENTER(SKF_MacInit);
    return SAR_NOTSUPPORTYETERR;
}

SKF_EXPORT ULONG SKF_Mac(HANDLE, BYTE*, ULONG, BYTE*, ULONG*)
{
    SKF_ENTER(SKF_Mac);
    return SAR_NOTSUPPORTYETERR;
}

SKF_EXPORT ULONG SKF_MacUpdate(HANDLE, BYTE*, ULONG)
{
    SKF_ENTER(SKF_MacUpdate);
    return SAR_NOTSUPPORTYETERR;
}

SKF_EXPORT ULONG SKF_MacFinal(HANDLE, BYTE*, ULONG*)
{
    SKF_ENTER(SKF_MacFinal);
    return SAR_NOTSUPPORTYETERR;
}

SKF_EXPORT ULONG SKF_CloseHandle(HANDLE hHandle)
{
    SKF_ENTER(SKF_CloseHandle);
    return Engine::instance().closeHandle(hHandle);
}
