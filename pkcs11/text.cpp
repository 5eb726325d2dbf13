#include "text.h"

#include <iconv.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace p11 {

namespace {

// Length of the UTF-8 sequence starting with lead, or 0 for a byte that cannot start one.
std::size_t sequenceLength(unsigned char lead)
{
    if (lead < 0x80)
        return 1;
    if (lead >= 0xC2 && lead <= 0xDF)
        return 2;
    if (lead >= 0xE0 && lead <= 0xEF)
        return 3;
    if (lead >= 0xF0 && lead <= 0xF4)
        return 4;
    return 0;
}

bool isContinuation(unsigned char c)
{
    return (c & 0xC0) == 0x80;
}

bool validUtf8(const std::string& s)
{
    for (std::size_t i = 0; i < s.size();) {
        const unsigned char lead = static_cast<unsigned char>(s[i]);
        const std::size_t n = sequenceLength(lead);
        if (n == 0 || i + n > s.size())
            return false;
        for (std::size_t k = 1; k < n; ++k) {
            if (!isContinuation(static_cast<unsigned char>(s[i + k])))
                return false;
        }
        if (n > 1) {
            const unsigned char second = static_cast<unsigned char>(s[i + 1]);
            // Overlong forms, UTF-16 surrogates and values above U+10FFFF.
            if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second > 0x9F) || (lead == 0xF0 && second < 0x90) ||
                (lead == 0xF4 && second > 0x8F))
                return false;
        }
        i += n;
    }
    return true;
}

bool fromGb18030(const std::string& bytes, std::string* utf8)
{
    iconv_t cd = iconv_open("UTF-8", "GB18030");
    if (cd == reinterpret_cast<iconv_t>(-1))
        return false;
    std::vector<char> out(bytes.size() * 4 + 4);
    char* in = const_cast<char*>(bytes.data());
    std::size_t inLeft = bytes.size();
    char* outPtr = out.data();
    std::size_t outLeft = out.size();
    const std::size_t rc = iconv(cd, &in, &inLeft, &outPtr, &outLeft);
    iconv_close(cd);
    if (rc == static_cast<std::size_t>(-1) || inLeft != 0)
        return false;
    utf8->assign(out.data(), out.size() - outLeft);
    return true;
}

void appendEscape(std::string* out, unsigned char c)
{
    static const char kHex[] = "0123456789abcdef";
    out->append("\\x");
    out->push_back(kHex[c >> 4]);
    out->push_back(kHex[c & 0x0F]);
}

std::string escapeControls(const std::string& utf8)
{
    std::string out;
    for (char ch : utf8) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c == 0x7F)
            appendEscape(&out, c);
        else
            out.push_back(ch);
    }
    return out;
}

} // namespace

std::string displayText(const std::string& bytes)
{
    if (validUtf8(bytes))
        return escapeControls(bytes);
    std::string decoded;
    if (fromGb18030(bytes, &decoded))
        return escapeControls(decoded);
    std::string out;
    for (char ch : bytes) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c >= 0x7F)
            appendEscape(&out, c);
        else
            out.push_back(ch);
    }
    return out;
}

void padField(const std::string& utf8, unsigned char* field, std::size_t width)
{
    std::size_t length = utf8.size() < width ? utf8.size() : width;
    // Back up to the start of a character when the cut falls inside one.
    if (length < utf8.size()) {
        while (length > 0 && isContinuation(static_cast<unsigned char>(utf8[length])))
            --length;
    }
    std::memset(field, ' ', width);
    std::memcpy(field, utf8.data(), length);
}

std::string tailThatFits(const std::string& utf8, std::size_t width)
{
    if (utf8.size() <= width)
        return utf8;
    std::size_t start = utf8.size() - width;
    while (start < utf8.size() && isContinuation(static_cast<unsigned char>(utf8[start])))
        ++start;
    return utf8.substr(start);
}

} // namespace p11
