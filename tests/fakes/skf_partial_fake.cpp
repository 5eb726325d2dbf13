// A library that exports only SKF_EnumDev, SKF_ConnectDev, SKF_DisConnectDev, SKF_GetDevState,
// SKF_GetDevInfo and SKF_EnumApplication. It always shows one present device "FAKE-1" (serial
// "FAKE-0001", label "Fake token") holding one application "FAKE-APP"; handles are fixed values.
#include "skf_defs.h"

#include <cstring>

#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

const char kDevice[] = "FAKE-1";
const char kApplication[] = "FAKE-APP";
DEVHANDLE const kDeviceHandle = reinterpret_cast<DEVHANDLE>(0x1000);

ULONG answerList(const char* name, LPSTR list, ULONG* size)
{
    if (!size)
        return SAR_INVALIDPARAMERR;
    ULONG needed = static_cast<ULONG>(std::strlen(name) + 2);
    if (!list) {
        *size = needed;
        return SAR_OK;
    }
    if (*size < needed) {
        *size = needed;
        return SAR_BUFFER_TOO_SMALL;
    }
    std::memcpy(list, name, needed - 1);
    list[needed - 1] = '\0';
    *size = needed;
    return SAR_OK;
}

} // namespace

FAKE_EXPORT ULONG SKF_EnumDev(BOOL, LPSTR szNameList, ULONG* pulSize)
{
    return answerList(kDevice, szNameList, pulSize);
}

FAKE_EXPORT ULONG SKF_ConnectDev(LPSTR szName, DEVHANDLE* phDev)
{
    if (!szName || !phDev)
        return SAR_INVALIDPARAMERR;
    if (std::strcmp(szName, kDevice) != 0)
        return SAR_DEVICE_REMOVED;
    *phDev = kDeviceHandle;
    return SAR_OK;
}

FAKE_EXPORT ULONG SKF_DisConnectDev(DEVHANDLE hDev)
{
    return hDev == kDeviceHandle ? SAR_OK : SAR_INVALIDHANDLEERR;
}

FAKE_EXPORT ULONG SKF_GetDevState(LPSTR szDevName, ULONG* pulDevState)
{
    if (!szDevName || !pulDevState)
        return SAR_INVALIDPARAMERR;
    *pulDevState = std::strcmp(szDevName, kDevice) == 0 ? DEV_PRESENT_STATE : DEV_ABSENT_STATE;
    return SAR_OK;
}

FAKE_EXPORT ULONG SKF_GetDevInfo(DEVHANDLE hDev, DEVINFO* pDevInfo)
{
    if (hDev != kDeviceHandle)
        return SAR_INVALIDHANDLEERR;
    if (!pDevInfo)
        return SAR_INVALIDPARAMERR;
    std::memset(pDevInfo, 0, sizeof *pDevInfo);
    pDevInfo->Version = {1, 0};
    std::strcpy(pDevInfo->Manufacturer, "fake");
    std::strcpy(pDevInfo->Issuer, "fake");
    std::strcpy(pDevInfo->Label, "Fake token");
    std::strcpy(pDevInfo->SerialNumber, "FAKE-0001");
    pDevInfo->HWVersion = {1, 0};
    pDevInfo->FirmwareVersion = {1, 0};
    pDevInfo->DevAuthAlgId = SGD_SM4_ECB;
    pDevInfo->TotalSpace = 1000;
    pDevInfo->FreeSpace = 500;
    return SAR_OK;
}

FAKE_EXPORT ULONG SKF_EnumApplication(DEVHANDLE hDev, LPSTR szAppName, ULONG* pulSize)
{
    if (hDev != kDeviceHandle)
        return SAR_INVALIDHANDLEERR;
    return answerList(kApplication, szAppName, pulSize);
}
