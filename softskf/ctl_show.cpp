// softskf-ctl list and show: readable text or JSON.
#include "crypto.h"
#include "ctl.h"
#include "skf_defs.h"

#include <cstdio>
#include <iostream>
#include <sstream>

namespace softskf {

namespace {

std::string jsonString(const std::string& s)
{
    std::string out = "\"";
    for (unsigned char c : s) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", c);
                out += buf;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out + "\"";
}

// Length of the valid UTF-8 sequence at text[i], or 0 when the byte there starts none.
size_t utf8Sequence(const std::string& text, size_t i)
{
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const size_t length = c < 0x80                 ? 1
                          : c >= 0xC2 && c <= 0xDF ? 2
                          : c >= 0xE0 && c <= 0xEF ? 3
                          : c >= 0xF0 && c <= 0xF4 ? 4
                                                   : 0;
    if (length == 0 || i + length > text.size())
        return 0;
    for (size_t k = 1; k < length; ++k) {
        if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80)
            return 0;
    }
    const unsigned char next = length > 1 ? static_cast<unsigned char>(text[i + 1]) : 0;
    // Overlong forms, surrogates and code points past U+10FFFF.
    if ((c == 0xE0 && next < 0xA0) || (c == 0xED && next > 0x9F) || (c == 0xF0 && next < 0x90) ||
        (c == 0xF4 && next > 0x8F))
        return 0;
    return length;
}

// A name or text field as JSON text: it need not be UTF-8 (nor the same bytes as one that looks like
// it), so bytes outside UTF-8, control bytes and '\' become \xHH, which the commands read back.
std::string textJson(const std::string& name)
{
    std::string shown;
    for (size_t i = 0; i < name.size();) {
        const size_t length = utf8Sequence(name, i);
        const unsigned char c = static_cast<unsigned char>(name[i]);
        if (length == 0 || c < 0x20 || c == 0x7f || c == '\\') {
            char buf[5];
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            shown += buf;
            ++i;
        } else {
            shown.append(name, i, length);
            i += length;
        }
    }
    return jsonString(shown);
}

const char* typeName(uint32_t type)
{
    switch (type) {
    case SKF_CONTAINER_RSA:
        return "rsa";
    case SKF_CONTAINER_ECC:
        return "sm2";
    default:
        return "empty";
    }
}

std::string pinJson(const Pin& p)
{
    std::ostringstream s;
    s << "{\"maxRetries\":" << p.maxRetries << ",\"remainingRetries\":" << p.remaining
      << ",\"default\":" << (p.isDefault ? "true" : "false") << ",\"locked\":" << (p.remaining == 0 ? "true" : "false")
      << "}";
    return s.str();
}

std::string tokenJson(const Token& t)
{
    std::ostringstream s;
    s << "{\"name\":" << textJson(t.name) << ",\"present\":" << (t.present ? "true" : "false")
      << ",\"serial\":" << textJson(t.serial) << ",\"label\":" << textJson(t.label)
      << ",\"manufacturer\":" << textJson(t.manufacturer) << ",\"issuer\":" << textJson(t.issuer) << ",\"hwVersion\":\""
      << unsigned(t.hwMajor) << '.' << unsigned(t.hwMinor) << "\",\"fwVersion\":\"" << unsigned(t.fwMajor) << '.'
      << unsigned(t.fwMinor) << "\",\"totalSpace\":" << t.totalSpace << ",\"freeSpace\":" << t.freeSpace
      << ",\"devAuthAlgId\":" << SGD_SM4_ECB << ",\"authKey\":\"" << toHex(t.authKey)
      << "\",\"generation\":" << t.generation << ",\"applications\":[";
    for (size_t i = 0; i < t.apps.size(); ++i) {
        const Application& a = t.apps[i];
        s << (i ? "," : "") << "{\"name\":" << textJson(a.name) << ",\"soPin\":" << pinJson(a.so)
          << ",\"userPin\":" << pinJson(a.user) << ",\"fileRights\":" << a.fileRights << ",\"files\":[";
        for (size_t j = 0; j < a.files.size(); ++j) {
            const File& f = a.files[j];
            s << (j ? "," : "") << "{\"name\":" << textJson(f.name) << ",\"size\":" << f.data.size()
              << ",\"readRights\":" << f.readRights << ",\"writeRights\":" << f.writeRights << "}";
        }
        s << "],\"containers\":[";
        for (size_t j = 0; j < a.containers.size(); ++j) {
            const Container& c = a.containers[j];
            int bits = c.signKey.empty() ? (c.encKey.empty() ? 0 : keyBits(c.encKey)) : keyBits(c.signKey);
            s << (j ? "," : "") << "{\"name\":" << textJson(c.name) << ",\"type\":" << c.type << ",\"typeName\":\""
              << typeName(c.type) << "\",\"keyBits\":" << bits
              << ",\"signKey\":" << (c.signKey.empty() ? "false" : "true")
              << ",\"encKey\":" << (c.encKey.empty() ? "false" : "true")
              << ",\"signCert\":" << (c.signCert.empty() ? "false" : "true")
              << ",\"signCertSize\":" << c.signCert.size() << ",\"encCert\":" << (c.encCert.empty() ? "false" : "true")
              << ",\"encCertSize\":" << c.encCert.size() << "}";
        }
        s << "]}";
    }
    s << "]}";
    return s.str();
}

std::string pinText(const Pin& p)
{
    std::ostringstream s;
    s << p.remaining << " of " << p.maxRetries << " tries left";
    if (p.remaining == 0)
        s << ", locked";
    if (p.isDefault)
        s << ", factory default";
    return s.str();
}

void printToken(const Token& t)
{
    std::cout << "token " << t.name << (t.present ? " (inserted)" : " (removed)") << "\n"
              << "  serial:       " << t.serial << "\n"
              << "  label:        " << t.label << "\n"
              << "  manufacturer: " << t.manufacturer << "\n"
              << "  issuer:       " << t.issuer << "\n"
              << "  hardware:     " << unsigned(t.hwMajor) << '.' << unsigned(t.hwMinor) << "\n"
              << "  firmware:     " << unsigned(t.fwMajor) << '.' << unsigned(t.fwMinor) << "\n"
              << "  space:        " << t.freeSpace << " of " << t.totalSpace << " bytes free\n"
              << "  auth key:     " << toHex(t.authKey) << " (SM4-ECB)\n";
    if (t.apps.empty())
        std::cout << "  no application\n";
    for (const Application& a : t.apps) {
        std::cout << "  application " << a.name << "\n"
                  << "    SO PIN:   " << pinText(a.so) << "\n"
                  << "    user PIN: " << pinText(a.user) << "\n";
        for (const File& f : a.files)
            std::cout << "    file " << f.name << ": " << f.data.size() << " bytes, read rights " << f.readRights
                      << ", write rights " << f.writeRights << "\n";
        if (a.containers.empty())
            std::cout << "    no container\n";
        for (const Container& c : a.containers) {
            std::cout << "    container " << c.name << ": " << typeName(c.type);
            if (!c.signKey.empty())
                std::cout << " " << keyBits(c.signKey) << " bits";
            std::cout << "\n";
            auto part = [](const char* what, const std::string& key, const std::string& cert) {
                std::cout << "      " << what << ": " << (key.empty() ? "no key pair" : "key pair") << ", "
                          << (cert.empty() ? std::string("no certificate")
                                           : "certificate of " + std::to_string(cert.size()) + " bytes")
                          << "\n";
            };
            part("signature ", c.signKey, c.signCert);
            part("encryption", c.encKey, c.encCert);
        }
    }
}

} // namespace

int cmdList(const Store& store, const Args& args)
{
    bool json = args.has("--json");
    std::vector<std::string> names = store.tokenNames();
    if (json)
        std::cout << "{\"tokens\":[";
    bool first = true;
    for (const std::string& name : names) {
        Token t;
        if (!store.loadToken(name, &t))
            continue;
        if (json)
            std::cout << (first ? "" : ",") << tokenJson(t);
        else
            std::cout << t.name << (t.present ? "  inserted  " : "  removed   ") << t.serial << "  " << t.label << "\n";
        first = false;
    }
    if (json)
        std::cout << "]}\n";
    return 0;
}

int cmdShow(const Store& store, const Args& args)
{
    Token t = loadTokenOrThrow(store, args.positional[0]);
    if (args.has("--json"))
        std::cout << tokenJson(t) << "\n";
    else
        printToken(t);
    return 0;
}

} // namespace softskf
