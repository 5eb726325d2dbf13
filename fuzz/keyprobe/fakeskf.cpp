// An SKF library whose every answer is read from the fuzz input, in the order the calls come:
// libkeyprobe loads it by path and meets device, application and container lists, records and
// certificates of any shape, sizes that lie and calls that fail.
#include "fakeskf.h"
#include "skf_defs.h"

#include <algorithm>
#include <cstring>

#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

const uint8_t* g_data = nullptr;
size_t g_size = 0;
size_t g_pos = 0;
int g_handle = 0;

uint8_t take()
{
    return g_pos < g_size ? g_data[g_pos++] : 0;
}

// A handle, or a failure when the next byte is odd.
ULONG open(HANDLE* handle)
{
    if (take() & 1)
        return SAR_FAIL;
    *handle = &g_handle;
    return SAR_OK;
}

// A size-then-fetch answer: a mode byte, a length byte, then that many bytes of content. The mode
// chooses a failure, a size reported larger than the content, and a fetch refused as too small.
ULONG answer(void* out, ULONG* size)
{
    const uint8_t mode = take();
    const size_t wanted = take() * 8u;
    const size_t length = std::min(wanted, g_size - std::min(g_pos, g_size));
    const uint8_t* content = g_data + std::min(g_pos, g_size);
    g_pos += length;
    if (mode & 1)
        return SAR_FAIL;
    const ULONG reported = ULONG(length) + ((mode & 2) ? (mode >> 4) : 0);
    if (!out) {
        *size = reported;
        return SAR_OK;
    }
    if ((mode & 4) && *size < reported) {
        *size = reported;
        return SAR_BUFFER_TOO_SMALL;
    }
    std::memcpy(out, content, std::min<size_t>(*size, length));
    *size = (mode & 8) ? reported : ULONG(std::min<size_t>(*size, length));
    return SAR_OK;
}

} // namespace

FAKE_EXPORT void fakeskf_script(const uint8_t* data, size_t size)
{
    g_data = data;
    g_size = size;
    g_pos = 0;
}

FAKE_EXPORT ULONG SKF_EnumDev(BOOL, LPSTR list, ULONG* size)
{
    return answer(list, size);
}
FAKE_EXPORT ULONG SKF_ConnectDev(LPSTR, DEVHANDLE* dev)
{
    return open(dev);
}
FAKE_EXPORT ULONG SKF_DisConnectDev(DEVHANDLE)
{
    return SAR_OK;
}
FAKE_EXPORT ULONG SKF_EnumApplication(DEVHANDLE, LPSTR list, ULONG* size)
{
    return answer(list, size);
}
FAKE_EXPORT ULONG SKF_OpenApplication(DEVHANDLE, LPSTR, HAPPLICATION* app)
{
    return open(app);
}
FAKE_EXPORT ULONG SKF_GetDevInfo(DEVHANDLE, DEVINFO* info)
{
    // The record as far as the input goes; text fields need not end inside their width.
    const size_t length = std::min(sizeof *info, g_size - std::min(g_pos, g_size));
    std::memcpy(info, g_data + std::min(g_pos, g_size), length);
    g_pos += length;
    return take() & 1 ? SAR_FAIL : SAR_OK;
}
FAKE_EXPORT ULONG SKF_CloseApplication(HAPPLICATION)
{
    return SAR_OK;
}
FAKE_EXPORT ULONG SKF_EnumContainer(HAPPLICATION, LPSTR list, ULONG* size)
{
    return answer(list, size);
}
FAKE_EXPORT ULONG SKF_OpenContainer(HAPPLICATION, LPSTR, HCONTAINER* container)
{
    return open(container);
}
FAKE_EXPORT ULONG SKF_CloseContainer(HCONTAINER)
{
    return SAR_OK;
}
FAKE_EXPORT ULONG SKF_GetContainerType(HCONTAINER, ULONG* type)
{
    *type = take() % 3;
    return SAR_OK;
}
FAKE_EXPORT ULONG SKF_ExportCertificate(HCONTAINER, BOOL, BYTE* cert, ULONG* length)
{
    return answer(cert, length);
}
FAKE_EXPORT ULONG SKF_CloseHandle(HANDLE)
{
    return SAR_OK;
}
