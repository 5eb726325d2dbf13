#include "gmskfoperator.h"

#include <dlfcn.h>

#include <cstdio>

long CGMSKFOperator::LoadSKFAPI(const char* path)
{
    std::lock_guard<std::mutex> lock(m_loadMutex);
    if (IsValid())
        return 0;
    // A library already open but lacking some names stays as it is: opening it again would
    // only raise its reference count, and resolving again would find the same addresses.
    if (hLibrary == nullptr) {
        void* handle = dlopen(path, RTLD_LAZY);
        if (handle == nullptr) {
            const char* message = dlerror();
            // Every query tries the load again, but the host program hears why only once.
            if (!m_loadFailureReported) {
                std::fprintf(stderr, "%s\n", message != nullptr ? message : "cannot load the SKF library");
                m_loadFailureReported = true;
            }
            dlerror();
            return -1;
        }
        dlerror();
#define KEYPROBE_RESOLVE_ENTRY(name)                                                                               \
    m_##name.store(reinterpret_cast<PFN_##name>(dlsym(handle, #name)), std::memory_order_release);
        KEYPROBE_CALL_TABLE(KEYPROBE_RESOLVE_ENTRY)
#undef KEYPROBE_RESOLVE_ENTRY
        // A missing name leaves its message behind; the caller is not to see it.
        dlerror();
        hLibrary = handle;
    }
    return 0;
}

bool CGMSKFOperator::IsValid() const
{
#define KEYPROBE_ENTRY_SET(name) &&m_##name.load(std::memory_order_acquire) != nullptr
    return true KEYPROBE_CALL_TABLE(KEYPROBE_ENTRY_SET);
#undef KEYPROBE_ENTRY_SET
}

#define KEYPROBE_FORWARD(name, params, args)                                                                       \
    ULONG CGMSKFOperator::name params const                                                                        \
    {                                                                                                              \
        PFN_##name entry = m_##name.load(std::memory_order_acquire);                                               \
        return entry != nullptr ? entry args : SKF_NOT_BOUND;                                                      \
    }

KEYPROBE_FORWARD(SKF_EnumDev, (BOOL bPresent, LPSTR szNameList, ULONG* pulSize), (bPresent, szNameList, pulSize))
KEYPROBE_FORWARD(SKF_ConnectDev, (LPSTR szName, DEVHANDLE* phDev), (szName, phDev))
KEYPROBE_FORWARD(SKF_DisConnectDev, (DEVHANDLE hDev), (hDev))
KEYPROBE_FORWARD(SKF_EnumApplication, (DEVHANDLE hDev, LPSTR szAppName, ULONG* pulSize), (hDev, szAppName, pulSize))
KEYPROBE_FORWARD(SKF_OpenApplication, (DEVHANDLE hDev, LPSTR szAppName, HAPPLICATION* phApplication),
                 (hDev, szAppName, phApplication))
KEYPROBE_FORWARD(SKF_GetDevInfo, (DEVHANDLE hDev, DEVINFO* pDevInfo), (hDev, pDevInfo))
KEYPROBE_FORWARD(SKF_CloseApplication, (HAPPLICATION hApplication), (hApplication))
KEYPROBE_FORWARD(SKF_EnumContainer, (HAPPLICATION hApplication, LPSTR szContainerName, ULONG* pulSize),
                 (hApplication, szContainerName, pulSize))
KEYPROBE_FORWARD(SKF_OpenContainer, (HAPPLICATION hApplication, LPSTR szContainerName, HCONTAINER* phContainer),
                 (hApplication, szContainerName, phContainer))
KEYPROBE_FORWARD(SKF_CloseContainer, (HCONTAINER hContainer), (hContainer))
KEYPROBE_FORWARD(SKF_GetContainerType, (HCONTAINER hContainer, ULONG* pulContainerType),
                 (hContainer, pulContainerType))
KEYPROBE_FORWARD(SKF_ExportCertificate, (HCONTAINER hContainer, BOOL bSignFlag, BYTE* pbCert, ULONG* pulCertLen),
                 (hContainer, bSignFlag, pbCert, pulCertLen))
KEYPROBE_FORWARD(SKF_CloseHandle, (HANDLE hHandle), (hHandle))
