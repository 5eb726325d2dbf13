#include "multilang.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <vector>

namespace tessel {

namespace {

struct Conversion {
    std::string length;
    char specifier = 0;
    bool operator==(const Conversion& o) const { return length == o.length && specifier == o.specifier; }
};

// Reads every '%' directive of a format. Refuses what a looked-up text must never carry:
// "%%", '*' widths, positional arguments, %n and %p, long flag or width runs.
bool readConversions(const char* s, std::size_t n, std::vector<Conversion>& out)
{
    static const char* const lengths[] = {"hh", "ll", "h", "l", "j", "z", "t", "L"};
    for (std::size_t i = 0; i < n; ++i) {
        if (s[i] != '%')
            continue;
        ++i;
        int flags = 0;
        while (i < n && std::strchr("-+ 0", s[i]) && s[i] != '\0' && flags < 4) {
            ++i;
            ++flags;
        }
        for (int part = 0; part < 2; ++part) {
            if (part == 1) {
                if (i >= n || s[i] != '.')
                    break;
                ++i;
            }
            int digits = 0;
            while (i < n && s[i] >= '0' && s[i] <= '9') {
                ++i;
                if (++digits > 2)
                    return false;
            }
        }
        Conversion c;
        for (const char* len : lengths) {
            std::size_t l = std::strlen(len);
            if (i + l <= n && std::strncmp(s + i, len, l) == 0) {
                c.length = len;
                i += l;
                break;
            }
        }
        if (i >= n || s[i] == '\0' || !std::strchr("diouxXcsfFeEgGaA", s[i]))
            return false;
        c.specifier = s[i];
        out.push_back(c);
    }
    return true;
}

} // namespace

bool ml_formatMatches(const std::string& text, const char* defaultFormat)
{
    if (!defaultFormat || text.find('\0') != std::string::npos)
        return false;
    std::vector<Conversion> wanted, found;
    if (!readConversions(defaultFormat, std::strlen(defaultFormat), wanted))
        return false;
    if (!readConversions(text.data(), text.size(), found))
        return false;
    return found == wanted;
}

std::string ml_safeFormat(int id, const char* defaultFormat)
{
    if (!defaultFormat)
        return std::string();
    if (id < 0)
        return defaultFormat;
    std::string text = __(static_cast<unsigned long>(id), defaultFormat);
    return ml_formatMatches(text, defaultFormat) ? text : std::string(defaultFormat);
}

// The format passed to snprintf below has been checked to carry exactly one integer
// conversion whose length modifier matches the argument's type.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
std::string ml_formatNumber(int id, const char* defaultFormat, long long value)
{
    if (!defaultFormat)
        return std::string();
    std::vector<Conversion> conversions;
    if (!readConversions(defaultFormat, std::strlen(defaultFormat), conversions) || conversions.size() != 1
        || !std::strchr("diouxX", conversions[0].specifier))
        return defaultFormat;
    const std::string& length = conversions[0].length;
    std::string format = ml_safeFormat(id, defaultFormat);
    const char* f = format.c_str();
    std::vector<char> buf(format.size() + 128);
    int written;
    if (length.empty() || length == "h" || length == "hh")
        written = std::snprintf(buf.data(), buf.size(), f, static_cast<int>(value));
    else if (length == "l")
        written = std::snprintf(buf.data(), buf.size(), f, static_cast<long>(value));
    else if (length == "ll")
        written = std::snprintf(buf.data(), buf.size(), f, value);
    else
        return defaultFormat;
    if (written < 0)
        return defaultFormat;
    return std::string(buf.data());
}
#pragma GCC diagnostic pop

} // namespace tessel
