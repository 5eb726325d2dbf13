// The SKF functions the module calls, bound by name from the vendor library. The library is
// opened once per process and never closed: a thread may still be inside its event wait.
#ifndef KEYMGR_PKCS11_SKF_BINDING_H
#define KEYMGR_PKCS11_SKF_BINDING_H

#include "skf_defs.h"

#define P11_SKF_TABLE(X)                                                                                               \
    X(SKF_WaitForDevEvent)                                                                                             \
    X(SKF_CancelWaitForDevEvent)                                                                                       \
    X(SKF_EnumDev)                                                                                                     \
    X(SKF_ConnectDev)                                                                                                  \
    X(SKF_DisConnectDev)                                                                                               \
    X(SKF_GetDevInfo)                                                                                                  \
    X(SKF_ChangePIN)                                                                                                   \
    X(SKF_GetPINInfo)                                                                                                  \
    X(SKF_VerifyPIN)                                                                                                   \
    X(SKF_ClearSecureState)                                                                                            \
    X(SKF_EnumApplication)                                                                                             \
    X(SKF_OpenApplication)                                                                                             \
    X(SKF_CloseApplication)                                                                                            \
    X(SKF_EnumContainer)                                                                                               \
    X(SKF_OpenContainer)                                                                                               \
    X(SKF_CloseContainer)                                                                                              \
    X(SKF_GetContainerType)                                                                                            \
    X(SKF_ExportCertificate)                                                                                           \
    X(SKF_ExportPublicKey)                                                                                             \
    X(SKF_RSASignData)                                                                                                 \
    X(SKF_ECCSignData)

namespace p11 {

struct SkfTable
{
#define P11_SKF_ENTRY(name) PFN_##name name = nullptr;
    P11_SKF_TABLE(P11_SKF_ENTRY)
#undef P11_SKF_ENTRY
};

// Opens the library at the fixed path and resolves the table; a missing name stays empty. Returns
// false while the file cannot be opened; the loader's message goes to standard error once per
// process. Called under the module's lock.
bool loadSkf();
bool skfLoaded();
const SkfTable& skf();

// Calls an entry of the table, or answers SKF_NOT_BOUND when the library lacks it.
template <typename Fn, typename... Args> ULONG call(Fn fn, Args... args)
{
    return fn ? fn(args...) : SKF_NOT_BOUND;
}

} // namespace p11

#endif
