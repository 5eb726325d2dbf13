// The readers of name lists and text fields, free of Qt and OpenSSL: libkeyprobe builds this file
// in as well.
#include "namelist.h"

#include <algorithm>
#include <cstring>

namespace keymgr {

namespace {

template <typename Visit> void walkNameList(const char* buf, std::size_t capacity, std::size_t reported, Visit visit)
{
    if (!buf)
        return;
    const std::size_t end = std::min(reported, capacity);
    std::size_t pos = 0;
    while (pos < end && buf[pos] != '\0') {
        const void* zero = std::memchr(buf + pos, '\0', end - pos);
        if (!zero) {
            if (end < capacity)
                visit(buf + pos, end - pos);
            return;
        }
        const std::size_t length = static_cast<const char*>(zero) - (buf + pos);
        // With a size beyond the buffer, a zero in the last byte may be the caller's zero fill
        // behind a name the library cut short.
        if (reported > capacity && pos + length == capacity - 1)
            return;
        if (!visit(buf + pos, length))
            return;
        pos += length + 1;
    }
}

} // namespace

std::vector<std::string> splitNameList(const char* buf, std::size_t capacity, std::size_t reported)
{
    std::vector<std::string> names;
    walkNameList(buf, capacity, reported, [&names](const char* name, std::size_t length) {
        names.emplace_back(name, length);
        return true;
    });
    return names;
}

std::string firstName(const char* buf, std::size_t capacity, std::size_t reported)
{
    std::string first;
    walkNameList(buf, capacity, reported, [&first](const char* name, std::size_t length) {
        first.assign(name, length);
        return false;
    });
    return first;
}

std::string fixedText(const char* field, std::size_t width)
{
    if (!field)
        return std::string();
    const void* zero = std::memchr(field, '\0', width);
    const std::size_t length = zero ? static_cast<const char*>(zero) - field : width;
    return std::string(field, length);
}

} // namespace keymgr
