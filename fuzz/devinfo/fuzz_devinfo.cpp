// Fuzzes the reading of a DEVINFO record as the library fills it: any bytes, a record cut short
// (the rest zero, as the caller clears it), text fields without a terminating zero. The texts the
// information page shows must stay within their fields and convert to text whole.
#include "namelist.h"

#include <QString>

#include <cstdint>
#include <cstring>
#include <string>

namespace {

template <std::size_t N> void checkText(const char (&field)[N])
{
    const std::string text = keymgr::fixedText(field);
    if (text.size() > N || text.find('\0') != std::string::npos ||
        std::memcmp(text.data(), field, text.size()) != 0)
        __builtin_trap();
    if (QString::fromLocal8Bit(text.data(), int(text.size())).isNull() && !text.empty())
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    DEVINFO info;
    std::memset(&info, 0, sizeof info);
    std::memcpy(&info, data, size < sizeof info ? size : sizeof info);
    checkText(info.Manufacturer);
    checkText(info.Issuer);
    checkText(info.Label);
    checkText(info.SerialNumber);
    return 0;
}
