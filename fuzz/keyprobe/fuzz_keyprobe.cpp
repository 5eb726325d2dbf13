// Fuzzes libkeyprobe's reading of what the SKF library answers (name lists, the DEVINFO record,
// certificates) through its three queries, against a library that answers from the input. What
// the queries hand back must keep to the header's promises: a count that is a count, a serial
// number that ends inside the buffer, a certificate blob whose items add up to its length.
#include "fakeskf.h"
#include "keyprobe.h"

#include <cstring>
#include <vector>

namespace {

void checkBlob(const unsigned char* blob, unsigned long length)
{
    if (length < 4 || blob[0] != KEYPROBE_TAG_COUNT || blob[1] != 0 || blob[2] != 1)
        __builtin_trap();
    unsigned long pos = 4;
    unsigned items = 0;
    while (pos < length) {
        if (pos + 3 > length)
            __builtin_trap();
        const unsigned long size = unsigned(blob[pos + 1]) << 8 | blob[pos + 2];
        if (size == 0 || pos + 3 + size > length)
            __builtin_trap();
        pos += 3 + size;
        ++items;
    }
    if (items != blob[3])
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fakeskf_script(data, size);
    unsigned long count = 0;
    if (LM_UsbkeyOnline(&count) == KEYPROBE_OK && count > (1u << 20))
        __builtin_trap();

    char serial[40];
    std::memset(serial, 'S', sizeof serial);
    unsigned long length = sizeof serial;
    if (LM_GetSerialNum(serial, &length) == KEYPROBE_OK &&
        (length == 0 || length > sizeof serial || std::strlen(serial) + 1 != length))
        __builtin_trap();

    length = 0;
    if (LM_GetUserCert(nullptr, &length) == KEYPROBE_BUFFER_TOO_SMALL) {
        std::vector<unsigned char> blob(length);
        if (LM_GetUserCert(blob.data(), &length) == KEYPROBE_OK)
            checkBlob(blob.data(), length);
    }
    return 0;
}
