// Fuzzes the readers of the name lists the SKF library returns: the walker (with the size the
// library reports and the buffer it was given taken from the input) and the size-then-fetch loop
// against a library that answers from the input.
#include "namelist.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>

namespace {

uint32_t readU32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void checkNames(const std::vector<std::string>& names, std::size_t limit)
{
    std::size_t total = 0;
    for (const std::string& name : names) {
        if (name.empty() || name.find('\0') != std::string::npos)
            __builtin_trap();
        total += name.size() + 1;
    }
    if (total > limit + 1)
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 8)
        return 0;
    const uint32_t reported = readU32(data);
    const uint32_t growth = readU32(data + 4);
    const uint8_t* list = data + 8;
    const std::size_t length = size - 8;

    // The walker over a heap block of exactly the list's size.
    std::unique_ptr<char[]> buf(new char[length ? length : 1]);
    std::memcpy(buf.get(), list, length);
    checkNames(keymgr::splitNameList(buf.get(), length, reported), length);
    keymgr::firstName(buf.get(), length, reported);

    // A library that reports sizes from the input and lets the list grow between the calls.
    int calls = 0;
    auto library = [&](LPSTR out, ULONG* outSize) -> ULONG {
        ++calls;
        if (!out) {
            *outSize = reported % (2 * length + 2);
            return SAR_OK;
        }
        const std::size_t copy = std::min<std::size_t>(*outSize, length);
        std::memcpy(out, list, copy);
        if (growth & 1u) {
            *outSize = static_cast<ULONG>(length + (growth >> 8) % 64);
            return SAR_BUFFER_TOO_SMALL;
        }
        *outSize = static_cast<ULONG>(length + (growth >> 1) % 4096);
        return SAR_OK;
    };
    std::vector<std::string> names;
    keymgr::fetchNameList(library, &names);
    checkNames(names, 2 * length + 4096 + 64);
    if (calls > 5)
        __builtin_trap();
    return 0;
}
