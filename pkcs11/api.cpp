// The PKCS#11 entry points. Each takes the library's one lock, checks that C_Initialize ran, and
// hands over to the module; no C++ exception ever reaches the caller.
#include "module.h"

#include "skf_binding.h"
#include "text.h"

#include <chrono>
#include <cstring>
#include <new>

#define P11_EXPORT extern "C" __attribute__((visibility("default")))

namespace p11 {

Library& library()
{
    // Never destroyed: a thread still waiting for an event may need it after exit has begun.
    static Library* lib = new Library;
    return *lib;
}

namespace {

// How long C_Finalize waits for threads blocked in C_WaitForSlotEvent after cancelling their wait.
constexpr auto kWaiterGrace = std::chrono::seconds(5);

template <typename Fn> CK_RV withModule(Fn fn)
{
    try {
        Library& lib = library();
        std::unique_lock<std::mutex> lock(lib.mutex);
        if (!lib.module)
            return CKR_CRYPTOKI_NOT_INITIALIZED;
        return fn(*lib.module, lock);
    } catch (const std::bad_alloc&) {
        return CKR_HOST_MEMORY;
    } catch (...) {
        return CKR_GENERAL_ERROR;
    }
}

} // namespace

} // namespace p11

using p11::Module;
using p11::withModule;
using Lock = std::unique_lock<std::mutex>;

P11_EXPORT CK_RV C_Initialize(CK_VOID_PTR pInitArgs)
{
    if (pInitArgs) {
        const CK_C_INITIALIZE_ARGS* args = static_cast<const CK_C_INITIALIZE_ARGS*>(pInitArgs);
        const int given = (args->CreateMutex != nullptr) + (args->DestroyMutex != nullptr) +
                          (args->LockMutex != nullptr) + (args->UnlockMutex != nullptr);
        if (args->pReserved || (given != 0 && given != 4))
            return CKR_ARGUMENTS_BAD;
        // Only the system's own locks are used: a caller that insists on its own functions is told so.
        if (given == 4 && !(args->flags & CKF_OS_LOCKING_OK))
            return CKR_CANT_LOCK;
    }
    try {
        p11::Library& lib = p11::library();
        Lock lock(lib.mutex);
        if (lib.module)
            return CKR_CRYPTOKI_ALREADY_INITIALIZED;
        lib.module = new Module;
        p11::loadSkf();
        return CKR_OK;
    } catch (const std::bad_alloc&) {
        return CKR_HOST_MEMORY;
    } catch (...) {
        return CKR_GENERAL_ERROR;
    }
}

P11_EXPORT CK_RV C_Finalize(CK_VOID_PTR pReserved)
{
    if (pReserved)
        return CKR_ARGUMENTS_BAD;
    try {
        p11::Library& lib = p11::library();
        Lock lock(lib.mutex);
        Module* module = lib.module;
        if (!module)
            return CKR_CRYPTOKI_NOT_INITIALIZED;
        lib.module = nullptr;
        ++lib.epoch;
        if (lib.waiters > 0) {
            p11::call(p11::skf().SKF_CancelWaitForDevEvent);
            // A library that ignores the cancel keeps its waiter; the module goes down without it.
            lib.waitersGone.wait_for(lock, p11::kWaiterGrace, [&lib] { return lib.waiters == 0; });
        }
        module->shutdown();
        delete module;
        return CKR_OK;
    } catch (...) {
        return CKR_GENERAL_ERROR;
    }
}

P11_EXPORT CK_RV C_GetInfo(CK_INFO_PTR pInfo)
{
    return withModule([&](Module&, Lock&) {
        if (!pInfo)
            return CK_RV(CKR_ARGUMENTS_BAD);
        std::memset(pInfo, 0, sizeof *pInfo);
        pInfo->cryptokiVersion.major = CRYPTOKI_VERSION_MAJOR;
        pInfo->cryptokiVersion.minor = CRYPTOKI_VERSION_MINOR;
        p11::padField("Lumeno", pInfo->manufacturerID, sizeof pInfo->manufacturerID);
        p11::padField("keymgr SKF token module", pInfo->libraryDescription, sizeof pInfo->libraryDescription);
        pInfo->libraryVersion.major = KEYMGR_VERSION_MAJOR;
        pInfo->libraryVersion.minor = KEYMGR_VERSION_MINOR;
        return CK_RV(CKR_OK);
    });
}

P11_EXPORT CK_RV C_GetSlotList(CK_BBOOL tokenPresent, CK_SLOT_ID_PTR pSlotList, CK_ULONG_PTR pulCount)
{
    return withModule([&](Module& m, Lock&) { return m.getSlotList(tokenPresent, pSlotList, pulCount); });
}

P11_EXPORT CK_RV C_GetSlotInfo(CK_SLOT_ID slotID, CK_SLOT_INFO_PTR pInfo)
{
    return withModule([&](Module& m, Lock&) { return m.getSlotInfo(slotID, pInfo); });
}

P11_EXPORT CK_RV C_GetTokenInfo(CK_SLOT_ID slotID, CK_TOKEN_INFO_PTR pInfo)
{
    return withModule([&](Module& m, Lock&) { return m.getTokenInfo(slotID, pInfo); });
}

P11_EXPORT CK_RV C_WaitForSlotEvent(CK_FLAGS flags, CK_SLOT_ID_PTR pSlot, CK_VOID_PTR pReserved)
{
    if (pReserved)
        return CKR_ARGUMENTS_BAD;
    return withModule([&](Module& m, Lock& lock) { return m.waitForSlotEvent(flags, pSlot, lock); });
}

P11_EXPORT CK_RV C_GetMechanismList(CK_SLOT_ID slotID, CK_MECHANISM_TYPE_PTR pMechanismList, CK_ULONG_PTR pulCount)
{
    return withModule([&](Module& m, Lock&) { return m.getMechanismList(slotID, pMechanismList, pulCount); });
}

P11_EXPORT CK_RV C_GetMechanismInfo(CK_SLOT_ID slotID, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO_PTR pInfo)
{
    return withModule([&](Module& m, Lock&) { return m.getMechanismInfo(slotID, type, pInfo); });
}

P11_EXPORT CK_RV C_SetPIN(CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR pOldPin, CK_ULONG ulOldLen,
                          CK_UTF8CHAR_PTR pNewPin, CK_ULONG ulNewLen)
{
    return withModule([&](Module& m, Lock&) { return m.setPin(hSession, pOldPin, ulOldLen, pNewPin, ulNewLen); });
}

P11_EXPORT CK_RV C_OpenSession(CK_SLOT_ID slotID, CK_FLAGS flags, CK_VOID_PTR, CK_NOTIFY,
                               CK_SESSION_HANDLE_PTR phSession)
{
    return withModule([&](Module& m, Lock&) { return m.openSession(slotID, flags, phSession); });
}

P11_EXPORT CK_RV C_CloseSession(CK_SESSION_HANDLE hSession)
{
    return withModule([&](Module& m, Lock&) { return m.closeSession(hSession); });
}

P11_EXPORT CK_RV C_CloseAllSessions(CK_SLOT_ID slotID)
{
    return withModule([&](Module& m, Lock&) { return m.closeAllSessions(slotID); });
}

P11_EXPORT CK_RV C_GetSessionInfo(CK_SESSION_HANDLE hSession, CK_SESSION_INFO_PTR pInfo)
{
    return withModule([&](Module& m, Lock&) { return m.getSessionInfo(hSession, pInfo); });
}

P11_EXPORT CK_RV C_Login(CK_SESSION_HANDLE hSession, CK_USER_TYPE userType, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen)
{
    return withModule([&](Module& m, Lock&) { return m.login(hSession, userType, pPin, ulPinLen); });
}

P11_EXPORT CK_RV C_Logout(CK_SESSION_HANDLE hSession)
{
    return withModule([&](Module& m, Lock&) { return m.logout(hSession); });
}

P11_EXPORT CK_RV C_GetAttributeValue(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, CK_ATTRIBUTE_PTR pTemplate,
                                     CK_ULONG ulCount)
{
    return withModule([&](Module& m, Lock&) { return m.getAttributeValue(hSession, hObject, pTemplate, ulCount); });
}

P11_EXPORT CK_RV C_FindObjectsInit(CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount)
{
    return withModule([&](Module& m, Lock&) { return m.findObjectsInit(hSession, pTemplate, ulCount); });
}

P11_EXPORT CK_RV C_FindObjects(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE_PTR phObject, CK_ULONG ulMaxObjectCount,
                               CK_ULONG_PTR pulObjectCount)
{
    return withModule(
        [&](Module& m, Lock&) { return m.findObjects(hSession, phObject, ulMaxObjectCount, pulObjectCount); });
}

P11_EXPORT CK_RV C_FindObjectsFinal(CK_SESSION_HANDLE hSession)
{
    return withModule([&](Module& m, Lock&) { return m.findObjectsFinal(hSession); });
}

P11_EXPORT CK_RV C_SignInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey)
{
    return withModule([&](Module& m, Lock&) { return m.signInit(hSession, pMechanism, hKey); });
}

P11_EXPORT CK_RV C_Sign(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen, CK_BYTE_PTR pSignature,
                        CK_ULONG_PTR pulSignatureLen)
{
    return withModule(
        [&](Module& m, Lock&) { return m.sign(hSession, pData, ulDataLen, pSignature, pulSignatureLen); });
}

P11_EXPORT CK_RV C_SignUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen)
{
    return withModule([&](Module& m, Lock&) { return m.signUpdate(hSession, pPart, ulPartLen); });
}

P11_EXPORT CK_RV C_SignFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSignature, CK_ULONG_PTR pulSignatureLen)
{
    return withModule([&](Module& m, Lock&) { return m.signFinal(hSession, pSignature, pulSignatureLen); });
}

// What the module does not do: the token's keys stay as the bank issued them, and they only sign.
#define P11_NOT_SUPPORTED(name, params)                                                                                \
    P11_EXPORT CK_RV name params                                                                                       \
    {                                                                                                                  \
        return CKR_FUNCTION_NOT_SUPPORTED;                                                                             \
    }

P11_NOT_SUPPORTED(C_InitToken, (CK_SLOT_ID, CK_UTF8CHAR_PTR, CK_ULONG, CK_UTF8CHAR_PTR))
P11_NOT_SUPPORTED(C_InitPIN, (CK_SESSION_HANDLE, CK_UTF8CHAR_PTR, CK_ULONG))
P11_NOT_SUPPORTED(C_GetOperationState, (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG_PTR))
P11_NOT_SUPPORTED(C_SetOperationState, (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_OBJECT_HANDLE, CK_OBJECT_HANDLE))
P11_NOT_SUPPORTED(C_CreateObject, (CK_SESSION_HANDLE, CK_ATTRIBUTE_PTR, CK_ULONG, CK_OBJECT_HANDLE_PTR))
P11_NOT_SUPPORTED(C_CopyObject, (CK_SESSION_HANDLE, CK_OBJECT_HANDLE, CK_ATTRIBUTE_PTR, CK_ULONG, CK_OBJECT_HANDLE_PTR))
P11_NOT_SUPPORTED(C_DestroyObject, (CK_SESSION_HANDLE, CK_OBJECT_HANDLE))
P11_NOT_SUPPORTED(C_GetObjectSize, (CK_SESSION_HANDLE, CK_OBJECT_HANDLE, CK_ULONG_PTR))
P11_NOT_SUPPORTED(C_SetAttributeValue, (CK_SESSION_HANDLE, CK_OBJECT_HANDLE, CK_ATTRIBUTE_PTR, CK_ULONG))
P11_NOT_SUPPORTED(C_EncryptInit, (CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE))
P11_NOT_SUPPORTED(C_Encrypt, (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR))
P11_NOT_SUPPORTED(C_EncryptUpdate, (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR))
P11_NOT_SUPPORTED(C_EncryptFinal, (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG_PTR))
P11_NOT_SUPPORTED(C_DecryptInit, (CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE))
P11_NOT_SUPPORTED(C_Decrypt, (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR))
P11_NOT_SUPPORTED(C_DecryptUpdate, (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR))
P11_NOT_SUPPORTED(C_DecryptFinal, (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG_PTR))
P11_NOT_SUPPORTED(C_DigestInit, (CK_SESSION_HANDLE, CK_MECHANISM_PTR))
P11_NOT_SUPPORTED(C_Digest, (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR))
P11_NOT_SUPPORTED(C_DigestUpdate, (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG))
P11_NOT_SUPPORTED(C_DigestKey, (CK_SESSION_HANDLE, CK_OBJECT_HANDLE))
P11_NOT_SUPPORTED(C_DigestFinal, (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG_PTR))
P11_NOT_SUPPORTED(C_SignRecoverInit, (CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE))
P11_NOT_SUPPORTED(C_SignRecover, (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR))
P11_NOT_SUPPORTED(C_VerifyInit, (CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE))
P11_NOT_SUPPORTED(C_Verify, (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG))
P11_NOT_SUPPORTED(C_VerifyUpdate, (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG))
P11_NOT_SUPPORTED(C_VerifyFinal, (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG))
P11_NOT_SUPPORTED(C_VerifyRecoverInit, (CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE))
P11_NOT_SUPPORTED(C_VerifyRecover, (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR))
P11_NOT_SUPPORTED(C_DigestEncryptUpdate, (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR))
P11_NOT_SUPPORTED(C_DecryptDigestUpdate, (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR))
P11_NOT_SUPPORTED(C_SignEncryptUpdate, (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR))
P11_NOT_SUPPORTED(C_DecryptVerifyUpdate, (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR))
P11_NOT_SUPPORTED(C_GenerateKey,
                  (CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_ATTRIBUTE_PTR, CK_ULONG, CK_OBJECT_HANDLE_PTR))
P11_NOT_SUPPORTED(C_GenerateKeyPair, (CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_ATTRIBUTE_PTR, CK_ULONG, CK_ATTRIBUTE_PTR,
                                      CK_ULONG, CK_OBJECT_HANDLE_PTR, CK_OBJECT_HANDLE_PTR))
P11_NOT_SUPPORTED(C_WrapKey,
                  (CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE, CK_OBJECT_HANDLE, CK_BYTE_PTR, CK_ULONG_PTR))
P11_NOT_SUPPORTED(C_UnwrapKey, (CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE, CK_BYTE_PTR, CK_ULONG,
                                CK_ATTRIBUTE_PTR, CK_ULONG, CK_OBJECT_HANDLE_PTR))
P11_NOT_SUPPORTED(C_DeriveKey, (CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE, CK_ATTRIBUTE_PTR, CK_ULONG,
                                CK_OBJECT_HANDLE_PTR))

// The tokens are not offered as random number generators (no CKF_RNG): the answers the standard
// gives such a token.
P11_EXPORT CK_RV C_SeedRandom(CK_SESSION_HANDLE hSession, CK_BYTE_PTR, CK_ULONG)
{
    return withModule([&](Module& m, Lock&) {
        return m.hasSession(hSession) ? CK_RV(CKR_RANDOM_NO_RNG) : CK_RV(CKR_SESSION_HANDLE_INVALID);
    });
}

P11_EXPORT CK_RV C_GenerateRandom(CK_SESSION_HANDLE hSession, CK_BYTE_PTR, CK_ULONG)
{
    return withModule([&](Module& m, Lock&) {
        return m.hasSession(hSession) ? CK_RV(CKR_RANDOM_NO_RNG) : CK_RV(CKR_SESSION_HANDLE_INVALID);
    });
}

// Legacy functions of parallel sessions, which no session of this module is.
P11_EXPORT CK_RV C_GetFunctionStatus(CK_SESSION_HANDLE)
{
    return CKR_FUNCTION_NOT_PARALLEL;
}

P11_EXPORT CK_RV C_CancelFunction(CK_SESSION_HANDLE)
{
    return CKR_FUNCTION_NOT_PARALLEL;
}

P11_EXPORT CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR ppFunctionList);

namespace {

CK_FUNCTION_LIST kFunctionList = {
    {CRYPTOKI_VERSION_MAJOR, CRYPTOKI_VERSION_MINOR},
    C_Initialize,
    C_Finalize,
    C_GetInfo,
    C_GetFunctionList,
    C_GetSlotList,
    C_GetSlotInfo,
    C_GetTokenInfo,
    C_GetMechanismList,
    C_GetMechanismInfo,
    C_InitToken,
    C_InitPIN,
    C_SetPIN,
    C_OpenSession,
    C_CloseSession,
    C_CloseAllSessions,
    C_GetSessionInfo,
    C_GetOperationState,
    C_SetOperationState,
    C_Login,
    C_Logout,
    C_CreateObject,
    C_CopyObject,
    C_DestroyObject,
    C_GetObjectSize,
    C_GetAttributeValue,
    C_SetAttributeValue,
    C_FindObjectsInit,
    C_FindObjects,
    C_FindObjectsFinal,
    C_EncryptInit,
    C_Encrypt,
    C_EncryptUpdate,
    C_EncryptFinal,
    C_DecryptInit,
    C_Decrypt,
    C_DecryptUpdate,
    C_DecryptFinal,
    C_DigestInit,
    C_Digest,
    C_DigestUpdate,
    C_DigestKey,
    C_DigestFinal,
    C_SignInit,
    C_Sign,
    C_SignUpdate,
    C_SignFinal,
    C_SignRecoverInit,
    C_SignRecover,
    C_VerifyInit,
    C_Verify,
    C_VerifyUpdate,
    C_VerifyFinal,
    C_VerifyRecoverInit,
    C_VerifyRecover,
    C_DigestEncryptUpdate,
    C_DecryptDigestUpdate,
    C_SignEncryptUpdate,
    C_DecryptVerifyUpdate,
    C_GenerateKey,
    C_GenerateKeyPair,
    C_WrapKey,
    C_UnwrapKey,
    C_DeriveKey,
    C_SeedRandom,
    C_GenerateRandom,
    C_GetFunctionStatus,
    C_CancelFunction,
    C_WaitForSlotEvent,
};

} // namespace

P11_EXPORT CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR ppFunctionList)
{
    if (!ppFunctionList)
        return CKR_ARGUMENTS_BAD;
    *ppFunctionList = &kFunctionList;
    return CKR_OK;
}
