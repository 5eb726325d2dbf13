// The reduced SKF call table of the query library: the thirteen functions its queries need,
// bound by name from the vendor library. Private to libkeyprobe; nothing here is exported.
#ifndef KEYPROBE_GMSKFOPERATOR_H
#define KEYPROBE_GMSKFOPERATOR_H

#include "skf_defs.h"

#include <atomic>
#include <mutex>

#define KEYPROBE_CALL_TABLE(X)                                                                                     \
    X(SKF_EnumDev)                                                                                                 \
    X(SKF_ConnectDev)                                                                                              \
    X(SKF_DisConnectDev)                                                                                           \
    X(SKF_EnumApplication)                                                                                         \
    X(SKF_OpenApplication)                                                                                         \
    X(SKF_GetDevInfo)                                                                                              \
    X(SKF_CloseApplication)                                                                                        \
    X(SKF_EnumContainer)                                                                                           \
    X(SKF_OpenContainer)                                                                                           \
    X(SKF_CloseContainer)                                                                                          \
    X(SKF_GetContainerType)                                                                                        \
    X(SKF_ExportCertificate)                                                                                       \
    X(SKF_CloseHandle)

class CGMSKFOperator
{
public:
    constexpr CGMSKFOperator() = default;
    // Never closes the library: callers may still hold addresses resolved from it.
    ~CGMSKFOperator() = default;
    CGMSKFOperator(const CGMSKFOperator&) = delete;
    CGMSKFOperator& operator=(const CGMSKFOperator&) = delete;

    // Opens the library at path (once per process) and resolves the table. Returns 0, or -1 when
    // the file cannot be opened; the loader's message then goes to standard error, the first time
    // only. Safe to call from several threads at once.
    long LoadSKFAPI(const char* path);
    // True when every one of the thirteen entries is resolved.
    bool IsValid() const;

    // Each forwarder returns SKF_NOT_BOUND when its entry is empty, else the library's result.
    ULONG SKF_EnumDev(BOOL bPresent, LPSTR szNameList, ULONG* pulSize) const;
    ULONG SKF_ConnectDev(LPSTR szName, DEVHANDLE* phDev) const;
    ULONG SKF_DisConnectDev(DEVHANDLE hDev) const;
    ULONG SKF_EnumApplication(DEVHANDLE hDev, LPSTR szAppName, ULONG* pulSize) const;
    ULONG SKF_OpenApplication(DEVHANDLE hDev, LPSTR szAppName, HAPPLICATION* phApplication) const;
    ULONG SKF_GetDevInfo(DEVHANDLE hDev, DEVINFO* pDevInfo) const;
    ULONG SKF_CloseApplication(HAPPLICATION hApplication) const;
    ULONG SKF_EnumContainer(HAPPLICATION hApplication, LPSTR szContainerName, ULONG* pulSize) const;
    ULONG SKF_OpenContainer(HAPPLICATION hApplication, LPSTR szContainerName, HCONTAINER* phContainer) const;
    ULONG SKF_CloseContainer(HCONTAINER hContainer) const;
    ULONG SKF_GetContainerType(HCONTAINER hContainer, ULONG* pulContainerType) const;
    ULONG SKF_ExportCertificate(HCONTAINER hContainer, BOOL bSignFlag, BYTE* pbCert, ULONG* pulCertLen) const;
    ULONG SKF_CloseHandle(HANDLE hHandle) const;

private:
    // Entries are atomics so that a query on one thread may read the table while another
    // thread is still filling it; the mutex keeps two loads from racing each other.
    std::mutex m_loadMutex;
    void* hLibrary = nullptr;
    bool m_loadFailureReported = false;
#define KEYPROBE_DECLARE_ENTRY(name) std::atomic<PFN_##name> m_##name{nullptr};
    KEYPROBE_CALL_TABLE(KEYPROBE_DECLARE_ENTRY)
#undef KEYPROBE_DECLARE_ENTRY
};

#endif
