#include "namelist.h"

#include <algorithm>
#include <cstring>

namespace keymgr {

namespace {

// How often a list that keeps growing between the size call and the fetch is asked again.
constexpr int kFetchAttempts = 4;

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

ULONG fetchNameList(const NameListCall& call, std::vector<std::string>* names, ULONG firstTry)
{
    if (!names)
        return SAR_INVALIDPARAMERR;
    names->clear();
    ULONG size = std::min(firstTry, kMaxNameListSize);
    ULONG result = SAR_OK;
    if (size == 0) {
        result = call(nullptr, &size);
        if (result != SAR_OK)
            return result;
    }
    for (int attempt = 0; attempt < kFetchAttempts; ++attempt) {
        if (size > kMaxNameListSize)
            return SAR_MEMORYERR;
        if (size == 0)
            return SAR_OK;
        // One byte beyond the size asked for: a list whose last zero the library left out still
        // ends inside the buffer, short of its end, and is not taken for a cut one.
        std::vector<char> buf(size + 1, '\0');
        ULONG used = static_cast<ULONG>(buf.size());
        result = call(buf.data(), &used);
        const bool grew = result == SAR_BUFFER_TOO_SMALL || (result == SAR_OK && used > buf.size());
        if (grew && attempt + 1 < kFetchAttempts) {
            // Ask for what the library says it needs now, and at least twice as much as before.
            size = std::max<ULONG>(used, size > kMaxNameListSize / 2 ? kMaxNameListSize + 1 : size * 2);
            continue;
        }
        if (result != SAR_OK && firstTry > 0 && attempt == 0) {
            // A library may refuse a buffer it finds too small in its own way: ask it for the size.
            size = 0;
            result = call(nullptr, &size);
            if (result != SAR_OK)
                return result;
            continue;
        }
        if (result != SAR_OK)
            return result;
        *names = splitNameList(buf.data(), buf.size(), used);
        return SAR_OK;
    }
    return result;
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
