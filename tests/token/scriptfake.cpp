#include "scriptfake.h"

#include <algorithm>
#include <cstring>

namespace {

ScriptFake& fake()
{
    static ScriptFake* instance = new ScriptFake;
    return *instance;
}

ULONG answerList(ScriptList& list, LPSTR buf, ULONG* size)
{
    if (!size)
        return SAR_INVALIDPARAMERR;
    if (!buf) {
        *size = static_cast<ULONG>(list.content.size());
        list.sizeAsked = true;
        return SAR_OK;
    }
    const std::string& data = (list.sizeAsked && !list.grown.empty()) ? list.grown : list.content;
    if (*size < data.size() && !list.truncateSilently) {
        *size = static_cast<ULONG>(data.size());
        return SAR_BUFFER_TOO_SMALL;
    }
    std::memcpy(buf, data.data(), std::min<std::size_t>(*size, data.size()));
    *size = static_cast<ULONG>(data.size()) + list.extraReported;
    return SAR_OK;
}

HANDLE handleOf(std::size_t index)
{
    return reinterpret_cast<HANDLE>(index + 1);
}

const std::string* containerOf(HANDLE handle)
{
    const std::size_t index = reinterpret_cast<std::size_t>(handle);
    if (index == 0 || index > fake().opened.size())
        return nullptr;
    return &fake().opened[index - 1];
}

} // namespace

extern "C" {

__attribute__((visibility("default"))) ScriptFake* scriptfake_control()
{
    return &fake();
}

ULONG SKF_WaitForDevEvent(LPSTR szDevName, ULONG* pulDevNameLen, ULONG* pulEvent)
{
    std::unique_lock<std::mutex> guard(fake().lock);
    fake().offeredSizes.push_back(*pulDevNameLen);
    if (fake().waitResult != SAR_OK) {
        ++fake().failedWaits;
        return fake().waitResult;
    }
    fake().wake.wait(guard, [] { return fake().cancelRequested || !fake().events.empty(); });
    if (fake().events.empty()) {
        fake().cancelRequested = false;
        *pulEvent = 0;
        *pulDevNameLen = 0;
        return SAR_OK;
    }
    ScriptEvent event = fake().events.front();
    fake().events.pop_front();
    const ULONG offered = *pulDevNameLen;
    if (event.fillBuffer) {
        for (ULONG i = 0; i < offered; ++i)
            szDevName[i] = event.name.empty() ? 'N' : event.name[i % event.name.size()];
    } else {
        const std::size_t length = std::min<std::size_t>(event.name.size() + 1, offered);
        std::memcpy(szDevName, event.name.c_str(), length);
    }
    *pulDevNameLen = event.reportedLength ? event.reportedLength : static_cast<ULONG>(event.name.size() + 1);
    *pulEvent = event.code;
    return SAR_OK;
}

ULONG SKF_CancelWaitForDevEvent(void)
{
    std::lock_guard<std::mutex> guard(fake().lock);
    fake().cancelRequested = true;
    fake().wake.notify_all();
    return SAR_OK;
}

ULONG SKF_EnumDev(BOOL, LPSTR szNameList, ULONG* pulSize)
{
    std::lock_guard<std::mutex> guard(fake().lock);
    return answerList(fake().devices, szNameList, pulSize);
}

ULONG SKF_ConnectDev(LPSTR szName, DEVHANDLE* phDev)
{
    std::lock_guard<std::mutex> guard(fake().lock);
    fake().connected.push_back(szName);
    *phDev = reinterpret_cast<DEVHANDLE>(0xD0);
    return SAR_OK;
}

ULONG SKF_GetDevInfo(DEVHANDLE, DEVINFO* pDevInfo)
{
    std::lock_guard<std::mutex> guard(fake().lock);
    *pDevInfo = fake().devInfo;
    return SAR_OK;
}

ULONG SKF_GenRandom(DEVHANDLE, BYTE* pbRandom, ULONG ulRandomLen)
{
    std::lock_guard<std::mutex> guard(fake().lock);
    ++fake().genRandomCalls;
    std::memset(pbRandom, 0x5A, ulRandomLen);
    return SAR_OK;
}

ULONG SKF_EnumApplication(DEVHANDLE, LPSTR szAppName, ULONG* pulSize)
{
    std::lock_guard<std::mutex> guard(fake().lock);
    return answerList(fake().apps, szAppName, pulSize);
}

ULONG SKF_OpenApplication(DEVHANDLE, LPSTR, HAPPLICATION* phApplication)
{
    *phApplication = reinterpret_cast<HAPPLICATION>(0xA0);
    return SAR_OK;
}

ULONG SKF_DeleteApplication(DEVHANDLE, LPSTR szAppName)
{
    std::lock_guard<std::mutex> guard(fake().lock);
    fake().deletedApps.push_back(szAppName);
    return SAR_OK;
}

ULONG SKF_EnumContainer(HAPPLICATION, LPSTR szContainerName, ULONG* pulSize)
{
    std::lock_guard<std::mutex> guard(fake().lock);
    return answerList(fake().containers, szContainerName, pulSize);
}

ULONG SKF_OpenContainer(HAPPLICATION, LPSTR szContainerName, HCONTAINER* phContainer)
{
    std::lock_guard<std::mutex> guard(fake().lock);
    const std::string name = szContainerName;
    if (fake().openFails.count(name) || !fake().containerTypes.count(name))
        return SAR_FAIL;
    fake().opened.push_back(name);
    *phContainer = handleOf(fake().opened.size() - 1);
    return SAR_OK;
}

ULONG SKF_GetContainerType(HCONTAINER hContainer, ULONG* pulContainerType)
{
    std::lock_guard<std::mutex> guard(fake().lock);
    const std::string* name = containerOf(hContainer);
    if (!name)
        return SAR_INVALIDHANDLEERR;
    if (fake().typeQueryFails.count(*name))
        return SAR_FAIL;
    *pulContainerType = fake().containerTypes[*name];
    return SAR_OK;
}

ULONG SKF_DeleteContainer(HAPPLICATION, LPSTR szContainerName)
{
    std::lock_guard<std::mutex> guard(fake().lock);
    if (fake().deleteFails.count(szContainerName))
        return SAR_FAIL;
    fake().deletedContainers.push_back(szContainerName);
    return SAR_OK;
}

ULONG SKF_GetPINInfo(HAPPLICATION, ULONG, ULONG* pulMaxRetryCount, ULONG* pulRemainRetryCount, BOOL* pbDefaultPin)
{
    std::lock_guard<std::mutex> guard(fake().lock);
    *pulMaxRetryCount = 6;
    *pulRemainRetryCount = 5;
    std::memcpy(pbDefaultPin, &fake().pinDefault, fake().pinDefaultBytes);
    return SAR_OK;
}

ULONG SKF_ExportCertificate(HCONTAINER, BOOL, BYTE* pbCert, ULONG* pulCertLen)
{
    std::lock_guard<std::mutex> guard(fake().lock);
    const std::string& cert = fake().certificate;
    if (cert.empty())
        return SAR_CERTNOTFOUNTERR;
    if (pbCert) {
        if (*pulCertLen < cert.size())
            return SAR_BUFFER_TOO_SMALL;
        std::memcpy(pbCert, cert.data(), cert.size());
    }
    *pulCertLen = static_cast<ULONG>(cert.size()) + (pbCert ? fake().certExtraReported : 0);
    return SAR_OK;
}

} // extern "C"
