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
    s << "{\"name\":" << jsonString(t.name) << ",\"present\":" << (t.present ? "true" : "false")
      << ",\"serial\":" << jsonString(t.serial) << ",\"label\":" << jsonString(t.label)
      << ",\"manufacturer\":" << jsonString(t.manufacturer) << ",\"issuer\":" << jsonString(t.issuer)
      << ",\"hwVersion\":\"" << unsigned(t.hwMajor) << '.' << unsigned(t.hwMinor) << "\",\"fwVersion\":\""
      << unsigned(t.fwMajor) << '.' << unsigned(t.fwMinor) << "\",\"totalSpace\":" << t.totalSpace
      << ",\"freeSpace\":" << t.freeSpace << ",\"devAuthAlgId\":" << SGD_SM4_ECB << ",\"authKey\":\""
      << toHex(t.authKey) << "\",\"generation\":" << t.generation << ",\"applications\":[";
    for (size_t i = 0; i < t.apps.size(); ++i) {
        const Application& a = t.apps[i];
        s << (i ? "," : "") << "{\"name\":" << jsonString(a.name) << ",\"soPin\":" << pinJson(a.so)
          << ",\"userPin\":" << pinJson(a.user) << ",\"fileRights\":" << a.fileRights << ",\"files\":[";
        for (size_t j = 0; j < a.files.size(); ++j) {
            const File& f = a.files[j];
            s << (j ? "," : "") << "{\"name\":" << jsonString(f.name) << ",\"size\":" << f.data.size()
              << ",\"readRights\":" << f.readRights << ",\"writeRights\":" << f.writeRights << "}";
        }
        s << "],\"containers\":[";
        for (size_t j = 0; j < a.containers.size(); ++j) {
            const Container& c = a.containers[j];
            int bits = c.signKey.empty() ? (c.encKey.empty() ? 0 : keyBits(c.encKey)) : keyBits(c.signKey);
            s << (j ? "," : "") << "{\"name\":" << jsonString(c.name) << ",\"type\":" << c.type << ",\"typeName\":\""
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
